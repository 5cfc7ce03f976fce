#include "ctr/Names.h"

#include <cstdint>
#include <utility>

namespace ctr {

namespace {

// The small letter of a capital, for the alphabets that have two cases; anything else as it is.
char32_t FoldLetter(char32_t c) {
  // The Turkish dotted capital has no small letter of its own in these file systems; without
  // this it would fall into the Latin run below and meet the dotless small i.
  if (c == 0x130) return c;
  // Single letters, and letters that file systems upper-case onto another letter's capital.
  static constexpr std::pair<char32_t, char32_t> kSingle[] = {
      {0x00B5, 0x03BC}, {0x0131, 0x0069}, {0x017F, 0x0073}, {0x0178, 0x00FF}, {0x0386, 0x03AC},
      {0x038C, 0x03CC}, {0x03C2, 0x03C3}, {0x03D0, 0x03B2}, {0x03D1, 0x03B8}, {0x03D5, 0x03C6},
      {0x03D6, 0x03C0}, {0x03F0, 0x03BA}, {0x03F1, 0x03C1}, {0x03F4, 0x03B8}, {0x03F5, 0x03B5},
      {0x04C0, 0x04CF}, {0x10C7, 0x2D27}, {0x10CD, 0x2D2D}, {0x1E9B, 0x1E61}, {0x1E9E, 0x00DF},
      {0x2126, 0x03C9}, {0x212A, 0x006B}, {0x212B, 0x00E5},
  };
  for (const auto& [from, to] : kSingle) {
    if (c == from) return to;
  }
  // Blocks where the small letters follow the capitals at a fixed distance.
  struct Shift {
    char32_t first, last, by;
  };
  static constexpr Shift kShifts[] = {
      {'A', 'Z', 0x20},         {0xC0, 0xD6, 0x20},      {0xD8, 0xDE, 0x20},       {0x388, 0x38A, 37},
      {0x38E, 0x38F, 63},       {0x391, 0x3A1, 0x20},    {0x3A3, 0x3AB, 0x20},     {0x400, 0x40F, 0x50},
      {0x410, 0x42F, 0x20},     {0x531, 0x556, 0x30},    {0x10A0, 0x10C5, 0x1C60}, {0x2160, 0x216F, 0x10},
      {0x24B6, 0x24CF, 26},     {0x2C00, 0x2C2F, 0x30},  {0xFF21, 0xFF3A, 0x20},   {0x10400, 0x10427, 0x28}};
  for (const Shift& s : kShifts) {
    if (c >= s.first && c <= s.last) return c + s.by;
  }
  // Blocks where capital and small letter alternate: (first, last) pairs, capital first on an
  // even or on an odd code point.
  static constexpr char32_t kEvenCapitals[][2] = {
      {0x100, 0x137}, {0x14A, 0x177}, {0x1DE, 0x1EF}, {0x1F8, 0x21F}, {0x222, 0x233}, {0x246, 0x24F},
      {0x370, 0x373}, {0x3D8, 0x3EF}, {0x460, 0x481}, {0x48A, 0x4BF}, {0x4D0, 0x52F}, {0x1E00, 0x1E95},
      {0x1EA0, 0x1EFF}, {0x2C80, 0x2CE3}, {0xA640, 0xA66D}, {0xA680, 0xA69B}, {0xA722, 0xA72F},
      {0xA732, 0xA76F}, {0xA77E, 0xA787}, {0xA790, 0xA793}, {0xA796, 0xA7A9}};
  static constexpr char32_t kOddCapitals[][2] = {{0x139, 0x148}, {0x179, 0x17E}, {0x1CD, 0x1DC}, {0x4C1, 0x4CE}};
  for (const auto& range : kEvenCapitals) {
    if (c >= range[0] && c <= range[1]) return c % 2 == 0 ? c + 1 : c;
  }
  for (const auto& range : kOddCapitals) {
    if (c >= range[0] && c <= range[1]) return c % 2 == 1 ? c + 1 : c;
  }
  return c;
}

void AppendUtf16(std::u16string& out, char32_t c) {
  if (c >= 0x10000) {
    c -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(c));
  }
}

}  // namespace

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::optional<std::u16string> Utf8ToUtf16(std::string_view in) {
  std::u16string out;
  for (std::size_t i = 0; i < in.size();) {
    const unsigned char c = static_cast<unsigned char>(in[i]);
    std::uint32_t cp;
    std::size_t extra;
    if (c < 0x80) {
      cp = c;
      extra = 0;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F;
      extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F;
      extra = 2;
    } else if ((c & 0xF8) == 0xF0) {
      cp = c & 0x07;
      extra = 3;
    } else {
      return std::nullopt;
    }
    if (in.size() - i <= extra) return std::nullopt;
    for (std::size_t k = 1; k <= extra; ++k) {
      const unsigned char cc = static_cast<unsigned char>(in[i + k]);
      if ((cc & 0xC0) != 0x80) return std::nullopt;
      cp = cp << 6 | (cc & 0x3F);
    }
    static constexpr std::uint32_t kMinOf[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMinOf[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    AppendUtf16(out, cp);
    i += extra + 1;
  }
  return out;
}

std::optional<std::string> Utf16ToUtf8(std::u16string_view in) {
  std::string out;
  for (std::size_t i = 0; i < in.size(); ++i) {
    char32_t cp = in[i];
    if (cp >= 0xDC00 && cp <= 0xDFFF) return std::nullopt;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 1 >= in.size() || in[i + 1] < 0xDC00 || in[i + 1] > 0xDFFF) return std::nullopt;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (in[++i] - 0xDC00);
    }
    AppendUtf8(out, cp);
  }
  return out;
}

std::u16string FoldNameCase(std::u16string_view name) {
  std::u16string folded;
  folded.reserve(name.size());
  for (std::size_t i = 0; i < name.size(); ++i) {
    char32_t c = name[i];
    // A surrogate pair is one letter (Deseret has two cases); a lone surrogate stays as it is.
    const bool high = c >= 0xD800 && c <= 0xDBFF;
    if (high && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (name[++i] - 0xDC00);
    }
    AppendUtf16(folded, FoldLetter(c));
  }
  return folded;
}

std::string FoldNameCase(std::string_view utf8Name) {
  std::string folded;
  folded.reserve(utf8Name.size());
  const std::size_t n = utf8Name.size();
  std::size_t i = 0;
  while (i < n) {
    const auto b = static_cast<unsigned char>(utf8Name[i]);
    const std::size_t length = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
    bool whole = length > 0 && i + length <= n;
    char32_t c = length == 1 ? b : length == 2 ? (b & 0x1F) : length == 3 ? (b & 0x0F) : (b & 0x07);
    for (std::size_t k = 1; whole && k < length; ++k) {
      const auto cc = static_cast<unsigned char>(utf8Name[i + k]);
      whole = (cc & 0xC0) == 0x80;
      c = (c << 6) | (cc & 0x3F);
    }
    if (!whole) {
      // Bytes that are not UTF-8 are compared as they are.
      folded += static_cast<char>(b);
      ++i;
      continue;
    }
    const char32_t small = FoldLetter(c);
    if (small == c) {
      folded.append(utf8Name, i, length);
    } else {
      AppendUtf8(folded, small);
    }
    i += length;
  }
  return folded;
}

}  // namespace ctr
