// The framer: frames split and merged across feeds, the view and the copy
// agreeing, and a bad length that stops the stream for good.
#include "veltra/proto/framer.hpp"

#include <gtest/gtest.h>

#include "veltra/proto/commands.hpp"

namespace {

using namespace veltra::proto;

// Cuts at every point, bad lengths anywhere and the capacity are the fuzz target's.
TEST(Framer, ReassemblesSplitAndMergedFramesAndStopsAtABadLength) {
  PropertyList big;
  big.add(kVarAvatars, std::string(248, 'a'));  // a frame of 255 bytes
  Bytes stream, frame;
  std::vector<Bytes> want, got;
  for (const Bytes& f :
       {buildDisappear(ObjID(5)), buildText("ana", "hola"), buildPropertyUpdate(big)})
    stream.insert(stream.end(), f.begin(), f.end()), want.emplace_back(f.begin() + 1, f.end());
  stream.insert(stream.end(), {2, 3, 1, 10});  // a bad length, then a frame never taken
  const size_t cuts[] = {0, 4, 260,
                         stream.size()};  // a frame and a byte; on into the third; the rest
  Framer framer;
  auto r = Framer::Result::kNeedMore;
  for (int i = 0; i < 3; ++i) {
    framer.feed(std::span(stream).subspan(cuts[i], cuts[i + 1] - cuts[i]));
    while ((r = framer.next(frame)) == Framer::Result::kFrame) got.push_back(frame);
  }
  EXPECT_EQ(got, want);
  EXPECT_EQ(r, Framer::Result::kBadLength);
  EXPECT_EQ(framer.badLength(), 2);
  EXPECT_EQ(framer.next(frame), Framer::Result::kBadLength);  // no resynchronising
}

}  // namespace
