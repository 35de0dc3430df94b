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

#include "scoutswarm/histogram.hpp"

namespace scoutswarm {

// The awaited replies a session measures, in the order it meets them.
enum Step : size_t { kConnect, kPropUpd, kLogin, kRoomId, kLogout, kSteps };
inline constexpr std::array<const char*, kSteps> kStepNames = {"connect", "PROPUPD", "SESSINIT",
                                                               "ROOMID", "SESSEXIT"};

struct Report {
  // The largest count a report holds, read or merged: far beyond any run, and exact in
  // every JSON reader.
  static constexpr uint64_t kMaxCount = uint64_t{1} << 53;

  std::vector<std::string> runs;  // one line per run: target and settings
  double seconds = 0;             // wall time; the longest run's when merged

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

  uint64_t errorCount() const;
  // Every planned session completed, no error counted, the run not cut short.
  bool passed() const { return completed == planned && errorCount() == 0 && !interrupted; }

  // Throws std::runtime_error naming the field when a total would pass kMaxCount.
  void merge(const Report& other);

  std::string toJson() const;
  static Report fromJson(const std::string& text);

  // The closing summary; its last line is the verdict.
  void printSummary(std::ostream& out) const;
};

}  // namespace scoutswarm
