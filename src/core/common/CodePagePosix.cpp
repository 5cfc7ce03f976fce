// The code page seam on POSIX systems: the locale from the environment, iconv to convert.
#ifndef _WIN32

#include <iconv.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "core/common/CodePage.h"

namespace qpt {

int UserAnsiCodePage() {
  static const int kCodePage = [] {
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
      const char* value = std::getenv(name);
      if (value && *value) return AnsiCodePageForLocale(value);
    }
    return AnsiCodePageForLocale("");
  }();
  return kCodePage;
}

std::optional<std::string> DecodeCodePage(std::string_view bytes, int codePage) {
  const std::string from = "CP" + std::to_string(codePage);
  iconv_t converter = iconv_open("UTF-8", from.c_str());
  if (converter == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out;
  out.reserve(bytes.size() * 2);
  char* in = const_cast<char*>(bytes.data());
  std::size_t inLeft = bytes.size();
  char buffer[4096];
  while (inLeft > 0) {
    char* next = buffer;
    std::size_t room = sizeof buffer;
    const std::size_t done = iconv(converter, &in, &inLeft, &next, &room);
    out.append(buffer, static_cast<std::size_t>(next - buffer));
    if (done != static_cast<std::size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    // A byte the code page leaves undefined, or a lead byte without its partner at the end.
    out += "\xEF\xBF\xBD";
    ++in;
    --inLeft;
  }
  iconv_close(converter);
  return out;
}

}  // namespace qpt

#endif
