// scoutdump's printing: one line (or one JSON object) per command, fault and
// connection, as they come, and the summary at the end. Text lines never
// carry control characters from the capture: they are escaped, so nothing a
// peer sends can forge a line.
#pragma once

#include <iosfwd>
#include <memory>
#include <set>
#include <string>

#include "scoutdump/decoder.hpp"

namespace scoutdump {

struct OutputOptions {
  bool json = false;                // -T json: JSON Lines
  bool hex = false;                 // -x: every frame's bytes too
  bool quiet = false;               // -q: the summary only
  bool flush = false;               // after every line (live capture)
  std::set<std::string> mnemonics;  // -Y: only these commands (empty: all)
  std::set<std::string> excluded;   // -Y !NAME: never these
};

// How one output format writes events and the summary; Printer picks one.
class FormatPrinter {
 public:
  virtual ~FormatPrinter() = default;
  // from and to: the sender and the receiver; for a connection, client and server.
  virtual void event(const Event& e, const std::string& from, const std::string& to) = 0;
  virtual void summary(const Summary& s) = 0;
};

// The sink: keeps what -q and -Y let through and hands it to the format's printer.
class Printer : public Sink {
 public:
  Printer(std::ostream& out, OutputOptions options);
  ~Printer() override;
  void event(const Event& e) override;
  void summary(const Summary& s);

 private:
  std::ostream& out_;
  OutputOptions opt_;
  std::unique_ptr<FormatPrinter> format_;
};

// "0000  03 ff 0a   ...": offsets, 16 bytes a line, then the bytes as ASCII.
std::string hexDump(std::span<const uint8_t> bytes);

}  // namespace scoutdump
