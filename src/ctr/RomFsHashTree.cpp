#include "ctr/RomFsHashTree.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <future>
#include <string>

namespace ctr {

namespace {

constexpr std::uint32_t kIvfcMagicNumber = 0x10000;
constexpr std::uint32_t kHashSize = 0x20;
// Large sequential transfers; a multiple of every block size we build with.
constexpr std::size_t kChunk = 1 << 20;
// The writer gathers more, so that handing half of a chunk to a second thread costs little.
constexpr std::size_t kWriteChunk = 4 << 20;
// Level-2 hashes are written to their place in batches of this size (8 MiB of level 3 each).
constexpr std::size_t kLevel2Batch = 64 << 10;

Status HashRange(InputFile& file, std::uint64_t offset, std::uint64_t size, Sha256Digest& digest) {
  Sha256 hasher;
  std::vector<std::uint8_t> block(static_cast<std::size_t>(std::min<std::uint64_t>(size, kChunk)));
  while (size > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, block.size()));
    Status s = file.ReadAt(offset, block.data(), n);
    if (!s) return s;
    hasher.Update(block.data(), n);
    offset += n;
    size -= n;
  }
  digest = hasher.Final();
  return Status::Ok();
}

IvfcHeaderRecord MakeIvfcHeader(const IvfcLayout& layout) {
  IvfcHeaderRecord header{};
  std::memcpy(header.magic, "IVFC", 4);
  header.magicNumber = kIvfcMagicNumber;
  header.masterHashSize = static_cast<std::uint32_t>(layout.masterHashSize);
  std::uint64_t logical = 0;
  for (int i = 0; i < 3; ++i) {
    header.levels[i].logicalOffset = logical;
    header.levels[i].size = layout.levels[i].size;
    header.levels[i].blockLog2 = kIvfcBlockLog2;
    logical = AlignUp(logical + layout.levels[i].size, kIvfcBlockSize);
  }
  header.headerSize = kIvfcHeaderSize;
  return header;
}

// Where the levels of a RomFS of the given size lie, from its IVFC header.
Result<IvfcLayout> ParseIvfcHeader(const IvfcHeaderRecord& header, std::uint64_t size) {
  if (std::memcmp(header.magic, "IVFC", 4) != 0) return Status::Error("RomFS has no IVFC magic");
  if (header.magicNumber != kIvfcMagicNumber) return Status::Error("IVFC image is not a RomFS");
  IvfcLayout layout;
  layout.masterHashSize = header.masterHashSize;
  for (int i = 0; i < 3; ++i) {
    const std::uint32_t log2 = header.levels[i].blockLog2;
    if (log2 < 6 || log2 > 24) return Status::Error("IVFC level " + std::to_string(i + 1) + " block size out of range");
    layout.levels[i].blockSize = std::uint64_t{1} << log2;
    layout.levels[i].size = header.levels[i].size;
    if (layout.levels[i].size > size) return Status::Error("IVFC level " + std::to_string(i + 1) + " is larger than the RomFS");
  }
  IvfcLevel* l = layout.levels;
  l[2].offset = AlignUp(kIvfcMasterHashOffset + layout.masterHashSize, l[2].blockSize);
  l[0].offset = l[2].offset + AlignUp(l[2].size, l[2].blockSize);
  l[1].offset = l[0].offset + AlignUp(l[0].size, l[0].blockSize);
  layout.end = l[1].offset + AlignUp(l[1].size, l[1].blockSize);
  if (!InRange(0, l[2].offset + l[2].size, size)) return Status::Error("RomFS level 3 lies past the end of the RomFS");
  return layout;
}

