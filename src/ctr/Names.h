// Names of entries, as images store them (UTF-16) and as file systems hold them (UTF-8), and
// the comparison of names without letter case that the unpackers, the folder copy and the
// lists of languages and patches share.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ctr {

// Strict conversions: anything that is not well-formed text (a bad or overlong sequence, a
// lone surrogate, a code point beyond U+10FFFF) gives nothing.
std::optional<std::u16string> Utf8ToUtf16(std::string_view utf8);
std::optional<std::string> Utf16ToUtf8(std::u16string_view utf16);

// Appends a code point as UTF-8 (1 to 4 bytes).
void AppendUtf8(std::string& out, char32_t c);

// A name as a file system that ignores letter case compares it, so that two names whose
// foldings are equal are one file on Windows and, by default, on macOS: the capitals of every
// alphabet with two cases made small (Latin with its extensions, Greek, Cyrillic, Armenian,
// Georgian, Glagolitic, Coptic, Deseret, full-width Latin, Roman numerals, circled letters),
// and the letters that those file systems upper-case onto another letter's capital (dotless
// i, long s, micro sign, final sigma, Kelvin and Ohm signs, ...) with that letter. The dotted
// capital I of Turkish stays apart from every other letter.
std::u16string FoldNameCase(std::u16string_view name);
// The same for a UTF-8 name; bytes that are not UTF-8 stay as they are.
std::string FoldNameCase(std::string_view utf8Name);

}  // namespace ctr
