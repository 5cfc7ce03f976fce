#include "ctr/Io.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <system_error>

#include "ctr/Names.h"
#include "ctr/Platform.h"

namespace ctr {

namespace fs = std::filesystem;

namespace {

using platform::OpenFile;
using platform::Seek;

std::string Describe(const fs::path& path) {
  const std::u8string s = path.u8string();
  return std::string(s.begin(), s.end());
}

// Temporary files of open outputs, as native C strings, for removal from a signal handler.
// A tool has at most a few outputs open at once; more than this are simply not registered.
std::array<std::atomic<const std::filesystem::path::value_type*>, 32> gPendingOutputs{};

int RegisterPending(const fs::path& temp) {
  const auto& native = temp.native();
  auto* copy = new fs::path::value_type[native.size() + 1];
  std::copy(native.begin(), native.end(), copy);
  copy[native.size()] = 0;
  for (std::size_t i = 0; i < gPendingOutputs.size(); ++i) {
    const fs::path::value_type* expected = nullptr;
    if (gPendingOutputs[i].compare_exchange_strong(expected, copy)) return static_cast<int>(i);
  }
  delete[] copy;
  return -1;
}

void UnregisterPending(int& slot) {
  if (slot < 0) return;
  delete[] gPendingOutputs[static_cast<std::size_t>(slot)].exchange(nullptr);
  slot = -1;
}

}  // namespace

bool IsTemporaryOutputName(std::u16string_view name) {
  const std::u16string suffix(kTemporaryOutputSuffix.begin(), kTemporaryOutputSuffix.end());
  return name.size() >= suffix.size() && FoldNameCase(name.substr(name.size() - suffix.size())) == suffix;
}

void RemovePendingOutputs() noexcept {
  for (auto& entry : gPendingOutputs) {
    const fs::path::value_type* path = entry.load();
    if (!path) continue;
    platform::RemoveFileNow(path);
  }
}

InputFile::~InputFile() {
  if (file_) std::fclose(file_);
}

InputFile::InputFile(InputFile&& other) noexcept
    : file_(std::exchange(other.file_, nullptr)), size_(other.size_), path_(std::move(other.path_)) {}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this != &other) {
    if (file_) std::fclose(file_);
    file_ = std::exchange(other.file_, nullptr);
    size_ = other.size_;
    path_ = std::move(other.path_);
  }
  return *this;
}

Status InputFile::Open(const fs::path& path) {
  if (file_) {
    std::fclose(file_);
    file_ = nullptr;
  }
  path_ = path;
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return Status::Error("cannot open " + Describe(path) + ": no such file");
  size_ = fs::file_size(path, ec);
  if (ec) return Status::Error("cannot read the size of " + Describe(path));
  file_ = OpenFile(path, "rb");
  if (!file_) return Status::Error("cannot open " + Describe(path));
  return Status::Ok();
}

Status InputFile::ReadAt(std::uint64_t offset, void* data, std::size_t size) {
  if (!file_) return Status::Error("file not open");
  if (!InRange(offset, size, size_)) {
    return Status::Error(Describe(path_) + " is truncated: needs bytes up to " +
                         std::to_string(offset + size) + " of " + std::to_string(size_));
  }
  if (size == 0) return Status::Ok();
  if (!Seek(file_, offset) || std::fread(data, 1, size, file_) != size) {
    return Status::Error("cannot read " + Describe(path_));
  }
  return Status::Ok();
}

