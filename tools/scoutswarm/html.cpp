#include "scoutswarm/html.hpp"

namespace scoutswarm {

// Placeholder until the page is drawn: the title alone.
std::string renderHtml(const Report&, const HtmlOptions& options) {
  return "<!DOCTYPE html><title>" + options.title + "</title>\n";
}

}  // namespace scoutswarm
