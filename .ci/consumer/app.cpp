// Uses veltra::proto from outside the project: builds a ROOMID reply, decodes
// it and prints the library's version with the decoded command.
#include <cstdio>
#include <span>

#include "veltra/proto/commands.hpp"
#include "veltra/proto/version.hpp"

int main() {
  using namespace veltra::proto;
  const Bytes frame = buildRoomId("Brackenvel#ChatHall", 7);
  const auto commands = parsePacket(std::span(frame).subspan(1));
  if (commands.size() != 1) return 1;
  std::printf("veltra %s: %s\n", kVersion, describe(commands.front()).c_str());
  return 0;
}
