// Writes Almanac's locale and time-zone tables (src/almanac/locales.h, locales_table.cpp,
// zones.h, zones_table.cpp) from the identifier lists beside this file.
//
//   almanac-tables <folder with locales.txt and zones.txt> <output folder>
//
// A locale's case name is its English language name, then the script's name where the script
// is not the one the language usually has in that region (or where leaving it out would give
// two locales one name), then the region's and variant's names: words capitalised except the
// first, joined, letters outside ASCII removed. A zone's case name joins the pieces of its
// identifier. The few names that depart from these rules are listed below.

#include <unicode/locid.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string utf8(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

// Names kept as they have always been spelled, even where the rules would now say otherwise.
const std::map<std::string, std::string> localeNameExceptions = {
    {"bn_IN", "engaliIndia"},
    {"sr_Latn_ME", "serbianLatinMontenegro"},
};
// English language names that differ from ICU's current ones.
const std::map<std::string, std::string> languageNameExceptions = {
    {"bn", "Bengali"},
};
const std::map<std::string, std::string> zoneNameExceptions = {
    {"Africa/Kigali", "fricaKigali"},
    {"Antarctica/DumontDUrville", "antarcticaDumontdurville"},
    {"Antarctica/McMurdo", "antarcticaMcmurdo"},
    {"GMT", "gmt"},
};

// Rows whose names other code relies on; the generator refuses to write tables without them.
const std::map<std::string, std::string> expectedLocaleRows = {
    {"afrikaans", "af"},
    {"afrikaansNamibia", "af_NA"},
    {"arabicWorld", "ar_001"},
    {"azerbaijani", "az_Latn"},
    {"azerbaijaniCyrillic", "az_Cyrl"},
    {"serbian", "sr_Cyrl"},
    {"serbianLatin", "sr_Latn"},
    {"serbianLatinMontenegro", "sr_Latn_ME"},
    {"chinese", "zh"},
    {"chineseChina", "zh_Hans_CN"},
    {"chineseSimplified", "zh_Hans"},
    {"chineseTraditional", "zh_Hant"},
    {"chineseTaiwan", "zh_Hant_TW"},
    {"englishEurope", "en_150"},
    {"englishUnitedStates", "en_US"},
    {"englishUnitedStatesComputer", "en_US_POSIX"},
    {"englishWorld", "en_001"},
    {"spanishLatinAmerica", "es_419"},
    {"norwegianBokml", "nb"},
    {"frenchRunion", "fr_RE"},
    {"swedishlandIslands", "sv_AX"},
    {"inuktitutUnifiedCanadianAboriginalSyllabics", "iu_Cans"},
    {"engaliIndia", "bn_IN"},
    {"bengali", "bn"},
    {"vai", "vai_Vaii"},
    {"vaiLatin", "vai_Latn"},
    {"zulu", "zu"},
    {"zuluSouthAfrica", "zu_ZA"},
};
const std::map<std::string, std::string> expectedZoneRows = {
    {"americaArgentinaBuenosAires", "America/Argentina/Buenos_Aires"},
    {"americaPortAuPrince", "America/Port-au-Prince"},
    {"fricaKigali", "Africa/Kigali"},
    {"antarcticaDumontdurville", "Antarctica/DumontDUrville"},
    {"antarcticaMcmurdo", "Antarctica/McMurdo"},
    {"gmt", "GMT"},
};

const std::set<std::string> cppKeywords = {
    "alignas",       "alignof",     "and",        "and_eq",   "asm",       "auto",
    "bitand",        "bitor",       "bool",       "break",    "case",      "catch",
    "char",          "class",       "compl",      "concept",  "const",     "consteval",
    "constexpr",     "constinit",   "const_cast", "continue", "co_await",  "co_return",
    "co_yield",      "decltype",    "default",    "delete",   "do",        "double",
    "dynamic_cast",  "else",        "enum",       "explicit", "export",    "extern",
    "false",         "float",       "for",        "friend",   "goto",      "if",
    "inline",        "int",         "long",       "mutable",  "namespace", "new",
    "noexcept",      "not",         "not_eq",     "nullptr",  "operator",  "or",
    "or_eq",         "private",     "protected",  "public",   "register",  "reinterpret_cast",
    "requires",      "return",      "short",      "signed",   "sizeof",    "static",
    "static_assert", "static_cast", "struct",     "switch",   "template",  "this",
    "thread_local",  "throw",       "true",       "try",      "typedef",   "typeid",
    "typename",      "union",       "unsigned",   "using",    "virtual",   "void",
    "volatile",      "wchar_t",     "while",      "xor",      "xor_eq"};

std::vector<std::string> readLines(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  }
  return lines;
}

