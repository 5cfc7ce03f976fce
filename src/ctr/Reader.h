// One read path for every container parser: the bytes may come from a file, from a window
// of another reader (an NCCH inside a CIA or a card image) or from memory, and the parsers
// never know which.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "ctr/Io.h"
#include "ctr/Sha256.h"

namespace ctr {

// A byte range inside a container; size 0 means the container has no such region.
struct ByteRange {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  bool present() const { return size != 0; }
};

// Random-access source of bytes with a fixed 64-bit size. Thread: one user at a time.
class Reader {
 public:
  virtual ~Reader() = default;
  virtual std::uint64_t size() const = 0;
  // Reads exactly size bytes at offset; fails without reading when the range is outside.
  virtual Status ReadAt(std::uint64_t offset, void* data, std::size_t size) = 0;
  // Small reads only (headers, tables): the caller bounds size.
  Result<std::vector<std::uint8_t>> ReadVector(std::uint64_t offset, std::uint64_t size);
  // Describes where the bytes come from, for error lines.
  virtual std::string name() const = 0;

  // The file and the offset in it where this reader's byte 0 lies, when the bytes come from
  // a file; lets the file-based readers of the ExeFS and RomFS work on a region in place.
  struct FileWindow {
    InputFile* file = nullptr;
    std::uint64_t offset = 0;
  };
  virtual std::optional<FileWindow> Backing() { return std::nullopt; }
};

class FileReader final : public Reader {
 public:
  Status Open(const std::filesystem::path& path);
  std::uint64_t size() const override { return file_.size(); }
  Status ReadAt(std::uint64_t offset, void* data, std::size_t size) override;
  std::string name() const override;
  std::optional<FileWindow> Backing() override { return FileWindow{&file_, 0}; }

 private:
  InputFile file_;
};

// The bytes [offset, offset + size) of another reader, which must outlive the window.
// A window that reaches past the end of its base reads as truncated there.
class WindowReader final : public Reader {
 public:
  WindowReader(Reader& base, std::uint64_t offset, std::uint64_t size)
      : base_(base), offset_(offset), size_(size) {}
  std::uint64_t size() const override { return size_; }
  Status ReadAt(std::uint64_t offset, void* data, std::size_t size) override;
  std::string name() const override { return base_.name(); }
  std::optional<FileWindow> Backing() override {
    auto base = base_.Backing();
    if (base) base->offset += offset_;
    return base;
  }

 private:
  Reader& base_;
  std::uint64_t offset_;
  std::uint64_t size_;
};

// Bytes held by the caller, who keeps them alive and unchanged while the reader is used.
class MemoryReader final : public Reader {
 public:
  explicit MemoryReader(std::span<const std::uint8_t> bytes, std::string name = "memory")
      : bytes_(bytes), name_(std::move(name)) {}
  std::uint64_t size() const override { return bytes_.size(); }
  Status ReadAt(std::uint64_t offset, void* data, std::size_t size) override;
  std::string name() const override { return name_; }

 private:
  std::span<const std::uint8_t> bytes_;
  std::string name_;
};

// Copies size bytes at offset to the end of out in large blocks, feeding them to hash too
// when one is given, so that a builder hashes what it writes in the same pass.
Status CopyRange(Reader& in, std::uint64_t offset, std::uint64_t size, OutputFile& out,
                 Sha256* hash = nullptr);

// The failure of a read that needs the bytes up to end of a file of size bytes.
Status Truncated(const std::string& name, std::uint64_t end, std::uint64_t size);

// SHA-256 of size bytes at offset, streamed.
Result<Sha256Digest> HashRange(Reader& in, std::uint64_t offset, std::uint64_t size);
// Feeds bytes [offset, offset + size) of in to hash, for a digest that goes on beyond them.
Status UpdateHash(Reader& in, std::uint64_t offset, std::uint64_t size, Sha256& hash);

// Text of a path for messages (UTF-8 on every platform).
std::string PathText(const std::filesystem::path& path);

}  // namespace ctr
