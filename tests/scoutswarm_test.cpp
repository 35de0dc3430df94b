// scoutswarm: its histogram's bucket layout and merge, whole runs against
// stubworld whose counts the schedule fixes exactly, the merge of reports, and
// the errors counted by kind against misbehaving peers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "common/text.hpp"
#include "scoutswarm/compare.hpp"
#include "scoutswarm/readpace.hpp"
#include "scoutswarm/report.hpp"
#include "scoutswarm/thresholds.hpp"
#include "support/harness.hpp"
#include "veltra/proto/commands.hpp"
#include "veltra/proto/view.hpp"

namespace {

using namespace scoutswarm;
using namespace testsupport;
using namespace std::chrono_literals;
namespace proto = veltra::proto;

std::string tempPath(const std::string& name) {
  return testing::TempDir() + "swarm_" + std::to_string(getpid()) + "_" + name;
}

Report readReport(const std::string& path) {
  std::stringstream s;
  s << std::ifstream(path).rdbuf();
  return Report::fromJson(s.str());
}

uint8_t code(proto::Command c) { return static_cast<uint8_t>(c); }

// The last row of a CSV written with --csv, split at the commas.
std::vector<std::string> lastRow(const std::string& path) {
  std::ifstream f(path);
  std::string line, last;
  while (std::getline(f, line)) last = line;
  std::vector<std::string> cells;
  std::stringstream row(last);
  for (std::string cell; std::getline(row, cell, ',');) cells.push_back(cell);
  return cells;
}

// A report of 10 planned sessions, 8 completed and 2 failed over 2 s: 100 relays from 1 to
// 100 ms, 3 errors, 50 moves, no chat line received.
Report fixedReport() {
  Report r;
  r.planned = 10, r.completed = 8, r.failed = 2, r.seconds = 2;
  for (uint64_t ms = 1; ms <= 100; ++ms) r.relay.record(ms * 1000);
  r.errors["connection reset"] = 3;
  r.movesSent = 50;
  return r;
}

// A merge of a report with a copy of it: every count doubles, counts per second and per group
// too; extremes, percentiles, bucket bounds and the length stay.
void expectDoubled(const nlohmann::json& got, const nlohmann::json& one, const std::string& at) {
  static const std::set<std::string> kStay = {"seconds", "min",   "max",  "p50",      "p90",
                                              "p99",     "p99.9", "code", "observed", "schema"};
  const auto sub = [](const nlohmann::json& j, const auto& key) {
    if constexpr (std::is_integral_v<std::decay_t<decltype(key)>>)
      return j.is_array() && key < j.size() ? j[key] : nlohmann::json();
    else
      return j.is_object() && j.contains(key) ? j[key] : nlohmann::json();
  };
  if (got.is_object()) {
    for (const auto& [k, v] : got.items())
      if (k != "runs") expectDoubled(v, sub(one, k), at + "." + k);
  } else if (got.is_array()) {
    for (size_t i = 0; i < got.size(); ++i)
      expectDoubled(got[i], sub(one, i), at + "[" + std::to_string(i) + "]");
  } else if (got.is_number()) {
    const bool bound = at.find(".buckets[") != std::string::npos && at.ends_with("][0]");
    if (bound || std::ranges::any_of(kStay, [&](auto& k) { return at.ends_with("." + k); }))
      EXPECT_EQ(got, one) << at;
    else
      EXPECT_EQ(got.get<double>(), 2 * (one.is_null() ? 0 : one.get<double>())) << at;
  }
}

TEST(Histogram, BucketsPercentilesAndMerge) {
  // Every value falls into the bucket whose bounds hold it, no bucket wider than 1/64 of it.
  for (size_t i = 0; i < Histogram::kBuckets; ++i) {
    ASSERT_EQ(Histogram::bucketOf(Histogram::lowest(i)), i);
    ASSERT_EQ(Histogram::bucketOf(Histogram::highest(i)), i);
    ASSERT_LE(Histogram::highest(i) - Histogram::lowest(i), Histogram::lowest(i) / 64);
  }
  struct Row {
    std::vector<uint64_t> values;
    double percent;
    uint64_t expected;
  } rows[] = {
      {{}, 50, 0},
      {{7}, 99.9, 7},
      {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 50, 5},  // exact below 128
      {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 90, 9},
      {{1000, 1000, 1000, 1000, 5'000'000}, 80, 1007},       // the bucket 1000..1007
      {{1000, 1000, 1000, 1000, 5'000'000}, 81, 5'000'000},  // the exact maximum
      {{uint64_t{1} << 50}, 50, Histogram::kMaxValue},       // clamped
  };
  for (const Row& r : rows) {
    Histogram all, odd, even;
    for (size_t i = 0; i < r.values.size(); ++i) {
      all.record(r.values[i]);
      (i % 2 ? odd : even).record(r.values[i]);
    }
    EXPECT_EQ(all.percentile(r.percent), r.expected) << r.percent;
    odd.merge(even);
    EXPECT_EQ(odd, all);
    EXPECT_EQ(SparseHistogram::of(all).expand().percentile(r.percent), r.expected);
  }
}

// Text bound for JSON or a terminal, differentially against the JSON writer's own check, over
// every string of 4 bytes from the edges of the UTF-8 ranges: validUtf8 keeps what it accepts
// and mends what it refuses; escapeText leaves nothing it refuses.
TEST(Text, ValidUtf8AndEscapeTextAgreeWithJson) {
  const uint8_t edges[] = {0x00, 0x41, 0x7f, 0x80, 0x8f, 0x90, 0x9f, 0xa0, 0xbf, 0xc0, 0xc1, 0xc2,
                           0xdf, 0xe0, 0xe1, 0xed, 0xee, 0xef, 0xf0, 0xf1, 0xf4, 0xf5, 0xff};
  using Json = nlohmann::json;  // a string it takes whole is one that it neither drops nor mends
  const auto valid = [](const std::string& s) {
    return Json(s).dump(-1, ' ', false, Json::error_handler_t::ignore) ==
           Json(s).dump(-1, ' ', false, Json::error_handler_t::replace);
  };
  for (uint8_t a : edges)
    for (uint8_t b : edges)
      for (uint8_t c : edges)
        for (uint8_t d : edges) {
          const std::string s{char(a), char(b), char(c), char(d)};
          using veltra::tools::validUtf8, veltra::tools::escapeText;
          ASSERT_EQ(validUtf8(s) == s, valid(s)) << testing::PrintToString(s);
          ASSERT_TRUE(valid(validUtf8(s)) && valid(escapeText(s))) << testing::PrintToString(s);
        }
}

// A run of 4 sessions in one room on stubworld: every session is in the world before the first
// move (half a period after its teleport) and after the last, so every move reaches the 3
// others and every line all 4; 2 s at 2 moves/s and 1 line/s are 4 moves and 2 lines each.
TEST(Scoutswarm, RunCountsAndMerge) {
  Process server(STUBWORLD_BIN, {"--listen", "127.0.0.1:0", "--quiet"});
  ASSERT_TRUE(server.waitFor("listening on", 10s));
  const std::string endpoint = server.out.substr(13, server.out.find('\n') - 13);
  const std::string json = tempPath("run.json"), merged = tempPath("merged.json"),
                    csv = tempPath("run.csv"), again = tempPath("again.json");
  const Process run(SCOUTSWARM_BIN, {endpoint,      "--sessions",
                                     "4",           "--duration",
                                     "2",           "--move-rate",
                                     "2",           "--chat-rate",
                                     "1",           "--ramp",
                                     "1000",        "--quiet",
                                     "--json",      json,
                                     "--csv",       csv,
                                     "--threshold", "relay.p99<10s",
                                     "--threshold", "sessions.failed==0"},
                    30s);
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(run.out.substr(run.out.rfind("verdict:")),
            "verdict: PASS: 4 of 4 sessions completed, 0 error(s), 0 of 2 threshold(s) "
            "breached\n");
  const Report r = readReport(json);
  // The CSV's last row, the timeline's sums and the summary's totals agree.
  const std::vector<std::string> row = lastRow(csv);
  ASSERT_EQ(row.size(), 9u);
  EXPECT_EQ(std::vector<std::string>(row.begin() + 3, row.begin() + 7),
            (std::vector<std::string>{"4", "0", "16", "48"}));
  EXPECT_EQ(row[8], "0");
  // Each row's relay p99 in ms is its second's; the highest of them, the highest of the seconds.
  double rowsP99 = 0, secondsP99 = 0;
  std::ifstream f(csv);
  for (std::string line; std::getline(f, line);) {
    const size_t last = line.rfind(','), before = line.rfind(',', last - 1);
    if (std::isdigit(static_cast<unsigned char>(line[0])))
      rowsP99 = std::max(rowsP99, std::stod(line.substr(before + 1, last - before - 1)));
  }
  for (const Interval& in : r.timeline)
    secondsP99 = std::max<double>(secondsP99, in.latency[kRelayLatency].expand().percentile(99));
  EXPECT_NEAR(rowsP99, secondsP99 / 1000, 0.0005);
  Interval sum;
  for (const Interval& in : r.timeline) {
    sum.started += in.started, sum.completed += in.completed, sum.movesSent += in.movesSent;
    sum.relays += in.relays, sum.linesReceived += in.linesReceived;
    for (size_t i = 0; i < kLatencies; ++i) sum.latency[i].merge(in.latency[i]);
  }
  EXPECT_EQ(r.timeline.size(), static_cast<size_t>(std::ceil(r.seconds)));
  EXPECT_EQ(std::tie(sum.started, sum.completed, sum.movesSent, sum.relays, sum.linesReceived),
            std::make_tuple(r.planned, r.completed, r.movesSent, r.relay.count(), r.chat.count()));
  for (size_t i = 0; i < kLatencies; ++i)
    EXPECT_EQ(sum.latency[i], SparseHistogram::of(r.latency(i))) << kLatencyNames[i];
  EXPECT_EQ(r.planned, 4u);
  EXPECT_EQ(r.completed, 4u);
  EXPECT_EQ(r.failed, 0u);
  for (const Histogram& step : r.steps) EXPECT_EQ(step.count(), 4u);
  EXPECT_EQ(r.movesSent, 16u);
  EXPECT_EQ(r.linesSent, 8u);
  EXPECT_EQ(r.relay.count(), 16u * 3);
  EXPECT_EQ(r.chat.count(), 8u * 4);
  EXPECT_EQ(r.foreignMoves + r.foreignLines, 0u);
  EXPECT_GT(std::min(r.relay.min(), r.chat.min()),
            0u);  // in us: a trip through a server takes some
  using C = proto::Command;
  for (C c : {C::PropRequest, C::SessionInit, C::PropertySet, C::RoomIdRequest, C::Subscribe,
              C::Teleport, C::SessionExit})
    EXPECT_EQ(r.framesSent[code(c)], 4u) << proto::commandName(code(c));
  EXPECT_EQ(r.framesSent[code(C::LongLoc)], 16u);
  EXPECT_EQ(r.framesSent[code(C::Text)], 8u);
  EXPECT_EQ(r.commandsReceived[code(C::LongLoc)], 48u);
  EXPECT_EQ(r.commandsReceived[code(C::Text)], 32u);
  EXPECT_TRUE(r.errors.empty());

  // The run merged with itself is refused; with a copy under another id, every count doubles
  // and every percentile stays.
  const Process twiceOver(SCOUTSWARM_BIN, {"merge", json, json}, 10s);
  EXPECT_EQ(twiceOver.status, 1);
  EXPECT_EQ(twiceOver.err,
            "scoutswarm: " + json + ": run " + r.runs[0].id + " is already in the merge\n");
  Report copy = r;
  copy.runs[0].id = "another";
  std::ofstream(again) << copy.toJson();
  const Process m(SCOUTSWARM_BIN, {"merge", json, again, "--json", merged}, 10s);
  ASSERT_EQ(m.status, 0) << m.err;
  EXPECT_NE(m.out.find("verdict: PASS: 8 of 8 sessions completed"), std::string::npos);
  const Report twice = readReport(merged);
  EXPECT_EQ(twice.runs.size(), 2u);
  expectDoubled(nlohmann::json::parse(twice.toJson()), nlohmann::json::parse(r.toJson()), "");
}

// A scenario of four groups on stubworld, 2 s each: every count the plan fixes, by group. Walkers
// and the talker are in the plan's two rooms, which the idle session watches both of, so it
// receives every move and line; the hoppers' rooms hold nobody else. A hopper looks up the 3 of
// its 4 rooms it watches or hops to (2.4 hops, rounded down), the idle session the plan's 2; each
// session subscribes to the rooms it watches.
TEST(Scoutswarm, ScenarioCountsByGroup) {
  Process server(STUBWORLD_BIN, {"--listen", "127.0.0.1:0", "--quiet"});
  ASSERT_TRUE(server.waitFor("listening on", 10s));
  const std::string endpoint = server.out.substr(13, server.out.find('\n') - 13);
  const std::string file = tempPath("scenario.json"), json = tempPath("scenario-run.json");
  std::ofstream(file) << R"({"groups": [
      {"name": "walkers", "count": 2, "move_rate": 2, "chat_rate": 0, "duration": 2},
      {"name": "talker", "count": 1, "move_rate": 0, "chat_rate": 1, "duration": 2},
      {"name": "hoppers", "count": 2, "idle": true, "hop_rate": 1.2, "prop_rate": 1.2,
       "rooms": ["a", "b", "c", "d"], "watch": 2, "duration": 2, "ramp": 50},
      {"name": "idle", "count": 1, "idle": true, "watch": 3, "duration": 2}]})";
  const Process run(
      SCOUTSWARM_BIN,
      {endpoint, "--scenario", file, "--rooms", "2", "--ramp", "1000", "--quiet", "--json", json},
      30s);
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  using Sent = std::map<std::string, uint64_t>;
  const struct {
    std::string name;
    uint64_t sessions;
    Sent sent;
    uint64_t relays, lines;  // received; ~0: what timing decides
  } rows[] = {
      {"walkers", 2, {{"moves", 8}, {"lines", 0}, {"hops", 0}, {"props", 0}}, ~0ull, ~0ull},
      {"talker", 1, {{"moves", 0}, {"lines", 2}, {"hops", 0}, {"props", 0}}, ~0ull, ~0ull},
      {"hoppers", 2, {{"moves", 0}, {"lines", 0}, {"hops", 4}, {"props", 4}}, 0, 0},
      {"idle", 1, {{"moves", 0}, {"lines", 0}, {"hops", 0}, {"props", 0}}, 8, 2},
  };
  // The merge of the run with a copy of itself (another run id) doubles every group's counts.
  const std::string copy = tempPath("scenario-copy.json"),
                    merged = tempPath("scenario-merged.json");
  {
    std::stringstream text;
    text << std::ifstream(json).rdbuf();
    auto j = nlohmann::json::parse(text.str());
    j["runs"][0]["id"] = "copy";
    std::ofstream(copy) << j.dump();
  }
  ASSERT_EQ(Process(SCOUTSWARM_BIN, {"merge", json, copy, "--json", merged}, 10s).status, 0);
  for (int times : {1, 2}) {
    const Report r = readReport(times == 1 ? json : merged);
    ASSERT_EQ(r.groups.size(), 4u);
    for (const auto& row : rows) {
      const auto g = std::find_if(r.groups.begin(), r.groups.end(),
                                  [&](const GroupReport& x) { return x.name == row.name; });
      ASSERT_NE(g, r.groups.end()) << row.name;
      EXPECT_EQ(g->planned, times * row.sessions) << row.name;
      EXPECT_EQ(g->completed, times * row.sessions) << row.name;
      for (const char* step : {"connect", "SESSINIT", "SESSEXIT"})  // each member's own
        EXPECT_EQ(g->steps.count(step) ? g->steps.at(step).count() : 0, times * row.sessions)
            << row.name << " " << step;
      Sent sent = row.sent;
      for (auto& [activity, n] : sent) n *= times;
      EXPECT_EQ(g->sent, sent) << row.name;
      if (row.relays != ~0ull) {
        EXPECT_EQ(g->relay.count(), times * row.relays) << row.name;
        EXPECT_EQ(g->chat.count(), times * row.lines) << row.name;
      }
    }
    using C = proto::Command;
    EXPECT_EQ(r.movesSent, times * 8u);
    EXPECT_EQ(r.framesSent[code(C::RoomIdRequest)], times * (2 + 1 + 2 * 3 + 2u));
    EXPECT_EQ(r.framesSent[code(C::Subscribe)], times * (2 + 1 + 2 * 2 + 2u));
    EXPECT_EQ(r.framesSent[code(C::Teleport)], times * (6 + 4u));
    EXPECT_EQ(r.framesSent[code(C::PropertySet)], times * (6 + 4u));
  }
  EXPECT_NE(run.out.find("\nhoppers "), std::string::npos) << run.out;  // the groups' table

  // A scenario that is not one is a usage error naming the file and the key.
  const struct {
    std::string text;
    std::vector<std::string> args;
    std::string line;
  } bad[] = {
      {R"({"groups": [{"name": "a", "count": 1}, {"name": "b", "count": 1, "move_rate": -1}]})",
       {},
       file + ": groups[1].move_rate: below 0"},
      {R"({"groups": [{"name": "a", "count": 2, "hop_rate": 1}]})",
       {},
       file + ": groups[0].hop_rate: hopping needs two rooms"},
      {R"({"groups": [{"name": "a", "count": 2}]})", {"--move-rate", "2"}, "--move-rate"},
  };
  for (const auto& row : bad) {
    std::ofstream(file) << row.text;
    std::vector<std::string> args{endpoint, "--scenario", file, "--quiet"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    const Process usage(SCOUTSWARM_BIN, args, 5s);
    EXPECT_EQ(usage.status, 2) << row.text;
    EXPECT_EQ(usage.err.rfind("scoutswarm: " + row.line, 0), 0u) << usage.err;
    EXPECT_EQ(usage.err.find('\n'), usage.err.size() - 1) << usage.err;
  }
}

