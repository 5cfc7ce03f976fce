#include "support/EnglishLeft.h"

#include <algorithm>
#include <map>
#include <set>

#include "core/common/Common.h"
#include "core/localization/Language.h"

namespace qpt::test {

namespace fs = std::filesystem;

namespace {

bool Latin(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The words of a text in runs: a run ends at a letter of another script, so that only Latin words
// standing side by side make up a phrase.
std::vector<std::vector<std::string>> LatinRuns(const std::string& text) {
  std::vector<std::vector<std::string>> runs(1);
  std::string word;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    const char c = i < text.size() ? text[i] : ' ';
    if (Latin(c)) {
      word += c;
      continue;
    }
    if (!word.empty()) runs.back().push_back(word);
    word.clear();
    if (static_cast<unsigned char>(c) >= 0x80 && !runs.back().empty()) runs.emplace_back();
  }
  return runs;
}

std::string Phrase(const std::vector<std::string>& run, std::size_t at) {
  return run[at] + ' ' + run[at + 1] + ' ' + run[at + 2];
}

struct TWords {
  std::set<std::string> words, phrases;
};

// A language file's texts by key.
std::map<std::string, std::string> TextsOf(const fs::path& appFolder, const std::string& language) {
  TLangList lang;
  std::map<std::string, std::string> texts;
  if (!LoadLanguage(language, lang, TFolders(appFolder))) return texts;
  const std::vector<std::string>& tokens = lang.Tokens();
  for (std::size_t i = 0; i + 1 < tokens.size(); i += 2) texts.emplace(tokens[i], tokens[i + 1]);
  return texts;
}

// The words and phrases of a language file's texts. A text left as English.lng has it is no
// translation, so its phrases are not the language's own (its words are: names and codes).
TWords WordsOf(const std::map<std::string, std::string>& texts, const std::map<std::string, std::string>* english) {
  TWords found;
  for (const auto& [key, text] : texts) {
    const auto original = english ? english->find(key) : std::map<std::string, std::string>::const_iterator();
    const bool translated = !english || original == english->end() || original->second != text;
    for (const auto& run : LatinRuns(text)) {
      found.words.insert(run.begin(), run.end());
      for (std::size_t at = 0; translated && at + 3 <= run.size(); ++at) found.phrases.insert(Phrase(run, at));
    }
  }
  return found;
}

}  // namespace

std::vector<std::string> LanguagesBesideEnglish(const fs::path& appFolder) {
  std::vector<std::string> names = FindLanguageFiles(TFolders(appFolder));
  std::erase(names, std::string("English"));
  return names;
}

std::vector<std::string> EnglishLeftIn(const std::string& shown, const fs::path& appFolder, const std::string& language,
                                       const std::vector<std::string>& aside) {
  const std::map<std::string, std::string> englishTexts = TextsOf(appFolder, "English");
  const TWords english = WordsOf(englishTexts, nullptr);
  const TWords own = WordsOf(TextsOf(appFolder, language), &englishTexts);
  std::vector<std::string> found;
  std::size_t start = 0;
  while (start <= shown.size()) {
    std::size_t end = shown.find('\n', start);
    if (end == std::string::npos) end = shown.size();
    const std::string line = shown.substr(start, end - start);
    start = end + 1;
    std::string rest = line;
    for (const std::string& text : aside) {
      if (text.empty()) continue;
      std::string cleaned;
      std::size_t from = 0;
      for (std::size_t at; (at = rest.find(text, from)) != std::string::npos; from = at + text.size()) {
        cleaned += rest.substr(from, at - from) + ' ';
      }
      rest = cleaned + rest.substr(from);
    }
    // Paths, and the option and folder names written like them (luma/titles), are no prose.
    std::string kept;
    for (std::size_t i = 0; i < rest.size();) {
      const std::size_t pieceEnd = std::min(rest.find_first_of(" \t", i), rest.size());
      const std::string piece = rest.substr(i, pieceEnd - i);
      kept += (piece.find_first_of("/\\") == std::string::npos ? piece : std::string(" ")) + ' ';
      i = pieceEnd + 1;
    }
    for (const auto& run : LatinRuns(kept)) {
      for (const std::string& word : run) {
        if (!own.words.count(word)) found.push_back("\"" + word + "\" in: " + line);
      }
      for (std::size_t at = 0; at + 3 <= run.size(); ++at) {
        const std::string phrase = Phrase(run, at);
        if (english.phrases.count(phrase) && !own.phrases.count(phrase))
          found.push_back("\"" + phrase + "\" in: " + line);
      }
    }
  }
  return found;
}

}  // namespace qpt::test
