#include "core/localization/TokenText.h"

#include <cstdint>
#include <optional>

#include "core/common/CodePage.h"
#include "ctr/Names.h"

namespace qpt {

namespace {

std::string DecodeUtf16(std::string_view bytes, bool bigEndian) {
  std::string out;
  out.reserve(bytes.size());
  const auto unitAt = [&](std::size_t i) -> char16_t {
    const auto b0 = static_cast<std::uint8_t>(bytes[i]);
    const auto b1 = static_cast<std::uint8_t>(bytes[i + 1]);
    return bigEndian ? static_cast<char16_t>((b0 << 8) | b1) : static_cast<char16_t>((b1 << 8) | b0);
  };
  const std::size_t units = bytes.size() / 2;
  for (std::size_t u = 0; u < units; ++u) {
    const char16_t c = unitAt(u * 2);
    if (c >= 0xD800 && c <= 0xDBFF && u + 1 < units) {
      const char16_t low = unitAt((u + 1) * 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        ctr::AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (low - 0xDC00));
        ++u;
        continue;
      }
    }
    if (c >= 0xD800 && c <= 0xDFFF) {
      ctr::AppendUtf8(out, 0xFFFD);  // a lone surrogate cannot be written as UTF-8
    } else {
      ctr::AppendUtf8(out, c);
    }
  }
  return out;
}

bool IsValidUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<std::uint8_t>(s[i]);
    std::size_t extra = 0;
    char32_t min = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      min = 0x10000;
    } else {
      return false;
    }
    if (i + extra >= s.size()) return false;
    char32_t value = c & (0x3F >> extra);
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto cc = static_cast<std::uint8_t>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      value = (value << 6) | (cc & 0x3F);
    }
    if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

std::string DecodeWindows1252(std::string_view bytes) {
  // 0x80..0x9F differ from Latin-1; five of them are unassigned and map to themselves.
  static const char16_t kHigh[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char ch : bytes) {
    const auto c = static_cast<std::uint8_t>(ch);
    if (c >= 0x80 && c < 0xA0) {
      ctr::AppendUtf8(out, kHigh[c - 0x80]);
    } else {
      ctr::AppendUtf8(out, c);
    }
  }
  return out;
}

bool IsSeparator(char c) {
  const auto u = static_cast<std::uint8_t>(c);
  return u >= 1 && u <= 32;
}

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool IsUtf8Text(std::string_view bytes) { return IsValidUtf8(bytes); }

std::string DecodeText(std::string_view bytes) { return DecodeText(bytes, UserAnsiCodePage()); }

std::string DecodeText(std::string_view bytes, int codePage) {
  const auto decode8Bit = [codePage](std::string_view text) {
    std::optional<std::string> decoded = DecodeCodePage(text, codePage);
    return decoded ? *std::move(decoded) : DecodeWindows1252(text);
  };
  if (bytes.size() >= 2 && static_cast<std::uint8_t>(bytes[0]) == 0xFF &&
      static_cast<std::uint8_t>(bytes[1]) == 0xFE) {
    return DecodeUtf16(bytes.substr(2), false);
  }
  if (bytes.size() >= 2 && static_cast<std::uint8_t>(bytes[0]) == 0xFE &&
      static_cast<std::uint8_t>(bytes[1]) == 0xFF) {
    return DecodeUtf16(bytes.substr(2), true);
  }
  if (bytes.size() >= 3 && static_cast<std::uint8_t>(bytes[0]) == 0xEF &&
      static_cast<std::uint8_t>(bytes[1]) == 0xBB && static_cast<std::uint8_t>(bytes[2]) == 0xBF) {
    bytes.remove_prefix(3);
    return IsValidUtf8(bytes) ? std::string(bytes) : decode8Bit(bytes);
  }
  return IsValidUtf8(bytes) ? std::string(bytes) : decode8Bit(bytes);
}

std::string NormalizeLineBreaks(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16 + 2);
  std::size_t i = 0;
  std::size_t lineStart = 0;
  while (i < text.size()) {
    if (text[i] == '\r' || text[i] == '\n') {
      out.append(text.substr(lineStart, i - lineStart));
      out += "\r\n";
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      ++i;
      lineStart = i;
    } else {
      ++i;
    }
  }
  if (lineStart < text.size()) {
    out.append(text.substr(lineStart));
    out += "\r\n";
  }
  return out;
}

std::vector<std::string> ReadTokens(std::string_view text, char delimiter) {
  // Text past a NUL character is not read: older readers stopped there too, and reading on
  // would meet an endless run of empty tokens.
  const std::size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);

  std::vector<std::string> tokens;
  const std::size_t n = text.size();
  std::size_t i = 0;
  const auto skipSeparators = [&] {
    while (i < n && IsSeparator(text[i])) ++i;
  };
  skipSeparators();
  while (i < n) {
    std::string token;
    if (text[i] == '"') {
      ++i;
      while (i < n) {
        if (text[i] == '"') {
          if (i + 1 < n && text[i + 1] == '"') {
            token += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        token += text[i++];
      }
    } else {
      const std::size_t start = i;
      while (i < n && static_cast<std::uint8_t>(text[i]) > 32 && text[i] != delimiter) ++i;
      token.assign(text.substr(start, i - start));
    }
    tokens.push_back(std::move(token));
    skipSeparators();
    if (i < n && text[i] == delimiter) {
      ++i;
      if (i == n) tokens.emplace_back();
      skipSeparators();
    }
  }
  return tokens;
}

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

std::string FindTokenValue(const std::vector<std::string>& tokens, std::string_view key,
                           bool* found) {
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (SameTextIgnoringCase(tokens[i], key)) {
      if (found) *found = true;
      return i + 1 < tokens.size() ? tokens[i + 1] : std::string();
    }
  }
  if (found) *found = false;
  return std::string();
}

}  // namespace qpt