// One hopper against a scripted server: it looks up the 4 rooms it watches or hops to (4 hops in
// 2 s), one at a time, subscribes to the 2 it watches, enters its own and hops round the ring.
TEST(Scoutswarm, HopperLooksUpWatchesAndHopsRoundItsRing) {
  const std::string file = tempPath("hopper.json"), json = tempPath("hopper-run.json");
  std::ofstream(file) << R"({"groups": [{"name": "h", "count": 1, "idle": true, "hop_rate": 2,
                             "rooms": ["a", "b", "c", "d"], "watch": 2, "duration": 2}]})";
  proto::OldPropertyList ok;
  ok.add(proto::kVarError, "0");
  ScriptedPeer peer({1, proto::buildPropertyUpdate({}), 1, proto::buildSessionInitReply(ok), 2,
                     proto::buildRoomId("a", 11), 1, proto::buildRoomId("b", 12), 1,
                     proto::buildRoomId("c", 13), 1, proto::buildRoomId("d", 14), 2 + 1 + 4 + 1,
                     proto::buildSessionExitReply(0), 500ms});
  const Process run(
      SCOUTSWARM_BIN,
      {"127.0.0.1:" + std::to_string(peer.port), "--scenario", file, "--quiet", "--json", json},
      10s);
  peer.finish();
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  std::vector<std::string> lookups;
  std::vector<uint16_t> subscribed, teleports;
  using C = proto::Command;
  for (size_t at = 0; at < peer.received.size(); at += peer.received[at]) {
    const auto f = proto::FrameView::whole({peer.received.data() + at, peer.received[at]});
    const uint8_t c = f.command();
    if (c != code(C::RoomIdRequest) && c != code(C::Subscribe) && c != code(C::Teleport)) continue;
    const auto in = proto::parsePacket(f.packet()).front();
    if (const auto* r = std::get_if<proto::RoomIdRequest>(&in.body)) lookups.push_back(r->roomName);
    if (const auto* r = std::get_if<proto::Subscribe>(&in.body)) subscribed.push_back(r->room);
    if (const auto* r = std::get_if<proto::Teleport>(&in.body)) teleports.push_back(r->room);
  }
  EXPECT_EQ(lookups, (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(subscribed, (std::vector<uint16_t>{11, 12}));
  EXPECT_EQ(teleports, (std::vector<uint16_t>{11, 12, 13, 14, 11}));
  EXPECT_EQ(readReport(json).steps[kRoomId].count(), 4u);
}

// One session against a peer that misbehaves after the PROPREQ (or the login): one error of
// the expected kind, the session failed, exit status 1.
TEST(Scoutswarm, ErrorsByKind) {
  const Bytes propUpd = proto::buildPropertyUpdate({});
  proto::OldPropertyList full, ok, hostile;
  full.add(proto::kVarError, "4");
  ok.add(proto::kVarError, "0");
  hostile.add(proto::kVarError, "\xed\xa0\x80\nverdict: PASS\x1b[31m");  // a lone surrogate
  using Kinds = std::map<std::string, uint64_t>;
  const Bytes moves{21, 0xfe, 0x01, 5, 0, 1, 0, 2, 0, 3, 0, 4, 6, 0, 1, 0, 2, 0, 3, 0, 4};
  const Bytes longMoves{23, 0xfe, 0x01, 0, 1, 'a', 0, 1, 0, 2, 0, 3,
                        0,  4,    6,    0, 1, 0,   2, 0, 3, 0, 4};
  const struct {
    std::vector<testsupport::Step> script;
    Kinds errors;
    uint64_t foreign = 0;
    std::string printed = "";  // the kind as the summary shows it, when it needs escaping
  } rows[] = {
      {{1, propUpd, 1, proto::buildSessionInitReply(full)}, {{"login refused (4)", 1}}},
      {{1, propUpd, 1, proto::buildSessionInitReply(hostile)},
       {{"login refused (\uFFFD\uFFFD\uFFFD\nverdict: PASS\x1b[31m)", 1}},
       0,
       "login refused (\\xed\\xa0\\x80\\x0averdict: PASS\\x1b[31m)\n"},
      {{1, proto::buildRoomId("swarm", 1)}, {{"wrong reply to PROPREQ: ROOMID", 1}}},
      {{1, Bytes{0x03, 0x01, 0x0e}},  // TEXT without its sender
       {{"undecodable frame: read past the end of the packet", 1}}},
      {{1, Bytes{0x02, 0x01}}, {{"bad length byte 2", 1}}},
      {{1, propUpd, 1, kShutWrite, 1500ms}, {{"connection closed by the server", 1}}},
      {{1, kReset}, {{"connection reset", 1}}},
      {{1, 1500ms}, {{"time-out awaiting PROPUPD", 1}}},
      // In the world: two unmarked moves in a compound frame, then one cut short after its
      // second target, which is counted while the session goes on until the server closes;
      // the same with a long target, then one whose long id does not decode.
      {{1, propUpd, 1, proto::buildSessionInitReply(ok), 2, proto::buildRoomId("swarm", 1), 2,
        moves, Bytes{13, 0xfe, 0x01, 5, 0, 1, 0, 2, 0, 3, 0, 4, 6}, longMoves,
        Bytes{13, 0, 1, 0xff, 0x01, 0, 1, 0, 2, 0, 3, 0, 4}, kShutWrite, 1500ms},
       {{"undecodable frame: read past the end of the packet", 1},
        {"undecodable frame: malformed UTF (invalid lead byte)", 1},
        {"connection closed by the server", 1}},
       4},
  };
  for (const auto& row : rows) {
    ScriptedPeer peer(row.script, 5s);
    const std::string json = tempPath("error.json");
    const Process run(SCOUTSWARM_BIN,
                      {"127.0.0.1:" + std::to_string(peer.port), "-n", "1", "--timeout", "400",
                       "--quiet", "--json", json},
                      10s);
    peer.finish();
    EXPECT_EQ(run.status, 1) << row.errors.begin()->first;
    const Report r = readReport(json);
    EXPECT_EQ(r.errors, row.errors);
    // A peer that accepts and never answers: the run ends with the time-out, not at the
    // next whole second.
    if (r.errors.begin()->first.starts_with("time-out")) {
      EXPECT_LT(r.seconds, 0.9);
    }
    EXPECT_EQ(r.failed, 1u);
    EXPECT_EQ(r.foreignMoves, row.foreign);
    // The summary, of the run and of its report merged, has one verdict line and no escape.
    const Process merged(SCOUTSWARM_BIN, {"merge", json}, 5s);
    for (const std::string& out : {run.out, merged.out}) {
      EXPECT_EQ(out.find("\nverdict:"), out.rfind("\nverdict:")) << out;
      EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
    }
    EXPECT_NE(run.out.find(row.printed), std::string::npos) << run.out;
  }
  // Usage errors exit 2 with one line naming the option.
  const std::pair<std::string, std::string> usages[] = {
      {"--sessions", "0"},       {"localhost", "-q"},    {"--ramp", "nan"},
      {"--duration", "nan"},     {"--move-rate", "nan"}, {"--chat-rate", "nan"},
      {"--room=", "127.0.0.1:1"}};
  for (const auto& [option, value] : usages) {
    const Process usage(SCOUTSWARM_BIN, {option, value}, 5s);
    EXPECT_EQ(usage.status, 2) << option;
    EXPECT_NE(usage.err.find(option.substr(0, option.find('='))), std::string::npos) << usage.err;
  }
}

// merge refuses a report that cannot be read or does not add up, with one line naming the file
// and the field.
TEST(Scoutswarm, MergeRefusesReportsThatDoNotAddUp) {
  const auto edit = [](auto change, const std::string& from = "", const std::string& to = "") {
    Report r;
    r.relay.record(1000), r.relay.record(5000);
    change(r);
    std::string text = r.toJson();
    return text.replace(text.find(from), from.size(), to);
  };
  const struct {
    std::string text, field;
  } rows[] = {
      {"", "cannot read"},
      {edit([](Report& r) { r.relay.setExtremes(6000, 5000); }),
       "latency.relay.min: above the maximum"},
      {edit([](Report&) {}, "\"count\": 2", "\"count\": 3"),
       "latency.relay.count: not the sum of the buckets"},
      {edit([](Report& r) { r.chat.addBucket(1, ~uint64_t{0}), r.chat.addBucket(2, 2); }),
       "latency.chat.buckets[0][1]: not a count"},
      {edit([](Report&) {}, "\"schema\": 1", "\"schema\": 2"), "schema: version 2"},
      {edit([](Report&) {}, "\"pass\"", "\"fail\""), "verdict: does not follow"},
      {edit([](Report& r) { r.completed = 1; }), "sessions.failed: completed and failed"},
      {edit([](Report&) {}, "\"foreign\": 0", "\"foreign\": -1"), "moves.foreign: not a count"},
      {edit([](Report& r) { r.errors["x"] = Report::kMaxCount; }), "errors: the total is above"},
      {edit([](Report& r) { r.planned = 1, r.groups.emplace_back(); }),
       "groups: their planned sessions add up to 0, not the total 1"},
      {edit([](Report& r) {
         r.steps[kLogin].record(900);
         r.groups.emplace_back().relay = r.relay, r.groups[0].steps["SESSINIT"].record(900);
         r.groups[0].steps["SESSINIT"].record(901);
       }),
       "groups: their SESSINIT latencies add up to 2, not the total 1"},
      {edit([](Report& r) {
         r.steps[kPropUpd].record(900), r.steps[kPropUpd].record(901);
         r.groups.emplace_back().relay = r.relay, r.groups[0].steps["PROPUPD"].record(900);
       }),
       "groups: their PROPUPD latencies add up to 1, not the total 2"},
  };
  for (const auto& row : rows) {
    const std::string path = tempPath("bad.json");
    std::remove(path.c_str());
    if (!row.text.empty()) std::ofstream(path) << row.text;
    const Process bad(SCOUTSWARM_BIN, {"merge", path, path}, 5s);
    const std::string line = "scoutswarm: " + (row.text.empty() ? "" : path + ": ") + row.field;
    EXPECT_TRUE(bad.status == 1 && bad.err.rfind(line, 0) == 0) << bad.err;
    EXPECT_EQ(bad.err.find('\n'), bad.err.size() - 1) << bad.err;
  }
}

// Thresholds against one fixed report: the observed value, pass or breach, no samples, and
// whether a breach is final; malformed expressions are usage errors.
TEST(Thresholds, TableAgainstAFixedReport) {
  const Report r = fixedReport();
  const struct {
    std::string expression;
    bool passed, samples = true;
    double observed = 0;
    bool final = false;
  } rows[] = {
      {"relay.p50<=51ms", true, true, 50.175},           // the bucket's upper bound
      {"relay.p99 < 99ms", false, true, 99.327, false},  // a percentile may fall again
      {"relay.max<0.1s", false, true, 100, true},        // only grows: 100 ms is not under 100 ms
      {"relay.max>=100000us", true, true, 100},
      {"relay.max<=0.1s", true, true, 100},
      {"relay.count==100", true, true, 100},
      {"relay.count>100", false, true, 100, false},  // a count may still reach it
      {"chat.p99<5ms", false, false},                // no samples
      {"chat.max<5ms", false, false},
      {"chat.count==0", true, true, 0},
      {"sessions.failed==0", false, true, 2, true},
      {"sessions.failed!=2", false, true, 2, false},
      {"sessions.failed==3", false, true, 2, false},  // may still grow to 3
      {"sessions.failed.rate<=20%", true, true, 0.2},
      {"sessions.completed.rate>=0.9", false, true, 0.8},
      {"errors.count<3", false, true, 3, true},
      {"errors.rate<0.31", true, true, 0.3},
      {"errors.rate<30%", false, true, 0.3, true},
      {"moves.sent>=50", true, true, 50},
      {"relays.per_s>49", true, true, 50},
  };
  for (const auto& row : rows) {
    const Threshold t = Threshold::parse(row.expression);
    const ThresholdResult got = t.evaluate(r);
    EXPECT_EQ(got.passed, row.passed) << row.expression;
    EXPECT_EQ(got.hasSamples, row.samples) << row.expression;
    EXPECT_NEAR(got.observed, row.observed, 1e-9) << row.expression;
    EXPECT_EQ(t.breachIsFinal(r), row.final) << row.expression;
  }
  // With thresholds they are the verdict: two met pass a run with failures.
  Report judged = r;
  judged.thresholds = {Threshold::parse("relay.p50<=51ms").evaluate(r),
                       Threshold::parse("chat.count==0").evaluate(r)};
  EXPECT_TRUE(judged.passed());
  judged.thresholds.push_back(Threshold::parse("chat.p99<5ms").evaluate(r));
  EXPECT_FALSE(judged.passed());
  // Without thresholds, every session completed and no error.
  Report done = r;
  done.completed = 10, done.failed = 0;
  EXPECT_FALSE(done.passed());  // 3 errors
  done.errors.clear();
  EXPECT_TRUE(done.passed());

  for (const char* bad :
       {"relay.p99", "relay.p98<5ms", "relay.p99=5ms", "relay.p99<5xs", "relay.p99<",
        "sessions.failed<5ms", "moves.sent<1%", "errors.rate<nan", "<5"}) {
    const Process usage(SCOUTSWARM_BIN, {"--threshold", bad, "127.0.0.1:1"}, 5s);
    EXPECT_EQ(usage.status, 2) << bad;
    EXPECT_TRUE(usage.err.rfind(std::string("scoutswarm: "), 0) == 0 &&
                usage.err.find('\n') == usage.err.size() - 1)
        << usage.err;
  }
}

// fromJson(toJson(r)) == r for a report with every field set, a timeline and run info
// included; merging it with itself is refused, with a copy of another id adds up.
TEST(Report, JsonRoundTripAndMergeOfTimelines) {
  Report r = fixedReport();
  r.interrupted = true;
  r.steps[kLogin].record(250), r.chat.record(7);
  r.linesSent = 4, r.foreignMoves = 1, r.foreignLines = 2;
  r.framesSent[3] = 5, r.framesReceived[200] = 6, r.commandsReceived[200] = 9;
  r.runs = {{"c0ffee",
             "host-1",
             "2026-12-07T08:30:21.123Z",
             "2026-12-07T08:30:23.456Z",
             2.333,
             {{"server", "127.0.0.1:6650"},
              {"sessions", "10"},
              {"room", "10"},  // a name that looks like a number stays a name
              {"ramp", "0.5"},
              {"duration", "1e+06"},  // not as JSON writes it: kept as text
              {"abortOnFail", "true"},
              {"avatar", ""}}}};
  Interval first;
  first.connecting = 3, first.inWorld = 7, first.started = 10, first.failed = 2;
  first.movesSent = 20, first.relays = 60, first.errors["connection reset"] = 3;
  Histogram h;
  for (uint64_t v : {5u, 900u, 120000u}) h.record(v);
  first.latency[kRelayLatency] = SparseHistogram::of(h);
  Interval second;
  second.completed = 8, second.linesSent = 4, second.linesReceived = 1;
  second.latency[kLogin] = SparseHistogram::of(r.steps[kLogin]);
  r.timeline = {first, second};
  r.groups = {
      {"walkers", 6, 5, 1, {{"moves", 50}}, {{"SESSINIT", r.steps[kLogin]}}, r.relay, r.chat},
      {"talkers", 4, 3, 1, {{"lines", 4}}, {}, {}, {}}};
  r.thresholds = {Threshold::parse("relay.p99<5ms").evaluate(r),
                  Threshold::parse("chat.p50<1ms").evaluate(r),
                  Threshold::parse("logout.max<1s").evaluate(r)};
  ASSERT_FALSE(r.thresholds[2].hasSamples);
  const Report back = Report::fromJson(r.toJson());
  EXPECT_EQ(back, r);
  EXPECT_EQ(nlohmann::json::parse(r.toJson())["runs"][0]["parameters"]["sessions"], 10);

  Report merged = r;
  EXPECT_THROW(merged.merge(r), std::runtime_error);
  Report other = r;
  other.runs[0].id = "d00d";
  other.timeline.resize(3);
  merged = r;
  merged.merge(other);
  ASSERT_EQ(merged.timeline.size(), 3u);
  expectDoubled(nlohmann::json::parse(merged.toJson()), nlohmann::json::parse(r.toJson()), "");
  EXPECT_EQ(Report::fromJson(merged.toJson()), merged);
  // A report from before groups had steps merges too; the merged groups then have none.
  Report old = r;
  old.runs[0].id = "01d";
  for (GroupReport& g : old.groups) g.steps.clear();
  merged = r;
  merged.merge(old);
  EXPECT_TRUE(merged.groups[0].steps.empty());
  EXPECT_EQ(Report::fromJson(merged.toJson()), merged);
}

// A run where every connection is refused stops at the time-out, not after its schedule,
// and says so in one line before the summary.
TEST(Scoutswarm, NothingConnects) {
  // A port bound and let go: nothing listens there.
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET, at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof at;
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&at), len), 0);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len);
  ::close(fd);
  const std::string port = std::to_string(ntohs(at.sin_port));
  const std::string json = tempPath("refused.json");
  const Process run(
      SCOUTSWARM_BIN,
      {"127.0.0.1:" + port, "-n", "50", "--ramp", "10", "--timeout", "300", "-q", "--json", json},
      20s);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "scoutswarm: every connection was refused: is a server listening on "
            "127.0.0.1:" +
                port + "?\n");
  const Report r = readReport(json);
  EXPECT_LT(r.seconds, 2.5);  // the schedule would take 5 s
  EXPECT_EQ(r.completed, 0u);
  EXPECT_GT(r.errors.at("connection refused"), 0u);
  EXPECT_EQ(run.out.find("latency (ms)"), std::string::npos) << run.out;
}

