// The ISO 8601 writer and reader against texts and instants made by Python's own date code
// (tools/iso-reference/make_cases.py), which shares nothing with ours.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "almanac/date_in_region.h"
#include "almanac/date_parsable.h"
#include "almanac/iso_formatter.h"
#include "almanac/support/date_fixtures.h"

namespace almanac {
namespace {

using O = ISOFormatter::Options;

struct Case {
  std::string kind;
  std::string zone;
  std::int64_t instant = 0;
  std::string text;
  std::int64_t readBack = 0;
};

std::vector<Case> loadCases() {
  auto path = std::filesystem::path(TOVARINE_SOURCE_ROOT) / "tests/almanac/data/iso_cases.tsv";
  std::ifstream in(path);
  std::vector<Case> cases;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> fields;
    std::stringstream columns(line);
    for (std::string field; std::getline(columns, field, '\t');)
      fields.push_back(field);
    if (fields.size() != 5) {
      ADD_FAILURE() << "malformed row: " << line;
      continue;
    }
    cases.push_back(
        {fields[0], fields[1], std::stoll(fields[2]), fields[3], std::stoll(fields[4])});
  }
  return cases;
}

TEST(ISOReferenceTest, WritesAndReadsWhatThePythonReferenceDoes) {
  testing_dates::PinnedSettings pinned("en_US", "UTC");
  const std::map<std::string, O> writes = {
      {"write-default", O::dateTimeSeconds},
      {"write-millis", O::dateTimeMillis},
      {"write-basiczone", O::dateTimeMillisBasicZone},
      {"write-fulldate", O::fullDate},
      {"write-ordinal", O{O::year, O::day, O::dashBeforeWeekOrOrdinal}},
      {"write-week", O{O::year, O::weekOfYear, O::day}},
  };
  auto cases = loadCases();
  ASSERT_EQ(cases.size(), 26'000u);
  std::map<std::string, int> checked;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind + " " + c.zone + " " + c.text);
    if (auto options = writes.find(c.kind); options != writes.end()) {
      DateInRegion date(platform::Date::fromTimeIntervalSince1970(c.instant / 1000.0),
                        almanac_testing::region(c.zone.c_str()));
      ASSERT_EQ(date.isoText(options->second), c.text);
    }
    auto read = toISODate(c.text);
    ASSERT_TRUE(read);
    ASSERT_EQ(std::llround(read->timeIntervalSince1970() * 1000.0), c.readBack);
    ++checked[c.kind];
  }
  EXPECT_EQ(checked.size(), 13u);
}

}  // namespace
}  // namespace almanac
