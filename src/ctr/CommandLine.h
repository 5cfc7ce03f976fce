// Shared pieces of the three tools' command lines: matching an accepted call, paths from
// UTF-8 arguments, and the one-line error report. Internal to the command files.
#pragma once

#include <exception>
#include <filesystem>
#include <new>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "ctr/Io.h"
#include "ctr/Reader.h"

namespace ctr::command_line {

namespace fs = std::filesystem;

// An accepted call: fixed tokens, with "{}" where a value (a path) stands.
using Pattern = std::vector<const char*>;

// The values of args if they match pattern token for token, else nothing.
inline std::optional<std::vector<std::string>> Match(const std::vector<std::string>& args, const Pattern& pattern) {
  if (args.size() != pattern.size()) return std::nullopt;
  std::vector<std::string> values;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (std::string(pattern[i]) == "{}") {
      if (args[i].empty()) return std::nullopt;
      values.push_back(args[i]);
    } else if (args[i] != pattern[i]) {
      return std::nullopt;
    }
  }
  return values;
}

// A value glued to its option ("--exefs=PATH").
inline std::optional<std::string> AfterPrefix(const std::string& arg, const std::string& prefix) {
  if (arg.size() <= prefix.size() || arg.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  return arg.substr(prefix.size());
}

inline fs::path PathArg(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

inline int Fail(std::ostream& err, const char* tool, const std::string& message) {
  err << tool << ": error: " << message << '\n';
  return 1;
}

inline int Finish(std::ostream& err, const char* tool, const Status& status) {
  return status ? 0 : Fail(err, tool, status.message());
}

inline int Refuse(std::ostream& err, const char* tool) {
  return Fail(err, tool, "unsupported command line (see --help)");
}

inline Status OpenReader(FileReader& reader, const std::string& path) { return reader.Open(PathArg(path)); }

template <typename Body>
int Guarded(std::ostream& err, const char* tool, Body body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return Fail(err, tool, "out of memory");
  } catch (const std::exception& e) {
    return Fail(err, tool, e.what());
  } catch (...) {
    return Fail(err, tool, "unexpected failure");
  }
}

}  // namespace ctr::command_line
