// scoutdump's input: packets from a capture file (pcap or pcapng) or from a
// live interface, through libpcap, handed to a Decoder one by one.
//
// Every failure to open or read (unreadable or corrupt file, a file cut in
// the middle of a record, an unknown interface, no permission) throws
// CaptureError with a message naming the problem; packets read before it have
// been decoded. A failure before the first packet (the input cannot be opened,
// its link-layer type is not one the decoder reads, a live capture cannot
// start) is a CannotOpen: there is nothing to summarise. A live capture stops at the packet count,
// at the duration or on requestStop(), whichever comes first.
#pragma once

#include <cstdint>
#include <cstdio>
#include <set>
#include <stdexcept>
#include <string>

#include "scoutdump/decoder.hpp"

namespace scoutdump {

class CaptureError : public std::runtime_error {
 public:
  explicit CaptureError(const std::string& what) : std::runtime_error(what) {}
};

class CannotOpen : public CaptureError {
 public:
  using CaptureError::CaptureError;
};

struct CaptureLimits {
  uint64_t count = 0;   // packets; 0: no limit
  double duration = 0;  // seconds of live capture; 0: no limit
};

// Reads the file to its end (or the count).
void readFile(const std::string& path, Decoder& decoder, const CaptureLimits& limits);
// The same from an open stream, which is closed when done.
void readStream(std::FILE* file, Decoder& decoder, const CaptureLimits& limits);
// Captures on the interface, narrowed by a BPF filter to TCP on the ports.
void readLive(const std::string& iface, const std::set<uint16_t>& ports, Decoder& decoder,
              const CaptureLimits& limits);

// Ends a running capture soon; safe in a signal handler.
void requestStop();

}  // namespace scoutdump
