#include "scoutdump/output.hpp"

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <type_traits>

#include "common/text.hpp"

namespace scoutdump {

namespace proto = veltra::proto;
using nlohmann::json;

namespace {

const char* kDirName[] = {"client-to-server", "server-to-client"};

std::string hex(std::span<const uint8_t> bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  s.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) s += kDigits[b >> 4], s += kDigits[b & 15];
  return s;
}

json target(const proto::ObjID& id) { return id.isLong() ? json(id.longId()) : json(id.shortId()); }

json props(const proto::OldPropertyList& list) {
  json a = json::array();
  for (const auto& p : list.all()) a.push_back({{"id", p.id}, {"value", p.value}});
  return a;
}

json props(const proto::PropertyList& list) {
  json a = json::array();
  for (const auto& p : list.all()) {
    json e = {{"id", p.id}, {"flags", p.flags}, {"access", p.access}};
    if (p.binary())
      e["hex"] = hex({reinterpret_cast<const uint8_t*>(p.value.data()), p.value.size()});
    else
      e["value"] = p.value;
    a.push_back(std::move(e));
  }
  return a;
}

// The decoded fields of a body, named as in the library's body types.
json fields(const proto::CommandBody& body) {
  return std::visit(
      [](const auto& b) -> json {
        using T = std::decay_t<decltype(b)>;
        if constexpr (std::is_same_v<T, proto::PropRequest>) return {{"ids", b.ids}};
        if constexpr (std::is_same_v<T, proto::SessionInit> ||
                      std::is_same_v<T, proto::SessionExit> || std::is_same_v<T, proto::AppInit> ||
                      std::is_same_v<T, proto::PropCommand> ||
                      std::is_same_v<T, proto::PropertyUpdate>)
          return {{"props", props(b.props)}};
        if constexpr (std::is_same_v<T, proto::PropertySet>)
          return {{"fromUser", b.fromUser}, {"props", props(b.props)}};
        if constexpr (std::is_same_v<T, proto::RoomIdRequest>) return {{"roomName", b.roomName}};
        if constexpr (std::is_same_v<T, proto::Subscribe>)
          return {{"room", b.room}, {"x", b.x}, {"y", b.y}, {"z", b.z}, {"distance", b.distance}};
        if constexpr (std::is_same_v<T, proto::Unsubscribe>) return {{"room", b.room}};
        if constexpr (std::is_same_v<T, proto::SubscribeDist>)
          return {{"room", b.room}, {"distance", b.distance}};
        if constexpr (std::is_same_v<T, proto::LongLoc>)
          return {{"x", b.x}, {"y", b.y}, {"z", b.z}, {"dir", b.dir}};
        if constexpr (std::is_same_v<T, proto::RoomChange> || std::is_same_v<T, proto::AppearActor>)
          return {{"room", b.room}, {"x", b.x}, {"y", b.y}, {"z", b.z}, {"dir", b.dir}};
        if constexpr (std::is_same_v<T, proto::Teleport>)
          return {{"room", b.room},
                  {"exitType", b.exitType},
                  {"entryType", b.entryType},
                  {"x", b.x},
                  {"y", b.y},
                  {"z", b.z},
                  {"dir", b.dir}};
        if constexpr (std::is_same_v<T, proto::Text> || std::is_same_v<T, proto::Whisper>)
          return {{"sender", target(b.sender)}, {"text", b.text}};
        if constexpr (std::is_same_v<T, proto::BuddyListUpdate>)
          return {{"buddy", b.buddy}, {"add", b.add}};
        if constexpr (std::is_same_v<T, proto::FingerRequest>) return {{"user", b.user}};
        if constexpr (std::is_same_v<T, proto::ChannelChange>) return {{"channel", b.channel}};
        if constexpr (std::is_same_v<T, proto::RegisterObjId>)
          return {{"longId", b.longId}, {"shortId", b.shortId}};
        if constexpr (std::is_same_v<T, proto::Disappear>) return json::object();
        if constexpr (std::is_same_v<T, proto::RoomId>)
          return {{"roomName", b.roomName}, {"roomNumber", b.roomNumber}};
        if constexpr (std::is_same_v<T, proto::BuddyListNotify>)
          return {{"buddy", b.buddy}, {"online", b.online}};
        if constexpr (std::is_same_v<T, proto::Unparsed>) return {{"payload", hex(b.payload)}};
      },
      body);
}

// The counts by mnemonic: codes without a name add up under "UNKNOWN".
std::map<std::string, Summary::PerName> byName(const Summary::PerDir& d) {
  std::map<std::string, Summary::PerName> names;
  for (int code = 0; code < 256; ++code) {
    if (d.byCode[code].frames == 0 && d.byCode[code].commands == 0) continue;
    Summary::PerName& n = names[proto::commandName(static_cast<uint8_t>(code))];
    n.frames += d.byCode[code].frames;
    n.commands += d.byCode[code].commands;
  }
  return names;
}

const char* kindName(Event::Kind k) {
  switch (k) {
    case Event::kConnection: return "connection";
    case Event::kCommand: return "command";
    case Event::kUndecodable: return "undecodable";
    case Event::kBadLength: return "bad-length";
    case Event::kGap: return "gap";
    case Event::kUnfinished: return "unfinished";
  }
  return "";
}

}  // namespace

