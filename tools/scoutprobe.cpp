// scoutprobe: a command-line test client. It connects to a world server,
// plays the exchange of a real client (property request, login, avatar,
// room lookups, subscriptions, teleport), listens for a while and logs out,
// tracing every frame it sends or receives as hexadecimal on stdout.
//
//   scoutprobe [host [port [user [room [linger [avatar [password]]]]]]]
//   scoutprobe --help | -h | --version
//
// The room "follow" looks up a fixed set of rooms instead and shadows the
// last actor the server reports moving. Exit status 0 when the script ran to
// its end, 1 on any earlier failure.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "veltra/proto/commands.hpp"
#include "veltra/proto/reader.hpp"
#include "veltra/proto/requests.hpp"
#include "veltra/proto/version.hpp"

namespace {

using namespace veltra::proto;

// The connected socket; set once, used by sendAll and readPacket.
int g_fd = -1;

// Start position and the direction sent with every position.
constexpr int16_t kX = 1228;
constexpr int16_t kY = 2465;
constexpr int16_t kZ = 0;
constexpr int16_t kDir = 157;

constexpr int16_t kSubscribeDistance = 900;
constexpr int16_t kFollowDistance = 30000;
constexpr int16_t kFollowOffsetX = 150;

const char* const kFollowRooms[] = {
    "Reception",      "ChatHall",       "ChatElevator",   "Auditorium",    "AuditoriumHall",
    "AdRoom",         "OutsideExit",    "staircase1",     "IconViewRoom1", "IconViewRoom1Enter",
    "IconViewRoom1g", "ReceptionView1", "ReceptionView2",
};

// Printed by --help and -h.
constexpr const char* kUsage =
    "usage: scoutprobe [host [port [user [room [linger [avatar [password]]]]]]]\n"
    "       scoutprobe --help | -h | --version\n"
    "\n"
    "Logs in to a world server, enters a room, listens and logs out, tracing every\n"
    "frame sent (->) or received (<-) in hexadecimal.\n"
    "\n"
    "  host      server address, dotted-decimal IPv4      default 127.0.0.1\n"
    "  port      TCP port                                 default 6650\n"
    "  user      login name                               default scoutprobe\n"
    "  room      room to enter; the word follow shadows   default "
    "Brackenvel#Reception<dimension-1>\n"
    "            whichever actor the server reports moving\n"
    "  linger    seconds of listening, greeting, walking  default 0 (a short phase)\n"
    "  avatar    avatar set after login                   default avatar:tumbo.mov\n"
    "  password  sent at login when not empty             default empty\n"
    "\n"
    "Arguments are positional. Exit status 0 when the script ran to its end, 1 on\n"
    "any failure (a line beginning \"!! \" says which). See scoutprobe(1).\n";

struct Options {
  std::string host = "127.0.0.1";
  int port = 6650;
  std::string user = "scoutprobe";
  std::string room = "Brackenvel#Reception<dimension-1>";
  int linger = 0;
  bool follow = false;
  std::string avatar = "avatar:tumbo.mov";
  std::string password;
};

// --- Trace and socket primitives ------------------------------------------

void dump(const char* dir, const Bytes& bytes) {
  std::printf("%s ", dir);
  for (uint8_t b : bytes) std::printf("%02x ", b);
  std::printf("\n");
}

// Traces the frame, then sends all of it; false as soon as a send fails.
bool sendAll(const Bytes& packet, const char* what) {
  std::printf("-> %-10s ", what);
  dump("", packet);
  size_t sent = 0;
  while (sent < packet.size()) {
    const ssize_t n = send(g_fd, packet.data() + sent, packet.size() - sent, 0);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// One whole frame into out, without its length byte. False on end of stream,
// error, time-out or an impossible length byte; a partial frame is lost.
bool readPacket(Bytes& out) {
  uint8_t lenByte = 0;
  if (recv(g_fd, &lenByte, 1, MSG_WAITALL) != 1) return false;
  if (lenByte <= 2) {
    std::printf("!! invalid length: %u\n", lenByte);
    return false;
  }
  out.resize(lenByte - 1u);
  if (recv(g_fd, out.data(), out.size(), MSG_WAITALL) != static_cast<ssize_t>(out.size())) {
    return false;
  }
  Bytes full;
  full.reserve(lenByte);
  full.push_back(lenByte);
  full.insert(full.end(), out.begin(), out.end());
  std::printf("<- %-10s ", "");
  dump("", full);
  return true;
}

// --- Requests ---------------------------------------------------------------

// Every request goes to kObjClient but PROPREQ; positions carry kDir.
Bytes teleport(uint16_t room, int16_t x, int16_t y, int16_t z) {
  return buildTeleport(room, 0, 1, x, y, z, kDir);  // exit type 0, entry type 1
}

Bytes longLoc(int16_t x, int16_t y, int16_t z) {
  return buildLongLoc(ObjID(kObjClient), x, y, z, kDir);
}

// One new-form property, VAR_CHANNEL/BITMAP = avatar, from an empty user.
Bytes propertySet(const std::string& avatar) {
  PropertyList props;
  props.add(kVarChannel, avatar);
  return buildPropertySet("", props);
}

Bytes sessionExit() {
  OldPropertyList props;
  props.add(kVarError, "0");
  return buildSessionExit(props);
}

// --- Follow mode --------------------------------------------------------------

// Shadows whatever actor the server reported moving last.
class Follower {
 public:
  explicit Follower(uint16_t room) : currentRoom_(room) {}

  void update(const CommandBody& body) {
    if (const auto* a = std::get_if<AppearActor>(&body)) {
      moveTo(a->room, a->x, a->y, a->z);
    } else if (const auto* c = std::get_if<RoomChange>(&body)) {
      moveTo(c->room, c->x, c->y, c->z);
    } else if (const auto* l = std::get_if<LongLoc>(&body)) {
      moveTo(targetRoom_, l->x, l->y, l->z);
    } else if (const auto* t = std::get_if<Teleport>(&body); t && t->room != 0) {
      moveTo(t->room, t->x, t->y, t->z);
    }
  }

  // End of a tick: at most one request; a room change wins over a move.
  void react() {
    if (!haveTarget_) return;
    const auto nx = static_cast<int16_t>(targetX_ + kFollowOffsetX);
    if (targetRoom_ != 0 && targetRoom_ != currentRoom_) {
      sendAll(teleport(targetRoom_, nx, targetY_, targetZ_), "TELEPORT(seguir)");
      currentRoom_ = targetRoom_;
    } else if (nx != lastSentX_ || targetY_ != lastSentY_) {
      sendAll(longLoc(nx, targetY_, targetZ_), "LONGLOC(seguir)");
    }
    lastSentX_ = nx;
    lastSentY_ = targetY_;
  }

 private:
  void moveTo(uint16_t room, int16_t x, int16_t y, int16_t z) {
    targetRoom_ = room;
    targetX_ = x;
    targetY_ = y;
    targetZ_ = z;
    haveTarget_ = true;
  }

  uint16_t targetRoom_ = 0;
  uint16_t currentRoom_;
  int16_t targetX_ = 0, targetY_ = 0, targetZ_ = 0;
  int16_t lastSentX_ = kX, lastSentY_ = kY;
  bool haveTarget_ = false;
};

// --- The script ---------------------------------------------------------------

// Reads frames until 200 ms pass without one, describing every command.
void listen(Follower* follower) {
  Bytes frame;
  while (readPacket(frame)) {
    try {
      for (const Incoming& in : parsePacket(frame)) {
        std::printf("   %s\n", describe(in).c_str());
        if (follower) follower->update(in.body);
      }
    } catch (const ReadError& e) {
      std::printf("   (no parseable: %s)\n", e.what());
    }
  }
}

// Everything after the connect. ReadError and WriteError escape to main.
int runScript(const Options& o) {
  Bytes frame;
  if (!sendAll(buildPropRequest(), "PROPREQ")) return 1;
  if (!readPacket(frame)) {
    std::puts("!! no PROPUPD");
    return 1;
  }
  const std::vector<Incoming> update = parsePacket(frame);
  if (update.empty() || update.front().command != static_cast<uint8_t>(Command::PropertyUpdate)) {
    std::puts("!! expected PROPUPD");
    return 1;
  }
  std::puts("   PROPUPD received\n");

  if (!sendAll(buildSessionInit(loginProperties(o.user, o.password)), "SESSINIT")) return 1;
  if (!readPacket(frame)) {
    std::puts("!! no SESSINIT reply");
    return 1;
  }
  const std::vector<Incoming> reply = parsePacket(frame);
  const auto* si = reply.empty() ? nullptr : std::get_if<SessionInit>(&reply.front().body);
  if (!si) {
    std::puts("!! expected SESSINIT reply");
    return 1;
  }
  const std::string err = si->props.value(kVarError).value_or("(ausente)");
  std::printf("   SESSINIT: VAR_ERROR=%s %s\n", err.c_str(), si->props.describe().c_str());
  if (err != "0") {
    std::puts("!! login rechazado");
    return 1;
  }
  std::printf("   login accepted as \"%s\"\n\n",
              si->props.value(kVarUsername).value_or(o.user).c_str());

  if (!sendAll(propertySet(o.avatar), "PROPSET")) return 1;

  std::vector<std::string> roomNames;
  if (o.follow) {
    for (const char* name : kFollowRooms) roomNames.push_back(std::string("Brackenvel#") + name);
  } else {
    roomNames.push_back(o.room);
  }
  std::map<uint16_t, std::string> roomsById;
  uint16_t roomId = 0;
  for (const std::string& name : roomNames) {
    if (!sendAll(buildRoomIdRequest(name), "ROOMIDRQ")) return 1;
    if (!readPacket(frame)) {
      std::puts("!! no ROOMID");
      return 1;
    }
    // Only the first command counts; anything but a ROOMID leaves the name unresolved.
    PacketReader r(frame);
    r.objid();
    if (r.u8() != static_cast<uint8_t>(Command::RoomId)) continue;
    std::string got = r.utf();
    const uint16_t id = r.u16();
    std::printf("   ROOMID \"%s\" = %u\n", got.c_str(), id);
    roomsById[id] = std::move(got);
    if (roomId == 0) roomId = id;
  }
  std::puts("");

  const int16_t distance = o.follow ? kFollowDistance : kSubscribeDistance;
  for (const auto& entry : roomsById) {
    if (!sendAll(buildSubscribe(entry.first, kX, kY, kZ, distance), "SUBSCRIB")) return 1;
  }
  if (!sendAll(teleport(roomId, kX, kY, kZ), "TELEPORT")) return 1;

  // From here on the script always runs to its end.
  timeval tv{};
  tv.tv_usec = 200000;
  setsockopt(g_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

  std::optional<Follower> follower;
  if (o.follow) follower.emplace(roomId);
  // 64-bit so that a huge linger cannot overflow the tick count.
  const long long ticks = o.linger > 0 ? 5LL * o.linger : 5;
  for (long long t = 0; t < ticks; ++t) {
    if (t == 10 && o.linger > 0) sendAll(buildText("", "hola, soy " + o.user), "TEXT");
    if (!o.follow && o.linger > 0 && t % 5 == 0) {
      const auto x = static_cast<int16_t>(kX + 40 * (t / 5));
      if (!sendAll(longLoc(x, kY, kZ), "LONGLOC")) break;
    }
    listen(follower ? &*follower : nullptr);
    if (follower) follower->react();
  }

  sendAll(sessionExit(), "SESSEXIT");
  readPacket(frame);
  close(g_fd);
  std::puts("\nhandshake complete.");
  return 0;
}

// Base-10 int with the usual leading blanks and sign; trailing text is
// ignored. No digits at all, or a value outside int, is an error.
bool parseInt(const char* name, const char* text, int& out) {
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text, &end, 10);
  if (end == text || errno == ERANGE || v < INT_MIN || v > INT_MAX) {
    std::fprintf(stderr, "invalid %s: %s\n", name, text);
    return false;
  }
  out = static_cast<int>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // Line-buffered even into a pipe, so stdout keeps its order with stderr.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // A send to a reset peer must fail, not kill the process.
  std::signal(SIGPIPE, SIG_IGN);

  // Recognised only as the sole argument, so the positional command line keeps
  // its meaning; no IPv4 address begins with a dash.
  if (argc == 2) {
    const std::string_view arg = argv[1];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("scoutprobe %s\n", kVersion);
      return 0;
    }
  }

  Options o;
  if (argc > 1) o.host = argv[1];
  if (argc > 2 && !parseInt("port", argv[2], o.port)) return 1;
  if (argc > 3) o.user = argv[3];
  if (argc > 4) o.room = argv[4];
  if (argc > 5 && !parseInt("linger", argv[5], o.linger)) return 1;
  if (argc > 6) o.avatar = argv[6];
  if (argc > 7) o.password = argv[7];
  o.follow = o.room == "follow";

  g_fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(o.port));
  if (inet_pton(AF_INET, o.host.c_str(), &addr.sin_addr) != 1) {
    std::fprintf(stderr, "invalid address: %s\n", o.host.c_str());
    return 1;
  }
  if (connect(g_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0) {
    std::perror("connect");
    return 1;
  }
  std::printf("connected to %s:%d\n\n", o.host.c_str(), o.port);

  try {
    return runScript(o);
  } catch (const ReadError& e) {
    std::printf("!! %s\n", e.what());
  } catch (const WriteError& e) {
    std::printf("!! %s\n", e.what());
  }
  return 1;
}
