// The language table: every text the user reads is looked up in it by key.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/Folders.h"

namespace qpt {

// The loaded language file as an ordered token list. Written only on the window's thread;
// the install job reads it from its own thread while the window keeps everything that could
// reload it disabled, so no lock is needed.
class TLangList {
 public:
  // The token after the first token equal to key, ignoring letter case; keys and texts alike
  // take part in the search. A key the file lacks yields the table's first token, and a
  // lookup in an empty table yields the key itself so that a message still says something.
  std::string GetLangText(std::string_view key) const;

  // The text of a key the file really has; empty when it lacks the key (no fallback).
  std::string OptionalText(std::string_view key) const;

  void Clear() { tokens_.clear(); }
  bool Empty() const { return tokens_.empty(); }
  void SetTokens(std::vector<std::string> tokens) { tokens_ = std::move(tokens); }
  const std::vector<std::string>& Tokens() const { return tokens_; }

 private:
  std::vector<std::string> tokens_;
};

// text with %1, %2, ... replaced by values[0], values[1], ...; every occurrence of a mark.
std::string FillMarks(std::string text, const std::vector<std::string>& values);

// <lang folder>/<name>.lng
std::filesystem::path LanguageFilePath(const TFolders& folders, const std::string& name);

// Empties list and fills it from <lang folder>/<name>.lng. False (list left empty) when the
// file cannot be read or the name cannot be a file name.
bool LoadLanguage(const std::string& name, TLangList& list, const TFolders& folders);

// The translation of the toolkit's own texts (file dialogs, Yes and No) that a language file
// asks for with the key "QtTranslation" ("qtbase_ru"), as <lang folder>/<name>.qm; empty when
// the file asks for none or names something that is not a plain file name.
std::filesystem::path QtTranslationFile(const TLangList& lang, const TFolders& folders);

// Names (without extension) of the language files in the lang folder, files only, hidden ones
// skipped, in case-insensitive name order as a Windows folder lists them.
std::vector<std::string> FindLanguageFiles(const TFolders& folders);

// The language to start in, from the English name of the user's locale language.
std::string StartingLanguageName(const std::string& localeEnglishName);

// A control's text as a line shows it: "&x" is a mnemonic, shown as x, and "&&" a shown "&".
std::string WithoutMnemonic(std::string_view text);

// Free space in GiB as the log shows it: general format, 4 significant digits, scientific
// with at least three exponent digits from 10000 on, with the given decimal separator.
std::string FormatFreeSpace(float gib, const std::string& decimalSeparator);

// The log lines of the start-up disk report: the "MessageDiskFreeSpace" line with an empty
// line after it and, when the free space is known, the drive and free-space lines.
std::vector<std::string> DiskFreeSpaceLines(const TLangList& lang, const std::string& drive,
                                            std::optional<std::uint64_t> freeBytes,
                                            const std::string& decimalSeparator);

// Name of the first container tool missing from the tools folder, checked in the order
// 3dstool, ctrtool, makerom, as its message key ("Missing3dstool", ...); nullopt when all
// are there. xdelta is only needed by patches with a delta and is not checked.
std::optional<std::string> FirstMissingToolKey(const TFolders& folders);

// Path of a tool in the tools folder, with the platform's executable suffix.
std::filesystem::path ToolPath(const TFolders& folders, const std::string& name);

}  // namespace qpt
