// Data compiled into the program: the built-in track lists.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qpt {

struct TBuiltinResource {
  const char* name;  // e.g. "TRACKLISTAAT"
  const unsigned char* data;
  std::size_t size;
};

const std::vector<TBuiltinResource>& BuiltinResources();

// The bytes of a built-in resource, found by name without regard to letter case.
std::optional<std::string> FindBuiltinResource(std::string_view name);

}  // namespace qpt
