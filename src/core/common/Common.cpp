#include "core/common/Common.h"

#include "core/common/Platform.h"

#include "ctr/Io.h"
#include "ctr/Md5.h"
#include "ctr/Names.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <fstream>
#include <istream>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <system_error>
#include <unordered_map>
#include <mutex>


namespace qpt {

namespace fs = std::filesystem;

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
  std::vector<std::string> result;
  std::size_t i = 0;
  const std::size_t n = commandLine.size();

  // The program name: backslashes are ordinary characters here.
  while (i < n && IsBlank(commandLine[i])) ++i;
  if (i >= n) return result;
  {
    std::string program;
    bool quoted = false;
    for (; i < n; ++i) {
      const char c = commandLine[i];
      if (c == '"') {
        quoted = !quoted;
        continue;
      }
      if (!quoted && IsBlank(c)) break;
      program += c;
    }
    result.push_back(program);
  }

  for (;;) {
    while (i < n && IsBlank(commandLine[i])) ++i;
    if (i >= n) break;
    std::string argument;
    bool quoted = false;
    while (i < n) {
      const char c = commandLine[i];
      if (c == '\\') {
        std::size_t slashes = 0;
        while (i < n && commandLine[i] == '\\') {
          ++slashes;
          ++i;
        }
        if (i < n && commandLine[i] == '"') {
          argument.append(slashes / 2, '\\');
          if (slashes % 2 == 1) {
            argument += '"';
            ++i;
          }
          // An even count leaves the quote to be handled as a delimiter below.
        } else {
          argument.append(slashes, '\\');
        }
        continue;
      }
      if (c == '"') {
        if (quoted && i + 1 < n && commandLine[i + 1] == '"') {
          argument += '"';
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      if (!quoted && IsBlank(c)) break;
      argument += c;
      ++i;
    }
    result.push_back(argument);
  }
  return result;
}

std::string QuoteArgument(const std::string& argument) {
  std::string quoted = "\"";
  std::size_t slashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++slashes;
      continue;
    }
    if (c == '"') {
      // Backslashes before a quote are halved by the splitting, and one more makes the quote
      // a literal character.
      quoted.append(slashes * 2 + 1, '\\');
    } else {
      quoted.append(slashes, '\\');
    }
    slashes = 0;
    quoted += c;
  }
  // Before the closing quote, backslashes would be halved too.
  quoted.append(slashes * 2, '\\');
  quoted += '"';
  return quoted;
}

namespace {

std::mutex gSharedMutex;
std::vector<std::intptr_t> gShared;

}  // namespace

std::vector<std::intptr_t> platform::SharedHandles() {
  std::lock_guard<std::mutex> lock(gSharedMutex);
  return gShared;
}

void platform::TErrorTail::Add(const char* data, std::size_t size) {
  tail_.append(data, size);
  if (tail_.size() > kKeep * 2) tail_.erase(0, tail_.size() - kKeep);
}

std::string platform::TErrorTail::LastLine() const {
  std::size_t end = tail_.size();
  while (end > 0) {
    while (end > 0 && (tail_[end - 1] == '\n' || tail_[end - 1] == '\r' || tail_[end - 1] == ' ')) --end;
    if (end == 0) break;
    const std::size_t start = tail_.find_last_of("\r\n", end - 1);
    const std::size_t from = start == std::string::npos ? 0 : start + 1;
    if (from < end) return tail_.substr(from, end - from);
    end = from;
  }
  return std::string();
}

void ShareWithTools(std::intptr_t handle) {
  std::lock_guard<std::mutex> lock(gSharedMutex);
  gShared.push_back(handle);
}

void StopSharingWithTools(std::intptr_t handle) {
  std::lock_guard<std::mutex> lock(gSharedMutex);
  gShared.erase(std::remove(gShared.begin(), gShared.end(), handle), gShared.end());
}

bool IsWriteFailure(const std::error_code& error) { return ctr::WriteFaultOf(error) != ctr::WriteFault::None; }

