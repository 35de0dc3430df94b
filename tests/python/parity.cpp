// The C++ side of the Python package's differential test. For each file: the
// file as one frame's packet (when it fits a frame), then the file as a byte
// stream through the framer. Per frame one "frame" line, then one line per
// command, "D " and the describe line in hex (texts may hold any byte), or
// "E " and the ReadError's message. A bad length byte ends the stream: "B N".
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "veltra/proto/commands.hpp"
#include "veltra/proto/framer.hpp"
#include "veltra/proto/reader.hpp"

using namespace veltra::proto;

namespace {

void frame(std::span<const uint8_t> packet) {
  std::puts("frame");
  try {
    for (const Incoming& in : parsePacket(packet)) {
      std::string hex;
      for (unsigned char c : describe(in)) {
        char b[3];
        std::snprintf(b, sizeof b, "%02x", c);
        hex += b;
      }
      std::printf("D %s\n", hex.c_str());
    }
  } catch (const ReadError& e) {
    std::printf("E %s\n", e.what());
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    std::printf("file %s\n", argv[i]);
    if (!bytes.empty() && bytes.size() < 255) frame(bytes);
    std::puts("stream");
    Framer framer;
    std::span<const uint8_t> rest(bytes);
    for (;;) {
      rest = rest.subspan(framer.feed(rest));
      Bytes f;
      const Framer::Result r = framer.next(f);
      if (r == Framer::Result::kFrame) {
        frame(f);
      } else if (r == Framer::Result::kBadLength) {
        std::printf("B %u\n", framer.badLength());
        break;
      } else if (rest.empty()) {
        break;
      }
    }
  }
}
