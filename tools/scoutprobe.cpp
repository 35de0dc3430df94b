// scoutprobe: a command-line test client. It connects to a world server,
// asks for the protocol's properties and awaits the update, tracing every
// frame it sends or receives as hexadecimal on stdout.
//
//   scoutprobe [host [port [user [room [linger [avatar [password]]]]]]]
//
// Exit status 0 when the script ran to
// its end, 1 on any earlier failure.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "veltra/proto/commands.hpp"
#include "veltra/proto/reader.hpp"

namespace {

using namespace veltra::proto;

// The connected socket; set once, used by sendAll and readPacket.
int g_fd = -1;

// Start position and the direction sent with every position.
constexpr int16_t kX = 1228;
constexpr int16_t kY = 2465;
constexpr int16_t kZ = 0;
constexpr int16_t kDir = 157;

struct Options {
  std::string host = "127.0.0.1";
  int port = 6650;
  std::string user = "scoutprobe";
  std::string room = "Brackenvel#Reception<dimension-1>";
  int linger = 0;
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

Bytes propRequest() { return PacketWriter(ObjID(kObjProtocol), Command::PropRequest).finish(); }

// --- The script ---------------------------------------------------------------

// Everything after the connect. ReadError escapes to main.
int runScript() {
  Bytes frame;
  if (!sendAll(propRequest(), "PROPREQ")) return 1;
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
  close(g_fd);
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

  Options o;
  if (argc > 1) o.host = argv[1];
  if (argc > 2 && !parseInt("port", argv[2], o.port)) return 1;
  if (argc > 3) o.user = argv[3];
  if (argc > 4) o.room = argv[4];
  if (argc > 5 && !parseInt("linger", argv[5], o.linger)) return 1;
  if (argc > 6) o.avatar = argv[6];
  if (argc > 7) o.password = argv[7];

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
    return runScript();
  } catch (const ReadError& e) {
    std::printf("!! %s\n", e.what());
  } catch (const WriteError& e) {
    std::printf("!! %s\n", e.what());
  }
  return 1;
}
