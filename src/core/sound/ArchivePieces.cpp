#include "core/sound/ArchivePieces.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <istream>
#include <ostream>
#include <system_error>

#include "core/common/Common.h"
#include "core/sound/N3DSBCSAR.h"

namespace qpt {

namespace fs = std::filesystem;

// ================================================================ piece folder

fs::path ArchivePieceFolder(const fs::path& archive) {
  const fs::path::string_type name = archive.filename().native();
  if (name.empty() || name == fs::path(".").native() || name == fs::path("..").native()) return {};
  const auto dot = name.rfind(static_cast<fs::path::value_type>('.'));
  if (dot == fs::path::string_type::npos || dot == 0) return {};
  return archive.parent_path() / fs::path(name.substr(0, dot));
}

namespace pieces {

namespace {

constexpr std::size_t kCopyBlock = std::size_t{1} << 20;

// What went wrong in a piece file's stream; the stream itself does not say, so the system's
// error is read at once.
ctr::Status StreamFailed(const char* operation, const fs::path& target) {
  return ctr::WriteFailure(operation, target, ctr::LastSystemError());
}

ctr::Status CloseChecked(std::ofstream& out, const fs::path& target) {
  out.flush();
  if (!out) {
    ctr::Status failed = StreamFailed("write", target);
    out.close();  // the caller may delete the file, which Windows refuses while it is open
    return failed;
  }
  out.close();
  if (out.fail()) return StreamFailed("close", target);
  return ctr::Status::Ok();
}

bool WriteZeros(std::ostream& out, std::uint64_t count) {
  static const std::array<char, 256> kZeros{};
  while (count > 0) {
    const std::uint64_t n = std::min<std::uint64_t>(count, kZeros.size());
    out.write(kZeros.data(), static_cast<std::streamsize>(n));
    count -= n;
  }
  return static_cast<bool>(out);
}

bool EqualsIgnoreCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------- reading through a stream

std::optional<std::uint64_t> StreamSize(std::istream& in) {
  in.clear();
  in.seekg(0, std::ios::end);
  const std::streamoff end = in.tellg();
  if (!in || end < 0) return std::nullopt;
  return static_cast<std::uint64_t>(end);
}

bool ReadAt(std::istream& in, std::uint64_t streamSize, std::uint64_t offset, void* data,
            std::uint64_t length) {
  if (!ctr::InRange(offset, length, streamSize)) return false;
  in.clear();
  in.seekg(static_cast<std::streamoff>(offset));
  if (!in) return false;
  in.read(static_cast<char*>(data), static_cast<std::streamsize>(length));
  return static_cast<std::uint64_t>(in.gcount()) == length;
}

// ---------------------------------------------------------------- writing pieces

int Failed(const ctr::Status& status, ctr::Status* writeFailure) {
  if (writeFailure && status.IsWriteFailure()) *writeFailure = status;
  return -1;
}

ctr::Status CreatePieceFolder(const fs::path& folder) {
  std::error_code ec;
  if (fs::create_directory(folder, ec)) return ctr::Status::Ok();
  return ctr::WriteFailure("create_directory", folder, ec ? ec : std::make_error_code(std::errc::file_exists));
}

ctr::Status CopyRangeToFile(std::istream& in, std::uint64_t streamSize, std::uint64_t offset,
                            std::uint64_t length, const fs::path& target) {
  if (!ctr::InRange(offset, length, streamSize)) return ctr::Status::Error("a piece lies outside the archive");
  ctr::ClearSystemError();
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  if (!out) return StreamFailed("create", target);
  std::vector<char> block(static_cast<std::size_t>(std::min<std::uint64_t>(length, kCopyBlock)));
  std::uint64_t done = 0;
  while (done < length) {
    const std::uint64_t n = std::min<std::uint64_t>(length - done, block.size());
    if (!ReadAt(in, streamSize, offset + done, block.data(), n)) return ctr::Status::Error("the archive is cut short");
    out.write(block.data(), static_cast<std::streamsize>(n));
    if (!out) return StreamFailed("write", target);
    done += n;
  }
  return CloseChecked(out, target);
}

ctr::Status WriteBytesToFile(const Bytes& bytes, const fs::path& target) {
  ctr::ClearSystemError();
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  if (!out) return StreamFailed("create", target);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return CloseChecked(out, target);
}

bool WriteBytes(std::ostream& out, const Bytes& bytes) {
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

bool CopyFileToStream(const fs::path& source, std::uint64_t expectedLength, std::ostream& out) {
  std::ifstream in(source, std::ios::binary);
  if (!in) return false;
  std::vector<char> block(
      static_cast<std::size_t>(std::min<std::uint64_t>(expectedLength, kCopyBlock)));
  std::uint64_t done = 0;
  while (done < expectedLength) {
    const std::uint64_t n = std::min<std::uint64_t>(expectedLength - done, block.size());
    in.read(block.data(), static_cast<std::streamsize>(n));
    if (static_cast<std::uint64_t>(in.gcount()) != n) return false;
    out.write(block.data(), static_cast<std::streamsize>(n));
    if (!out) return false;
    done += n;
  }
  return in.peek() == std::char_traits<char>::eof();
}

std::optional<Bytes> LoadPiece(const fs::path& path) {
  auto bytes = ctr::ReadWholeFile(path);
  if (!bytes) return std::nullopt;
  return std::move(bytes.value());
}

int WriteReplacing(const fs::path& target, const std::function<int(std::ostream&)>& build,
                   ctr::Status* writeFailure) {
  fs::path temp = target;
  temp += std::string(ctr::kTemporaryOutputSuffix);
  ctr::ClearSystemError();
  std::ofstream out(temp, std::ios::binary | std::ios::trunc);
  if (!out) return Failed(StreamFailed("create", target), writeFailure);
  const int result = build(out);
  // A build that gave up on a failed write of its own leaves the stream failed: that is the
  // reason, not whatever its input looked like.
  const ctr::Status written = CloseChecked(out, target);
  if (result != 0 || !written) {
    RemoveFile(temp);
    return Failed(written, writeFailure);
  }
  std::error_code ec;
  fs::rename(temp, target, ec);
  if (ec) {
    RemoveFile(temp);
    return Failed(ctr::WriteFailure("rename", target, ec), writeFailure);
  }
  return 0;
}

fs::path JoinTarget(fs::path folder, const char* extension) {
  if (!folder.has_filename()) folder = folder.parent_path();
  if (folder.empty()) return {};
  folder += extension;
  return folder;
}

// ---------------------------------------------------------------- numbered pieces

std::optional<std::vector<TPiece>> ListPieces(const fs::path& folder, const std::string& extension) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return std::nullopt;
  std::vector<TPiece> pieces;
  fs::directory_iterator it(folder, ec);
  if (ec) return std::nullopt;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return std::nullopt;
    const fs::directory_entry& entry = *it;
    TPiece piece;
    piece.path = entry.path();
    piece.name = PathToUtf8(piece.path.filename());
    if (piece.name.empty() || piece.name[0] == '.') continue;
    if (!EqualsIgnoreCase(PathToUtf8(piece.path.extension()), extension)) continue;
    if (!entry.is_regular_file(ec)) continue;
    piece.length = entry.file_size(ec);
    if (ec) return std::nullopt;
    std::size_t digits = 0;
    while (digits < piece.name.size() && piece.name[digits] >= '0' && piece.name[digits] <= '9' &&
           digits < 18) {
      piece.number = piece.number * 10 + static_cast<std::uint64_t>(piece.name[digits] - '0');
      ++digits;
    }
    piece.numbered = digits > 0;
    pieces.push_back(std::move(piece));
  }
  if (ec) return std::nullopt;
  std::sort(pieces.begin(), pieces.end(), [](const TPiece& a, const TPiece& b) {
    if (a.numbered != b.numbered) return a.numbered;
    if (a.number != b.number) return a.number < b.number;
    return a.name < b.name;
  });
  return pieces;
}

std::string PieceNumber(std::uint64_t n) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.3llu", static_cast<unsigned long long>(n));
  return text;
}

// ---------------------------------------------------------------- FILE block layout

std::optional<TFileBlockLayout> LayOutFileBlock(std::vector<TPiece> pieces) {
  TFileBlockLayout layout;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) layout.length = ctr::AlignUp(layout.length, kFileAlignment);
    if (pieces[i].length > kMaxField) return std::nullopt;
    layout.offsets.push_back(static_cast<std::uint32_t>(layout.length - kFileDataBase));
    layout.length += pieces[i].length;
    if (layout.length > kMaxField) return std::nullopt;
  }
  layout.pieces = std::move(pieces);
  return layout;
}

bool WriteFileBlock(std::ostream& out, const TFileBlockLayout& layout) {
  TBlockHead head{{'F', 'I', 'L', 'E'}, static_cast<std::uint32_t>(layout.length)};
  out.write(reinterpret_cast<const char*>(&head), sizeof(head));
  if (!WriteZeros(out, kFileBlockHeaderLength - sizeof(head))) return false;
  std::uint64_t written = kFileBlockHeaderLength;
  for (std::size_t i = 0; i < layout.pieces.size(); ++i) {
    const std::uint64_t start = layout.offsets[i] + kFileDataBase;
    if (!WriteZeros(out, start - written)) return false;
    if (!CopyFileToStream(layout.pieces[i].path, layout.pieces[i].length, out)) return false;
    written = start + layout.pieces[i].length;
  }
  return written == layout.length;
}

}  // namespace pieces

}  // namespace qpt
