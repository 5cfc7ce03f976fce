// The 8-bit "ANSI" code page that Windows uses for the user's locale, and text in it read as
// UTF-8. Text files without a byte-order mark that are not UTF-8 were written in that code
// page by the player's editor (Windows-1251 by a Russian Notepad, for instance).
//
// UserAnsiCodePage and DecodeCodePage are the platform's part: CodePagePosix.cpp takes the
// locale from the environment and converts with iconv; a Windows build gives them GetACP and
// MultiByteToWideChar in a file of its own.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qpt {

// The code page Windows gives a locale, from its POSIX name ("ru_RU.UTF-8", "pl_PL",
// "sr_RS@latin"): 1250 for Central European languages, 1251 for Cyrillic ones, 1253 Greek,
// 1254 Turkish, 1255 Hebrew, 1256 Arabic, 1257 Baltic, 1258 Vietnamese, 874 Thai, 932
// Japanese, 936 and 950 Chinese, 949 Korean; 1252 for every other name, an empty one too.
int AnsiCodePageForLocale(std::string_view localeName);

// The code page of the user's locale: LC_ALL, else LC_CTYPE, else LANG. Read once.
int UserAnsiCodePage();

// The bytes in the code page as UTF-8; a byte (or sequence) the code page does not define
// becomes U+FFFD. nullopt when the platform cannot convert from that code page at all.
std::optional<std::string> DecodeCodePage(std::string_view bytes, int codePage);

}  // namespace qpt
