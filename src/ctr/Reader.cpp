#include "ctr/Reader.h"

#include <algorithm>

namespace ctr {

namespace {

// Large enough that per-call overhead vanishes next to the disk, small enough to keep every
// tool far below its memory ceiling.
constexpr std::size_t kCopyBlock = 4u << 20;

}  // namespace

Status Truncated(const std::string& name, std::uint64_t end, std::uint64_t size) {
  return Status::Error(name + " is truncated: needs bytes up to " + std::to_string(end) + " of " +
                       std::to_string(size));
}

std::string PathText(const std::filesystem::path& path) {
  const std::u8string s = path.u8string();
  return std::string(s.begin(), s.end());
}

Result<std::vector<std::uint8_t>> Reader::ReadVector(std::uint64_t offset, std::uint64_t size) {
  if (!InRange(offset, size, this->size())) return Truncated(name(), offset + size, this->size());
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  Status s = ReadAt(offset, bytes.data(), bytes.size());
  if (!s) return s;
  return bytes;
}

Status FileReader::Open(const std::filesystem::path& path) { return file_.Open(path); }

Status FileReader::ReadAt(std::uint64_t offset, void* data, std::size_t size) {
  return file_.ReadAt(offset, data, size);
}

std::string FileReader::name() const { return PathText(file_.path()); }

Status WindowReader::ReadAt(std::uint64_t offset, void* data, std::size_t size) {
  if (!InRange(offset, size, size_)) return Truncated(name(), offset + size, size_);
  return base_.ReadAt(offset_ + offset, data, size);
}

Status MemoryReader::ReadAt(std::uint64_t offset, void* data, std::size_t size) {
  if (!InRange(offset, size, bytes_.size())) return Truncated(name_, offset + size, bytes_.size());
  if (size > 0) std::memcpy(data, bytes_.data() + offset, size);
  return Status::Ok();
}

Status CopyRange(Reader& in, std::uint64_t offset, std::uint64_t size, OutputFile& out, Sha256* hash) {
  if (!InRange(offset, size, in.size())) return Truncated(in.name(), offset + size, in.size());
  // A plain copy out of a file needs none of our buffers: the file's own copy path can let
  // the kernel move the bytes.
  if (!hash) {
    if (auto backing = in.Backing()) return out.AppendFrom(*backing->file, backing->offset + offset, size);
  }
  std::vector<std::uint8_t> block(static_cast<std::size_t>(std::min<std::uint64_t>(size, kCopyBlock)));
  while (size > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, block.size()));
    Status s = in.ReadAt(offset, block.data(), n);
    if (!s) return s;
    if (hash) hash->Update(block.data(), n);
    s = out.Write(block.data(), n);
    if (!s) return s;
    offset += n;
    size -= n;
  }
  return Status::Ok();
}

Result<Sha256Digest> HashRange(Reader& in, std::uint64_t offset, std::uint64_t size) {
  Sha256 hash;
  if (Status s = UpdateHash(in, offset, size, hash); !s) return s;
  return hash.Final();
}

Status UpdateHash(Reader& in, std::uint64_t offset, std::uint64_t size, Sha256& hash) {
  if (!InRange(offset, size, in.size())) return Truncated(in.name(), offset + size, in.size());
  std::vector<std::uint8_t> block(static_cast<std::size_t>(std::min<std::uint64_t>(size, kCopyBlock)));
  while (size > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, block.size()));
    Status s = in.ReadAt(offset, block.data(), n);
    if (!s) return s;
    hash.Update(block.data(), n);
    offset += n;
    size -= n;
  }
  return Status::Ok();
}

}  // namespace ctr