// Hashes every block of `level` and compares it with the hash list that starts at
// hashesAt (absolute) in the file.
Status CheckLevel(InputFile& file, std::uint64_t base, const IvfcLevel& level, std::uint64_t hashesAt,
                  int levelNumber, RomFsHashMismatch* mismatch) {
  const std::uint64_t blocks = level.Blocks();
  const std::uint64_t perChunk = std::max<std::uint64_t>(1, kChunk / level.blockSize);
  std::vector<std::uint8_t> data;
  std::vector<std::uint8_t> hashes;
  Sha256 hasher;
  for (std::uint64_t first = 0; first < blocks; first += perChunk) {
    const std::uint64_t count = std::min(perChunk, blocks - first);
    data.resize(static_cast<std::size_t>(count * level.blockSize));
    hashes.resize(static_cast<std::size_t>(count * kHashSize));
    Status s = file.ReadAt(base + level.offset + first * level.blockSize, data.data(), data.size());
    if (!s) return s;
    s = file.ReadAt(hashesAt + first * kHashSize, hashes.data(), hashes.size());
    if (!s) return s;
    for (std::uint64_t i = 0; i < count; ++i) {
      hasher.Reset();
      hasher.Update(data.data() + i * level.blockSize, static_cast<std::size_t>(level.blockSize));
      const Sha256Digest digest = hasher.Final();
      if (std::memcmp(digest.data(), hashes.data() + i * kHashSize, kHashSize) != 0) {
        if (mismatch) *mismatch = {levelNumber, first + i};
        return Status::Error("RomFS level " + std::to_string(levelNumber) + " block " + std::to_string(first + i) +
                             " does not match its hash");
      }
    }
  }
  return Status::Ok();
}

}  // namespace

// ---------------------------------------------------------------- layout

IvfcLayout PlanIvfcLayout(std::uint64_t level3Size) {
  IvfcLayout layout;
  const std::uint64_t l2Size = kHashSize * ((level3Size + kIvfcBlockSize - 1) / kIvfcBlockSize);
  const std::uint64_t l1Size = kHashSize * ((l2Size + kIvfcBlockSize - 1) / kIvfcBlockSize);
  layout.masterHashSize = kHashSize * ((l1Size + kIvfcBlockSize - 1) / kIvfcBlockSize);
  layout.levels[0].size = l1Size;
  layout.levels[1].size = l2Size;
  layout.levels[2].size = level3Size;
  for (IvfcLevel& level : layout.levels) level.blockSize = kIvfcBlockSize;
  // Physical order is 3, 1, 2.
  layout.levels[2].offset = AlignUp(kIvfcMasterHashOffset + layout.masterHashSize, kIvfcBlockSize);
  layout.levels[0].offset = layout.levels[2].offset + AlignUp(level3Size, kIvfcBlockSize);
  layout.levels[1].offset = layout.levels[0].offset + AlignUp(l1Size, kIvfcBlockSize);
  layout.end = layout.levels[1].offset + AlignUp(l2Size, kIvfcBlockSize);
  return layout;
}

Result<IvfcLayout> ReadIvfcLayout(InputFile& file, std::uint64_t offset, std::uint64_t size) {
  if (!InRange(offset, size, file.size())) return Status::Error("RomFS lies past the end of the file");
  if (size < kIvfcMasterHashOffset) return Status::Error("RomFS is shorter than its IVFC header");
  std::array<std::uint8_t, sizeof(IvfcHeaderRecord)> raw{};
  Status s = file.ReadAt(offset, raw.data(), raw.size());
  if (!s) return s;
  return ParseIvfcHeader(*ReadLE<IvfcHeaderRecord>(raw, 0), size);
}

Result<IvfcLayout> ReadIvfcLayout(Reader& in, std::uint64_t offset, std::uint64_t size) {
  if (!InRange(offset, size, in.size())) return Status::Error("RomFS lies past the end of " + in.name());
  if (size < kIvfcMasterHashOffset) return Status::Error("RomFS is shorter than its IVFC header");
  IvfcHeaderRecord header{};
  Status s = in.ReadAt(offset, &header, sizeof(header));
  if (!s) return s;
  return ParseIvfcHeader(header, size);
}

// ---------------------------------------------------------------- writing

HashingWriter::HashingWriter(OutputFile& out, const IvfcLayout& layout) : out_(out), layout_(layout) {
  buffer_.reserve(kWriteChunk);
  l2Block_.reserve(kIvfcBlockSize);
}

Status HashingWriter::Append(const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const std::size_t n = std::min(size, kWriteChunk - buffer_.size());
    buffer_.insert(buffer_.end(), data, data + n);
    data += n;
    size -= n;
    if (buffer_.size() == kWriteChunk) {
      Status s = FlushChunk();
      if (!s) return s;
    }
  }
  return Status::Ok();
}

Status HashingWriter::AppendZeros(std::uint64_t count) {
  static const std::uint8_t kZeros[0x1000] = {};
  while (count > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, sizeof(kZeros)));
    Status s = Append(kZeros, n);
    if (!s) return s;
    count -= n;
  }
  return Status::Ok();
}

