#include "core/localization/Language.h"

#include <algorithm>
#include <cstdio>

#include "core/common/Common.h"
#include "core/localization/TokenText.h"
#include "ctr/Names.h"

namespace qpt {

namespace fs = std::filesystem;

std::string TLangList::GetLangText(std::string_view key) const {
  if (tokens_.empty()) return std::string(key);
  bool found = false;
  std::string text = FindTokenValue(tokens_, key, &found);
  return found ? text : tokens_.front();
}

std::string FillMarks(std::string text, const std::vector<std::string>& values) {
  for (std::size_t i = values.size(); i > 0; --i) {
    // From the last so that %1 never eats the start of %10.
    const std::string mark = "%" + std::to_string(i);
    for (std::size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + values[i - 1].size())) {
      text.replace(at, mark.size(), values[i - 1]);
    }
  }
  return text;
}

namespace {

// Names that come from an editable box or a file: anything that is not a plain file name
// cannot name one of our files in lang/.
bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name.find_first_of("/\\:") == std::string::npos && name != "." && name != "..";
}

}  // namespace

std::string TLangList::OptionalText(std::string_view key) const {
  bool found = false;
  std::string text = FindTokenValue(tokens_, key, &found);
  return found ? text : std::string();
}

fs::path QtTranslationFile(const TLangList& lang, const TFolders& folders) {
  const std::string name = lang.OptionalText("QtTranslation");
  if (!IsPlainFileName(name)) return {};
  return folders.lang / PathFromUtf8(name + ".qm");
}

fs::path LanguageFilePath(const TFolders& folders, const std::string& name) {
  return folders.lang / PathFromUtf8(name + ".lng");
}

bool LoadLanguage(const std::string& name, TLangList& list, const TFolders& folders) {
  list.Clear();
  if (!IsPlainFileName(name)) return false;
  std::string bytes;
  if (!ReadSmallFile(LanguageFilePath(folders, name), bytes)) return false;
  list.SetTokens(ReadTokens(NormalizeLineBreaks(DecodeText(bytes)), '='));
  return true;
}

std::vector<std::string> FindLanguageFiles(const TFolders& folders) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(folders.lang, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path& p = it->path();
    const std::string file = PathToUtf8(p.filename());
    if (file.empty() || file[0] == '.') continue;
    if (!it->is_regular_file(ec)) continue;
    if (!SameTextIgnoringCase(PathToUtf8(p.extension()), ".lng")) continue;
    names.push_back(PathToUtf8(p.stem()));
  }
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return ctr::FoldNameCase(a) < ctr::FoldNameCase(b); });
  return names;
}

std::string StartingLanguageName(const std::string& localeEnglishName) {
  // The system names its language in English ("Portuguese (Brazil)", "German"); the files are
  // named in their own language. Portuguese has one file, written for Brazil.
  static const std::pair<const char*, const char*> kFiles[] = {
      {"russian", "Русский"},  {"spanish", "Español"}, {"portuguese", "Português (Brasil)"},
      {"french", "Français"},  {"german", "Deutsch"},  {"italian", "Italiano"},
      {"polish", "Polski"},    {"ukrainian", "Українська"}, {"turkish", "Türkçe"},
  };
  const std::string lower = Lower(localeEnglishName);
  for (const auto& [english, file] : kFiles) {
    if (lower.find(english) != std::string::npos) return file;
  }
  return "English";
}

std::string WithoutMnemonic(std::string_view text) {
  std::string plain;
  plain.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&') {
      if (i + 1 >= text.size()) break;
      ++i;  // "&&" is a shown "&"; "&x" shows only x
    }
    plain += text[i];
  }
  return plain;
}

std::string FormatFreeSpace(float gib, const std::string& decimalSeparator) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.4G", static_cast<double>(gib));
  std::string text = buffer;
  const std::size_t e = text.find('E');
  if (e != std::string::npos) {
    // At least three exponent digits, as in 1.235E+004.
    std::string mantissa = text.substr(0, e);
    const char sign = text[e + 1];
    std::string digits = text.substr(e + 2);
    while (digits.size() < 3) digits.insert(digits.begin(), '0');
    text = mantissa + "E" + sign + digits;
  }
  const std::size_t dot = text.find('.');
  if (dot != std::string::npos) text.replace(dot, 1, decimalSeparator);
  return text;
}

std::vector<std::string> DiskFreeSpaceLines(const TLangList& lang, const std::string& drive,
                                            std::optional<std::uint64_t> freeBytes,
                                            const std::string& decimalSeparator) {
  std::vector<std::string> lines{lang.GetLangText("MessageDiskFreeSpace"), ""};
  if (!freeBytes) return lines;
  float gib = static_cast<float>(*freeBytes);
  gib = gib / 1024;
  gib = gib / 1024;
  gib = gib / 1024;
  lines.push_back(lang.GetLangText("CurrentDrive") + drive);
  lines.push_back(lang.GetLangText("FreeSpace") + FormatFreeSpace(gib, decimalSeparator) + " " + lang.GetLangText("SizeGB"));
  return lines;
}

fs::path ToolPath(const TFolders& folders, const std::string& name) {
  return folders.tools / (name + ExecutableSuffix());
}

std::optional<std::string> FirstMissingToolKey(const TFolders& folders) {
  static const char* const kTools[][2] = {
      {"3dstool", "Missing3dstool"}, {"ctrtool", "Missingctrtool"}, {"makerom", "Missingmakerom"}};
  for (const auto& tool : kTools) {
    if (!FileExists(ToolPath(folders, tool[0]))) return std::string(tool[1]);
  }
  return std::nullopt;
}

}  // namespace qpt
