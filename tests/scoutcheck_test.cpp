// scoutcheck against stubworld (every case passes) and against the stubworld
// World with one behaviour broken (the case that rests on it fails).
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <list>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "common/netio.hpp"
#include "scoutcheck/report.hpp"
#include "stubworld/world.hpp"
#include "support/harness.hpp"
#include "veltra/proto/reader.hpp"
#include "veltra/proto/version.hpp"

namespace {

using namespace veltra::proto;
using namespace std::chrono_literals;
using testsupport::Process;

// The broken behaviour: `out` may change a frame the world sends to a
// connection (false drops it); `in` may change a command, or answer it with
// `extra` to its sender (false: the server stops, as one that crashed); with
// `crash`, so does a frame that does not decode.
struct Fault {
  std::function<bool(stubworld::ConnId, Bytes&)> out = nullptr;  // none: every frame unchanged
  std::function<bool(Incoming&, Bytes& extra)> in = nullptr;
  bool crash = false;
};

// The World behind a plain poll loop on 127.0.0.1, port chosen by the kernel.
class BrokenServer {
 public:
  explicit BrokenServer(Fault f) : fault_(std::move(f)) {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof a;
    bind(listen_, reinterpret_cast<sockaddr*>(&a), len);
    listen(listen_, 64);
    getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    thread_ = std::thread([this] { loop(); });
  }
  ~BrokenServer() {
    stop_ = true;
    thread_.join();
    close(listen_);
  }
  uint16_t port = 0;