Status HashingWriter::AppendFile(InputFile& in, std::uint64_t size) {
  std::uint64_t offset = 0;
  while (offset < size) {
    const std::size_t room = kWriteChunk - buffer_.size();
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(room, size - offset));
    const std::size_t at = buffer_.size();
    buffer_.resize(at + n);
    Status s = in.ReadAt(offset, buffer_.data() + at, n);
    if (!s) return s;
    offset += n;
    if (buffer_.size() == kWriteChunk) {
      s = FlushChunk();
      if (!s) return s;
    }
  }
  return Status::Ok();
}

Status HashingWriter::Finish() {
  Status s = AppendZeros(AlignUp(written(), kIvfcBlockSize) - written());
  if (!s) return s;
  s = FlushChunk();
  if (!s) return s;
  if (!l2Block_.empty()) {
    l2Block_.resize(kIvfcBlockSize, 0);
    AddLevel2Block();
  }
  s = FlushLevel2();
  if (!s) return s;
  level1_.resize(static_cast<std::size_t>(AlignUp(level1_.size(), kIvfcBlockSize)), 0);
  // Level 1 follows level 3; the master hash covers it block by block.
  s = out_.Write(level1_.data(), level1_.size());
  if (!s) return s;
  std::vector<std::uint8_t> top(static_cast<std::size_t>(kIvfcMasterHashOffset + layout_.masterHashSize), 0);
  const IvfcHeaderRecord header = MakeIvfcHeader(layout_);
  std::memcpy(top.data(), &header, sizeof(header));
  for (std::size_t at = 0; at < level1_.size(); at += kIvfcBlockSize) {
    const Sha256Digest digest = Sha256::Of(level1_.data() + at, kIvfcBlockSize);
    std::memcpy(top.data() + kIvfcMasterHashOffset + at / kIvfcBlockSize * kHashSize, digest.data(), kHashSize);
  }
  return out_.WriteAt(0, top.data(), top.size());
}

Status HashingWriter::FlushChunk() {
  // Every level-3 block has a hash of its own: the second half of the chunk's blocks is hashed
  // on a second core while this one hashes the first.
  const std::size_t blocks = buffer_.size() / kIvfcBlockSize;
  digests_.resize(blocks);
  const auto hash = [this](Sha256& hasher, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
      hasher.Reset();
      hasher.Update(buffer_.data() + i * kIvfcBlockSize, kIvfcBlockSize);
      digests_[i] = hasher.Final();
    }
  };
  const std::size_t half = blocks / 2;
  auto second = std::async(std::launch::async, [&] { hash(secondHasher_, half, blocks); });
  hash(hasher_, 0, half);
  second.get();
  for (const Sha256Digest& digest : digests_) {
    l2Block_.insert(l2Block_.end(), digest.begin(), digest.end());
    if (l2Block_.size() == kIvfcBlockSize) AddLevel2Block();
  }
  Status s = out_.Write(buffer_.data(), buffer_.size());
  if (!s) return s;
  written_ += buffer_.size();
  buffer_.clear();
  if (l2Pending_.size() >= kLevel2Batch) return FlushLevel2();
  return Status::Ok();
}

void HashingWriter::AddLevel2Block() {
  hasher_.Reset();
  hasher_.Update(l2Block_.data(), l2Block_.size());
  const Sha256Digest digest = hasher_.Final();
  level1_.insert(level1_.end(), digest.begin(), digest.end());
  l2Pending_.insert(l2Pending_.end(), l2Block_.begin(), l2Block_.end());
  l2Block_.clear();
}

Status HashingWriter::FlushLevel2() {
  if (l2Pending_.empty()) return Status::Ok();
  Status s = out_.WriteAt(layout_.levels[1].offset + l2Written_, l2Pending_.data(), l2Pending_.size());
  if (!s) return s;
  l2Written_ += l2Pending_.size();
  l2Pending_.clear();
  return Status::Ok();
}

// ---------------------------------------------------------------- checking