namespace {

// The entries of one destination folder by folded name, read once and kept up to date while
// a copy adds to it, so that a large folder is not listed again for every file.
class TFolderNames {
 public:
  explicit TFolderNames(const fs::path& folder) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = PathToUtf8(it->path().filename());
      names_.emplace(ctr::FoldNameCase(name), name);
    }
  }
  // The name already there for this name, or the name itself.
  std::string Existing(const std::string& name) const {
    const auto at = names_.find(ctr::FoldNameCase(name));
    return at == names_.end() ? name : at->second;
  }
  void Add(const std::string& name) { names_.emplace(ctr::FoldNameCase(name), name); }

 private:
  std::unordered_map<std::string, std::string> names_;
};

// Keeps the first write that failed of a copy.
void KeepWriteFailure(ctr::Status* writeFailure, std::string_view operation, const fs::path& path,
                      const std::error_code& error) {
  if (writeFailure && !writeFailure->IsWriteFailure() && IsWriteFailure(error)) {
    *writeFailure = ctr::WriteFailure(operation, path, error);
  }
}

bool CopyTree(const fs::path& source, const fs::path& target, std::vector<fs::path>* skippedLinks,
              ctr::Status* writeFailure) {
  std::error_code ec;
  if (!fs::is_directory(target, ec)) {
    fs::create_directories(target, ec);
    KeepWriteFailure(writeFailure, "create_directories", target, ec);
    if (ec) return false;
  }
  TFolderNames names(target);
  bool ok = true;
  for (fs::directory_iterator it(source, ec), end; it != end; it.increment(ec)) {
    if (ec) return false;
    const fs::file_status status = it->symlink_status(ec);
    if (ec) return false;
    if (fs::is_symlink(status)) {
      if (skippedLinks) skippedLinks->push_back(it->path());
      continue;
    }
    const std::string name = names.Existing(PathToUtf8(it->path().filename()));
    const fs::path to = target / PathFromUtf8(name);
    if (fs::is_directory(status)) {
      ok = CopyTree(it->path(), to, skippedLinks, writeFailure) && ok;
    } else if (fs::is_regular_file(status)) {
      const std::error_code copyError = platform::CopyFileReplacing(it->path(), to);
      if (copyError) {
        KeepWriteFailure(writeFailure, "copy", to, copyError);
        ok = false;
      }
    }
    names.Add(name);
  }
  return ok && !ec;
}

}  // namespace

bool CopyFolder(const fs::path& source, const fs::path& destination, std::vector<fs::path>* skippedLinks,
                ctr::Status* writeFailure) {
  std::error_code ec;
  fs::path src = source;
  // "exefs/" names the same folder as "exefs"; its own name is what lands in destination.
  if (!src.has_filename()) src = src.parent_path();
  if (fs::is_symlink(fs::symlink_status(src, ec))) {
    if (skippedLinks) skippedLinks->push_back(src);
    return false;
  }
  if (!fs::is_directory(src, ec)) return false;
  fs::create_directories(destination, ec);
  KeepWriteFailure(writeFailure, "create_directories", destination, ec);
  if (ec) return false;
  const std::string name = TFolderNames(destination).Existing(PathToUtf8(src.filename()));
  return CopyTree(src, destination / PathFromUtf8(name), skippedLinks, writeFailure);
}

bool DeleteFolder(const fs::path& path) {
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(path, ec))) return false;
  fs::remove_all(path, ec);
  return !ec;
}

std::string FileMD5(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("Cannot open file " + PathToUtf8(path));
  ctr::Md5 md5;
  std::vector<char> block(1 << 20);
  while (in) {
    in.read(block.data(), static_cast<std::streamsize>(block.size()));
    const std::streamsize got = in.gcount();
    if (got > 0) md5.Update(block.data(), static_cast<std::size_t>(got));
  }
  if (in.bad()) throw std::runtime_error("Cannot read file " + PathToUtf8(path));
  const ctr::Md5Digest digest = md5.Final();
  return HexText(digest.data(), digest.size(), true);
}

std::string HexText(const std::uint8_t* data, std::size_t size, bool upperCase) {
  const char* digits = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    text += digits[data[i] >> 4];
    text += digits[data[i] & 0x0F];
  }
  return text;
}

std::int64_t PaddingTo64(std::int64_t n) { return (64 - n % 64) % 64; }

