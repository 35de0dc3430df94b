#include "scoutswarm/activity.hpp"

#include <algorithm>
#include <cmath>

#include "veltra/proto/commands.hpp"
#include "veltra/proto/requests.hpp"
#include "veltra/proto/view.hpp"

namespace scoutswarm {

namespace proto = veltra::proto;

namespace {

// Where a hop lands: where sessions stand after their teleport.
constexpr int16_t kX = 1228, kY = 2465, kZ = 0, kDir = 157;

std::string marked(const Sending& s) {
  return "swarm " + std::to_string(s.mark) + " " + std::to_string(s.session) + " " +
         std::to_string(s.k);
}

void move(const Sending& s, proto::Bytes& out) {
  static const proto::Bytes client = [] {
    proto::Bytes t;
    proto::appendTarget(t, proto::ObjID(proto::kObjClient));
    return t;
  }();
  const proto::LongLoc m{static_cast<int16_t>(s.session), static_cast<int16_t>(s.k),
                         static_cast<int16_t>(s.k >> 16), s.mark};
  proto::appendElement(out, proto::kNoFrame, client, static_cast<uint8_t>(proto::Command::LongLoc),
                       proto::fixedBody(m));
}

void chat(const Sending& s, proto::Bytes& out) {
  const proto::Bytes f = proto::buildText("", marked(s));
  out.insert(out.end(), f.begin(), f.end());
}

void hop(const Sending& s, proto::Bytes& out) {
  const proto::Bytes f =
      proto::buildTeleport(s.rooms[(s.k + 1) % s.rooms.size()], 0, 1, kX, kY, kZ, kDir);
  out.insert(out.end(), f.begin(), f.end());
}

// A marked value rather than the configured avatar's: it differs from the last one every time,
// and always fits.
void prop(const Sending& s, proto::Bytes& out) {
  proto::PropertyList avatar;
  avatar.add(proto::kVarChannel, marked(s));
  const proto::Bytes f = proto::buildPropertySet("", avatar);
  out.insert(out.end(), f.begin(), f.end());
}

}  // namespace

const std::array<Activity, kActivities> kActivityTable = {{
    {"moves", &Behaviour::moveRate, &Report::movesSent, &Interval::movesSent, move},
    {"lines", &Behaviour::chatRate, &Report::linesSent, &Interval::linesSent, chat},
    {"hops", &Behaviour::hopRate, nullptr, nullptr, hop},
    {"props", &Behaviour::propRate, nullptr, nullptr, prop},
}};

uint32_t plannedCount(const Behaviour& b, const Activity& a) {
  return static_cast<uint32_t>(std::min(std::floor(b.duration * (b.*a.rate)), 4e9));
}

int64_t slotAt(int64_t plannedAt, int64_t inWorldAt, uint32_t k, double rate) {
  constexpr double kSecond = 1e9;
  const double late = static_cast<double>(inWorldAt - plannedAt) / kSecond * rate - 0.5;
  const double skipped = late > 0 ? std::ceil(late) : 0;
  return plannedAt + static_cast<int64_t>(std::ceil((skipped + k + 0.5) / rate * kSecond));
}

uint32_t roomsNeeded(const Behaviour& b, size_t ring) {
  const uint64_t hops = plannedCount(b, kActivityTable[kHops]);
  return static_cast<uint32_t>(std::min<uint64_t>(ring, std::max<uint64_t>(b.watch, hops + 1)));
}

}  // namespace scoutswarm
