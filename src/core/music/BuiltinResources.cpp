#include "core/music/BuiltinResources.h"

#include "core/localization/TokenText.h"

namespace qpt {

std::optional<std::string> FindBuiltinResource(std::string_view name) {
  for (const TBuiltinResource& r : BuiltinResources()) {
    if (SameTextIgnoringCase(r.name, name)) return std::string(reinterpret_cast<const char*>(r.data), r.size);
  }
  return std::nullopt;
}

}  // namespace qpt