std::int64_t SkipToAlignment(std::istream& stream, std::int64_t alignment) {
  const std::int64_t position = static_cast<std::int64_t>(stream.tellg());
  if (position < 0) return 0;
  const std::int64_t r = position % alignment;
  if (r == 0) return 0;
  stream.seekg(alignment - r, std::ios::cur);
  return alignment - r;
}

std::int64_t PadToAlignment(std::ostream& stream, std::int64_t alignment) {
  static const std::array<char, 64> kZeros{};
  if (alignment > static_cast<std::int64_t>(kZeros.size())) {
    throw std::invalid_argument("PadToAlignment: alignment above 64");
  }
  const std::int64_t position = static_cast<std::int64_t>(stream.tellp());
  if (position < 0) return 0;
  const std::int64_t r = position % alignment;
  if (r == 0) return 0;
  stream.write(kZeros.data(), alignment - r);
  return alignment - r;
}

bool FileExists(const fs::path& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec);
}

bool FolderExists(const fs::path& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

bool CreateFolder(const fs::path& path) {
  std::error_code ec;
  return fs::create_directory(path, ec) && !ec;
}

bool RemoveFile(const fs::path& path) {
  std::error_code ec;
  if (!fs::is_regular_file(fs::symlink_status(path, ec)) && !fs::is_symlink(fs::symlink_status(path, ec))) {
    return false;
  }
  return fs::remove(path, ec) && !ec;
}

bool RenameFile(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  if (fs::exists(fs::symlink_status(to, ec))) return false;
  if (!fs::exists(fs::symlink_status(from, ec))) return false;
  fs::rename(from, to, ec);
  return !ec;
}

std::vector<std::string> SplitLogLine(const std::string& line) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    const std::size_t br = line.find("\r\n", start);
    lines.push_back(line.substr(start, br == std::string::npos ? std::string::npos : br - start));
    if (br == std::string::npos) break;
    start = br + 2;
  }
  return lines;
}

bool SameFile(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  if (fs::exists(a, ec) && fs::exists(b, ec) && fs::equivalent(a, b, ec) && !ec) return true;
  const fs::path na = fs::weakly_canonical(fs::absolute(a, ec), ec);
  const fs::path nb = fs::weakly_canonical(fs::absolute(b, ec), ec);
  return !na.empty() && na == nb;
}

bool CanWriteIn(const fs::path& folder) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return false;
  // Named after this process, so that two programs probing one folder never meet.
  const fs::path probe = folder / (".quill-write-probe-" + std::to_string(platform::CurrentProcessId()));
  {
    std::ofstream out(probe, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << 'q';
    out.close();
    if (!out) {
      fs::remove(probe, ec);
      return false;
    }
  }
  return fs::remove(probe, ec) && !ec;
}

fs::path PathFromUtf8(const std::string& utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string PathToUtf8(const fs::path& path) {
  const std::u8string s = path.u8string();
  return std::string(s.begin(), s.end());
}

std::string GenericUtf8(const fs::path& relative) {
  const std::u8string text = relative.generic_u8string();
  return std::string(text.begin(), text.end());
}

std::string NativeSeparators(std::string relative) {
  const char separator = static_cast<char>(fs::path::preferred_separator);
  for (char& c : relative) {
    if (c == '\\' || c == '/') c = separator;
  }
  return relative;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::uint64_t TreeSize(const fs::path& path) {
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(path, ec);
  if (ec) return 0;
  if (fs::is_regular_file(status)) {
    const std::uint64_t size = fs::file_size(path, ec);
    return ec ? 0 : size;
  }
  if (!fs::is_directory(status)) return 0;
  std::uint64_t total = 0;
  // Files come and go while a tool writes: whatever cannot be measured now counts as nothing.
  for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code entryError;
    if (it->is_regular_file(entryError)) {
      const std::uint64_t size = it->file_size(entryError);
      if (!entryError) total += size;
    }
  }
  return total;
}

bool ReadSmallFile(const fs::path& path, std::string& bytes) {
  const auto read = ctr::ReadWholeFile(path);
  if (!read) return false;
  bytes.assign(read->begin(), read->end());
  return true;
}

}  // namespace qpt
