// What the fuzz harnesses share. Each harness is a few lines over the entry point that a tool
// or the install job uses; entry points that take paths get the input as a file in a scratch
// folder of the process (in memory where the system offers /dev/shm), removed at exit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace qpt::fuzz {

// The process's scratch folder.
const std::filesystem::path& Scratch();

// Writes the input to Scratch()/name, replacing what was there, and returns its path.
std::filesystem::path WriteInput(const std::uint8_t* data, std::size_t size, const std::string& name);

// Scratch()/name, emptied (created when missing).
std::filesystem::path FreshFolder(const std::string& name);

// The input as a string view.
inline std::string_view Text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace qpt::fuzz
