#include "scoutdump/output.hpp"

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>

#include "common/text.hpp"
#include "veltra/proto/fields.hpp"
#include "veltra/proto/property.hpp"

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

std::string hex(std::string_view bytes) {
  return hex({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
}

json target(const proto::ObjID& id) { return id.isLong() ? json(id.longId()) : json(id.shortId()); }

// A property list's entries: id, name when the id has one, flags, access and
// binary for a new-style list, and the value (in hex when binary).
json entries(const proto::Field& f) {
  json a = json::array();
  const bool newStyle = f.kind == proto::FieldKind::kProperties;
  proto::forEachEntry(f, [&](const proto::PropertyEntry& p) {
    json e = {{"id", p.id}};
    if (const char* name = proto::propertyName(p.id)) e["name"] = name;
    if (newStyle) {
      e["flags"] = p.flags;
      e["access"] = p.access;
      e["binary"] = p.binary;
    }
    e["value"] = p.binary ? hex(p.value) : std::string(p.value);
    a.push_back(std::move(e));
  });
  return a;
}

// A body's fields by the field model's names, one JSON form per kind: a command
// whose fields change needs nothing here.
json fields(const proto::Incoming& in) {
  json j = json::object();
  proto::forEachField(in, [&](const proto::Field& f) {
    json& v = j[f.name];
    switch (f.kind) {
      case proto::FieldKind::kInteger: v = f.integer; break;
      case proto::FieldKind::kText: v = std::string(f.text); break;
      case proto::FieldKind::kObjId: v = target(*f.id); break;
      case proto::FieldKind::kBytes: v = hex(f.bytes); break;
      case proto::FieldKind::kOldProperties:
      case proto::FieldKind::kProperties: v = entries(f); break;
    }
  });
  return j;
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

namespace {

class TextPrinter : public FormatPrinter {
 public:
  TextPrinter(std::ostream& out, bool hex) : out_(out), hex_(hex) {}

  void event(const Event& e, const std::string& from, const std::string& to) override {
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
    if (e.kind == Event::kUndecodable || (hex_ && e.kind == Event::kCommand && e.lastOfFrame))
      out_ << hexDump(e.frame);
  }

  void summary(const Summary& s) override {
    char line[160];
    auto row = [&](const char* label, uint64_t a, uint64_t b) {
      std::snprintf(line, sizeof line, "%-22s %17llu %17llu\n", label,
                    static_cast<unsigned long long>(a), static_cast<unsigned long long>(b));
      out_ << line;
    };
    out_ << "== summary ==\n"
         << "packets: " << s.packets << " read, " << s.tcpPackets
         << " TCP on the protocol's ports\n"
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
  }

 private:
  std::ostream& out_;
  bool hex_;
};

// JSON Lines: every event with its frame's bytes, whatever -x says.
class JsonPrinter : public FormatPrinter {
 public:
  explicit JsonPrinter(std::ostream& out) : out_(out) {}

  void event(const Event& e, const std::string& from, const std::string& to) override {
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
    if (e.kind == Event::kCommand) {
      j["code"] = e.cmd->command;
      j["command"] = proto::commandId(e.cmd->command);
      j["mnemonic"] = proto::commandName(e.cmd->command);
      j["target"] = target(e.cmd->target);
      j["fields"] = fields(*e.cmd);
      j["text"] = proto::describe(*e.cmd);
    } else if (!e.message.empty()) {
      j["message"] = e.message;
    }
    if (!e.frame.empty()) j["hex"] = hex(e.frame);
    // Texts from the capture need not be valid UTF-8; JSON must be.
    out_ << j.dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
  }

  void summary(const Summary& s) override {
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
  }

 private:
  std::ostream& out_;
};

}  // namespace

Printer::Printer(std::ostream& out, OutputOptions options) : out_(out), opt_(std::move(options)) {
  if (opt_.json)
    format_ = std::make_unique<JsonPrinter>(out_);
  else
    format_ = std::make_unique<TextPrinter>(out_, opt_.hex);
}

Printer::~Printer() = default;

void Printer::event(const Event& e) {
  if (opt_.quiet) return;
  if (e.kind == Event::kCommand) {
    const std::string name = proto::commandName(e.cmd->command);
    if (opt_.excluded.count(name) || (!opt_.mnemonics.empty() && !opt_.mnemonics.count(name)))
      return;
  }
  // A connection is announced client first; everything else sender first.
  const bool conn = e.kind == Event::kConnection;
  format_->event(e, conn ? e.conn->client : e.conn->from(e.dir),
                 conn ? e.conn->server : e.conn->to(e.dir));
  if (opt_.flush) out_.flush();
}

void Printer::summary(const Summary& s) {
  format_->summary(s);
  out_.flush();
}

}  // namespace scoutdump
