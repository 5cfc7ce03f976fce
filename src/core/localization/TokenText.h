// Token text: the one plain-text format behind language files, patch descriptors and track
// lists. The encoding follows a byte-order mark; the text is cut into tokens separated by
// blanks, line ends and one delimiter character; double quotes group a token.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qpt {

// Decodes file bytes to UTF-8: FF FE is UTF-16 little-endian, FE FF UTF-16 big-endian,
// EF BB BF UTF-8 (each mark is dropped). Without a mark, bytes that are valid UTF-8 are
// taken as such and anything else as 8-bit text in the code page Windows uses for the
// user's locale (Windows-1251 for a Russian one), which is what an editor there writes.
std::string DecodeText(std::string_view bytes);
// Whether bytes are valid UTF-8 (and so read the same on every player's machine).
bool IsUtf8Text(std::string_view bytes);
// The same with the 8-bit code page given; Windows-1252 where the platform lacks it.
std::string DecodeText(std::string_view bytes, int codePage);

// Splits text into lines at CR LF, LF or CR and joins them again with CR LF after every
// line, as the language and descriptor loaders see their text.
std::string NormalizeLineBreaks(std::string_view text);

// Cuts UTF-8 text into tokens. Characters 1..32 separate; a token starting with a double
// quote runs to the next quote that is not doubled ("" stands for one quote) and may hold
// blanks, delimiters and line ends; any other token ends before a character of code 32 or
// less or the delimiter. A delimiter after a token is stepped over with the blanks after it,
// so two delimiters with only blanks between them give an empty token, and a delimiter that
// is the very last character of the text adds one empty token. A NUL character ends the text.
std::vector<std::string> ReadTokens(std::string_view text, char delimiter);

// ASCII case-insensitive equality, for keys.
bool SameTextIgnoringCase(std::string_view a, std::string_view b);

// The token right after the first token equal to key (ignoring case); empty when the key is
// absent or is the last token. found (when given) tells which.
std::string FindTokenValue(const std::vector<std::string>& tokens, std::string_view key,
                           bool* found = nullptr);

}  // namespace qpt
