// The code page seam on Windows: the system's own ANSI code page and its converter.
#include "core/common/CodePage.h"

#include <windows.h>

#include <vector>

namespace qpt {

int UserAnsiCodePage() { return static_cast<int>(GetACP()); }

std::optional<std::string> DecodeCodePage(std::string_view bytes, int codePage) {
  if (bytes.empty()) return std::string();
  if (bytes.size() > static_cast<std::size_t>(INT32_MAX)) return std::nullopt;
  const int length = static_cast<int>(bytes.size());
  const UINT page = static_cast<UINT>(codePage);
  // Undefined bytes become U+FFFD, as the converter does without MB_ERR_INVALID_CHARS.
  const int wide = MultiByteToWideChar(page, 0, bytes.data(), length, nullptr, 0);
  if (wide <= 0) return std::nullopt;
  std::vector<wchar_t> text(static_cast<std::size_t>(wide));
  MultiByteToWideChar(page, 0, bytes.data(), length, text.data(), wide);
  const int utf8 = WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, nullptr, 0, nullptr, nullptr);
  if (utf8 <= 0) return std::nullopt;
  std::string out(static_cast<std::size_t>(utf8), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, out.data(), utf8, nullptr, nullptr);
  return out;
}

}  // namespace qpt
