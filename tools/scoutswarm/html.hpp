// The report as one self-contained HTML page: charts as inline SVG, style and
// script inline, and a Content-Security-Policy that forbids every network load,
// so the page opens the same from a CI artefact store as from a local disk.
#pragma once

#include <string>
#include <vector>

#include "scoutswarm/report.hpp"

namespace scoutswarm {

struct HtmlOptions {
  std::string title = "scoutswarm report";
  // Latency percentiles drawn over time, in percent.
  std::vector<double> percentiles = {50, 90, 99, 99.9};
};

std::string renderHtml(const Report& report, const HtmlOptions& options);

}  // namespace scoutswarm
