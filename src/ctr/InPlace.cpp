#include "ctr/InPlace.h"

#include <algorithm>
#include <cstddef>
#include <set>

#include "ctr/Cia.h"
#include "ctr/Image.h"
#include "ctr/Ncch.h"
#include "ctr/Ncsd.h"
#include "ctr/RomFs.h"
#include "ctr/Sha256.h"

namespace ctr {

// ---------------------------------------------------------------- FileEditor

Status FileEditor::Open(const std::filesystem::path& path) {
  kept_.clear();
  return file_.Open(path);
}

void FileEditor::Close() {
  file_.Close();
  kept_.clear();
}

Status FileEditor::ReadAt(std::uint64_t offset, void* data, std::size_t size) { return file_.ReadAt(offset, data, size); }

std::string FileEditor::name() const { return PathText(file_.path()); }

Status FileEditor::WriteAt(std::uint64_t offset, const void* data, std::size_t size) {
  Kept kept{offset, std::vector<std::uint8_t>(size)};
  Status s = file_.ReadAt(offset, kept.bytes.data(), size);
  if (!s) return s;
  kept_.push_back(std::move(kept));
  return file_.WriteAt(offset, data, size);
}

Status FileEditor::Sync() { return file_.Sync(); }

Status FileEditor::Undo() {
  Status first;
  // Every piece is tried even after one fails: the less that stays changed, the better.
  for (auto it = kept_.rbegin(); it != kept_.rend(); ++it) {
    Status s = file_.WriteAt(it->offset, it->bytes.data(), it->bytes.size());
    if (!s && first) first = s;
  }
  Status s = file_.Sync();
  if (!s && first) first = s;
  if (first) kept_.clear();
  return first;
}

// ---------------------------------------------------------------- the edit

namespace {

constexpr std::uint64_t kHashSize = 0x20;
// A card image copies the NCCH header's bytes from 0x100 on into its own header at 0x1100.
constexpr std::uint64_t kNcsdCopiedFrom = 0x100;

// Where everything the hash update touches lies, found and checked before the first write.
struct EditPlan {
  ImageKind kind = ImageKind::Unknown;
  std::uint64_t ncch = 0;   // start of the main NCCH
  std::uint64_t romfs = 0;  // start of its RomFS
  std::uint64_t romfsHashRegion = 0;
  IvfcLayout layout;
  // CIA: the content that holds the NCCH, its chunk record and the info records over it.
  ByteRange content;
  std::size_t chunk = 0;
  std::vector<TmdContentChunk> chunks;
  std::vector<TmdContentInfo> infoRecords;
  std::vector<std::size_t> coveringRecords;  // info records whose hash covers the chunk
  std::uint64_t infoRecordsAt = 0;
  std::uint64_t chunksAt = 0;
  std::uint64_t infoRecordsHashAt = 0;
};

Result<EditPlan> PlanEdit(FileEditor& image, const std::vector<ImageEdit>& edits) {
  EditPlan plan;
  plan.kind = DetectImageKind(image);
  ByteRange main;
  switch (plan.kind) {
    case ImageKind::Cia: {
      auto cia = ReadCia(image);
      if (!cia) return cia.status();
      auto range = CiaMainContent(*cia, image.name());
      if (!range) return range.status();
      main = *range;
      plan.content = main;
      for (std::size_t i = 0; i < cia->contents.size(); ++i) {
        const CiaContent& c = cia->contents[i];
        if (c.present && c.index == 0 && c.offset == main.offset) plan.chunk = i;
      }
      plan.chunks = cia->chunks;
      plan.infoRecords = cia->infoRecords;
      plan.infoRecordsAt = cia->tmdBodyOffset + sizeof(TmdBody);
      plan.chunksAt = plan.infoRecordsAt + kTmdInfoRecordCount * sizeof(TmdContentInfo);
      plan.infoRecordsHashAt = cia->tmdBodyOffset + offsetof(TmdBody, infoRecordsHash);
      for (std::size_t i = 0; i < plan.infoRecords.size(); ++i) {
        const std::size_t first = plan.infoRecords[i].firstChunk.get(), count = plan.infoRecords[i].chunkCount.get();
        if (count == 0 || plan.chunk < first || plan.chunk - first >= count) continue;
        if (first + count > plan.chunks.size()) {
          return Status::Error(image.name() + ": a TMD info record covers contents the TMD does not list");
        }
        plan.coveringRecords.push_back(i);
      }
      break;
    }
    case ImageKind::Ncsd: {
      auto ncsd = ReadNcsd(image);
      if (!ncsd) return ncsd.status();
      main = ncsd->Partition(0);
      if (!main.present()) return Status::Error(image.name() + " has no partition 0");
      if (!InRange(kNcsdNcchCopyOffset, kNcchHeaderSize - kNcsdCopiedFrom, main.offset)) {
        return Status::Error(image.name() + ": partition 0 overlaps the card header");
      }
      break;
    }
    case ImageKind::Ncch:
      main = {0, image.size()};
      break;
    case ImageKind::Unknown:
      return Status::Error(image.name() + " is neither a CIA, a card image nor an NCCH");
  }

  WindowReader window(image, main.offset, main.size);
  auto ncch = ReadNcch(window);
  if (!ncch) return ncch.status();
  Status s = RequirePlain(*ncch, image.name());
  if (!s) return s;
  if (!ncch->romfs.present()) return Status::Error(image.name() + " has no RomFS");
  plan.ncch = main.offset;
  plan.romfs = main.offset + ncch->romfs.offset;
  plan.romfsHashRegion = ncch->romfsHashRegion;
  auto layout = ReadIvfcLayout(image, plan.romfs, ncch->romfs.size);
  if (!layout) return Status::Error(image.name() + ": " + layout.message());
  s = CheckIvfcHashLevels(*layout, ncch->romfs.size);
  if (!s) return Status::Error(image.name() + ": " + s.message());
  plan.layout = *layout;

  const IvfcLevel& l3 = plan.layout.levels[2];
  const std::uint64_t level3 = plan.romfs + l3.offset;
  for (const ImageEdit& edit : edits) {
    if (edit.offset < level3 || !InRange(edit.offset - level3, edit.bytes.size(), l3.size)) {
      return Status::Error(image.name() + ": a change at " + std::to_string(edit.offset) +
                           " lies outside the RomFS file system");
    }
  }
  return plan;
}

// Hashes the given blocks of one level and writes each hash to its place in the list at
// hashesAt (absolute); returns the blocks of that list, counted in parentBlockSize, that
// changed.
Result<std::set<std::uint64_t>> RehashBlocks(FileEditor& image, std::uint64_t levelAt, const IvfcLevel& level,
                                             std::uint64_t hashesAt, std::uint64_t parentBlockSize,
                                             const std::set<std::uint64_t>& blocks) {
  std::vector<std::uint8_t> data(static_cast<std::size_t>(level.blockSize));
  std::set<std::uint64_t> parents;
  for (std::uint64_t block : blocks) {
    Status s = image.ReadAt(levelAt + block * level.blockSize, data.data(), data.size());
    if (!s) return s;
    const Sha256Digest digest = Sha256::Of(data.data(), data.size());
    s = image.WriteAt(hashesAt + block * kHashSize, digest.data(), digest.size());
    if (!s) return s;
    parents.insert(block * kHashSize / parentBlockSize);
  }
  return parents;
}

Status WriteDigest(FileEditor& image, std::uint64_t at, const Sha256Digest& digest) {
  return image.WriteAt(at, digest.data(), digest.size());
}

// Everything after the planning: the edits, then each hash over them, level by level.
Status ApplyEdit(FileEditor& image, EditPlan& plan, const std::vector<ImageEdit>& edits) {
  const IvfcLevel* l = plan.layout.levels;
  const std::uint64_t level3 = plan.romfs + l[2].offset;
  std::set<std::uint64_t> blocks;
  for (const ImageEdit& edit : edits) {
    if (edit.bytes.empty()) continue;
    Status s = image.WriteAt(edit.offset, edit.bytes.data(), edit.bytes.size());
    if (!s) return s;
    const std::uint64_t first = (edit.offset - level3) / l[2].blockSize;
    const std::uint64_t last = (edit.offset - level3 + edit.bytes.size() - 1) / l[2].blockSize;
    for (std::uint64_t b = first; b <= last; ++b) blocks.insert(b);
  }
  if (blocks.empty()) return image.Sync();

  // Level 3 blocks are hashed into level 2, level 2 into level 1, level 1 into the master hash.
  auto level2 = RehashBlocks(image, level3, l[2], plan.romfs + l[1].offset, l[1].blockSize, blocks);
  if (!level2) return level2.status();
  auto level1 = RehashBlocks(image, plan.romfs + l[1].offset, l[1], plan.romfs + l[0].offset, l[0].blockSize, *level2);
  if (!level1) return level1.status();
  auto master = RehashBlocks(image, plan.romfs + l[0].offset, l[0], plan.romfs + kIvfcMasterHashOffset, 1, *level1);
  if (!master) return master.status();

  auto superblock = HashRange(image, plan.romfs, plan.romfsHashRegion);
  if (!superblock) return superblock.status();
  Status s = WriteDigest(image, plan.ncch + offsetof(NcchHeader, romfsHash), *superblock);
  if (!s) return s;
  if (plan.kind == ImageKind::Ncsd) {
    s = WriteDigest(image, kNcsdNcchCopyOffset + offsetof(NcchHeader, romfsHash) - kNcsdCopiedFrom, *superblock);
    if (!s) return s;
  }

  if (plan.kind == ImageKind::Cia) {
    auto content = HashRange(image, plan.content.offset, plan.content.size);
    if (!content) return content.status();
    TmdContentChunk& chunk = plan.chunks[plan.chunk];
    std::copy(content->begin(), content->end(), chunk.hash);
    s = WriteDigest(image, plan.chunksAt + plan.chunk * sizeof(TmdContentChunk) + offsetof(TmdContentChunk, hash),
                    *content);
    if (!s) return s;
    for (std::size_t i : plan.coveringRecords) {
      TmdContentInfo& info = plan.infoRecords[i];
      const Sha256Digest digest =
          Sha256::Of(plan.chunks.data() + info.firstChunk.get(), info.chunkCount.get() * sizeof(TmdContentChunk));
      std::copy(digest.begin(), digest.end(), info.hash);
      s = WriteDigest(image, plan.infoRecordsAt + i * sizeof(TmdContentInfo) + offsetof(TmdContentInfo, hash), digest);
      if (!s) return s;
    }
    s = WriteDigest(image, plan.infoRecordsHashAt,
                    Sha256::Of(plan.infoRecords.data(), plan.infoRecords.size() * sizeof(TmdContentInfo)));
    if (!s) return s;
  }
  return image.Sync();
}

}  // namespace

EditResult EditImageInPlace(FileEditor& image, const std::vector<ImageEdit>& edits) {
  auto plan = PlanEdit(image, edits);
  if (!plan) return {EditOutcome::Refused, plan.message()};
  const Status s = ApplyEdit(image, *plan, edits);
  if (s) return {};
  const Status undone = image.Undo();
  if (!undone) {
    return {EditOutcome::Damaged, s.message() + "; putting the old bytes back failed too: " + undone.message()};
  }
  return {EditOutcome::Undone, s.message()};
}

}  // namespace ctr
