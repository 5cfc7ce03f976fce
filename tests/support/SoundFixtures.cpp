#include "support/SoundFixtures.h"

#include "support/TempDir.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace qpt::test {

namespace {

std::size_t Align(std::size_t value, std::size_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

void PutU16(SoundBytes& bytes, std::size_t offset, std::uint16_t value) {
  if (offset + 2 > bytes.size()) throw std::out_of_range("fixture write past the end");
  bytes[offset] = static_cast<std::uint8_t>(value);
  bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void PutU32(SoundBytes& bytes, std::size_t offset, std::uint32_t value) {
  if (offset + 4 > bytes.size()) throw std::out_of_range("fixture write past the end");
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void PutText(SoundBytes& bytes, std::size_t offset, const std::string& text) {
  if (offset + text.size() > bytes.size()) throw std::out_of_range("fixture write past the end");
  std::memcpy(bytes.data() + offset, text.data(), text.size());
}

void Append(SoundBytes& to, const SoundBytes& bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

void PadTo(SoundBytes& bytes, std::size_t length) {
  if (bytes.size() < length) bytes.resize(length, 0);
}

// The common file header of the 3DS sound formats with its block table.
struct BlockRow {
  std::uint16_t type;
  std::uint32_t offset;
  std::uint32_t length;
};

SoundBytes FileHeader(const std::string& magic, std::uint32_t version, std::uint32_t fileLength,
                      const std::vector<BlockRow>& blocks) {
  SoundBytes header(0x40, 0);
  PutText(header, 0, magic);
  PutU16(header, 4, 0xFEFF);
  PutU16(header, 6, 0x40);
  PutU32(header, 8, version);
  PutU32(header, 0x0C, fileLength);
  PutU16(header, 0x10, static_cast<std::uint16_t>(blocks.size()));
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    PutU16(header, 0x14 + 12 * i, blocks[i].type);
    PutU32(header, 0x18 + 12 * i, blocks[i].offset);
    PutU32(header, 0x1C + 12 * i, blocks[i].length);
  }
  return header;
}

// A FILE block holding files at multiples of 32 from its start, then fill zero bytes.
SoundBytes FileBlock(const std::vector<SoundBytes>& files, std::size_t fill,
                     std::vector<std::uint32_t>* offsets) {
  SoundBytes block(0x20, 0);
  PutText(block, 0, "FILE");
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (i > 0) PadTo(block, Align(block.size(), 32));
    if (offsets) offsets->push_back(static_cast<std::uint32_t>(block.size()));
    Append(block, files[i]);
  }
  block.resize(block.size() + fill, 0);
  PutU32(block, 4, static_cast<std::uint32_t>(block.size()));
  return block;
}

const char kMinimalBase64[] =
    "Q1NBUv/+QAAAAAIC4AUAAAMAAAAAIAAAQAAAAKAAAAABIAAA4AAAAMABAAACIAAAoAIAAEADAAAA"
    "AAAAAAAAAFNUUkegAAAAACQAABAAAAABJAAARAAAAAIAAAABHwAAHAAAAAwAAAABHwAAKAAAAAwA"
    "AABTVFJNX0JHTTAwOABTVFJNX0JHTTAxMwAAAAAAAwAAAAAATwABAAAAAgAAAP//////////AQD/"
    "////////////AAAAAAAAAAEBAP////////////8BAAAAAQAAAQAAAAAAAAAAAAAAAAAAAABJTkZP"
    "wAEAAAAhAABAAAAABCEAAJwAAAABIQAAoAAAAAMhAACkAAAABSEAANAAAAACIQAA1AAAAAYhAADo"
    "AAAACyIAAJQBAAACAAAAACIAABQAAAAAIgAAOAAAAAIAAAAAAAAEfwAAAAEiAAAcAAAAAQAAAAAA"
    "AAABAAIAAAAAAAMAAAAAAAAEfwAAAAEiAAAcAAAAAQAAAAEAAAABAAIAAAAAAAAAAAAAAAAAAgAA"
    "AAciAAAUAAAAByIAACAAAAAAAAAAAAAAAAAAAAABAAAAAAAAAAAAAAAAAAAAAQAAAAkiAAAMAAAA"
    "AQAAAAAAAAAEAAAACiIAACQAAAAKIgAAPAAAAAoiAABUAAAACiIAAIAAAAAMIgAADAAAAAAAAAAA"
    "HwAAGAAAAOABAAAMIgAADAAAAAAAAAAAHwAA+AEAAEABAAANIgAADAAAAAAAAABzdHJlYW0vQkdN"
    "MDA4LmRzcGFkcGNtLmJjc3RtAAAAAA0iAAAMAAAAAAAAAHN0cmVhbS9CR00wMTMuZHNwYWRwY20u"
    "YmNzdG0AAAAAAAAAAAIAAQACAAAAAAABAAAAAAAAAAAAAAAAAAAAAAAAAAAARklMRUADAAAAAAAA"
    "AAAAAAAAAAAAAAAAAAAAAAAAAABDV0FS//5AAAAAAAHgAQAAAgAAAABoAABAAAAAQAAAAAFoAACA"
    "AAAAYAEAAAAAAAAAAAAAAAAAAAAAAAAAAAAASU5GT0AAAAACAAAAAB8AABgAAACgAAAAAB8AALgA"
    "AACgAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAEZJTEVgAQAAAAAAAAAAAAAAAAAAAAAA"
    "AAAAAAAAAAAAQ1dBVv/+QAAAAAECoAAAAAIAAAAAcAAAQAAAACAAAAABcAAAYAAAAEAAAAAAAAAA"
    "AAAAAAAAAAAAAAAAAAAAAElORk8gAAAAAAAAAAB9AAAAAAAACAAAAAAAAAAAAAAAREFUQUAAAAAA"
    "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAQEBAQEBAQEAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAENX"
    "QVb//kAAAAABAqAAAAACAAAAAHAAAEAAAAAgAAAAAXAAAGAAAABAAAAAAAAAAAAAAAAAAAAAAAAA"
    "AAAAAABJTkZPIAAAAAAAAAAAfQAAAAAAABgAAAAAAAAAAAAAAERBVEFAAAAAAAAAAAAAAAAAAAAA"
    "AAAAAAAAAAAAAAAAICAgICAgICAgICAgICAgICAgICAgICAgAAAAAAAAAABDV0FS//5AAAAAAAFA"
    "AQAAAgAAAABoAABAAAAAIAAAAAFoAABgAAAA4AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAASU5GTyAA"
    "AAABAAAAAB8AABgAAADAAAAAAAAAAAAAAABGSUxF4AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"
    "AENXQVb//kAAAAABAsAAAAACAAAAAHAAAEAAAAAgAAAAAXAAAGAAAABgAAAAAAAAAAAAAAAAAAAA"
    "AAAAAAAAAABJTkZPIAAAAAAAAAAAfQAAAAAAACgAAAAAAAAAAAAAAERBVEFgAAAAAAAAAAAAAAAA"
    "AAAAAAAAAAAAAAAAAAAAMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMAAA"
    "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAA==";

SoundBytes DecodeBase64(const char* text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  SoundBytes out;
  std::uint32_t bits = 0;
  int count = 0;
  for (const char* p = text; *p != '\0' && *p != '='; ++p) {
    const int v = value(*p);
    if (v < 0) throw std::invalid_argument("bad base64");
    bits = (bits << 6) | static_cast<std::uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<std::uint8_t>(bits >> count));
    }
  }
  return out;
}

}  // namespace

