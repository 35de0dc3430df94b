// End-to-end runs of the scoutprobe binary against a scripted loopback peer:
// exact stdout, stderr and exit status, and the exact bytes the client sent.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "support/process.hpp"
#include "support/scripted_peer.hpp"
#include "veltra/proto/commands.hpp"

namespace {

using namespace veltra::proto;
using namespace std::chrono_literals;
using testsupport::PeerStep;

std::string trace(const char* dir, const char* label, const Bytes& frame) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s %-10s  ", dir, label);
  std::string line = buf;
  for (uint8_t b : frame) {
    std::snprintf(buf, sizeof buf, "%02x ", b);
    line += buf;
  }
  return line + "\n";
}

// The peer's script and, step by step, what the client must print and send.
struct Dialog {
  std::vector<PeerStep> steps;
  std::string out;
  Bytes sent;

  Dialog& tx(const char* label, const Bytes& f) {
    steps.push_back(PeerStep::expect(1));
    out += trace("->", label, f);
    sent.insert(sent.end(), f.begin(), f.end());
    return *this;
  }
  Dialog& rx(const Bytes& f) {
    steps.push_back(PeerStep::send(f));
    out += trace("<-", "", f);
    return *this;
  }
  Dialog& say(const std::string& text) {
    out += text;
    return *this;
  }
  Dialog& peer(PeerStep step) {
    steps.push_back(std::move(step));
    return *this;
  }
};

// Runs the client; "{port}" in an argument stands for the peer's port.
void play(const Dialog& d, std::vector<std::string> args, int status) {
  testsupport::ScriptedPeer peer(d.steps);
  const std::string port = std::to_string(peer.port());
  for (std::string& a : args) {
    if (auto at = a.find("{port}"); at != std::string::npos) a.replace(at, 6, port);
  }
  const auto r = testsupport::runProcess(SCOUTPROBE_BIN, args);
  EXPECT_EQ(r.out, "connected to 127.0.0.1:" + port + "\n\n" + d.out);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, status);
  EXPECT_EQ(peer.received(), d.sent);
  EXPECT_EQ(peer.error(), "");
}

const Bytes kPropReq = {0x03, 0xff, 0x0a};  // length 3, target 255, PROPREQ

// A port where nothing listens: bound, then closed again.
std::string deadPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return std::to_string(ntohs(addr.sin_port));
}

// Failures before anything is sent: stderr only, status 1, no connection.
TEST(ScoutprobeTest, NoConnection) {
  struct Row {
    std::vector<std::string> args;
    std::string err;
  } rows[] = {
      {{"localhost", "{port}"}, "invalid address: localhost\n"},
      {{"127.0.0.1", "abc"}, "invalid port: abc\n"},
      {{"127.0.0.1", "2147483648"}, "invalid port: 2147483648\n"},
      {{"127.0.0.1", "{port}", "u", "r", " -"}, "invalid linger:  -\n"},
      {{"127.0.0.1", "{port}", "u", "r", "-2147483649"}, "invalid linger: -2147483649\n"},
      {{"127.0.0.1", deadPort()}, "connect: Connection refused\n"},
  };
  for (Row& row : rows) {
    testsupport::ScriptedPeer peer({});
    for (std::string& a : row.args) {
      if (a == "{port}") a = std::to_string(peer.port());
    }
    const auto r = testsupport::runProcess(SCOUTPROBE_BIN, row.args);
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(peer.connected()) << row.err;
  }
}

// Every way the script can stop before its listening phase; each row starts
// after the PROPREQ, whose trace line is checked literally.
TEST(ScoutprobeTest, ScriptFailures) {
  struct Row {
    const char* name;
    std::string port, user;
    std::function<void(Dialog&)> script;
  } rows[] = {
      {"no reply, port with trailing text", "{port}x", "u",
       [](Dialog& d) { d.peer(PeerStep::close()).say("!! no PROPUPD\n"); }},
      {"invalid length byte", "{port}", "u",
       [](Dialog& d) {
         d.peer(PeerStep::send({0x02})).say("!! invalid length: 2\n!! no PROPUPD\n");
       }},
      {"PROPREQ reply that does not decode", "{port}", "u",
       [](Dialog& d) {
         d.peer(PeerStep::send({0x05, 0x01, 0x0e, 0x41, 0x42}))  // TEXT, string overruns
             .say("<-             05 01 0e 41 42 \n!! UTF string overruns the packet\n");
       }},
      {"not a PROPUPD", "{port}", "u",
       [](Dialog& d) { d.rx(buildSessionInitReply({})).say("!! expected PROPUPD\n"); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Dialog d;
    d.peer(PeerStep::expect(1)).say("-> PROPREQ     03 ff 0a \n").sent = kPropReq;
    row.script(d);
    play(d, {"127.0.0.1", row.port, row.user}, 1);
  }
}

}  // namespace
