// Every zone of the zone table against Python's zoneinfo, which reads the same database
// independently of the platform layer. The expectation is made on the machine the test runs on
// (tools/almanac-reference/make_zone_offsets.py), so a tzdata update never breaks the test,
// while a program that stopped following the database still does.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "platform/time/support/dates.h"
#include "platform/time/time_zone.h"
#include "support/command_output.h"
#include "support/test_files.h"

namespace platform {
namespace {

struct Reference {
  std::vector<long long> instants;
  std::map<std::string, std::vector<int>> offsets;
  std::vector<std::string> missing;
};

// What Python's zoneinfo reads from the database this process's environment points at.
Reference readReference() {
  auto [output, status] = testsupport::runCommandLine(testsupport::commandLine(
      {TOVARINE_PYTHON,
       std::string(TOVARINE_SOURCE_ROOT) + "/tools/almanac-reference/make_zone_offsets.py"}));
  Reference reference;
  EXPECT_EQ(status, 0) << "the reference reader failed";
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string kind, name;
    fields >> kind;
    if (kind == "instants") {
      for (long long t; fields >> t;)
        reference.instants.push_back(t);
    } else if (kind == "zone" && fields >> name) {
      auto& offsets = reference.offsets[name];
      for (int offset; fields >> offset;)
        offsets.push_back(offset);
    } else if (kind == "missing" && fields >> name) {
      reference.missing.push_back(name);
    }
  }
  return reference;
}

std::vector<int> programOffsets(const std::string& name, const std::vector<long long>& instants) {
  std::vector<int> offsets;
  auto zone = TimeZone::withIdentifier(name);
  if (!zone) return offsets;
  for (long long t : instants)
    offsets.push_back(
        zone->secondsFromGMT(Date::fromTimeIntervalSince1970(static_cast<double>(t))));
  return offsets;
}

// Run in this process against the database of its environment; the changed-database row runs it
// again in a child whose TZDIR and PYTHONTZPATH name a copy.
TEST(ZoneOffsets, FollowTheDatabaseInEveryZone) {
  Reference reference = readReference();
  ASSERT_EQ(reference.instants.size(), 44u);
  ASSERT_GE(reference.offsets.size(), 400u);
  std::size_t differing = 0;
  std::string report;
  for (const auto& [name, expected] : reference.offsets) {
    std::vector<int> actual = programOffsets(name, reference.instants);
    if (actual.empty()) {
      report += fmt::format("{}: no zone\n", name);
      ++differing;
      continue;
    }
    for (std::size_t i = 0; i < expected.size(); ++i) {
      if (actual[i] != expected[i] && ++differing <= 40) {
        report += fmt::format("{} at {}: expected {}, got {}\n", name, reference.instants[i],
                              expected[i], actual[i]);
      }
    }
  }
  EXPECT_EQ(differing, 0u) << report;
  // Both readers agree on which zones the database lacks.
  for (const auto& name : reference.missing)
    EXPECT_FALSE(TimeZone::withIdentifier(name)) << name;

  // "A=B": the copy's file of zone A holds zone B's rules.
  if (const char* swapped = getenv("TOVARINE_TEST_SWAPPED_ZONE")) {
    std::string pair = swapped;
    std::string changed = pair.substr(0, pair.find('='));
    std::string source = pair.substr(pair.find('=') + 1);
    EXPECT_EQ(reference.offsets[changed], reference.offsets[source]) << "the reference";
    EXPECT_EQ(programOffsets(changed, reference.instants),
              programOffsets(source, reference.instants))
        << "the program";
  }
}

// A database in which Europe/Rome's file holds Asia/Tokyo's rules: program and reference must
// both follow the copy, not the system's files or a table of their own.
TEST(ZoneOffsets, FollowAChangedDatabase) {
  namespace fs = std::filesystem;
  const char* systemDirectory = getenv("TZDIR");
  fs::path system = systemDirectory && *systemDirectory ? systemDirectory : "/usr/share/zoneinfo";
  testsupport::TemporaryDirectory copy;
  ASSERT_TRUE(copy.create("zoneinfo"));
  fs::path root = fs::path(copy.path()) / "zoneinfo";
  std::error_code error;
  fs::copy(system, root, fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
  ASSERT_FALSE(error) << error.message();
  fs::remove(root / "Europe/Rome");
  ASSERT_TRUE(fs::copy_file(fs::canonical(system / "Asia/Tokyo"), root / "Europe/Rome", error))
      << error.message();

  auto [output, status] = testsupport::runCommandLine(fmt::format(
      "TZDIR='{0}' PYTHONTZPATH='{0}' TOVARINE_TEST_SWAPPED_ZONE=Europe/Rome=Asia/Tokyo "
      "'/proc/{1}/exe' --gtest_filter=ZoneOffsets.FollowTheDatabaseInEveryZone 2>&1",
      root.string(), getpid()));
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

// Zones whose rules changed after ICU's own data was made.
TEST(ZoneOffsets, KnowRulesNewerThanIcusData) {
  using testing_dates::at;
  struct Case {
    const char* zone;
    Date instant;
    int offset;
    bool daylight;
  };
  const Case cases[] = {
      {"America/Mexico_City", at(2024, 7, 1, 12), -6 * 3600, false},  // no summer time since 2022
      {"America/Monterrey", at(2024, 7, 1, 12), -6 * 3600, false},
      {"Africa/Cairo", at(2024, 7, 1, 12), 3 * 3600, true},     // summer time again since 2023
      {"America/Nuuk", at(2024, 1, 15, 12), -2 * 3600, false},  // standard time moved in 2023
      {"Europe/Rome", at(2024, 7, 1, 12), 2 * 3600, true},
      {"Asia/Tokyo", at(2024, 7, 1, 12), 9 * 3600, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.zone);
    auto zone = TimeZone::withIdentifier(c.zone);
    ASSERT_TRUE(zone);
    EXPECT_EQ(zone->secondsFromGMT(c.instant), c.offset);
    EXPECT_EQ(zone->isDaylightSavingTime(c.instant), c.daylight);
  }
  auto rome = *TimeZone::withIdentifier("Europe/Rome");
  EXPECT_EQ(rome.daylightSavingTimeOffset(at(2024, 7, 1)), 3600);
  EXPECT_EQ(rome.nextDaylightSavingTimeTransition(at(2024, 1, 15)), at(2024, 3, 31, 1));
  EXPECT_NE(TimeZone::dataVersion().find("system database"), std::string::npos);
  // Names that are no zone file stay out of the file system.
  EXPECT_FALSE(TimeZone::withIdentifier("../../etc/passwd"));
  EXPECT_FALSE(TimeZone::withIdentifier("Europe/../../../etc/passwd"));
}

}  // namespace
}  // namespace platform
