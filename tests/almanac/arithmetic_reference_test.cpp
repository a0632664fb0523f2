// Checks the date arithmetic against a table computed independently (no ICU, no project code)
// by tools/almanac-reference/make_reference.py over the system's time-zone database, made on the
// machine the test runs on so that it follows that machine's tzdata.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "almanac/date_in_region.h"
#include "almanac/support/date_fixtures.h"
#include "support/command_output.h"

namespace almanac {
namespace {

enum class ReferenceOp {
  addYears,
  addMonths,
  addWeeks,
  addDays,
  addHours,
  addMinutes,
  addSeconds,
  startOfHour,
  endOfHour,
  startOfDay,
  endOfDay,
  startOfMonth,
  endOfMonth,
  toMins7,
  toCeilMins20,
  toFloorMins15,
  to5Mins,
  to10Mins,
  to30Mins,
  toCeil5Mins,
  toCeil10Mins,
  toCeil30Mins,
  toFloor5Mins,
  toFloor10Mins,
  toFloor30Mins,
  nearestMinute,
  nearestHour,
  setHour,
  setMinute,
};

// The operations by the names the reference prints.
constexpr std::pair<const char*, ReferenceOp> operationNames[] = {
    {"addYears", ReferenceOp::addYears},
    {"addMonths", ReferenceOp::addMonths},
    {"addWeeks", ReferenceOp::addWeeks},
    {"addDays", ReferenceOp::addDays},
    {"addHours", ReferenceOp::addHours},
    {"addMinutes", ReferenceOp::addMinutes},
    {"addSeconds", ReferenceOp::addSeconds},
    {"startOfHour", ReferenceOp::startOfHour},
    {"endOfHour", ReferenceOp::endOfHour},
    {"startOfDay", ReferenceOp::startOfDay},
    {"endOfDay", ReferenceOp::endOfDay},
    {"startOfMonth", ReferenceOp::startOfMonth},
    {"endOfMonth", ReferenceOp::endOfMonth},
    {"toMins7", ReferenceOp::toMins7},
    {"toCeilMins20", ReferenceOp::toCeilMins20},
    {"toFloorMins15", ReferenceOp::toFloorMins15},
    {"to5Mins", ReferenceOp::to5Mins},
    {"to10Mins", ReferenceOp::to10Mins},
    {"to30Mins", ReferenceOp::to30Mins},
    {"toCeil5Mins", ReferenceOp::toCeil5Mins},
    {"toCeil10Mins", ReferenceOp::toCeil10Mins},
    {"toCeil30Mins", ReferenceOp::toCeil30Mins},
    {"toFloor5Mins", ReferenceOp::toFloor5Mins},
    {"toFloor10Mins", ReferenceOp::toFloor10Mins},
    {"toFloor30Mins", ReferenceOp::toFloor30Mins},
    {"nearestMinute", ReferenceOp::nearestMinute},
    {"nearestHour", ReferenceOp::nearestHour},
    {"setHour", ReferenceOp::setHour},
    {"setMinute", ReferenceOp::setMinute},
};

struct ReferenceRow {
  std::string zone;
  double start = 0;
  std::string opName;
  ReferenceOp op{};
  std::int64_t argument = 0;
  double expected = 0;
};

// The reference's rows; a line it cannot read fails the test.
std::vector<ReferenceRow> readReferenceRows() {
  auto [output, status] = testsupport::runCommandLine(testsupport::commandLine(
      {TOVARINE_PYTHON,
       std::string(TOVARINE_SOURCE_ROOT) + "/tools/almanac-reference/make_reference.py"}));
  EXPECT_EQ(status, 0) << "the reference generator failed";
  std::vector<ReferenceRow> rows;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    ReferenceRow row;
    fields >> row.zone >> row.start >> row.opName >> row.argument >> row.expected;
    const auto* named = std::find_if(std::begin(operationNames), std::end(operationNames),
                                     [&](const auto& entry) { return row.opName == entry.first; });
    if (fields.fail() || named == std::end(operationNames)) {
      ADD_FAILURE() << "unreadable reference line: " << line;
      continue;
    }
    row.op = named->second;
    rows.push_back(row);
  }
  return rows;
}

using C = platform::Calendar::Component;

std::optional<double> apply(const DateInRegion& date, ReferenceOp op, std::int64_t n) {
  using O = ReferenceOp;
  using M = RoundDateMode;
  auto instant = [](const DateInRegion& d) { return d.timeIntervalSince1970(); };
  auto set = [&](C component) -> std::optional<double> {
    auto result = date.dateBySet({{component, n}});
    if (!result) return std::nullopt;
    return instant(*result);
  };
  switch (op) {
    case O::addYears:
      return instant(date.dateByAdding(n, C::year));
    case O::addMonths:
      return instant(date.dateByAdding(n, C::month));
    case O::addWeeks:
      return instant(date.dateByAdding(n, C::weekOfYear));
    case O::addDays:
      return instant(date.dateByAdding(n, C::day));
    case O::addHours:
      return instant(date.dateByAdding(n, C::hour));
    case O::addMinutes:
      return instant(date.dateByAdding(n, C::minute));
    case O::addSeconds:
      return instant(date.dateByAdding(n, C::second));
    case O::startOfHour:
      return instant(date.dateAtStartOf(C::hour));
    case O::endOfHour:
      return instant(date.dateAtEndOf(C::hour));
    case O::startOfDay:
      return instant(date.dateAtStartOf(C::day));
    case O::endOfDay:
      return instant(date.dateAtEndOf(C::day));
    case O::startOfMonth:
      return instant(date.dateAtStartOf(C::month));
    case O::endOfMonth:
      return instant(date.dateAtEndOf(C::month));
    case O::toMins7:
      return instant(date.dateRoundedAt(M::toMins{7}));
    case O::toCeilMins20:
      return instant(date.dateRoundedAt(M::toCeilMins{20}));
    case O::toFloorMins15:
      return instant(date.dateRoundedAt(M::toFloorMins{15}));
    case O::to5Mins:
      return instant(date.dateRoundedAt(M::to5Mins{}));
    case O::to10Mins:
      return instant(date.dateRoundedAt(M::to10Mins{}));
    case O::to30Mins:
      return instant(date.dateRoundedAt(M::to30Mins{}));
    case O::toCeil5Mins:
      return instant(date.dateRoundedAt(M::toCeil5Mins{}));
    case O::toCeil10Mins:
      return instant(date.dateRoundedAt(M::toCeil10Mins{}));
    case O::toCeil30Mins:
      return instant(date.dateRoundedAt(M::toCeil30Mins{}));
    case O::toFloor5Mins:
      return instant(date.dateRoundedAt(M::toFloor5Mins{}));
    case O::toFloor10Mins:
      return instant(date.dateRoundedAt(M::toFloor10Mins{}));
    case O::toFloor30Mins:
      return instant(date.dateRoundedAt(M::toFloor30Mins{}));
    case O::nearestMinute:
      return instant(date.dateAt(DateRelatedType::nearestMinute{n}));
    case O::nearestHour:
      return instant(date.dateAt(DateRelatedType::nearestHour{n}));
    case O::setHour:
      return set(C::hour);
    case O::setMinute:
      return set(C::minute);
  }
  return std::nullopt;
}

TEST(ArithmeticReference, EveryRowAgrees) {
  const std::vector<ReferenceRow> referenceRows = readReferenceRows();
  ASSERT_GE(referenceRows.size(), 2000u);
  std::map<std::string, Region> regions;
  std::size_t differing = 0;
  std::string report;
  for (std::size_t i = 0; i < std::size(referenceRows); ++i) {
    const ReferenceRow& row = referenceRows[i];
    auto found = regions.find(row.zone);
    if (found == regions.end()) {
      found = regions.emplace(row.zone, almanac_testing::region(row.zone.c_str(), "en_US")).first;
    }
    DateInRegion start = DateInRegion::fromSeconds(row.start, found->second);
    auto actual = apply(start, row.op, row.argument);
    if (actual && std::abs(*actual - row.expected) < 1e-6) continue;
    if (++differing <= 40) {
      report += fmt::format("row {}: {} from {} op {} arg {}: expected {}, got {}\n", i + 1,
                            row.zone, row.start, row.opName, row.argument, row.expected,
                            actual ? fmt::format("{}", *actual) : "no date");
    }
  }
  EXPECT_EQ(differing, 0u) << report;
}

}  // namespace
}  // namespace almanac