// Words capitalised, joined, everything outside ASCII letters and digits removed.
std::string joinWords(const std::vector<std::string>& phrases, bool lowerFirst) {
  std::string out;
  bool first = true;
  for (const auto& phrase : phrases) {
    std::istringstream words(phrase);
    for (std::string word; words >> word;) {
      // Capitalise the first ASCII letter of the word ("(Burma)" gives "Burma").
      for (char& c : word) {
        if (std::isalpha(static_cast<unsigned char>(c))) {
          c = static_cast<char>(first && lowerFirst ? std::tolower(c) : std::toupper(c));
          break;
        }
        if (static_cast<unsigned char>(c) >= 0x80) break;
      }
      first = false;
      for (char c : word) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x80 && std::isalnum(u)) out += c;
      }
    }
  }
  return out;
}

std::string likelyScript(const std::string& language, const std::string& region) {
  icu::Locale locale((language + (region.empty() ? "" : "_" + region)).c_str());
  UErrorCode status = U_ZERO_ERROR;
  locale.addLikelySubtags(status);
  return locale.getScript();
}

std::string localeName(const std::string& id, bool withScript) {
  icu::Locale locale(id.c_str());
  icu::Locale english("en");
  icu::UnicodeString language, script, region, variant;
  locale.getDisplayLanguage(english, language);
  locale.getDisplayScript(english, script);
  locale.getDisplayCountry(english, region);
  locale.getDisplayVariant(english, variant);
  std::string languageName = utf8(language);
  if (auto it = languageNameExceptions.find(locale.getLanguage());
      it != languageNameExceptions.end()) {
    languageName = it->second;
  }
  std::string scriptName = utf8(script);
  // ICU's stand-alone script names carry "Han" ("Simplified Han"); in a locale's name the
  // script reads "Simplified".
  if (scriptName.size() > 4 && scriptName.ends_with(" Han"))
    scriptName.resize(scriptName.size() - 4);
  std::vector<std::string> phrases = {languageName};
  if (withScript && *locale.getScript()) phrases.push_back(scriptName);
  if (*locale.getCountry()) phrases.push_back(utf8(region));
  if (*locale.getVariant()) phrases.push_back(utf8(variant));
  return joinWords(phrases, true);
}

bool usualScript(const std::string& id) {
  icu::Locale locale(id.c_str());
  if (!*locale.getScript()) return true;
  return likelyScript(locale.getLanguage(), locale.getCountry()) == locale.getScript();
}

std::string zoneName(const std::string& id) {
  std::string out;
  bool capitalise = true;
  for (char c : id) {
    if (c == '/' || c == '_' || c == '-') {
      capitalise = true;
      continue;
    }
    out += capitalise ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
    capitalise = false;
  }
  if (!out.empty()) out[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(out[0])));
  return out;
}

void check(bool ok, const std::string& message) {
  if (!ok) throw std::runtime_error(message);
}

void checkNames(const std::vector<std::pair<std::string, std::string>>& rows,
                const std::map<std::string, std::string>& expected, const char* what) {
  std::set<std::string> names;
  std::map<std::string, std::string> byName;
  for (const auto& [name, raw] : rows) {
    check(!name.empty() && std::isalpha(static_cast<unsigned char>(name[0])),
          std::string(what) + ": bad name for " + raw);
    check(!cppKeywords.contains(name), std::string(what) + ": keyword name " + name);
    check(names.insert(name).second, std::string(what) + ": duplicate name " + name);
    byName[name] = raw;
  }
  for (const auto& [name, raw] : expected) {
    auto it = byName.find(name);
    check(it != byName.end() && it->second == raw,
          std::string(what) + ": expected " + name + " for " + raw);
  }
}

std::vector<std::pair<std::string, std::string>> localeRows(const std::vector<std::string>& ids) {
  std::vector<std::pair<std::string, std::string>> rows;
  std::map<std::string, int> uses;
  std::vector<std::string> names;
  for (const auto& id : ids) {
    std::string name = localeName(id, !usualScript(id));
    names.push_back(name);
    ++uses[name];
  }
  // Where leaving the script out gives two locales one name, the ones that name a script
  // keep it ("zh" is chinese, "zh_Hans" chineseSimplified).
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (uses[names[i]] > 1 && *icu::Locale(ids[i].c_str()).getScript()) {
      names[i] = localeName(ids[i], true);
    }
  }
  for (std::size_t i = 0; i < ids.size(); ++i) {
    auto exception = localeNameExceptions.find(ids[i]);
    rows.emplace_back(exception != localeNameExceptions.end() ? exception->second : names[i],
                      ids[i]);
  }
  return rows;
}

std::vector<std::pair<std::string, std::string>> zoneRows(const std::vector<std::string>& ids) {
  std::vector<std::pair<std::string, std::string>> rows;
  for (const auto& id : ids) {
    std::unique_ptr<icu::TimeZone> zone(
        icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(id)));
    icu::UnicodeString resolved;
    zone->getID(resolved);
    check(utf8(resolved) == id, "ICU does not know the zone " + id);
    auto exception = zoneNameExceptions.find(id);
    rows.emplace_back(exception != zoneNameExceptions.end() ? exception->second : zoneName(id), id);
  }
  return rows;
}

