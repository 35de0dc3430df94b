// scoutswarm's HTML page, from a fixed report: every chart and table present, the report's text
// escaped, nothing loaded from the network, an hour of seconds drawn in few points without
// losing a spike; then as headless Chromium draws it: the script ran, no error, no load
// refused, and a screenshot in the build tree for people to look at.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "common/text.hpp"
#include "scoutswarm/html.hpp"
#include "support/harness.hpp"

namespace {

using namespace scoutswarm;

const std::string kHostile = "<script>alert(\"x\")</script> & 'quoted' \xff bad";

const char* const kIds[] = {"summary",
                            "table-thresholds",
                            "chart-latency-relay",
                            "chart-latency-chat",
                            "chart-latency-connect",
                            "chart-latency-propupd",
                            "chart-latency-login",
                            "chart-latency-roomid",
                            "chart-latency-logout",
                            "chart-throughput",
                            "chart-sessions",
                            "chart-distribution",
                            "table-latency",
                            "chart-errors",
                            "table-errors",
                            "table-runs"};

// A run of `seconds` seconds: sessions ramp up and finish, relays take 1 ms, or 900 ms in
// second `spike`; chat lines, connect and login are measured, the other steps never; errors of
// two kinds.
Report fixedReport(size_t seconds, size_t spike) {
  Report r;
  r.planned = 20, r.completed = 17, r.failed = 3, r.seconds = static_cast<double>(seconds);
  r.runs.push_back({"run-7f3a",
                    "loadhost",
                    "2026-12-07T08:30:21.123Z",
                    "2026-12-07T08:30:33.523Z",
                    r.seconds,
                    {{"sessions", "20"}, {"name-prefix", kHostile}}});
  for (size_t s = 0; s < seconds; ++s) {
    Interval i;
    const bool ending = s + 3 >= seconds;
    i.connecting = s < 3 ? 5 : 0;
    i.inWorld = s < 3 ? 5 * static_cast<uint32_t>(s) : ending ? 8 : 15;
    i.completed = ending ? 6 - (s + 1 == seconds) : 0, i.failed = s == 5 ? 3 : 0;
    i.movesSent = 40 + s % 7, i.relays = 38 + s % 5, i.linesSent = 2, i.linesReceived = 30;
    Histogram relay, login, chat, connect;
    for (uint64_t k = 0; k < 10; ++k) relay.record(s == spike ? 900'000 : 1000 + 50 * k);
    for (uint64_t k = 0; k < 30; ++k) chat.record(2000 + 60 * k + 90 * (s % 3));
    if (s < 3) connect.record(300 + 40 * s), login.record(700 + 100 * s);
    r.relay.merge(relay), r.chat.merge(chat), r.steps[kConnect].merge(connect);
    r.steps[kLogin].merge(login);
    i.latency[kRelayLatency] = SparseHistogram::of(relay);
    i.latency[kChatLatency] = SparseHistogram::of(chat);
    i.latency[kConnect] = SparseHistogram::of(connect);
    i.latency[kLogin] = SparseHistogram::of(login);
    if (s % 4 == 1) i.errors[kHostile] = 1, ++r.errors[kHostile];
    if (s == 5) i.errors["connection refused"] = 2, r.errors["connection refused"] += 2;
    r.timeline.push_back(std::move(i));
  }
  r.movesSent = r.relay.count(), r.linesSent = 2 * seconds;
  r.thresholds = {{"relay.p99<5ms", "relay.p99", 1.5, true, true},
                  {"sessions.failed==0", "sessions.failed", 3, true, false},
                  {"logout.p99<" + kHostile, "logout.p99", 0, false, false}};
  return r;
}

// The text from `id="ID"` to the end of its element (chart, table, or the summary's section).
std::string element(const std::string& page, const std::string& id) {
  const size_t at = page.find("id=\"" + id + "\"");
  if (at == std::string::npos) return "";
  const char* close = id.starts_with("chart")   ? "</figure>"
                      : id.starts_with("table") ? "</table>"
                                                : "</section>";
  const size_t end = page.find(close, at);
  return page.substr(at, end == std::string::npos ? end : end - at);
}

TEST(Html, PageHasEveryPartEscapedAndLoadsNothing) {
  const std::string page = renderHtml(fixedReport(12, 4), {});
  for (const char* id : kIds) EXPECT_NE(element(page, id), "") << id;
  EXPECT_NE(page.find("content=\"default-src 'none';"), std::string::npos);

  // The report's text is inert: no tag of its own, no attribute broken out of, valid UTF-8.
  EXPECT_EQ(page.find("<script>alert"), std::string::npos);
  EXPECT_EQ(page.find("'quoted'"), std::string::npos);
  EXPECT_NE(element(page, "table-errors").find("&lt;script&gt;alert(&quot;x&quot;)"),
            std::string::npos);
  EXPECT_EQ(veltra::tools::validUtf8(page), page);
  EXPECT_FALSE(std::regex_search(page, std::regex(R"(<[a-zA-Z][^>]*\s(src|href)\s*=)")));
  EXPECT_EQ(page.find("url("), std::string::npos);

  // Each threshold's verdict in its row; a measurement without samples says so, not a chart.
  const std::string table = element(page, "table-thresholds");
  for (const auto& [expression, verdict] : {std::pair{"relay.p99&lt;5ms", "passed"},
                                            {"sessions.failed==0", "failed"},
                                            {"logout.p99&lt;&lt;script&gt;", "no samples"}}) {
    const size_t row = table.find(expression);
    ASSERT_NE(row, std::string::npos) << expression;
    const std::string cells = table.substr(row, table.find("</tr>", row) - row);
    EXPECT_NE(cells.find(std::string(">") + verdict + "</span>"), std::string::npos) << cells;
  }
  EXPECT_NE(element(page, "chart-latency-logout").find("no samples"), std::string::npos);
  EXPECT_EQ(element(page, "chart-latency-logout").find("<svg"), std::string::npos);
  EXPECT_NE(element(page, "chart-latency-relay").find("<svg"), std::string::npos);
  // 30 lines received every second: 30 per second in its bucket.
  EXPECT_NE(element(page, "chart-throughput").find("&quot;30/s&quot;"), std::string::npos);

  // Nothing over time in a report without a timeline, and no error at all: notes, no charts.
  Report bare;
  bare.planned = 1;
  const std::string empty = renderHtml(bare, {});
  for (const char* id : kIds) EXPECT_EQ(element(empty, id).find("<svg"), std::string::npos) << id;
}

TEST(Html, AnHourKeepsFewPointsAndItsSpike) {
  const std::string page = renderHtml(fixedReport(3600, 1234), {});
  EXPECT_LT(page.size(), 600'000u);
  // One second's 900 ms among 3599 of 1 ms: in its bucket's p99, and on the axis.
  EXPECT_NE(element(page, "chart-latency-relay").find("900 ms"), std::string::npos);
  EXPECT_NE(element(page, "chart-latency-relay").find(">1000</text>"), std::string::npos);
}

// Chromium's exit status is 0 even when the page fails: a probe planted in the page reports
// errors and refused loads into its DOM, which --dump-dom shows, and the console is logged.
TEST(Html, ChromiumDrawsItWithoutError) {
  const std::string chromium = "/usr/bin/chromium";
  if (access(chromium.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << chromium << " to draw the page";
  std::string page = renderHtml(fixedReport(12, 4), {});
  // Planted before the page's script: puts errors and refused loads into the DOM and, once the
  // page has loaded, points at the middle of every chart, whose values must then show.
  const std::string probe = R"(<script>
function probe(m) {
  var e = document.documentElement;
  e.setAttribute('data-errors', (e.getAttribute('data-errors') || '') + m + ';');
}
addEventListener('error', function (e) { probe('error ' + e.message); });
document.addEventListener('securitypolicyviolation', function (e) {
  probe('refused ' + e.blockedURI);
});
addEventListener('load', function () {
  var charts = document.querySelectorAll('svg[data-rows]');
  charts.forEach(function (svg) {
    var box = svg.getBoundingClientRect(), fig = svg.closest('figure');
    svg.dispatchEvent(new MouseEvent('mousemove',
        {clientX: box.left + box.width / 2, clientY: box.top + box.height / 2}));
    var tip = fig.querySelector('.tip');
    if (tip.hidden || tip.textContent.indexOf(': ') < 0) probe('no values shown in ' + fig.id);
    svg.dispatchEvent(new MouseEvent('mouseleave'));  // a clean screenshot
  });
  document.documentElement.setAttribute('data-pointed', charts.length);
});
</script>
)";
  const size_t head = page.find("<meta name=\"viewport\"");
  ASSERT_NE(head, std::string::npos);
  page.insert(head, probe);

  char dir[] = "/tmp/scoutswarm_html_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string file = std::string(dir) + "/report.html";
  std::ofstream(file) << page;
  std::vector<std::string> common = {"--headless",
                                     "--disable-gpu",
                                     "--no-first-run",
                                     "--disable-background-networking",
                                     "--disable-component-update",
                                     "--disable-sync",
                                     "--enable-logging=stderr",
                                     "--v=0",
                                     "--user-data-dir=" + std::string(dir) + "/profile"};
  if (geteuid() == 0) common.push_back("--no-sandbox");
  const auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), common.begin(), common.end());
    args.push_back("file://" + file);
    testsupport::Process p(chromium, args, std::chrono::seconds(90));
    EXPECT_EQ(p.status, 0) << p.err;
    // The page logs nothing: an uncaught error or a refused load would be a console line.
    EXPECT_EQ(p.err.find(":CONSOLE"), std::string::npos) << p.err;
    return p.out;
  };

  const std::string dom = run({"--dump-dom"});
  for (const char* id : kIds) EXPECT_NE(element(dom, id), "") << id;
  EXPECT_NE(dom.find("data-ready=\"1\""), std::string::npos) << "the page's script did not finish";
  // Latencies over time with samples (relay, chat, connect, login), throughput, sessions, errors.
  EXPECT_NE(dom.find("data-pointed=\"7\""), std::string::npos);
  const size_t errors = dom.find("data-errors=");
  EXPECT_EQ(errors, std::string::npos) << dom.substr(errors, 300);

  std::filesystem::remove(SCOUTSWARM_SCREENSHOT);
  run({"--screenshot=" SCOUTSWARM_SCREENSHOT, "--window-size=1280,2400", "--hide-scrollbars"});
  std::ifstream png(SCOUTSWARM_SCREENSHOT, std::ios::binary);
  char magic[4] = {};
  png.read(magic, 4);
  EXPECT_EQ(std::string(magic + 1, 3), "PNG") << "no screenshot at " SCOUTSWARM_SCREENSHOT;
  std::filesystem::remove_all(dir);
}

}  // namespace
