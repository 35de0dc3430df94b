// The outcome of one run, or of several merged: session counts, latency
// histograms per awaited reply and for relayed moves and chat lines, frames
// and commands per command code, errors by kind. It is written as JSON (and
// read back for merging), and printed as the closing summary.
//
// Merging adds every count and histogram, so a load spread over several
// processes reads as one run; the configurations of the runs are kept side by
// side. Reading a report that is not one, or whose counts do not add up, throws
// std::runtime_error naming the field.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "scoutswarm/groups.hpp"
#include "scoutswarm/histogram.hpp"

namespace scoutswarm {

// The awaited replies a session measures, in the order it meets them.
enum Step : size_t { kConnect, kPropUpd, kLogin, kRoomId, kLogout, kSteps };
inline constexpr std::array<const char*, kSteps> kStepNames = {"connect", "PROPUPD", "SESSINIT",
                                                               "ROOMID", "SESSEXIT"};

// The latencies a report measures: the awaited steps, then relayed moves and chat lines.
// Their names are the ones thresholds, the JSON and the HTML page use.
enum Latency : size_t { kRelayLatency = kSteps, kChatLatency, kLatencies };
inline constexpr std::array<const char*, kLatencies> kLatencyNames = {
    "connect", "propupd", "login", "roomid", "logout", "relay", "chat"};

// A histogram of one second of the timeline, kept sparse: the buckets in use (index in
// Histogram's layout, count) and the exact maximum. Expanded for reading percentiles.
struct SparseHistogram {
  std::vector<std::pair<uint32_t, uint64_t>> buckets;  // ascending index, counts > 0
  uint64_t max = 0;

  static SparseHistogram of(const Histogram& h);
  Histogram expand() const;
  void merge(const SparseHistogram& other);
  bool operator==(const SparseHistogram&) const = default;
};

// One second of a run, counted from its start: gauges at the second's end, and what
// happened within it. Timelines of merged runs add second by second.
struct Interval {
  uint32_t connecting = 0, inWorld = 0;  // gauges at the end of the second
  uint64_t started = 0, completed = 0, failed = 0;
  uint64_t movesSent = 0, linesSent = 0, relays = 0, linesReceived = 0;
  std::array<SparseHistogram, kLatencies> latency;
  std::map<std::string, uint64_t> errors;  // kind -> count within the second
  bool operator==(const Interval&) const = default;
};

// What a run was: who ran it, where, when and with which parameters.
struct RunInfo {
  std::string id;       // unique per run; merge refuses to count one twice
  std::string host;     // the machine the load ran on
  std::string started;  // UTC, ISO 8601 ("2026-12-07T08:30:21.123Z")
  std::string ended;
  double seconds = 0;
  // Parameters in the order the man page lists them; values as the user would write them.
  std::vector<std::pair<std::string, std::string>> parameters;
  bool operator==(const RunInfo&) const = default;
};

// A threshold and what the run showed: "relay.p99<5ms" against the observed value.
struct ThresholdResult {
  std::string expression;   // as given
  std::string metric;       // "relay.p99"
  double observed = 0;      // in the metric's unit (ms for latencies, a fraction for rates);
                            // 0 without samples
  bool hasSamples = false;  // a threshold without samples fails
  bool passed = false;
  bool operator==(const ThresholdResult&) const = default;
};

struct Report {
  // The largest count a report holds, read or merged: far beyond any run, and exact in
  // every JSON reader.
  static constexpr uint64_t kMaxCount = uint64_t{1} << 53;
  // The version of the JSON layout (the man page's REPORT FORMAT); another is refused.
  static constexpr uint64_t kSchema = 1;

  std::vector<RunInfo> runs;  // one per run, in merge order
  double seconds = 0;         // wall time; the longest run's when merged

  uint64_t planned = 0;      // sessions asked for
  uint64_t completed = 0;    // logged out with a reply
  uint64_t failed = 0;       // ended by an error
  bool interrupted = false;  // stopped early by a signal: not the run that was asked for

  std::array<Histogram, kSteps> steps;  // from request (or scheduled start) to reply
  Histogram relay;  // from a move's scheduled time to another session's receipt of it
  Histogram chat;   // from a line's scheduled time to each receipt, the sender's own included

  uint64_t movesSent = 0, linesSent = 0;
  uint64_t foreignMoves = 0,
           foreignLines = 0;  // not marked by this run (another process, or the server)

  // Per command code.
  std::array<uint64_t, 256> framesSent{}, framesReceived{}, commandsReceived{};

  std::map<std::string, uint64_t> errors;  // kind -> count

  std::vector<Interval> timeline;           // one per second from the start
  std::vector<ThresholdResult> thresholds;  // evaluated at the end of the run
  std::vector<GroupReport> groups;          // one per scenario group

  uint64_t errorCount() const;
  // A latency by its index in kLatencyNames.
  const Histogram& latency(size_t i) const {
    return i < kSteps ? steps[i] : i == kRelayLatency ? relay : chat;
  }
  // The run not cut short, and: every threshold met when there are thresholds (they are
  // then the criteria), otherwise every planned session completed and no error counted.
  bool passed() const;

  // Throws std::runtime_error naming the field when a total would pass kMaxCount, or a
  // run of `other` is one this report already counts. Thresholds are taken over (each
  // expression once), to be evaluated again on the merged figures.
  void merge(const Report& other);

  std::string toJson() const;
  static Report fromJson(const std::string& text);

  // The closing summary; its last line is the verdict.
  void printSummary(std::ostream& out) const;

  bool operator==(const Report&) const = default;
};

}  // namespace scoutswarm
