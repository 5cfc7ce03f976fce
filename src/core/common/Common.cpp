#include "core/common/Common.h"

#include "core/common/Platform.h"

#include "ctr/Io.h"
#include "ctr/Md5.h"

#include <algorithm>
#include <array>
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

namespace {

// The small letter of a capital, for the alphabets that have two cases; anything else as it is.
char32_t FoldLetter(char32_t c) {
  // The Turkish dotted capital and dotless small i have no partner of their own.
  if (c == 0x130 || c == 0x131) return c;
  // Blocks where capital and small letter alternate, capital first: (first, last) pairs.
  static const char32_t kEvenCapitals[][2] = {
      {0x100, 0x137}, {0x14A, 0x177}, {0x1DE, 0x1EF}, {0x1F8, 0x21F}, {0x222, 0x233}, {0x246, 0x24F},
      {0x370, 0x373}, {0x3D8, 0x3EF}, {0x460, 0x481}, {0x48A, 0x4BF}, {0x4D0, 0x52F}, {0x1E00, 0x1E95},
      {0x1EA0, 0x1EFF}, {0x2C80, 0x2CE3}, {0xA640, 0xA66D}, {0xA680, 0xA69B}, {0xA722, 0xA72F},
      {0xA732, 0xA76F}, {0xA77E, 0xA787}, {0xA790, 0xA793}, {0xA796, 0xA7A9}};
  static const char32_t kOddCapitals[][2] = {{0x139, 0x148}, {0x179, 0x17E}, {0x1CD, 0x1DC}, {0x4C1, 0x4CE}};
  // Blocks where the small letters follow the capitals at a fixed distance.
  struct Shift {
    char32_t first, last, by;
  };
  static const Shift kShifts[] = {
      {'A', 'Z', 0x20},         {0xC0, 0xD6, 0x20},      {0xD8, 0xDE, 0x20},       {0x388, 0x38A, 37},
      {0x38E, 0x38F, 63},       {0x391, 0x3A1, 0x20},    {0x3A3, 0x3AB, 0x20},     {0x400, 0x40F, 0x50},
      {0x410, 0x42F, 0x20},     {0x531, 0x556, 0x30},    {0x10A0, 0x10C5, 0x1C60}, {0x2160, 0x216F, 0x10},
      {0x24B6, 0x24CF, 26},     {0x2C00, 0x2C2F, 0x30},  {0xFF21, 0xFF3A, 0x20},   {0x10400, 0x10427, 0x28}};
  for (const Shift& s : kShifts) {
    if (c >= s.first && c <= s.last) return c + s.by;
  }
  for (const auto& range : kEvenCapitals) {
    if (c >= range[0] && c <= range[1]) return c % 2 == 0 ? c + 1 : c;
  }
  for (const auto& range : kOddCapitals) {
    if (c >= range[0] && c <= range[1]) return c % 2 == 1 ? c + 1 : c;
  }
  switch (c) {
    case 0x178: return 0xFF;
    case 0x386: return 0x3AC;
    case 0x38C: return 0x3CC;
    case 0x4C0: return 0x4CF;
    case 0x10C7: return 0x2D27;
    case 0x10CD: return 0x2D2D;
    default: return c;
  }
}

}  // namespace

std::string FoldNameCase(const std::string& utf8Name) {
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

bool IsWriteFailure(const std::error_code& error) {
  if (!error) return false;
  const std::error_condition c = error.default_error_condition();
  return c == std::errc::no_space_on_device || c == std::errc::file_too_large ||
         c == std::errc::read_only_file_system || c == std::errc::permission_denied ||
         c == std::errc::operation_not_permitted || c == std::errc::io_error
#ifdef EDQUOT
         || error.value() == EDQUOT
#endif
      ;
}

namespace {

// The entries of one destination folder by folded name, read once and kept up to date while
// a copy adds to it, so that a large folder is not listed again for every file.
class TFolderNames {
 public:
  explicit TFolderNames(const fs::path& folder) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = PathToUtf8(it->path().filename());
      names_.emplace(FoldNameCase(name), name);
    }
  }
  // The name already there for this name, or the name itself.
  std::string Existing(const std::string& name) const {
    const auto at = names_.find(FoldNameCase(name));
    return at == names_.end() ? name : at->second;
  }
  void Add(const std::string& name) { names_.emplace(FoldNameCase(name), name); }

 private:
  std::unordered_map<std::string, std::string> names_;
};

bool CopyTree(const fs::path& source, const fs::path& target, std::vector<fs::path>* skippedLinks) {
  std::error_code ec;
  if (!fs::is_directory(target, ec)) {
    fs::create_directories(target, ec);
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
      ok = CopyTree(it->path(), to, skippedLinks) && ok;
    } else if (fs::is_regular_file(status)) {
      const std::error_code copyError = platform::CopyFileReplacing(it->path(), to);
      if (copyError) {
        if (IsWriteFailure(copyError)) ctr::NoteWriteFailure();
        ok = false;
      }
    }
    names.Add(name);
  }
  return ok && !ec;
}

}  // namespace

bool CopyFolder(const fs::path& source, const fs::path& destination, std::vector<fs::path>* skippedLinks) {
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
  if (ec) return false;
  const std::string name = TFolderNames(destination).Existing(PathToUtf8(src.filename()));
  return CopyTree(src, destination / PathFromUtf8(name), skippedLinks);
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
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (const std::uint8_t byte : md5.Final()) {
    text += kHex[byte >> 4];
    text += kHex[byte & 0x0F];
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

std::string NativeSeparators(std::string relative) {
  const char separator = static_cast<char>(fs::path::preferred_separator);
  for (char& c : relative) {
    if (c == '\\' || c == '/') c = separator;
  }
  return relative;
}


bool ReadWholeFile(const fs::path& path, std::string& bytes) {
  const auto read = ctr::ReadWholeFile(path);
  if (!read) return false;
  bytes.assign(read->begin(), read->end());
  return true;
}

}  // namespace qpt
