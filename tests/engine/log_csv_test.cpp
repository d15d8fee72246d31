// The check log as CSV: local times with their UTC offset, quoting, and the
// history columns where they are known.

#include "log_csv.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "env_guard.h"

namespace halvern {
namespace {

constexpr std::int64_t kMorning = 1786000000;  // 2026-08-06 07:06:40 UTC

// Sets TZ for one case and puts the process's zone back afterwards.
class ZoneGuard {
 public:
  explicit ZoneGuard(const char* zone) {
    guard_.emplace("TZ", zone);
    tzset();
  }
  ~ZoneGuard() {
    guard_.reset();
    tzset();
  }

 private:
  std::optional<test::EnvGuard> guard_;
};

TEST(LogCsvTest, TimesAreLocalWithTheirUtcOffset) {
  struct Case {
    const char* zone;
    std::int64_t time;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"UTC0", kMorning, "2026-08-06T07:06:40+00:00"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", kMorning, "2026-08-06T09:06:40+02:00"},  // summer time
      {"CET-1CEST,M3.5.0,M10.5.0/3", kMorning + 120 * 86400, "2026-12-04T08:06:40+01:00"},
      {"EST5EDT,M3.2.0,M11.1.0", kMorning, "2026-08-06T03:06:40-04:00"},
      {"IST-5:30", kMorning, "2026-08-06T12:36:40+05:30"},
      {"UTC0", 0, "1970-01-01T00:00:00+00:00"},
      {"UTC0", -86400, "1969-12-31T00:00:00+00:00"},
      {"UTC0", std::int64_t{1} << 62, ""},  // beyond any calendar
  };
  for (const Case& c : cases) {
    ZoneGuard zone(c.zone);
    EXPECT_EQ(FormatIsoLocalTime(c.time), c.text) << c.zone << " " << c.time;
  }
}

TEST(LogCsvTest, WritesHeaderRowsAndOptionalHistoryColumns) {
  ZoneGuard zone("UTC0");
  std::vector<LogCsvRow> rows(2);
  rows[0] = {kMorning, u"Shop, main", true, u"Lasted checked on 07:06:40", 200, 0.25, u"ok"};
  rows[1] = {kMorning - 60, u"Say \"hi\"", false, u"Failed. Not Found", {}, {}, {}};
  EXPECT_EQ(LogCsv(rows, false),
            "\xEF\xBB\xBFTime,Title,Passed,Text\r\n"
            "2026-08-06T07:06:40+00:00,\"Shop, main\",1,Lasted checked on 07:06:40\r\n"
            "2026-08-06T07:05:40+00:00,\"Say \"\"hi\"\"\",0,Failed. Not Found\r\n");
  EXPECT_EQ(LogCsv(rows, true),
            "\xEF\xBB\xBFTime,Title,Passed,Text,HTTP Status,Total Time (s),Detail\r\n"
            "2026-08-06T07:06:40+00:00,\"Shop, main\",1,Lasted checked on 07:06:40,200,0.250,ok\r\n"
            "2026-08-06T07:05:40+00:00,\"Say \"\"hi\"\"\",0,Failed. Not Found,,,\r\n");
  EXPECT_EQ(LogCsv({}, false), "\xEF\xBB\xBFTime,Title,Passed,Text\r\n");
}

// A server's status text or a title that a spreadsheet would run as a formula
// is written as text: a leading apostrophe. Other texts are left as they are.
TEST(LogCsvTest, CellsThatWouldRunAsFormulasAreWrittenAsText) {
  ZoneGuard zone("UTC0");
  struct Case {
    std::u16string text;
    std::string cell;
  } cases[] = {
      {u"=HYPERLINK(\"http://x\")", "\"'=HYPERLINK(\"\"http://x\"\")\""},
      {u"+1", "'+1"},
      {u"-2+3", "'-2+3"},
      {u"@SUM(A1)", "'@SUM(A1)"},
      {u"\t=1", "'\t=1"},
      {u"Failed. =1", "Failed. =1"},
      {u"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.cell));
    const std::vector<LogCsvRow> rows = {{kMorning, c.text, false, c.text, {}, {}, c.text}};
    const std::string out = LogCsv(rows, true);
    const std::string expected =
        "2026-08-06T07:06:40+00:00," + c.cell + ",0," + c.cell + ",,," + c.cell + "\r\n";
    EXPECT_TRUE(out.ends_with(expected)) << out;
  }
}

}  // namespace
}  // namespace halvern