std::string hexDump(std::span<const uint8_t> bytes) {
  std::string s;
  for (size_t at = 0; at < bytes.size(); at += 16) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%04zx  ", at);
    std::string hexPart = buf, ascii;
    for (size_t i = at; i < at + 16; ++i) {
      if (i < bytes.size()) {
        std::snprintf(buf, sizeof buf, "%02x ", bytes[i]);
        hexPart += buf;
        ascii += bytes[i] >= 0x20 && bytes[i] < 0x7f ? static_cast<char>(bytes[i]) : '.';
      } else {
        hexPart += "   ";
      }
      if (i == at + 7) hexPart += ' ';
    }
    s += hexPart + " " + ascii + "\n";
  }
  return s;
}

void Printer::event(const Event& e) {
  if (opt_.quiet) return;
  const bool command = e.kind == Event::kCommand;
  if (command && !opt_.mnemonics.empty() &&
      !opt_.mnemonics.count(proto::commandName(e.cmd->command))) {
    return;
  }
  // A connection is announced client first; everything else sender first.
  const std::string& from = e.kind == Event::kConnection ? e.conn->client : e.conn->from(e.dir);
  const std::string& to = e.kind == Event::kConnection ? e.conn->server : e.conn->to(e.dir);
  if (opt_.json) {
    json j = {{"type", kindName(e.kind)},
              {"time", e.time},
              {"connection", e.conn->id},
              {"src", from},
              {"dst", to}};
    if (e.kind == Event::kConnection) {
      j["partial"] = e.conn->partial;
    } else {
      j["direction"] = kDirName[static_cast<int>(e.dir)];
    }
    if (command) {
      j["code"] = e.cmd->command;
      j["mnemonic"] = proto::commandName(e.cmd->command);
      j["target"] = target(e.cmd->target);
      j["fields"] = fields(e.cmd->body);
      j["text"] = proto::describe(*e.cmd);
    } else if (!e.message.empty()) {
      j["message"] = e.message;
    }
    if (!e.frame.empty()) j["hex"] = hex(e.frame);
    // Texts from the capture need not be valid UTF-8; JSON must be.
    out_ << j.dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
  } else {
    char time[32];
    std::snprintf(time, sizeof time, "%11.6f ", e.time);
    out_ << time << from << " → " << to << ' ';
    switch (e.kind) {
      case Event::kConnection:
        out_ << "** connection " << e.conn->id << (e.message.empty() ? "" : ": ") << e.message;
        break;
      case Event::kCommand: out_ << veltra::tools::escapeText(proto::describe(*e.cmd)); break;
      case Event::kUndecodable: out_ << "!! undecodable frame: " << e.message; break;
      case Event::kBadLength:
      case Event::kGap: out_ << "!! " << e.message; break;
      case Event::kUnfinished: out_ << "** " << e.message; break;
    }
    out_ << '\n';
    // An undecodable frame is always shown whole; a compound frame once, after its last command.
    if (e.kind == Event::kUndecodable || (opt_.hex && command && e.lastOfFrame))
      out_ << hexDump(e.frame);
  }
  if (opt_.flush) out_.flush();
}