Result<std::vector<std::uint8_t>> InputFile::ReadVector(std::uint64_t offset, std::uint64_t size) {
  if (!InRange(offset, size, size_)) {
    return Status::Error(Describe(path_) + " is truncated: needs bytes up to " +
                         std::to_string(offset + size) + " of " + std::to_string(size_));
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  Status s = ReadAt(offset, bytes.data(), bytes.size());
  if (!s) return s;
  return bytes;
}

WriteFault WriteFaultOf(const std::error_code& error) {
  if (!error) return WriteFault::None;
  if (error.category() == std::system_category()) {
    const WriteFault fault = platform::SystemWriteFault(error.value());
    if (fault != WriteFault::None) return fault;
  }
  const std::error_condition c = error.default_error_condition();
  if (c == std::errc::no_space_on_device || c == std::errc::file_too_large) return WriteFault::DiskFull;
#ifdef EDQUOT
  if (c == std::error_condition(EDQUOT, std::generic_category())) return WriteFault::DiskFull;
#endif
  if (c == std::errc::permission_denied || c == std::errc::operation_not_permitted ||
      c == std::errc::read_only_file_system) {
    return WriteFault::NoPermission;
  }
  // What a memory card or USB drive pulled out mid-write gives.
  if (c == std::errc::no_such_device || c == std::errc::no_such_device_or_address || c == std::errc::io_error) {
    return WriteFault::DeviceGone;
  }
  return WriteFault::None;
}

std::string SystemReason(const std::error_code& error) {
  if (error.category() == std::system_category()) return platform::SystemMessage(error.value());
  return error.message();
}

std::error_code LastSystemError() { return platform::LastFileError(); }

void ClearSystemError() { platform::ClearFileError(); }

Status WriteFailure(std::string_view operation, const fs::path& path, const std::error_code& error) {
  const std::string reason = error ? SystemReason(error) : std::string("the system gave no reason");
  return Status::WriteError(WriteFaultOf(error), std::string(operation) + "(" + Describe(path) + "): " + reason);
}

UpdateFile::~UpdateFile() { Close(); }

void UpdateFile::Close() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
}

Status UpdateFile::Open(const fs::path& path) {
  Close();
  path_ = path;
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return Status::Error("cannot open " + Describe(path) + ": no such file");
  size_ = fs::file_size(path, ec);
  if (ec) return Status::Error("cannot read the size of " + Describe(path));
  file_ = OpenFile(path, "r+b");
  if (!file_) return Status::Error("cannot open " + Describe(path) + " for writing");
  if (std::setvbuf(file_, nullptr, _IONBF, 0) != 0) {
    Close();
    return Status::Error("cannot open " + Describe(path) + " for writing");
  }
  return Status::Ok();
}

Status UpdateFile::ReadAt(std::uint64_t offset, void* data, std::size_t size) {
  if (!file_) return Status::Error("file not open");
  if (!InRange(offset, size, size_)) {
    return Status::Error(Describe(path_) + " is truncated: needs bytes up to " + std::to_string(offset + size) +
                         " of " + std::to_string(size_));
  }
  if (size == 0) return Status::Ok();
  if (!Seek(file_, offset) || std::fread(data, 1, size, file_) != size) {
    return Status::Error("cannot read " + Describe(path_));
  }
  return Status::Ok();
}

Status UpdateFile::WriteAt(std::uint64_t offset, const void* data, std::size_t size) {
  if (!file_) return Status::Error("file not open");
  if (!InRange(offset, size, size_)) {
    return Status::Error("cannot write past the end of " + Describe(path_));
  }
  if (size == 0) return Status::Ok();
  ClearSystemError();
  if (!Seek(file_, offset) || std::fwrite(data, 1, size, file_) != size) {
    return WriteFailure("write", path_, LastSystemError());
  }
  return Status::Ok();
}

Status UpdateFile::Sync() {
  if (!file_) return Status::Error("file not open");
  ClearSystemError();
  const bool synced = std::fflush(file_) == 0 && platform::SyncFile(file_);
  if (!synced) return WriteFailure("sync", path_, LastSystemError());
  return Status::Ok();
}

OutputFile::~OutputFile() { Abandon(); }

Status OutputFile::Open(const fs::path& target) {
  Abandon();
  target_ = target;
  temp_ = target;
  temp_ += std::string(kTemporaryOutputSuffix);
  ClearSystemError();
  file_ = OpenFile(temp_, "wb");
  if (!file_) return WriteFailure("create", target, LastSystemError());
  pendingSlot_ = RegisterPending(temp_);
  position_ = 0;
  return Status::Ok();
}

