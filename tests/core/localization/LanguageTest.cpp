#include "core/localization/Language.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>

#include "core/common/Common.h"
#include "support/TempDir.h"

namespace qpt {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::WriteFile;

TEST(Language, LoadsAFileAndLooksUpKeysIgnoringCase) {
  TempDir app("lang");
  WriteFile(app / "lang/Test.lng", "\xEF\xBB\xBF" "Label0 = \"Язык интерфейса\"\r\nSave = Save\r\n");
  TLangList list;
  ASSERT_TRUE(LoadLanguage("Test", list, app.path()));
  EXPECT_EQ(list.GetLangText("Label0"), "Язык интерфейса");
  EXPECT_EQ(list.GetLangText("label0"), "Язык интерфейса");
  EXPECT_EQ(list.GetLangText("LABEL0"), "Язык интерфейса");
  // A key the file lacks yields the first token of the table.
  EXPECT_EQ(list.GetLangText("NoSuchKey"), "Label0");
}

TEST(Language, MissingFileEmptiesTheTableAndLookupsYieldTheKey) {
  TempDir app("lang");
  TLangList list;
  list.SetTokens({"a", "b"});
  EXPECT_FALSE(LoadLanguage("Klingon", list, app.path()));
  EXPECT_TRUE(list.Empty());
  EXPECT_EQ(list.GetLangText("Done"), "Done");
  // Names that are not plain file names are never looked for outside lang/.
  WriteFile(app / "secret.lng", "k = v");
  EXPECT_FALSE(LoadLanguage("../secret", list, app.path()));
}

TEST(Language, ListsLanguageFilesOnly) {
  TempDir app("lang");
  WriteFile(app / "lang/Русский.lng", "a=b");
  WriteFile(app / "lang/English.lng", "a=b");
  WriteFile(app / "lang/deutsch.LNG", "a=b");
  WriteFile(app / "lang/readme.txt", "x");
  WriteFile(app / "lang/.hidden.lng", "x");
  fs::create_directories(app / "lang/Folder.lng");
  EXPECT_EQ(FindLanguageFiles(app.path()), (std::vector<std::string>{"deutsch", "English", "Русский"}));
  EXPECT_TRUE(FindLanguageFiles(app / "nowhere").empty());
}

TEST(Language, StartingLanguageFollowsTheLocale) {
  EXPECT_EQ(StartingLanguageName("Russian"), "Русский");
  EXPECT_EQ(StartingLanguageName("RUSSIAN (Russia)"), "Русский");
  EXPECT_EQ(StartingLanguageName("German"), "Deutsch");
  EXPECT_EQ(StartingLanguageName("Portuguese (Brazil)"), "Português (Brasil)");
  EXPECT_EQ(StartingLanguageName("Ukrainian"), "Українська");
  EXPECT_EQ(StartingLanguageName("Dutch"), "English");
  EXPECT_EQ(StartingLanguageName(""), "English");
}

TEST(FreeSpace, FourSignificantDigitsWithTheLocaleSeparator) {
  EXPECT_EQ(FormatFreeSpace(1.5f, "."), "1.5");
  EXPECT_EQ(FormatFreeSpace(12.3456f, "."), "12.35");
  EXPECT_EQ(FormatFreeSpace(12.3456f, ","), "12,35");
  EXPECT_EQ(FormatFreeSpace(115.0f, "."), "115");
  EXPECT_EQ(FormatFreeSpace(115.04f, "."), "115");
  EXPECT_EQ(FormatFreeSpace(9999.0f, "."), "9999");
  EXPECT_EQ(FormatFreeSpace(12346.0f, ","), "1,235E+004");
  EXPECT_EQ(FormatFreeSpace(0.0f, "."), "0");
}

TEST(FreeSpace, LinesOfTheStartUpReport) {
  TLangList lang;
  // The unit is the language's word too.
  lang.SetTokens({"MessageDiskFreeSpace", "Disk:", "CurrentDrive", "Drive ", "FreeSpace", "Free: ", "SizeGB", "GiB"});
  const std::uint64_t oneAndAHalfGiB = 3ull << 29;
  EXPECT_EQ(DiskFreeSpaceLines(lang, "D:\\", oneAndAHalfGiB, "."),
            (std::vector<std::string>{"Disk:", "", "Drive D:\\", "Free: 1.5 GiB"}));
  EXPECT_EQ(DiskFreeSpaceLines(lang, "/", std::nullopt, "."), (std::vector<std::string>{"Disk:", ""}));
}

TEST(Tools, TheFirstMissingToolIsReportedInCheckOrder) {
  TempDir app("tools");
  EXPECT_EQ(FirstMissingToolKey(app.path()), "Missing3dstool");
  WriteFile(ToolPath(app.path(), "ctrtool"), "x");
  EXPECT_EQ(FirstMissingToolKey(app.path()), "Missing3dstool");  // 3dstool and makerom missing
  WriteFile(ToolPath(app.path(), "3dstool"), "x");
  EXPECT_EQ(FirstMissingToolKey(app.path()), "Missingmakerom");
  WriteFile(ToolPath(app.path(), "makerom"), "x");
  fs::remove(ToolPath(app.path(), "ctrtool"));
  EXPECT_EQ(FirstMissingToolKey(app.path()), "Missingctrtool");
  WriteFile(ToolPath(app.path(), "ctrtool"), "x");
  EXPECT_EQ(FirstMissingToolKey(app.path()), std::nullopt);
  fs::remove(ToolPath(app.path(), "makerom"));
  fs::create_directories(ToolPath(app.path(), "makerom"));  // a folder is not the tool
  EXPECT_EQ(FirstMissingToolKey(app.path()), "Missingmakerom");
}

// Every key the program looks up must have a text in every language file we ship.
TEST(LanguageFiles, EveryKeyTheCodeUsesExistsInEveryShippedFile) {
  std::set<std::string> used;
  const std::regex call(R"((?:GetLangText|LangText|Key)\(\s*"([A-Za-z0-9]+)\")");
  for (const auto& entry : fs::recursive_directory_iterator(fs::path(QPT_SOURCE_DIR) / "src")) {
    if (!entry.is_regular_file()) continue;
    const std::string code = test::ReadFile(entry.path());
    for (std::sregex_iterator it(code.begin(), code.end(), call), end; it != end; ++it) {
      used.insert((*it)[1].str());
    }
  }
  // Keys that are built from a number or read from a table in the code.
  for (const char* key : {"Label0", "Label1", "Label2", "Label3", "Label4", "Label5", "RadioGroup2BTN1",
                          "RadioGroup2BTN2", "RadioGroup2BTN3", "Missing3dstool", "Missingctrtool",
                          "Missingmakerom", "VoiceButton1", "VoiceButton2", "VoiceButton3"}) {
    used.insert(key);
  }
  ASSERT_GT(used.size(), 20u);
  const std::vector<std::string> languages = FindLanguageFiles(fs::path(QPT_SOURCE_DIR));
  ASSERT_GE(languages.size(), 10u);
  for (const std::string& name : languages) {
    TLangList list;
    ASSERT_TRUE(LoadLanguage(name, list, fs::path(QPT_SOURCE_DIR))) << name;
    for (const std::string& key : used) {
      bool found = false;
      const auto& tokens = list.Tokens();
      for (std::size_t i = 0; i + 1 < tokens.size(); i += 2) {
        if (tokens[i] == key) found = !tokens[i + 1].empty();
      }
      EXPECT_TRUE(found) << name << " lacks a text for " << key;
    }
  }
}

// A translation has English's keys, no others, and in each text the same placeholders: a lost
// %1 hides a file's name from the player, a %3 too many shows as it is.
TEST(LanguageFiles, EveryFileHasEnglishKeysWithTheSamePlaceholders) {
  const auto texts = [](const std::string& name) {
    TLangList list;
    EXPECT_TRUE(LoadLanguage(name, list, fs::path(QPT_SOURCE_DIR))) << name;
    std::map<std::string, std::string> byKey;
    const auto& tokens = list.Tokens();
    for (std::size_t i = 0; i + 1 < tokens.size(); i += 2) {
      EXPECT_TRUE(byKey.emplace(tokens[i], tokens[i + 1]).second) << name << " has " << tokens[i] << " twice";
    }
    return byKey;
  };
  const auto placeholders = [](const std::string& text) {
    std::multiset<std::string> found;
    const std::regex placeholder("%[0-9]");
    for (std::sregex_iterator it(text.begin(), text.end(), placeholder), end; it != end; ++it) found.insert(it->str());
    return found;
  };
  const auto english = texts("English");
  ASSERT_GT(english.size(), 300u);
  for (const std::string& name : FindLanguageFiles(fs::path(QPT_SOURCE_DIR))) {
    if (name == "English") continue;
    const auto translated = texts(name);
    for (const auto& [key, text] : english) {
      const auto found = translated.find(key);
      if (found == translated.end()) {
        ADD_FAILURE() << name << " lacks " << key;
        continue;
      }
      EXPECT_FALSE(found->second.empty() && !text.empty()) << name << ": " << key << " is empty";
      EXPECT_EQ(placeholders(found->second), placeholders(text)) << name << ": " << key;
    }
    for (const auto& [key, text] : translated) {
      EXPECT_TRUE(english.count(key) || key == "QtTranslation") << name << " has " << key << ", which English lacks";
    }
    EXPECT_TRUE(translated.count("QtTranslation")) << name << " names no translation of Qt's own texts";
  }
}

}  // namespace
}  // namespace qpt