const char* const kMinimalSoundArchiveSha256 =
    "21cb58f866fc48ed0c0cb01fbdb3eed1dcb22508a511338e50f45c7b6963d4fc";

SoundBytes MinimalSoundArchive() { return DecodeBase64(kMinimalBase64); }

std::uint32_t ReadSoundU32(const SoundBytes& bytes, std::size_t offset) {
  if (offset + 4 > bytes.size()) throw std::out_of_range("fixture read past the end");
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | bytes[offset + i];
  return value;
}

SoundBytes MakeWave(std::size_t length, std::uint32_t seed) {
  SoundBytes wave = PatternBytes(length, seed);
  if (length >= 0x10) {
    PutText(wave, 0, "CWAV");
    PutU16(wave, 4, 0xFEFF);
    PutU16(wave, 6, 0x40);
    PutU32(wave, 8, 0x02010000);
    PutU32(wave, 0x0C, static_cast<std::uint32_t>(length));
  }
  return wave;
}

std::vector<SoundBytes> OddLengthWaves(std::size_t count, std::uint32_t seed) {
  std::vector<SoundBytes> waves;
  for (std::size_t i = 0; i < count; ++i) {
    waves.push_back(MakeWave(0x21 + 2 * (i % 251), seed * 7919u + static_cast<std::uint32_t>(i)));
  }
  return waves;
}