Status OutputFile::Write(const void* data, std::size_t size) {
  if (!file_) return Status::Error("output not open");
  if (size > 0) {
    ClearSystemError();
    if (std::fwrite(data, 1, size, file_) != size) return WriteFailure("write", target_, LastSystemError());
  }
  position_ += size;
  return Status::Ok();
}

Status OutputFile::WriteAt(std::uint64_t offset, const void* data, std::size_t size) {
  if (!file_) return Status::Error("output not open");
  ClearSystemError();
  if (!Seek(file_, offset) || (size > 0 && std::fwrite(data, 1, size, file_) != size) || !Seek(file_, position_)) {
    return WriteFailure("write", target_, LastSystemError());
  }
  return Status::Ok();
}

Status OutputFile::Fill(std::uint8_t value, std::uint64_t count) {
  std::vector<std::uint8_t> block(static_cast<std::size_t>(std::min<std::uint64_t>(count, 1 << 20)), value);
  while (count > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, block.size()));
    Status s = Write(block.data(), n);
    if (!s) return s;
    count -= n;
  }
  return Status::Ok();
}

Status OutputFile::Commit() {
  if (!file_) return Status::Error("output not open");
  ClearSystemError();
  const bool flushed = std::fflush(file_) == 0;
  const bool closed = std::fclose(file_) == 0;
  // Taken before the removal below can overwrite it.
  const std::error_code closeError = LastSystemError();
  file_ = nullptr;
  std::error_code ec;
  if (!flushed || !closed) {
    UnregisterPending(pendingSlot_);
    fs::remove(temp_, ec);
    return WriteFailure("write", target_, closeError);
  }
  const std::error_code renameError = platform::RenameReplacing(temp_, target_);
  UnregisterPending(pendingSlot_);
  if (renameError) {
    fs::remove(temp_, ec);
    return WriteFailure("replace", target_, renameError);
  }
  return Status::Ok();
}

void OutputFile::Abandon() {
  if (file_) {
    std::fclose(file_);
    file_ = nullptr;
    std::error_code ec;
    fs::remove(temp_, ec);
    UnregisterPending(pendingSlot_);
  }
}

Status OutputFile::AppendFrom(InputFile& in, std::uint64_t offset, std::uint64_t size) {
  if (!file_) return Status::Error("output not open");
  if (!InRange(offset, size, in.size())) return in.ReadAt(offset, nullptr, static_cast<std::size_t>(size));
  if (size > 0 && in.native() && std::fflush(file_) == 0) {
    const std::uint64_t copied = platform::CopyRange(in.native(), offset, file_, position_, size);
    offset += copied;
    size -= copied;
    position_ += copied;
    if (copied > 0 && !Seek(file_, position_)) return WriteFailure("write", target_, LastSystemError());
    if (size == 0) return Status::Ok();
  }
  std::vector<std::uint8_t> block(static_cast<std::size_t>(std::min<std::uint64_t>(size, 4 << 20)));
  while (size > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, block.size()));
    Status s = in.ReadAt(offset, block.data(), n);
    if (!s) return s;
    s = Write(block.data(), n);
    if (!s) return s;
    offset += n;
    size -= n;
  }
  return Status::Ok();
}

Status WriteWholeFile(const fs::path& path, std::span<const std::uint8_t> bytes) {
  OutputFile out;
  Status s = out.Open(path);
  if (!s) return s;
  s = out.Write(bytes.data(), bytes.size());
  if (!s) return s;
  return out.Commit();
}

Result<std::vector<std::uint8_t>> ReadWholeFile(const fs::path& path) {
  InputFile in;
  Status s = in.Open(path);
  if (!s) return s;
  return in.ReadVector(0, in.size());
}

}  // namespace ctr
