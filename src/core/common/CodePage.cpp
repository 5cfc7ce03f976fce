#include "core/common/CodePage.h"

#include <algorithm>

#include "core/common/Common.h"

namespace qpt {

int AnsiCodePageForLocale(std::string_view localeName) {
  // "ll_CC.charset@modifier": the language, the country and the modifier decide.
  const std::size_t languageEnd = localeName.find_first_of("_.@");
  const std::string language = Lower(std::string(localeName.substr(0, languageEnd)));
  std::string country;
  if (languageEnd != std::string_view::npos && localeName[languageEnd] == '_') {
    const std::size_t countryEnd = localeName.find_first_of(".@", languageEnd);
    country = std::string(localeName.substr(languageEnd + 1, countryEnd - languageEnd - 1));
  }
  const std::size_t at = localeName.find('@');
  const std::string_view modifier = at == std::string_view::npos ? std::string_view() : localeName.substr(at + 1);

  struct Entry {
    const char* language;
    int codePage;
  };
  static const Entry kTable[] = {
      {"cs", 1250}, {"hr", 1250}, {"hu", 1250}, {"pl", 1250}, {"ro", 1250}, {"sk", 1250}, {"sl", 1250},
      {"sq", 1250}, {"bs", 1250}, {"ru", 1251}, {"uk", 1251}, {"be", 1251}, {"bg", 1251}, {"mk", 1251},
      {"sr", 1251}, {"kk", 1251}, {"ky", 1251}, {"mn", 1251}, {"tt", 1251}, {"ba", 1251}, {"tg", 1251},
      {"el", 1253}, {"tr", 1254}, {"az", 1254}, {"uz", 1254}, {"he", 1255}, {"iw", 1255}, {"ar", 1256},
      {"fa", 1256}, {"ur", 1256}, {"et", 1257}, {"lv", 1257}, {"lt", 1257}, {"vi", 1258}, {"th", 874},
      {"ja", 932},  {"ko", 949},  {"zh", 936},
  };
  const auto entry = std::find_if(std::begin(kTable), std::end(kTable),
                                  [&](const Entry& e) { return language == e.language; });
  if (entry == std::end(kTable)) return 1252;
  // Serbian is written in either alphabet; Azerbaijani and Uzbek too. Traditional Chinese
  // has a code page of its own.
  if (language == "sr" && modifier == "latin") return 1250;
  if ((language == "az" || language == "uz") && modifier == "cyrillic") return 1251;
  if (language == "zh" && (country == "TW" || country == "HK" || country == "MO")) return 950;
  return entry->codePage;
}

}  // namespace qpt