SoundBytes MakeSoundFile(const std::string& magic, std::size_t length, std::uint32_t seed) {
  if (magic.size() != 4 || length < 0x10) throw std::invalid_argument("bad contained file");
  SoundBytes file = PatternBytes(length, seed);
  PutText(file, 0, magic);
  PutU16(file, 4, 0xFEFF);
  PutU16(file, 6, 0x20);
  PutU32(file, 8, 0x01000000);
  PutU32(file, 0x0C, static_cast<std::uint32_t>(length));
  return file;
}

SoundBytes BuildWaveArchive(const std::vector<SoundBytes>& waves, std::size_t fillAfterLastWave) {
  std::vector<std::uint32_t> offsets;
  const SoundBytes file = FileBlock(waves, fillAfterLastWave, &offsets);
  SoundBytes info(Align(0x0C + 12 * waves.size(), 32), 0);
  PutText(info, 0, "INFO");
  PutU32(info, 4, static_cast<std::uint32_t>(info.size()));
  PutU32(info, 8, static_cast<std::uint32_t>(waves.size()));
  for (std::size_t i = 0; i < waves.size(); ++i) {
    PutU16(info, 0x0C + 12 * i, 0x1F00);
    PutU32(info, 0x10 + 12 * i, offsets[i] - 8);
    PutU32(info, 0x14 + 12 * i, static_cast<std::uint32_t>(waves[i].size()));
  }
  const auto infoOffset = static_cast<std::uint32_t>(0x40);
  const auto fileOffset = static_cast<std::uint32_t>(0x40 + info.size());
  const auto total = static_cast<std::uint32_t>(fileOffset + file.size());
  SoundBytes archive = FileHeader("CWAR", 0x01000000, total,
                                  {{0x6800, infoOffset, static_cast<std::uint32_t>(info.size())},
                                   {0x6801, fileOffset, static_cast<std::uint32_t>(file.size())}});
  Append(archive, info);
  Append(archive, file);
  return archive;
}

