#include "core/localization/TokenText.h"

#include <gtest/gtest.h>

namespace qpt {
namespace {

using Tokens = std::vector<std::string>;

std::string Utf16(const std::u16string& text, bool bigEndian, bool mark = true) {
  std::string bytes;
  if (mark) bytes += bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t c : text) {
    const char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xFF);
    bytes += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
  }
  return bytes;
}

TEST(TokenText, KeysTextsQuotesAndDelimiters) {
  EXPECT_EQ(ReadTokens("Label0 = \"Язык интерфейса\"\r\nSave=Save\r\n", '='),
            (Tokens{"Label0", "Язык интерфейса", "Save", "Save"}));
  // Quoted tokens keep blanks, delimiters and line ends; "" is one quote.
  EXPECT_EQ(ReadTokens("k=\"a = b\r\nc \"\"q\"\"\"", '='), (Tokens{"k", "a = b\r\nc \"q\""}));
  // An unquoted text with a blank gives two tokens.
  EXPECT_EQ(ReadTokens("k = two words", '='), (Tokens{"k", "two", "words"}));
  // Two delimiters with blanks between give an empty token; a delimiter at the very end
  // gives one more empty token; blanks after the last delimiter give none.
  EXPECT_EQ(ReadTokens("a = = b", '='), (Tokens{"a", "", "b"}));
  EXPECT_EQ(ReadTokens("a=", '='), (Tokens{"a", ""}));
  EXPECT_EQ(ReadTokens("a=\r\n", '='), (Tokens{"a"}));
  EXPECT_EQ(ReadTokens("", '='), Tokens{});
  EXPECT_EQ(ReadTokens(" \t\r\n ", '='), Tokens{});
  // Track lists use ':'; '=' is then an ordinary character.
  EXPECT_EQ(ReadTokens("1:Trial=2\r\n", ':'), (Tokens{"1", "Trial=2"}));
}

TEST(TokenText, UnterminatedQuoteAndNulDoNotRunAway) {
  EXPECT_EQ(ReadTokens("k = \"open to the end", '='), (Tokens{"k", "open to the end"}));
  EXPECT_EQ(ReadTokens(std::string("a = b\0c = d", 11), '='), (Tokens{"a", "b"}));
}

TEST(TokenText, EveryEncodingGivesTheSameTokens) {
  const std::u16string text = u"Label0 = \"Язык 😀\"\r\nSave = Save\r\n";
  const Tokens expected{"Label0", "Язык 😀", "Save", "Save"};
  EXPECT_EQ(ReadTokens(DecodeText(Utf16(text, false)), '='), expected);
  EXPECT_EQ(ReadTokens(DecodeText(Utf16(text, true)), '='), expected);
  const std::string utf8 = "Label0 = \"Язык 😀\"\r\nSave = Save\r\n";
  EXPECT_EQ(ReadTokens(DecodeText("\xEF\xBB\xBF" + utf8), '='), expected);
  EXPECT_EQ(ReadTokens(DecodeText(utf8), '='), expected);
}

TEST(TokenText, TextWithoutMarkThatIsNotUtf8IsReadAsWindows1252) {
  EXPECT_EQ(DecodeText("caf\xE9 \x80 \x93x\x94"), "café € “x”");
  // A lone lead byte at the end is not UTF-8 either.
  EXPECT_EQ(DecodeText("ab\xC3"), "abÃ");
}

TEST(TokenText, LineBreaksAreNormalisedToCrLf) {
  EXPECT_EQ(NormalizeLineBreaks("a\nb\rc\r\nd"), "a\r\nb\r\nc\r\nd\r\n");
  EXPECT_EQ(NormalizeLineBreaks(""), "");
}

TEST(TokenText, LookupIgnoresCaseAndTakesTheFirstMatch) {
  const Tokens tokens{"BTNCancel", "Cancel", "Save", "Save", "Cancel", "Abbrechen"};
  bool found = false;
  EXPECT_EQ(FindTokenValue(tokens, "btncancel", &found), "Cancel");
  EXPECT_TRUE(found);
  // A text equal to a later key captures that key's lookup.
  EXPECT_EQ(FindTokenValue(tokens, "CANCEL"), "Save");
  EXPECT_EQ(FindTokenValue(tokens, "Absent", &found), "");
  EXPECT_FALSE(found);
}

}  // namespace
}  // namespace qpt
