// Split and join of the wave archives (CWAR) kept inside the sound archive: header, INFO block
// and one piece per wave, joined back with every wave's place in the INFO entries renewed.
#include "core/sound/N3DSBCSAR.h"

#include <fstream>
#include <istream>
#include <ostream>
#include <system_error>

#include "core/common/Common.h"
#include "core/sound/ArchivePieces.h"

namespace qpt {

namespace fs = std::filesystem;
using namespace pieces;

namespace {

constexpr std::uint64_t kCwarWaveCountField = 0x08;
constexpr std::uint64_t kCwarFirstWaveEntry = 0x0C;

#pragma pack(push, 1)
// Header of a wave archive at its offset 0, up to the end of its INFO/FILE block table.
struct TCwarHeader {
  char magic[4];
  std::uint16_t byteOrder;
  std::uint16_t headerLength;
  std::uint32_t version;
  std::uint32_t archiveLength;
  std::uint16_t blockCount;
  std::uint16_t reserved;
  TBlockRef info;
  TBlockRef file;
};
static_assert(sizeof(TCwarHeader) == 0x2C);

// One wave entry of a wave archive's INFO block, from INFO + 0x0C.
struct TCwarWaveEntry {
  std::uint32_t typeAndFill;
  std::uint32_t offset;  // from FILE + 8
  std::uint32_t length;
};
static_assert(sizeof(TCwarWaveEntry) == 12);
#pragma pack(pop)

struct TCwarSplit {
  TCwarHeader header;
  Bytes info;
  std::vector<TCwarWaveEntry> waves;
};

// Reads and checks everything the wave split needs before a single piece is written.
std::optional<TCwarSplit> ReadCwarLayout(std::istream& archive, std::uint64_t size) {
  TCwarSplit split;
  const auto header = ReadStructAt<TCwarHeader>(archive, size, 0);
  if (!header) return std::nullopt;
  split.header = *header;
  if (header->headerLength < sizeof(TCwarHeader) || header->headerLength > size) return std::nullopt;
  if (!ctr::InRange(header->info.offset, header->info.length, size)) return std::nullopt;
  split.info.resize(header->info.length);
  if (!ReadAt(archive, size, header->info.offset, split.info.data(), split.info.size())) {
    return std::nullopt;
  }
  const auto count = ReadStructAt<std::uint32_t>(split.info, kCwarWaveCountField);
  if (!count) return std::nullopt;
  if (!ctr::InRange(kCwarFirstWaveEntry, std::uint64_t{*count} * sizeof(TCwarWaveEntry),
                    split.info.size())) {
    return std::nullopt;
  }
  const std::uint64_t data = std::uint64_t{header->file.offset} + kFileDataBase;
  for (std::uint64_t i = 0; i < *count; ++i) {
    const auto wave = ReadStructAt<TCwarWaveEntry>(split.info, kCwarFirstWaveEntry + i * sizeof(TCwarWaveEntry));
    if (!wave || !ctr::InRange(data + wave->offset, wave->length, size)) return std::nullopt;
    split.waves.push_back(*wave);
  }
  return split;
}

}  // namespace

int UnpackCwar(const fs::path& archive, const fs::path& folder, ctr::Status* writeFailure) {
  const fs::path target = folder.empty() ? ArchivePieceFolder(archive) : folder;
  if (target.empty()) return -1;
  if (!FolderExists(target)) {
    if (const ctr::Status created = CreatePieceFolder(target); !created) return Failed(created, writeFailure);
  }
  std::ifstream in(archive, std::ios::binary);
  if (!in) return -1;
  return SplitCwar(in, target, writeFailure);
}

int SplitCwar(std::istream& archive, const fs::path& folder, ctr::Status* writeFailure) {
  const auto size = StreamSize(archive);
  if (!size) return -1;
  const auto split = ReadCwarLayout(archive, *size);
  if (!split) return -1;

  if (const ctr::Status s = CopyRangeToFile(archive, *size, 0, split->header.headerLength, folder / "1_CWAR_Header.bin");
      !s) {
    return Failed(s, writeFailure);
  }
  if (const ctr::Status s = WriteBytesToFile(split->info, folder / "2_CWAR_INFO.bin"); !s) return Failed(s, writeFailure);
  const fs::path waveFolder = folder / "3_BCWAV";
  std::error_code ec;
  if (fs::exists(fs::symlink_status(waveFolder, ec)) && !DeleteFolder(waveFolder)) return -1;
  if (const ctr::Status created = CreatePieceFolder(waveFolder); !created) return Failed(created, writeFailure);
  const std::uint64_t data = std::uint64_t{split->header.file.offset} + kFileDataBase;
  for (std::size_t i = 0; i < split->waves.size(); ++i) {
    const TCwarWaveEntry& wave = split->waves[i];
    if (const ctr::Status s = CopyRangeToFile(archive, *size, data + wave.offset, wave.length,
                                              waveFolder / PathFromUtf8(PieceNumber(i) + ".bcwav"));
        !s) {
      return Failed(s, writeFailure);
    }
  }
  return 0;
}

int PackCwar(const fs::path& folder, ctr::Status* writeFailure) {
  const fs::path target = JoinTarget(folder, ".bin");
  if (target.empty() || !FolderExists(folder)) return -1;
  return WriteReplacing(target, [&](std::ostream& out) { return BuildCwar(out, folder); }, writeFailure);
}

int BuildCwar(std::ostream& output, const fs::path& folder) {
  auto header = LoadPiece(folder / "1_CWAR_Header.bin");
  auto info = LoadPiece(folder / "2_CWAR_INFO.bin");
  if (!header || !info) return -1;
  auto fields = ReadStructAt<TCwarHeader>(*header, 0);
  const auto head = ReadStructAt<TBlockHead>(*info, 0);
  const auto count = ReadStructAt<std::uint32_t>(*info, kCwarWaveCountField);
  if (!fields || !head || !HasMagic(head->magic, "INFO") || !count) return -1;
  if (!ctr::InRange(kCwarFirstWaveEntry, std::uint64_t{*count} * sizeof(TCwarWaveEntry), info->size())) {
    return -1;
  }

  auto waves = ListPieces(folder / "3_BCWAV", ".bcwav");
  // Every entry needs its wave; a short folder would leave entries pointing at nothing.
  if (!waves || waves->size() < *count) return -1;
  waves->resize(*count);
  auto layout = LayOutFileBlock(std::move(*waves));
  if (!layout) return -1;
  for (std::uint64_t i = 0; i < *count; ++i) {
    const std::uint64_t at = kCwarFirstWaveEntry + i * sizeof(TCwarWaveEntry);
    auto entry = ReadStructAt<TCwarWaveEntry>(*info, at);
    if (!entry) return -1;
    entry->offset = layout->offsets[i];
    entry->length = static_cast<std::uint32_t>(layout->pieces[i].length);
    PutStructAt(*info, at, *entry);
  }

  const std::uint64_t infoOffset = header->size();
  const std::uint64_t fileOffset = infoOffset + info->size();
  const std::uint64_t total = fileOffset + layout->length;
  if (total > kMaxField) return -1;
  fields->info.offset = static_cast<std::uint32_t>(infoOffset);
  fields->info.length = static_cast<std::uint32_t>(info->size());
  fields->file.offset = static_cast<std::uint32_t>(fileOffset);
  fields->file.length = static_cast<std::uint32_t>(layout->length);
  fields->archiveLength = static_cast<std::uint32_t>(total);
  PutStructAt(*header, 0, *fields);

  if (!WriteBytes(output, *header) || !WriteBytes(output, *info)) return -1;
  return WriteFileBlock(output, *layout) ? 0 : -1;
}

}  // namespace qpt
