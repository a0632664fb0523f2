#pragma once

// Private to platform/time: an ICU zone that answers from the system's time-zone database (the
// TZif files of the tzdata package, read by libcctz, footer rule included), so that dates since
// ICU's own 2022 rules get the offsets the machine's clock uses. ICU has no zone built from
// TZif; this is its equivalent of ICU's Olson zone.

#include <unicode/basictz.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <cctz/time_zone.h>

namespace platform {

class SystemTimeZone final : public icu::BasicTimeZone {
 public:
  // The system's zone of that name; none for names it lacks or that are no zone file name.
  static std::unique_ptr<SystemTimeZone> load(std::string_view identifier);
  // The version of the system's database ("2025b"), or "" when it does not say.
  static std::string dataVersion();

  SystemTimeZone* clone() const override { return new SystemTimeZone(*this); }
  bool operator==(const icu::TimeZone& other) const override;

  int32_t getOffset(uint8_t era, int32_t year, int32_t month, int32_t day, uint8_t dayOfWeek,
                    int32_t millis, UErrorCode& status) const override;
  int32_t getOffset(uint8_t era, int32_t year, int32_t month, int32_t day, uint8_t dayOfWeek,
                    int32_t millis, int32_t monthLength, UErrorCode& status) const override;
  void getOffset(UDate date, UBool local, int32_t& rawOffset, int32_t& dstOffset,
                 UErrorCode& status) const override;
  void getOffsetFromLocal(UDate date, UTimeZoneLocalOption nonExistingTimeOpt,
                          UTimeZoneLocalOption duplicatedTimeOpt, int32_t& rawOffset,
                          int32_t& dstOffset, UErrorCode& status) const override;
  void setRawOffset(int32_t) override {}
  int32_t getRawOffset() const override;
  UBool useDaylightTime() const override;
  UBool inDaylightTime(UDate date, UErrorCode& status) const override;
  UBool hasSameRules(const icu::TimeZone& other) const override;

  UBool getNextTransition(UDate base, UBool inclusive,
                          icu::TimeZoneTransition& result) const override;
  UBool getPreviousTransition(UDate base, UBool inclusive,
                              icu::TimeZoneTransition& result) const override;
  int32_t countTransitionRules(UErrorCode&) const override { return 0; }
  void getTimeZoneRules(const icu::InitialTimeZoneRule*& initial,
                        const icu::TimeZoneRule* trsrules[], int32_t& trscount,
                        UErrorCode& status) const override;

  UClassID getDynamicClassID() const override;
  static UClassID getStaticClassID();

 private:
  SystemTimeZone(const icu::UnicodeString& id, cctz::time_zone zone)
      : icu::BasicTimeZone(id), zone_(zone) {}
  SystemTimeZone(const SystemTimeZone&) = default;

  struct Split {
    int32_t raw;
    int32_t dst;
  };
  // The offset at a second since 1970, split into standard offset and daylight saving.
  Split offsetAt(std::int64_t second) const;
  // The same for a daylight offset, by a search for the standard time around it.
  Split standardAndSavings(std::int64_t second, int offset) const;
  // The first change of offsets after (`forward`) or before the second `from`.
  UBool transitionFrom(std::int64_t from, bool forward, icu::TimeZoneTransition& result) const;

  cctz::time_zone zone_;
};

}  // namespace platform