BuiltSoundArchive BuildSoundArchive(const SoundArchiveFixture& fixture) {
  BuiltSoundArchive built;
  const std::size_t internalCount = fixture.files.size();
  const std::size_t groupCount = fixture.groupOnlyFiles;
  const std::size_t streamCount = fixture.streams.size();
  const std::size_t entryCount = internalCount + groupCount + streamCount;

  // INFO: 8 section references at 0x08, six empty sections, the file table at 0x60, the
  // internal entries after it, the archive player info, and the stream entries wherever their
  // name fields must lie. Unused bytes are filler, so that a misplaced copy shows.
  constexpr std::size_t kTable = 0x60;
  const std::size_t tableEnd = kTable + 4 + 8 * entryCount;
  const std::size_t playerInfo = tableEnd + 0x18 * (internalCount + groupCount);
  const std::size_t sequentialEnd = playerInfo + 0x14;

  struct Placed {
    std::size_t entry;
    std::size_t end;
    std::size_t index;
  };
  std::vector<Placed> placed;
  for (std::size_t i = 0; i < streamCount; ++i) {
    const StreamNameField& s = fixture.streams[i];
    if (s.fieldOffset % 4 != 3 || s.fieldOffset < 7 + 0x0C) {
      throw std::invalid_argument("stream field offset must be 3 mod 4");
    }
    const std::size_t entry = s.fieldOffset - 7 - 0x0C;
    placed.push_back({entry, entry + 0x0C + Align(7 + s.name.size() + 1, 4), i});
  }
  std::sort(placed.begin(), placed.end(), [](const Placed& a, const Placed& b) { return a.entry < b.entry; });
  std::size_t end = sequentialEnd;
  for (const Placed& p : placed) {
    if (p.entry < end) throw std::invalid_argument("stream fields overlap");
    end = p.end;
  }
  const std::size_t infoLength = Align(std::max(end, fixture.minInfoLength), 32);

  SoundBytes info = PatternBytes(infoLength, 0x1F0);
  PutText(info, 0, "INFO");
  PutU32(info, 4, static_cast<std::uint32_t>(infoLength));
  const std::uint16_t sectionTypes[8] = {0x2100, 0x2104, 0x2101, 0x2103, 0x2105, 0x2102, 0x2106, 0x220B};
  for (std::size_t i = 0; i < 8; ++i) {
    std::size_t target = 0x48 + 4 * i;  // the six empty sections
    if (sectionTypes[i] == 0x2106) target = kTable;
    if (sectionTypes[i] == 0x220B) target = playerInfo;
    PutU32(info, 0x08 + 8 * i, sectionTypes[i]);
    PutU32(info, 0x0C + 8 * i, static_cast<std::uint32_t>(target - 8));
    if (i < 6) PutU32(info, target, 0);
  }
  std::fill(info.begin() + static_cast<std::ptrdiff_t>(playerInfo),
            info.begin() + static_cast<std::ptrdiff_t>(sequentialEnd), 0);
  PutU16(info, playerInfo + 4, static_cast<std::uint16_t>(streamCount));

  built.fileTable = kTable;
  PutU32(info, kTable, static_cast<std::uint32_t>(entryCount));
  std::size_t ref = kTable + 4;
  std::size_t next = tableEnd;
  auto addRef = [&](std::size_t entry) {
    PutU32(info, ref, 0x220A);
    PutU32(info, ref + 4, static_cast<std::uint32_t>(entry - kTable));
    ref += 8;
  };
  auto putInternal = [&](std::size_t entry, std::uint32_t offset, std::uint32_t length) {
    PutU32(info, entry, 0x220C);
    PutU32(info, entry + 4, 0x0C);
    PutU32(info, entry + 8, 0);
    PutU32(info, entry + 0x0C, 0x1F00);
    PutU32(info, entry + 0x10, offset);
    PutU32(info, entry + 0x14, length);
  };

  std::vector<std::uint32_t> dataOffsets;
  const SoundBytes file = FileBlock(fixture.files, fixture.fillAfterLastFile, &dataOffsets);
  built.fileOffsets = dataOffsets;
  std::vector<std::size_t> streamEntry(streamCount);
  for (const Placed& p : placed) streamEntry[p.index] = p.entry;
  for (std::size_t i = 0; i < std::max({internalCount, groupCount, streamCount}); ++i) {
    if (i < internalCount) {
      putInternal(next, dataOffsets[i] - 8, static_cast<std::uint32_t>(fixture.files[i].size()));
      built.fileEntries.push_back(static_cast<std::uint32_t>(next));
      addRef(next);
      next += 0x18;
    }
    if (i < groupCount) {
      putInternal(next, 0xFFFFFFFFu, 0xFFFFFFFFu);
      built.groupOnlyEntries.push_back(static_cast<std::uint32_t>(next));
      addRef(next);
      next += 0x18;
    }
    if (i < streamCount) {
      const std::size_t entry = streamEntry[i];
      const std::string path = "stream/" + fixture.streams[i].name;
      const std::size_t pathEnd = entry + 0x0C + Align(path.size() + 1, 4);
      std::fill(info.begin() + static_cast<std::ptrdiff_t>(entry),
                info.begin() + static_cast<std::ptrdiff_t>(pathEnd), 0);
      PutU32(info, entry, 0x220D);
      PutU32(info, entry + 4, 0x0C);
      PutText(info, entry + 0x0C, path);
      built.streamEntries.push_back(static_cast<std::uint32_t>(entry));
      addRef(entry);
    }
  }

  SoundBytes strg = PatternBytes(Align(std::max<std::size_t>(fixture.strgLength, 0x20), 32), 0x5A);
  PutText(strg, 0, "STRG");
  PutU32(strg, 4, static_cast<std::uint32_t>(strg.size()));

  built.strgOffset = 0x40;
  built.strgLength = static_cast<std::uint32_t>(strg.size());
  built.infoOffset = static_cast<std::uint32_t>(built.strgOffset + strg.size());
  built.infoLength = static_cast<std::uint32_t>(info.size());
  built.fileOffset = static_cast<std::uint32_t>(built.infoOffset + info.size());
  built.fileLength = static_cast<std::uint32_t>(file.size());
  const auto total = static_cast<std::uint32_t>(built.fileOffset + file.size());
  built.bytes = FileHeader("CSAR", 0x02020000, total,
                           {{0x2000, built.strgOffset, built.strgLength},
                            {0x2001, built.infoOffset, built.infoLength},
                            {0x2002, built.fileOffset, built.fileLength}});
  Append(built.bytes, strg);
  Append(built.bytes, info);
  Append(built.bytes, file);
  return built;
}

std::string ContainedPieceName(std::size_t index, const std::string& magic) {
  char number[32];
  std::snprintf(number, sizeof(number), "%.3zu", index);
  return std::string(number) + "_FILE_" + magic + ".bin";
}

std::string WavePieceName(std::size_t index) {
  char number[32];
  std::snprintf(number, sizeof(number), "%.3zu", index);
  return std::string(number) + ".bcwav";
}