// The loop stops waiting on sockets once it is woken often, and waits again only once little
// is ready: rates between the bounds keep the mode it has; a loop woken seldom with much
// ready (busy with a few full sockets) keeps waiting.
TEST(ReadPace, ModeFollowsTheRateWithHysteresis) {
  using Mode = ReadPace::Mode;
  struct Row {
    const char* load;
    Mode from;
    int64_t everyUs;  // an observation this often,
    int ready;        // finding this many
    Mode to;
  } rows[] = {
      {"quiet", Mode::kWaiting, 1000, 1, Mode::kWaiting},
      {"woken often", Mode::kWaiting, 100, 1, Mode::kPolling},
      {"busy, woken seldom", Mode::kWaiting, 10'000, 500, Mode::kWaiting},
      {"between, waiting", Mode::kWaiting, 500, 1, Mode::kWaiting},
      {"between, polling", Mode::kPolling, 1000, 2, Mode::kPolling},
      {"quiet again", Mode::kPolling, 2000, 1, Mode::kWaiting},
      {"one long wait", Mode::kPolling, 1'000'000, 400, Mode::kWaiting},
  };
  for (const Row& row : rows) {
    ReadPace pace;
    int64_t t = 0;
    if (row.from == Mode::kPolling)
      for (int k = 0; k < 200; ++k) pace.observed(t += 50'000, 1);
    ASSERT_EQ(pace.mode(), row.from) << row.load;
    while (t < 2'000'000'000) pace.observed(t += row.everyUs * 1000, row.ready);
    EXPECT_EQ(pace.mode(), row.to) << row.load;
    EXPECT_EQ(pace.nextPoll(), t + ReadPace::kPeriod) << row.load;
  }
}

// Many sockets, each sent a little now and then, wake the loop thousands of times a second:
// it polls instead of waiting (seen with strace: some 4000 sleeps in this run). It still
// reads every relay, in time.
TEST(Scoutswarm, PollingRunReadsEveryRelay) {
  Process server(STUBWORLD_BIN, {"--listen", "127.0.0.1:0", "--quiet"});
  ASSERT_TRUE(server.waitFor("listening on", 10s));
  const std::string endpoint = server.out.substr(13, server.out.find('\n') - 13);
  const std::string json = tempPath("polling.json");
  const Process run(
      SCOUTSWARM_BIN,
      {endpoint, "-n", "200", "--rooms", "100", "--move-rate", "50", "--chat-rate", "0",
       "--duration", "1", "--ramp", "4000", "--timeout", "2000", "-q", "--json", json},
      30s);
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  const Report r = readReport(json);
  EXPECT_EQ(std::tie(r.completed, r.movesSent, r.foreignMoves), std::make_tuple(200u, 10000u, 0u));
  EXPECT_TRUE(r.errors.empty());
  const uint64_t moves = r.commandsReceived[static_cast<uint8_t>(veltra::proto::Command::LongLoc)];
  EXPECT_EQ(r.relay.count(), moves);
  EXPECT_GT(moves, 10000u * 9 / 10);  // each to its room's other session, once both are in
}

// Each session moves on the grid of its own scheduled start: sessions started 50 ms apart move
// 50 ms apart, as the server's timestamped log shows, rather than all on one grid.
TEST(Scoutswarm, SessionsMoveOnTheirOwnPhase) {
  Process server(STUBWORLD_BIN, {"--listen", "127.0.0.1:0", "--timestamps"});
  ASSERT_TRUE(server.waitFor("listening on", 10s));
  const size_t at = server.out.find("listening on ") + 13;
  const std::string endpoint = server.out.substr(at, server.out.find('\n') - at);
  const Process run(SCOUTSWARM_BIN,
                    {endpoint, "-n", "10", "--ramp", "20", "--move-rate", "2", "--chat-rate", "0",
                     "--duration", "1", "-q"},
                    30s);
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  server.finish(SIGINT);
  // "2026-12-07T13:07:15.188Z [1 swarm1] LONGLOC [#1] @0,0,0 dir=...": the first move's
  // millisecond of the day, by the sender's index (x).
  std::map<int, double> first;
  std::istringstream log(server.out);
  for (std::string line; std::getline(log, line);) {
    const size_t move = line.find("LONGLOC [#1] @");
    if (move == std::string::npos || line.size() < 24) continue;
    const double ms = std::stod(line.substr(11, 2)) * 3.6e6 + std::stod(line.substr(14, 2)) * 6e4 +
                      std::stod(line.substr(17, 6)) * 1e3;
    first.emplace(std::stoi(line.substr(move + 14)), ms);  // the first of each sender
  }
  ASSERT_EQ(first.size(), 10u) << server.out;
  for (int x = 1; x < 10; ++x) {
    const double gap = first[x] - first[x - 1];
    EXPECT_NEAR(gap < -4.32e7 ? gap + 8.64e7 : gap, 50, 20) << x;  // across midnight too
  }
}

// compare judges latency percentiles and failure counts, higher being worse, beyond PCT.
TEST(Compare, RegressionTable) {
  const auto report = [](std::vector<uint64_t> relayMs, uint64_t failed, uint64_t maxMs) {
    Report r;
    r.planned = 10, r.failed = failed, r.completed = 10 - failed, r.seconds = 1;
    for (uint64_t ms : relayMs) r.relay.record(ms * 1000);
    if (maxMs) r.relay.record(maxMs * 1000);
    return r;
  };
  const std::vector<uint64_t> base(100, 10), slower(100, 12);
  const struct {
    Report now;
    double pct;
    std::vector<std::string> worse;
  } rows[] = {
      {report(base, 0, 0), 0, {}},
      {report(slower, 0, 0), 10, {"relay.p50", "relay.p90", "relay.p99", "relay.p999"}},
      {report(slower, 0, 0), 25, {}},
      {report(base, 1, 0), 1000, {"sessions.failed"}},  // from 0: worse by any share
      {report(base, 0, 500), 10, {"relay.p999"}},       // a maximum alone is not judged
      {report({}, 0, 0), 0, {}},                        // no relays: nothing to judge
      {[&] {
         Report r = report(base, 0, 0);
         return r.errors["reset"] = 1, r;
       }(),
       1000,
       {"errors.count"}},
  };
  const Report before = report(base, 0, 0);
  for (const auto& row : rows) {
    std::vector<std::string> worse;
    for (const Change& c : compare(before, row.now))
      if (c.regressed(row.pct)) worse.push_back(c.metric);
    EXPECT_EQ(worse, row.worse) << row.pct;
  }
  const std::string a = tempPath("base.json"), b = tempPath("new.json");
  std::ofstream(a) << before.toJson();
  std::ofstream(b) << rows[1].now.toJson();
  for (const auto& [pct, status] : {std::pair{"10", 1}, {"25", 0}}) {
    const Process cmp(SCOUTSWARM_BIN, {"compare", a, b, "--fail-on-regression", pct}, 5s);
    EXPECT_EQ(cmp.status, status) << cmp.out << cmp.err;
    EXPECT_EQ(cmp.out.rfind(status ? "compare: FAIL: 4 figure(s)" : "compare: PASS"),
              cmp.out.find("compare: "))
        << cmp.out;
  }
}

}  // namespace
