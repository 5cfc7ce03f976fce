// Whether a text shown in another language still holds English that its language file should have
// replaced: the one check the window's and the command line's tests share.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qpt::test {

// The languages of the program folder besides English: every language file it has, so that a
// language added later is checked as well.
std::vector<std::string> LanguagesBesideEnglish(const std::filesystem::path& appFolder);

// The lines of `shown` (what the player reads in `language`) that hold English, each with what gave
// it away: a Latin word that the language's own file never uses, or three words in a row of an
// English.lng text that none of the language's own translated texts has in that order (a text left
// as in English.lng counts as English). Names, codes and paths are no English: words inside a
// blank-separated piece with a slash in it, and the texts of `aside` (titles, file names), are
// taken out of each line first.
std::vector<std::string> EnglishLeftIn(const std::string& shown, const std::filesystem::path& appFolder,
                                       const std::string& language, const std::vector<std::string>& aside = {});

}  // namespace qpt::test
