// parsePacket on arbitrary spans. It either throws ReadError or returns
// commands that share the frame's command byte (one unless the frame is
// compound), and every one of them describes itself as one line headed by its
// mnemonic and bracketed target. Texts are copied unescaped, so a line may
// well end in a newline that came off the wire.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

#include "veltra/proto/commands.hpp"
#include "veltra/proto/reader.hpp"

using namespace veltra::proto;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> input(data, data + size);  // exact size: one past the end is caught
  std::vector<Incoming> commands;
  try {
    commands = parsePacket(input);
  } catch (const ReadError&) {
    return 0;
  }
  if (commands.empty()) std::abort();
  if (input[0] != kObjCompound && commands.size() != 1) std::abort();
  for (const Incoming& in : commands) {
    if (in.command != commands.front().command) std::abort();
    const std::string line = describe(in);
    const std::string head =
        std::string(commandName(in.command)) + " [" + in.target.describe() + "]";
    if (line.compare(0, head.size(), head) != 0) std::abort();
    // Only a Disappear has no body text; every other body text opens with a blank.
    const bool bare = std::holds_alternative<Disappear>(in.body);
    if (bare ? line.size() != head.size()
             : line.size() <= head.size() || line[head.size()] != ' ') {
      std::abort();
    }
  }
  return 0;
}