const char* banner =
    "// Generated by tools/almanac-tables from ICU's English display names. Do not edit: change\n"
    "// the generator or its identifier lists and run it again.\n";

void writeTable(const std::string& outDir, const std::string& type, const std::string& file,
                const std::string& headerComment,
                const std::vector<std::pair<std::string, std::string>>& rows) {
  std::string lower = file;
  std::string countName = lower + "Count";
  {
    std::ofstream h(outDir + "/" + file + ".h");
    h << banner << "\n#pragma once\n\n#include <cstddef>\n#include <cstdint>\n#include <optional>\n"
      << "#include <string_view>\n\nnamespace almanac {\n\n"
      << headerComment << "// clang-format off\nenum class " << type << " : std::uint16_t {\n";
    for (const auto& [name, raw] : rows)
      h << "  " << name << ",\n";
    h << "};\n// clang-format on\n\ninline constexpr std::size_t " << countName << " = "
      << rows.size() << ";\n\n"
      << "// The identifier the case stands for.\n"
      << "std::string_view rawValue(" << type << " value);\n"
      << "// The case's name as written in code.\n"
      << "std::string_view caseName(" << type << " value);\n"
      << "// The case whose raw value is exactly the text, if any.\n"
      << "std::optional<" << type << "> " << lower << "FromRawValue(std::string_view rawValue);\n\n"
      << "}  // namespace almanac\n";
  }
  {
    std::vector<std::size_t> order(rows.size());
    for (std::size_t i = 0; i < order.size(); ++i)
      order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return rows[a].second < rows[b].second; });
    std::ofstream c(outDir + "/" + file + "_table.cpp");
    c << banner << "\n#include \"almanac/" << file
      << ".h\"\n\n#include <algorithm>\n#include <array>\n"
      << "#include <utility>\n\nnamespace almanac {\n\nnamespace {\n\n// clang-format off\n"
      << "constexpr std::array<std::string_view, " << countName << "> rawValues = {\n";
    for (const auto& row : rows)
      c << "    \"" << row.second << "\",\n";
    c << "};\n\nconstexpr std::array<std::string_view, " << countName << "> caseNames = {\n";
    for (const auto& row : rows)
      c << "    \"" << row.first << "\",\n";
    c << "};\n\n// Raw values in byte order, for lookups by binary search.\n"
      << "constexpr std::array<std::pair<std::string_view, std::uint16_t>, " << countName
      << "> byRawValue = {{\n";
    for (auto i : order)
      c << "    {\"" << rows[i].second << "\", " << i << "},\n";
    c << "}};\n// clang-format on\n\n}  // namespace\n\n"
      << "std::string_view rawValue(" << type << " value) {\n"
      << "  auto index = static_cast<std::size_t>(value);\n"
      << "  return index < rawValues.size() ? rawValues[index] : std::string_view{};\n}\n\n"
      << "std::string_view caseName(" << type << " value) {\n"
      << "  auto index = static_cast<std::size_t>(value);\n"
      << "  return index < caseNames.size() ? caseNames[index] : std::string_view{};\n}\n\n"
      << "std::optional<" << type << "> " << lower << "FromRawValue(std::string_view rawValue) {\n"
      << "  auto it =\n"
      << "      std::lower_bound(byRawValue.begin(), byRawValue.end(), rawValue,\n"
      << "                       [](const auto& entry, std::string_view text) { return entry.first "
         "< text; });\n"
      << "  if (it == byRawValue.end() || it->first != rawValue) return std::nullopt;\n"
      << "  return static_cast<" << type << ">(it->second);\n}\n\n"
      << "}  // namespace almanac\n";
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: almanac-tables <input folder> <output folder>\n";
    return 2;
  }
  try {
    std::string in = argv[1];
    std::string out = argv[2];

    auto localeIds = readLines(in + "/locales.txt");
    std::vector<std::pair<std::string, std::string>> locales = {
        {"current", "current"}, {"autoUpdating", "currentAutoUpdating"}};
    for (auto& row : localeRows(localeIds))
      locales.push_back(row);
    checkNames(locales, expectedLocaleRows, "locales");

    auto zoneIds = readLines(in + "/zones.txt");
    std::vector<std::pair<std::string, std::string>> zones = {
        {"current", "Current"}, {"autoUpdating", "CurrentAutoUpdating"}};
    for (auto& row : zoneRows(zoneIds))
      zones.push_back(row);
    checkNames(zones, expectedZoneRows, "zones");

    writeTable(out, "Locales", "locales",
               "// The locales a region can be set to. `current` and `autoUpdating` stand for the\n"
               "// user's locale; every other case for the locale of its identifier.\n",
               locales);
    writeTable(
        out, "Zones", "zones",
        "// The time zones a region can be set to. `current` and `autoUpdating` stand for the\n"
        "// user's zone; every other case for the database zone of its identifier.\n",
        zones);
    std::cout << locales.size() << " locales, " << zones.size() << " zones\n";
  } catch (const std::exception& e) {
    std::cerr << "almanac-tables: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
