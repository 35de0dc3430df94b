#include "scoutdump/capture.hpp"

#include <pcap/pcap.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>

namespace scoutdump {

namespace {

volatile std::sig_atomic_t g_stop = 0;
std::atomic<pcap_t*> g_live{nullptr};  // the running live capture, for requestStop

struct PcapCloser {
  void operator()(pcap_t* p) const { pcap_close(p); }
};
using Pcap = std::unique_ptr<pcap_t, PcapCloser>;

void run(pcap_t* p, Decoder& decoder, const CaptureLimits& limits, bool live) {
  const int dlt = pcap_datalink(p);
  if (!Decoder::supportsLinkType(dlt)) {
    const char* name = pcap_datalink_val_to_name(dlt);
    throw CannotOpen("unsupported link-layer type " + (name ? std::string(name) : "") + " (" +
                     std::to_string(dlt) + ")");
  }
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(limits.duration);
  for (uint64_t n = 0; !g_stop && (limits.count == 0 || n < limits.count);) {
    if (live && limits.duration > 0 && std::chrono::steady_clock::now() >= deadline) break;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    const int r = pcap_next_ex(p, &header, &data);
    if (r == 0) {
      // Live and nothing buffered: wait a little, then look at the limits again. A
      // blocking read could wait for ever, as its timeout may start with the first packet.
      pollfd fd{pcap_get_selectable_fd(p), POLLIN, 0};
      poll(&fd, 1, 100);
      continue;
    }
    if (r == PCAP_ERROR_BREAK) break;
    if (r < 0) throw CaptureError(pcap_geterr(p));
    ++n;
    decoder.packet(dlt, {data, header->caplen}, header->len, header->ts);
  }
}

}  // namespace

void readFile(const std::string& path, Decoder& decoder, const CaptureLimits& limits) {
  char err[PCAP_ERRBUF_SIZE] = "";
  Pcap p(pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_MICRO, err));
  if (!p) throw CannotOpen(err);
  run(p.get(), decoder, limits, false);
}

void readStream(std::FILE* file, Decoder& decoder, const CaptureLimits& limits) {
  char err[PCAP_ERRBUF_SIZE] = "";
  Pcap p(pcap_fopen_offline_with_tstamp_precision(file, PCAP_TSTAMP_PRECISION_MICRO, err));
  if (!p) {
    std::fclose(file);  // libpcap closes it only once it has taken it
    throw CannotOpen(err);
  }
  run(p.get(), decoder, limits, false);
}

void readLive(const std::string& iface, const std::set<uint16_t>& ports, Decoder& decoder,
              const CaptureLimits& limits) {
  char err[PCAP_ERRBUF_SIZE] = "";
  Pcap p(pcap_create(iface.c_str(), err));
  if (!p) throw CannotOpen(err);
  pcap_set_snaplen(p.get(), 65535);
  pcap_set_promisc(p.get(), 0);
  pcap_set_immediate_mode(p.get(), 1);
  if (const int r = pcap_activate(p.get()); r < 0) {
    const std::string why = pcap_geterr(p.get());
    if (r == PCAP_ERROR_NO_SUCH_DEVICE) throw CannotOpen("no such interface: " + iface);
    if (r == PCAP_ERROR_PERM_DENIED)
      throw CannotOpen("no permission to capture on " + iface + ": " + why);
    throw CannotOpen("cannot capture on " + iface + ": " + pcap_statustostr(r) +
                     (why.empty() ? "" : ": " + why));
  }
  std::string filter = "tcp and (";
  for (uint16_t port : ports)
    filter += (filter.back() == '(' ? "port " : " or port ") + std::to_string(port);
  filter += ")";
  bpf_program program;
  if (pcap_compile(p.get(), &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0)
    throw CannotOpen("bad capture filter \"" + filter + "\": " + pcap_geterr(p.get()));
  const int set = pcap_setfilter(p.get(), &program);
  pcap_freecode(&program);
  if (set != 0)
    throw CannotOpen("cannot set the capture filter: " + std::string(pcap_geterr(p.get())));
  if (pcap_setnonblock(p.get(), 1, err) != 0) throw CannotOpen(err);
  g_live = p.get();
  try {
    run(p.get(), decoder, limits, true);
  } catch (...) {
    g_live = nullptr;
    throw;
  }
  g_live = nullptr;
}

void requestStop() {
  g_stop = 1;
  if (pcap_t* p = g_live.load()) pcap_breakloop(p);
}

}  // namespace scoutdump