void Printer::summary(const Summary& s) {
  if (opt_.json) {
    json dirs = json::object();
    for (int d = 0; d < 2; ++d) {
      json names = json::object();
      for (const auto& [name, n] : byName(s.dir[d]))
        names[name] = {{"frames", n.frames}, {"commands", n.commands}};
      dirs[kDirName[d]] = {{"bytes", s.dir[d].bytes},
                           {"frames", s.dir[d].frames},
                           {"commands", s.dir[d].commands},
                           {"mnemonics", names}};
    }
    const json j = {{"type", "summary"},
                    {"packets", s.packets},
                    {"tcpPackets", s.tcpPackets},
                    {"connections", s.connections},
                    {"partialConnections", s.partialConnections},
                    {"directions", dirs},
                    {"errors", s.errors()},
                    {"undecodable", s.undecodable},
                    {"badLength", s.badLength},
                    {"gaps", s.gaps},
                    {"unreadablePackets", s.unreadable},
                    {"cutPackets", s.cutPackets},
                    {"unfinished", s.unfinished}};
    out_ << j.dump() << '\n';
    out_.flush();
    return;
  }
  char line[160];
  auto row = [&](const char* label, uint64_t a, uint64_t b) {
    std::snprintf(line, sizeof line, "%-22s %17llu %17llu\n", label,
                  static_cast<unsigned long long>(a), static_cast<unsigned long long>(b));
    out_ << line;
  };
  out_ << "== summary ==\n"
       << "packets: " << s.packets << " read, " << s.tcpPackets << " TCP on the protocol's ports\n"
       << "connections: " << s.connections << " (" << s.partialConnections
       << " without their start)\n";
  std::snprintf(line, sizeof line, "%-22s %19s %19s\n", "", "client → server", "server → client");
  out_ << line;
  row("bytes", s.dir[0].bytes, s.dir[1].bytes);
  row("frames", s.dir[0].frames, s.dir[1].frames);
  row("commands", s.dir[0].commands, s.dir[1].commands);
  out_ << "frames/commands by mnemonic:\n";
  const std::map<std::string, Summary::PerName> names[2] = {byName(s.dir[0]), byName(s.dir[1])};
  std::set<std::string> all;
  for (const auto& d : names)
    for (const auto& [name, n] : d) all.insert(name);
  for (const auto& name : all) {
    Summary::PerName n[2];
    for (int d = 0; d < 2; ++d)
      if (auto it = names[d].find(name); it != names[d].end()) n[d] = it->second;
    const std::string a = std::to_string(n[0].frames) + "/" + std::to_string(n[0].commands);
    const std::string b = std::to_string(n[1].frames) + "/" + std::to_string(n[1].commands);
    std::snprintf(line, sizeof line, "  %-20s %17s %17s\n", name.c_str(), a.c_str(), b.c_str());
    out_ << line;
  }
  out_ << "errors: " << s.errors() << " (" << s.undecodable << " undecodable frames, "
       << s.badLength << " bad length bytes, " << s.gaps << " gaps, " << s.unreadable
       << " unreadable packets, " << s.cutPackets << " packets cut short)\n"
       << "unfinished frames at the end: " << s.unfinished << '\n';
  out_.flush();
}

}  // namespace scoutdump
