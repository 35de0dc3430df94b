// What a session does repeatedly while in the world, as one table: each row is
// an activity with its rate in the group's Behaviour, the function that builds
// its request and its name in the report. The schedule, the event that fires
// it and the counts in the report are the same for every row, so a new
// behaviour is a row, its function, its Behaviour field and its scenario key.
//
// A session sends the k-th request of an activity (k from 0) at (k + 1/2) / rate
// seconds after its scheduled start, floor(duration * rate) of them in all: the
// plan, not the server, fixes how many and when (see slotAt).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "scoutswarm/report.hpp"
#include "scoutswarm/scenario.hpp"
#include "veltra/proto/writer.hpp"

namespace scoutswarm {

// What an activity's request is built from.
struct Sending {
  uint32_t session;                 // the sender's index in the plan
  uint32_t k;                       // the request's sequence number, from 0
  int16_t mark;                     // the run's mark (see runMark)
  std::span<const uint16_t> rooms;  // the numbers of the rooms it looked up, its own first
};

struct Activity {
  const char* name;            // the count's name in the report
  double Behaviour::*rate;     // per session per second
  uint64_t Report::*total;     // the run's total beside the groups', or none
  uint64_t Interval::*second;  // its count in the timeline's seconds, or none
  void (*build)(const Sending&, veltra::proto::Bytes& out);  // appends the request's frame
};

// Moves (LONGLOC: x the sender, y and z the sequence number, dir the mark), chat
// lines (TEXT "swarm MARK SENDER K"), hops (TELEPORT to the next room of the
// group's ring), property changes (PROPSET of the avatar property).
enum ActivityIndex : size_t { kMoves, kLines, kHops, kProps, kActivities };
extern const std::array<Activity, kActivities> kActivityTable;

// How many requests of the activity a session of the behaviour sends.
uint32_t plannedCount(const Behaviour& b, const Activity& a);

// When (ns) a session that was to start at `plannedAt` and entered the world at
// `inWorldAt` sends the k-th request of an activity at `rate`: on the grid of
// (k + 1/2) / rate from its planned start, so that sessions keep the ramp's
// spread however long their logins took (a server that admits a backlog of
// logins at once would otherwise bring their requests in step for the rest of
// the run). Slots before `inWorldAt` are skipped, whole periods at a time: the
// first is at or after it, and the k-th within (k + 1) / rate of it.
int64_t slotAt(int64_t plannedAt, int64_t inWorldAt, uint32_t k, double rate);

// How many rooms a session looks up before entering, from a ring of `ring` rooms
// starting at its own: as many as it watches or hops to, at most the ring. The
// k-th hop goes to the looked-up room (k + 1) mod that number, round the ring.
uint32_t roomsNeeded(const Behaviour& b, size_t ring);

}  // namespace scoutswarm
