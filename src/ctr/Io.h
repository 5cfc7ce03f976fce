// File and byte access shared by every container reader and builder: 64-bit positioned
// reads, output files that appear only when complete, and bounds-checked little-endian
// field reads out of byte buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

namespace ctr {

// What kind of write failed, for a caller that must tell a full or vanished disk (which ends
// an installation) from damaged input (which may only be a warning). None for every other
// failure: reads, parse errors, bad arguments.
enum class WriteFault : std::uint8_t { None, DiskFull, NoPermission, DeviceGone, Other };

// Outcome of an operation that can fail on bad input or I/O; carries a one-line reason and,
// for a failed write, its kind. Small enough to return from every write.
class Status {
 public:
  Status() = default;
  static Status Ok() { return Status(); }
  static Status Error(std::string message) { return Status(std::move(message), true, WriteFault::None); }
  // A write that failed; a fault of None is taken as Other, since the write did fail.
  static Status WriteError(WriteFault fault, std::string message) {
    return Status(std::move(message), true, fault == WriteFault::None ? WriteFault::Other : fault);
  }
  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const std::string& message() const { return message_; }
  WriteFault writeFault() const { return fault_; }
  bool IsWriteFailure() const { return fault_ != WriteFault::None; }

 private:
  Status(std::string message, bool failed, WriteFault fault)
      : message_(std::move(message)), failed_(failed), fault_(fault) {}
  std::string message_;
  bool failed_ = false;
  WriteFault fault_ = WriteFault::None;
};

// A value or the reason there is none.
template <typename T>
class Result {
 public:
  Result(T value) : value_(std::move(value)) {}
  Result(Status error) : status_(std::move(error)) {}
  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  const Status& status() const { return status_; }
  const std::string& message() const { return status_.message(); }
  T& value() { return *value_; }
  const T& value() const { return *value_; }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }
  T& operator*() { return *value_; }

 private:
  std::optional<T> value_;
  Status status_;
};

// Read-only file with 64-bit positioned reads. Thread: one user at a time.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&& other) noexcept;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  Status Open(const std::filesystem::path& path);
  bool is_open() const { return file_ != nullptr; }
  std::uint64_t size() const { return size_; }
  const std::filesystem::path& path() const { return path_; }

  // Reads exactly size bytes at offset; fails (without reading) when the range is not
  // inside the file.
  Status ReadAt(std::uint64_t offset, void* data, std::size_t size);
  Result<std::vector<std::uint8_t>> ReadVector(std::uint64_t offset, std::uint64_t size);
  // The open stream, for copies the kernel can do on its own; nullptr when not open.
  std::FILE* native() const { return file_; }

 private:
  std::FILE* file_ = nullptr;
  std::uint64_t size_ = 0;
  std::filesystem::path path_;
};

// What OutputFile appends to a target's name for the file it builds. The unpackers refuse
// entries whose names end with it (see IsTemporaryOutputName), so the temporary file of one
// output can never be a file or folder that the same unpack has written or will write.
inline constexpr std::string_view kTemporaryOutputSuffix = ".qpt-partial";

// True when the name ends with kTemporaryOutputSuffix in any letter case.
bool IsTemporaryOutputName(std::u16string_view name);

// Output written to a temporary file beside the target and renamed into place by Commit(),
// so a failure or a cancel never leaves half an image nor destroys an existing file.
// Destroying an uncommitted OutputFile removes the temporary file.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  Status Open(const std::filesystem::path& target);
  Status Write(const void* data, std::size_t size);
  Status WriteAt(std::uint64_t offset, const void* data, std::size_t size);
  // Appends count copies of value.
  Status Fill(std::uint8_t value, std::uint64_t count);
  std::uint64_t position() const { return position_; }
  // Appends size bytes of in at offset, letting the kernel copy them where it can (no trip
  // through our buffers); falls back to reading and writing elsewhere.
  Status AppendFrom(InputFile& in, std::uint64_t offset, std::uint64_t size);
  Status Commit();
  void Abandon();

 private:
  std::FILE* file_ = nullptr;
  std::filesystem::path target_;
  std::filesystem::path temp_;
  std::uint64_t position_ = 0;
  int pendingSlot_ = -1;  // where the temporary file is registered for RemovePendingOutputs
};

// A file changed in place, for the one job that must edit an existing image rather than
// write a new one: 64-bit positioned reads and writes inside the file's present size, never
// growing it. Unbuffered, so that a write that fails says so at once and not at some later
// flush. Thread: one user at a time.
class UpdateFile {
 public:
  UpdateFile() = default;
  ~UpdateFile();
  UpdateFile(const UpdateFile&) = delete;
  UpdateFile& operator=(const UpdateFile&) = delete;

  Status Open(const std::filesystem::path& path);
  void Close();
  bool is_open() const { return file_ != nullptr; }
  std::uint64_t size() const { return size_; }
  const std::filesystem::path& path() const { return path_; }

  // Both fail without touching the file when the range is not inside it.
  Status ReadAt(std::uint64_t offset, void* data, std::size_t size);
  Status WriteAt(std::uint64_t offset, const void* data, std::size_t size);
  // Asks the system to put what was written on the storage device.
  Status Sync();

 private:
  std::FILE* file_ = nullptr;
  std::uint64_t size_ = 0;
  std::filesystem::path path_;
};

// Deletes the temporary file of every OutputFile that is open and not yet committed.
// Async-signal-safe: meant for an interrupt handler that ends the process, so that an
// interrupted tool leaves neither a half image nor its temporary file behind.
void RemovePendingOutputs() noexcept;


// The kind of write failure a system error tells of (no space or quota, a file-size limit, a
// read-only or forbidden place, a device that went away); None for an error that says
// nothing of the kind (a missing file, a bad argument).
WriteFault WriteFaultOf(const std::error_code& error);

// The system's own words for an error, in one line.
std::string SystemReason(const std::error_code& error);

// The error of the latest failed file call on the calling thread: errno, or on Windows the
// system's own code where the C library kept it. Read it right after the call that failed;
// ClearSystemError before a call keeps an earlier failure from being blamed for it.
std::error_code LastSystemError();
void ClearSystemError();

// A failed write as a status: "operation(path): the system's reason", its kind from the error
// (Other when the error does not tell).
Status WriteFailure(std::string_view operation, const std::filesystem::path& path, const std::error_code& error);

// Writes a whole small file at once through an OutputFile.
Status WriteWholeFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);
Result<std::vector<std::uint8_t>> ReadWholeFile(const std::filesystem::path& path);

// True when [offset, offset + size) lies within a buffer or file of the given length,
// computed without overflow.
inline bool InRange(std::uint64_t offset, std::uint64_t size, std::uint64_t length) {
  return offset <= length && size <= length - offset;
}

// Copies a trivially copyable little-endian struct or integer out of bytes at offset.
// Returns nullopt when it does not fit. (Every platform we build for is little-endian.)
template <typename T>
std::optional<T> ReadLE(std::span<const std::uint8_t> bytes, std::uint64_t offset) {
  static_assert(std::is_trivially_copyable_v<T>);
  if (!InRange(offset, sizeof(T), bytes.size())) return std::nullopt;
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof(T));
  return value;
}

inline std::uint64_t AlignUp(std::uint64_t value, std::uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

}  // namespace ctr