RomFsLevelCheck::RomFsLevelCheck(InputFile& file, std::uint64_t offset, std::uint64_t size) {
  auto layout = ReadIvfcLayout(file, offset, size);
  if (!layout) {
    outcome_ = layout.status();
    return;
  }
  const IvfcLevel* l = layout->levels;
  outcome_ = CheckIvfcHashLevels(*layout, size);
  if (outcome_) outcome_ = CheckLevel(file, offset, l[0], offset + kIvfcMasterHashOffset, 1, &mismatch_);
  if (outcome_) outcome_ = CheckLevel(file, offset, l[1], offset + l[0].offset, 2, &mismatch_);
  if (!outcome_) return;
  // Only a header with tiny blocks asks for more hashes than this (those of an 8 GiB level 3 in
  // 4 KiB blocks); such a level 3 is checked here, block by block, rather than held in memory.
  constexpr std::uint64_t kMostHashesHeld = std::uint64_t{64} << 20;
  const std::uint64_t blocks = l[2].Blocks();
  if (kHashSize * blocks > kMostHashesHeld) {
    outcome_ = CheckLevel(file, offset, l[2], offset + l[1].offset, 3, &mismatch_);
    return;
  }
  auto hashes = file.ReadVector(offset + l[1].offset, kHashSize * blocks);
  if (!hashes) {
    outcome_ = hashes.status();
    return;
  }
  hashes_ = std::move(*hashes);
  blockSize_ = l[2].blockSize;
  level3_ = {offset + l[2].offset, blocks * blockSize_};
}

void RomFsLevelCheck::Update(const std::uint8_t* data, std::size_t size) {
  fed_ += size;
  // After a mismatch the rest goes unhashed: the first bad block is the one reported.
  while (size > 0 && outcome_ && block_ * kHashSize < hashes_.size()) {
    if (inBlock_ == 0) hasher_.Reset();
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, blockSize_ - inBlock_));
    hasher_.Update(data, n);
    data += n;
    size -= n;
    inBlock_ += n;
    if (inBlock_ < blockSize_) break;
    const Sha256Digest digest = hasher_.Final();
    if (std::memcmp(digest.data(), hashes_.data() + block_ * kHashSize, kHashSize) != 0) {
      mismatch_ = {3, block_};
      outcome_ = Status::Error("RomFS level 3 block " + std::to_string(block_) + " does not match its hash");
    }
    ++block_;
    inBlock_ = 0;
  }
}

Status RomFsLevelCheck::Finish(const Status& read, RomFsHashMismatch* mismatch) {
  if (outcome_ && !read) outcome_ = read;
  if (outcome_ && fed_ != level3_.size) outcome_ = Status::Error("RomFS level 3 was not read through");
  if (mismatch) *mismatch = mismatch_;
  return outcome_;
}

Status VerifyRomFs(InputFile& file, std::uint64_t offset, std::uint64_t size, RomFsHashMismatch* mismatch) {
  RomFsLevelCheck check(file, offset, size);
  const ByteRange level3 = check.Level3();
  std::vector<std::uint8_t> chunk(static_cast<std::size_t>(std::min<std::uint64_t>(level3.size, kChunk)));
  Status read = Status::Ok();
  for (std::uint64_t at = 0; at < level3.size && read;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), level3.size - at));
    read = file.ReadAt(level3.offset + at, chunk.data(), n);
    if (read) check.Update(chunk.data(), n);
    at += n;
  }
  return check.Finish(read, mismatch);
}

Status CheckIvfcHashLevels(const IvfcLayout& layout, std::uint64_t size) {
  const IvfcLevel* l = layout.levels;
  if (layout.end > size) return Status::Error("RomFS hash levels lie past the end of the RomFS");
  if (layout.masterHashSize < kHashSize * l[0].Blocks() || l[0].size < kHashSize * l[1].Blocks() ||
      l[1].size < kHashSize * l[2].Blocks()) {
    return Status::Error("RomFS hash levels are too small for the levels they cover");
  }
  return Status::Ok();
}

std::uint64_t RomFsHashRegionSize(std::uint32_t masterHashSize, std::uint64_t mediaUnit) {
  return AlignUp(kIvfcMasterHashOffset + std::uint64_t{masterHashSize}, mediaUnit);
}

Result<RomFsSuperblock> ReadRomFsSuperblock(InputFile& file, std::uint64_t offset, std::uint64_t size,
                                            std::uint64_t mediaUnit) {
  if (mediaUnit == 0) return Status::Error("media unit is zero");
  auto layout = ReadIvfcLayout(file, offset, size);
  if (!layout) return layout.status();
  RomFsSuperblock superblock;
  superblock.hashRegionSize = RomFsHashRegionSize(static_cast<std::uint32_t>(layout->masterHashSize), mediaUnit);
  if (superblock.hashRegionSize > size) return Status::Error("RomFS hash region lies past the end of the RomFS");
  Status s = HashRange(file, offset, superblock.hashRegionSize, superblock.hash);
  if (!s) return s;
  return superblock;
}

}  // namespace ctr
