#include "core/localization/TokenText.h"

#include "core/common/CodePage.h"

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

TEST(TokenText, TextWithoutMarkThatIsNotUtf8IsReadInTheLocalesCodePage) {
  EXPECT_EQ(DecodeText("caf\xE9 \x80 \x93x\x94", 1252), "café € “x”");
  // A lone lead byte at the end is not UTF-8 either.
  EXPECT_EQ(DecodeText("ab\xC3", 1252), "abÃ");
  // What a Russian, Polish or Greek Notepad saves without a mark.
  EXPECT_EQ(ReadTokens(DecodeText("Title = \"\xD0\xF3\xF1\xF1\xEA\xE8\xE9 \xEF\xE0\xF2\xF7\"", 1251), '='),
            (Tokens{"Title", "Русский патч"}));
  EXPECT_EQ(DecodeText("\xA3\xF3" "d\x9F", 1250), "Łódź");
  EXPECT_EQ(DecodeText("\xC1\xE8\xE2", 1253), "Αθβ");
  // A byte the code page leaves undefined does not swallow the text around it (iconv gives
  // U+FFFD for it, Windows's own table a control character).
  const std::string undefined = DecodeText("a\x98\xC0", 1251);
  EXPECT_EQ(undefined.substr(0, 1), "a");
  EXPECT_LE(undefined.size(), 1u + 3u + 2u);
  EXPECT_EQ(undefined.substr(undefined.size() - 2), "А");
  // Valid UTF-8 stays UTF-8 whatever the locale.
  EXPECT_EQ(DecodeText("Язык", 1251), "Язык");
}

TEST(TokenText, TheCodePageFollowsTheLocaleAsOnWindows) {
  const struct {
    const char* locale;
    int codePage;
  } cases[] = {{"ru_RU.UTF-8", 1251}, {"uk_UA", 1251},      {"sr_RS", 1251},        {"sr_RS@latin", 1250},
               {"pl_PL.UTF-8", 1250}, {"cs_CZ", 1250},      {"el_GR.UTF-8", 1253},  {"tr_TR", 1254},
               {"he_IL", 1255},       {"ar_EG", 1256},      {"lt_LT", 1257},        {"vi_VN", 1258},
               {"th_TH", 874},        {"ja_JP.UTF-8", 932}, {"zh_CN.UTF-8", 936},   {"zh_TW.UTF-8", 950},
               {"ko_KR", 949},        {"de_DE.UTF-8", 1252}, {"C.UTF-8", 1252},     {"", 1252}};
  for (const auto& c : cases) EXPECT_EQ(AnsiCodePageForLocale(c.locale), c.codePage) << c.locale;
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