const std::vector<std::uint32_t>& SlotOffsetsAAT() {
  static const std::vector<std::uint32_t> offsets = {
      0xCF53, 0xD73B, 0xDCBB, 0xD003, 0xD5DB, 0xDCE7, 0xCF7F, 0xD65F, 0xDD13, 0xCECF, 0xD633, 0xD633,
      0xCEA3, 0xD607, 0xDD6B, 0xCFAB, 0xD68B, 0xDD3F, 0xCE4B, 0xD6B7, 0xDDC3, 0xD163, 0xD767, 0xDD97,
      0xCE77, 0xD6E3, 0xDDEF, 0xD18F, 0xD557, 0xDE47, 0xCFD7, 0xD89B, 0xDFFF, 0xE20F};
  return offsets;
}

const std::vector<std::uint32_t>& SlotOffsetsAA4() {
  static const std::vector<std::uint32_t> offsets = {
      0xA4F7, 0xA5E7, 0xA097, 0xA60F, 0xA0BF, 0xA637, 0xA0E7, 0xA687, 0x9F37, 0xA74F, 0x9F0B,
      0xA65F, 0x9F63, 0xA6AF, 0xA10F, 0xA6FF, 0x9FBB, 0xA6D7, 0xA3DF, 0xA727, 0xA407, 0xA777};
  return offsets;
}

std::string GameSoundArchive::VoicePieceName() const { return ContainedPieceName(voiceIndex, "CWAR"); }

std::string GameSoundArchive::VoiceFolderName() const {
  const std::string name = VoicePieceName();
  return name.substr(0, name.size() - 4);
}

GameSoundArchive BuildGameSoundArchive(const std::string& gameCode, std::size_t voiceWaveCount) {
  GameSoundArchive game;
  game.gameCode = gameCode;
  std::size_t fileCount = 0;
  if (gameCode == "AAT") {
    game.soundFolder = "GS123";
    game.voiceIndex = 1;
    fileCount = 6;
    game.slotOffsets = SlotOffsetsAAT();
    // Rows of the music grid (scene kinds) by columns 2001, 2002, 2004; then the menu.
    game.slotKeys = {"BGM008", "BGM077", "BGM117", "BGM013", "BGM069", "BGM118", "BGM010",
                     "BGM072", "BGM119", "BGM005", "BGM071", "BGM071", "BGM004", "BGM070",
                     "BGM121", "BGM011", "BGM073", "BGM120", "BGM002", "BGM074", "BGM123",
                     "BGM024", "BGM078", "BGM122", "BGM003", "BGM075", "BGM124", "BGM025",
                     "BGM065", "BGM126", "BGM012", "BGM088", "BGM137", "BGM200"};
    game.fixture.minInfoLength = 0xE400;
  } else if (gameCode == "AA4") {
    game.soundFolder = "GSB43DS";
    game.voiceIndex = 86;
    fileCount = 90;
    game.slotOffsets = SlotOffsetsAA4();
    // Rows of the music grid by columns 2007, 2001.
    game.slotKeys = {"BGM39", "BGM45", "BGM01", "BGM46",     "BGM02", "BGM47", "BGM04", "BGM49",
                     "BGM05DS", "BGM54", "BGM03DS", "BGM48", "BGM07DS_A", "BGM50", "BGM09", "BGM52",
                     "BGM08DS_A", "BGM51", "BGM32", "BGM53", "BGM33", "BGM55"};
    game.fixture.minInfoLength = 0xA800;
  } else {
    throw std::invalid_argument("no sound archive for game " + gameCode);
  }

  game.voiceWaves = OddLengthWaves(voiceWaveCount, 0xC0DE);
  static const char* const kOtherKinds[] = {"CSEQ", "CBNK", "CWSD", "CGRP"};
  for (std::size_t i = 0; i < fileCount; ++i) {
    const auto seed = static_cast<std::uint32_t>(i + 1);
    if (i == game.voiceIndex) {
      game.fixture.files.push_back(BuildWaveArchive(game.voiceWaves));
    } else if (i % 3 == 0) {
      game.fixture.files.push_back(BuildWaveArchive(OddLengthWaves(1 + i % 4, seed)));
    } else {
      game.fixture.files.push_back(MakeSoundFile(kOtherKinds[i % 4], 0x31 + (i * 26) % 0xC0, seed));
    }
  }
  for (std::size_t s = 0; s < game.slotOffsets.size(); ++s) {
    const bool shared = std::find(game.slotOffsets.begin(), game.slotOffsets.begin() + static_cast<std::ptrdiff_t>(s),
                                  game.slotOffsets[s]) != game.slotOffsets.begin() + static_cast<std::ptrdiff_t>(s);
    if (!shared) game.fixture.streams.push_back({game.slotOffsets[s], game.slotKeys[s] + ".dspadpcm.bcstm"});
  }
  game.archive = BuildSoundArchive(game.fixture);
  return game;
}

}  // namespace qpt::test