 private:
  struct Conn {
    Conn(stubworld::ConnId i, int fd) : id(i), io(fd) {}
    stubworld::ConnId id;
    veltra::tools::Connection io;
    bool closing = false;
  };
  void loop() {
    stubworld::World world;
    std::list<Conn> conns;
    stubworld::ConnId next = 1;
    while (!stop_) {
      std::vector<pollfd> fds{{listen_, POLLIN, 0}};
      for (Conn& c : conns) fds.push_back({c.io.fd(), POLLIN, 0});
      if (poll(fds.data(), fds.size(), 20) <= 0) continue;
      for (int fd; (fd = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;)
        world.connect(next), conns.emplace_back(next++, fd);
      for (Conn& c : conns) {
        const auto io = c.io.read();
        c.closing = io == veltra::tools::Connection::Io::kClosed ||
                    io == veltra::tools::Connection::Io::kError;
        Bytes frame;
        while (!c.closing && c.io.framer().next(frame) == Framer::Result::kFrame) {
          std::vector<Incoming> cmds;
          try {
            cmds = parsePacket(frame);
          } catch (const ReadError&) {
            if (fault_.crash) return;
            c.closing = true;
          }
          for (Incoming& in : cmds) {
            Bytes extra;
            if (fault_.in && !fault_.in(in, extra))
              return;  // crashed: every socket goes with the thread
            c.io.queue(extra);
            c.closing = c.closing || !world.handle(c.id, in);
          }
        }
      }
      world.drain([&](stubworld::ConnId id, Bytes& bytes) {
        for (Conn& c : conns) {
          if (c.id != id) continue;
          for (size_t at = 0; at < bytes.size(); at += bytes[at]) {
            Bytes f(bytes.begin() + at, bytes.begin() + at + bytes[at]);
            if (!fault_.out || fault_.out(id, f)) c.io.queue(f);
          }
        }
      });
      for (auto it = conns.begin(); it != conns.end();) {
        while (it->io.pending() && it->io.flush() == veltra::tools::Connection::Io::kOk) {
        }
        if (!it->closing) {
          ++it;
          continue;
        }
        world.disconnect(it->id);
        it = conns.erase(it);
      }
    }
  }

  Fault fault_;
  int listen_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

Process check(uint16_t port, std::vector<std::string> args) {
  args.push_back("127.0.0.1:" + std::to_string(port));
  return Process(SCOUTCHECK_BIN, args, 30s);
}

bool is(const Bytes& f, Command c) { return f.size() > 2 && f[2] == static_cast<uint8_t>(c); }
Fault drop(Command c) {
  return {[c](stubworld::ConnId, Bytes& f) { return !is(f, c); }};
}
// A frame changed by `change` when it carries command c.
Fault alter(Command c, std::function<void(Bytes&)> change) {
  return {[c, change](stubworld::ConnId, Bytes& f) { return is(f, c) ? change(f), true : true; }};
}

TEST(Scoutcheck, StubworldPassesEveryCaseStrictly) {
  Process server(STUBWORLD_BIN, {"--listen", "127.0.0.1:0", "--quiet"});
  ASSERT_TRUE(server.waitFor("listening on", 10s));
  const uint16_t port =
      static_cast<uint16_t>(std::stoi(server.out.substr(server.out.rfind(':') + 1)));
  const std::string json = testing::TempDir() + "scoutcheck_" + std::to_string(getpid()) + ".json";
  const Process run = check(port, {"--strict", "--json", json});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  const Process listed = check(port, {"--dry-run"});
  const auto doc = nlohmann::json::parse(std::ifstream(json));
  EXPECT_TRUE(listed.out.ends_with("\n" + std::to_string(doc["cases"].size()) + " cases\n"));
  for (const auto& c : doc["cases"]) EXPECT_EQ(c["verdict"], "passed") << c.dump();
  EXPECT_NE(run.out.find(" cases: " + std::to_string(doc["cases"].size()) + " passed, 0 "),
            std::string::npos)
      << run.out;
}

TEST(Scoutcheck, EachBrokenBehaviourFailsItsCase) {
  std::set<std::pair<stubworld::ConnId, uint8_t>> announced;  // by the ids/reuse fault
  Fault crashOnBadFrame, crashOnUnknown{{}, [](Incoming&in, Bytes&) { return in.command != 99; }};
  crashOnBadFrame.crash = true;
  // Each row: the case that must fail, the broken behaviour, what its failure shows, the fault.
  const std::tuple<const char*, const char*, const char*, Fault> rows[] = {
      {"framing/compound",
       "a compound frame one byte short",
       "does not decode",
       {[](stubworld::ConnId, Bytes& f) {
         if (f[1] == kObjCompound) f.pop_back(), f[0] = static_cast<uint8_t>(f.size());
         return true;
       }}},
      {"framing/target", "PROPUPD addressed to the client", "expected: PROPUPD addressed to #255",
       alter(Command::PropertyUpdate, [](Bytes& f) { f[1] = kObjClient; })},
      {"props/all", "no PROPUPD", "expected: PROPUPD answering PROPREQ",
       drop(Command::PropertyUpdate)},
      {"login/refused-protocol",
       "protocol 23 accepted",
       "got:      VAR_ERROR=0",
       {{},
        [](Incoming& in, Bytes&) {
          if (auto* si = std::get_if<SessionInit>(&in.body)) {
            OldPropertyList p;
            for (const OldProperty& e : si->props.all())
              p.add(e.id, e.id == kVarProtocol ? "24" : e.value);
            si->props = p;
          }
          return true;
        }}},
      {"login/accepted", "no SESSINIT reply", "expected: SESSINIT reply",
       drop(Command::SessionInit)},
      {"rooms/number", "ROOMID with number 0", "with a non-zero number",
       alter(Command::RoomId, [](Bytes& f) { f.end()[-1] = f.end()[-2] = 0; })},
      {"visibility/appear", "no APPRACTR", "expected: APPRACTR for", drop(Command::AppearActor)},
      {"visibility/disappear", "no DISAPPR", "expected: DISAPPR for", drop(Command::Disappear)},
      {"move/not-to-mover",
       "a move relayed back to its mover",
       "expected: no move relayed back to the mover",
       {{},
        [](Incoming& in, Bytes& extra) {
          if (const auto* m = std::get_if<LongLoc>(&in.body))
            extra = buildLongLoc(ObjID("me"), m->x, m->y, m->z, m->dir);
          return true;
        }}},
      {"chat/relay", "no TEXT", "expected: TEXT from", drop(Command::Text)},
      {"ids/announced", "short ids never announced", "announced with REGOBJID before use",
       drop(Command::RegisterObjId)},
      {"ids/reuse",
       "an id announced once to a client, then given to another actor unannounced",
       "announced with REGOBJID before use",
       {[&](stubworld::ConnId to, Bytes& f) {
         return !is(f, Command::RegisterObjId) || announced.insert({to, f.back()}).second;
       }}},
      {"logout/reply", "no SESSEXIT reply", "expected: SESSEXIT reply", drop(Command::SessionExit)},
      {"robust/truncated", "a crash on a frame that does not decode",
       "expected: afterwards, a fresh connection served", crashOnBadFrame},
      {"robust/unknown", "a crash on an unknown command",
       "expected: afterwards, a fresh connection served", crashOnUnknown},
  };
  for (const auto& [id, what, why, fault] : rows) {
    announced.clear();
    BrokenServer server(fault);
    const Process run = check(server.port, {"--strict", "-o", "300ms", "--case", id});
    EXPECT_EQ(run.status, 1) << what;
    EXPECT_NE(run.out.find(std::string("\u00d7 ") + id + " "), std::string::npos) << what << "\n"
                                                                                  << run.out;
    EXPECT_NE(run.out.find(std::string("re-run:   scoutcheck --case ") + id), std::string::npos)
        << what;
    EXPECT_NE(run.out.find(why), std::string::npos) << what << "\n" << run.out;
  }
  // Without a login, a case that needs one has nothing to judge; a MUST not passed fails the run.
  BrokenServer noLogin(drop(Command::SessionInit));
  const Process run = check(noLogin.port, {"-o", "300ms", "-c", "visibility/appear"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.out.starts_with("- visibility/appear ")) << run.out;
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != text.npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(Scoutcheck, JunitHasAFailurePerFailedCase) {
  BrokenServer server(drop(Command::AppearActor));  // props pass, visibility fails
  const std::string path = testing::TempDir() + "scoutcheck_" + std::to_string(getpid()) + ".xml";
  const Process run =
      check(server.port, {"-o", "300ms", "-c", "props", "-c", "visibility", "--junit", path});
  std::stringstream xml;
  xml << std::ifstream(path).rdbuf();
  const std::string x = xml.str();
  // One line per case, indented detail lines under the failures, the summary.
  const size_t failed = count(run.out, "\u00d7 "),
               cases = count(run.out, "\n") - 1 - count(run.out, "\n    ");
  EXPECT_EQ(run.status, 1);
  EXPECT_GT(failed, 0u);
  EXPECT_LT(failed, cases);
  EXPECT_EQ(count(x, "<failure "), failed) << x;
  EXPECT_EQ(count(x, "</failure>"), failed);
  EXPECT_EQ(count(x, "<testcase "), cases);
  EXPECT_EQ(count(x, "<testcase "), count(x, "</testcase>"));
  EXPECT_NE(x.find("<testsuites tests=\"" + std::to_string(count(x, "<testcase ")) +
                   "\" failures=\"" + std::to_string(failed) + "\""),
            std::string::npos);
  EXPECT_TRUE(x.starts_with("<?xml ") && x.ends_with("</testsuite>\n</testsuites>\n"));
}

// What each verdict weighs, with and without --strict: in the exit status, the quiet output,
// the summary and the JUnit counts.
TEST(Scoutcheck, VerdictsWeighInStatusSummaryAndJunit) {
  using scoutcheck::Level, scoutcheck::Verdict, scoutcheck::Run;
  const scoutcheck::Case must{"g/must", "g", Level::kMust, false, "m", nullptr},
      should{"g/should", "g", Level::kShould, false, "s", nullptr};
  const auto result = [](const scoutcheck::Case& c, Verdict v, std::string expected = "",
                         std::string got = "") {
    return scoutcheck::Result{&c, {v, std::move(expected), std::move(got)}, 0};
  };
  const struct {
    Verdict verdict;
    bool must, should, strict;  // does it fail the run: a MUST, a SHOULD, either with --strict
  } rows[] = {{Verdict::kPassed, false, false, false},
              {Verdict::kNonStrict, false, false, true},
              {Verdict::kFailed, true, false, true},
              {Verdict::kSkipped, true, false, true}};
  for (const auto& row : rows) {
    for (const bool strict : {false, true}) {
      const Run run{{}, "", strict, 0};
      EXPECT_EQ(run.counts(result(must, row.verdict)), strict ? row.strict : row.must);
      EXPECT_EQ(run.counts(result(should, row.verdict)), strict ? row.strict : row.should);
    }
  }
  Run run{{result(must, Verdict::kPassed), result(should, Verdict::kNonStrict, "", "late"),
           result(should, Verdict::kNonStrict, "", "late"),
           result(must, Verdict::kFailed, "a <b>", "c & \"d\""),
           result(should, Verdict::kSkipped, "", "no login")},
          "127.0.0.1:1",
          true,
          1.5};
  std::ostringstream summary, quiet;
  scoutcheck::printSummary(summary, run);
  EXPECT_EQ(summary.str(),
            "5 cases: 1 passed, 2 passed not strictly, 1 failed (1 MUST), 1 skipped in 1.5 s "
            "(strict)\n");
  EXPECT_NE(scoutcheck::junit(run).find("tests=\"5\" failures=\"3\" errors=\"0\" skipped=\"1\""),
            std::string::npos);
  EXPECT_NE(scoutcheck::junit(run).find("a &lt;b&gt;\ngot: c &amp; &quot;d&quot;</failure>"),
            std::string::npos)
      << scoutcheck::junit(run);
  run.strict = false;
  EXPECT_NE(scoutcheck::junit(run).find("failures=\"1\""), std::string::npos);
  for (const auto& r : run.results) scoutcheck::printResult(quiet, run, r, true);
  EXPECT_TRUE(quiet.str().starts_with("\u00d7 g/must ")) << quiet.str();
  EXPECT_NE(quiet.str().find("\n- g/should "), std::string::npos) << quiet.str();
  EXPECT_EQ(count(quiet.str(), "\u2714"), 0u);
}

TEST(Scoutcheck, CommandLine) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);  // a port nothing listens on
  sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), len);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  const std::string closed = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
  const std::tuple<std::vector<std::string>, int, std::string> rows[] = {
      {{"--version"}, 0, std::string("scoutcheck ") + kVersion + "\n"},
      {{"-o", "5x"}, 2, "scoutcheck: --timeout: want a duration"},
      {{"-o", "0"}, 2, "scoutcheck: --timeout: want 1ms to 10min, got 0 (seconds)\n"},
      {{"-o", "11m"}, 2, "scoutcheck: --timeout: want 1ms to 10min, got 11m\n"},
      {{"-c", "nope", "--dry-run"}, 2, "scoutcheck: no case or group nope"},
      {{"localhost:1"}, 2, "scoutcheck: invalid server address"},
      {{"127.0.0.1:65536"}, 2, "scoutcheck: invalid server address"},
      {{closed}, 1, "scoutcheck: cannot reach " + closed + ": connect: Connection refused\n"},
  };
  for (const auto& [args, status, text] : rows) {
    const Process r(SCOUTCHECK_BIN, args, 10s);
    EXPECT_EQ(r.status, status) << args[0];
    EXPECT_TRUE((status ? r.err : r.out).starts_with(text)) << r.err << r.out;
  }
  // Durations take units; the robustness cases are exactly those --no-robustness leaves out.
  const auto listed = [](std::vector<std::string> args) {
    args.push_back("--dry-run");
    const Process r(SCOUTCHECK_BIN, args, 10s);
    EXPECT_EQ(r.status, 0) << r.err;
    return count(r.out, "\n") - 1;
  };
  EXPECT_EQ(listed({"-o", "500ms", "-c", "robust"}) + listed({"-o", "2", "--no-robustness"}),
            listed({"-o", "1.5s"}));
  EXPECT_EQ(listed({"-c", "ids/reuse"}), 1u);
}

}  // namespace
