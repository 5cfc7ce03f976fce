// Builders for synthetic sound archives (CSAR) and wave archives (CWAR), laid out as the
// games' own writer lays them out: blocks back to back and padded to 32 bytes, contained
// files and waves at multiples of 32 from the FILE block start, no fill after the last one
// unless asked for. No game data is involved; every byte is made here.
//
// Typical use:
//   auto game = BuildGameSoundArchive("AA4");            // voice archive at file 86
//   WriteFile(dir / game.soundFolder + ".bcsar", game.archive.bytes);
//   ... game.slotOffsets[s] is where slot s's stream name sits inside the INFO block ...
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qpt::test {

using SoundBytes = std::vector<std::uint8_t>;

// A CWAV-shaped wave: magic "CWAV", byte-order mark, header length 0x40, version, its own
// length at 0x0C, then filler bytes. Lengths below 0x10 give filler bytes only.
SoundBytes MakeWave(std::size_t length, std::uint32_t seed);

// count waves of odd lengths (never a multiple of 32, so every fill shows); the lengths
// run 0x21, 0x23, ... and repeat after 251 waves.
std::vector<SoundBytes> OddLengthWaves(std::size_t count, std::uint32_t seed = 1);

// Any other file kept in a sound archive (sequence, bank, group, ...): the four-letter magic,
// its length at 0x0C, filler bytes. length must be at least 0x10.
SoundBytes MakeSoundFile(const std::string& magic, std::size_t length, std::uint32_t seed);

// A wave archive holding waves in entry order: header 0x40, INFO (entry count, one
// {0x1F00, offset from FILE + 8, length} per wave, padded to 32), FILE ("FILE", length, zeros
// to 0x20, the waves), followed by fillAfterLastWave zero bytes inside the FILE block.
SoundBytes BuildWaveArchive(const std::vector<SoundBytes>& waves, std::size_t fillAfterLastWave = 0);

// An external stream file of the sound archive whose name field lies at a fixed INFO offset,
// as the music slots expect: the entry's path is "stream/" + name, and fieldOffset is where
// name begins, counted from the INFO block start. fieldOffset % 4 must be 3 (paths start at
// multiples of 4 and "stream/" has 7 characters).
struct StreamNameField {
  std::uint32_t fieldOffset = 0;
  std::string name;  // for example "BGM008.dspadpcm.bcstm"
};

// What a sound archive holds.
struct SoundArchiveFixture {
  std::vector<SoundBytes> files;          // contained files, in FILE block order
  std::vector<StreamNameField> streams;   // external files, each at its field offset
  std::size_t groupOnlyFiles = 0;         // internal file entries with offset and length -1
  std::size_t minInfoLength = 0;          // the INFO block is filled up to at least this
  std::size_t strgLength = 0xA0;          // STRG block length (rounded up to 32)
  std::size_t fillAfterLastFile = 0;      // zero bytes after the last contained file
};

// The archive and where its parts are, for checks.
struct BuiltSoundArchive {
  SoundBytes bytes;
  std::uint32_t strgOffset = 0, infoOffset = 0, fileOffset = 0;
  std::uint32_t strgLength = 0, infoLength = 0, fileLength = 0;
  std::uint32_t fileTable = 0;                // T, from the INFO start
  std::vector<std::uint32_t> fileEntries;     // INFO offsets of the internal entries, FILE order
  std::vector<std::uint32_t> groupOnlyEntries;  // INFO offsets of the group-only entries
  std::vector<std::uint32_t> streamEntries;   // INFO offsets of the external entries
  std::vector<std::uint32_t> fileOffsets;     // each contained file, from the FILE block start
};

// Builds the archive. The file table lists its entries interleaved (internal file i, then
// group-only entry i, then stream i), so that entries of other kinds sit between internal
// ones. Throws std::invalid_argument when stream fields overlap each other or the tables.
BuiltSoundArchive BuildSoundArchive(const SoundArchiveFixture& fixture);

// Reads a little-endian 32-bit number of bytes at offset (throws when outside).
std::uint32_t ReadSoundU32(const SoundBytes& bytes, std::size_t offset);

// Piece names as the split writes them: "001_FILE_CWAR.bin", "007.bcwav".
std::string ContainedPieceName(std::size_t index, const std::string& magic);
std::string WavePieceName(std::size_t index);

// Per-slot offsets of the stream-name fields in the INFO block of the trilogy ("AAT", 34
// slots; slots 10 and 11 share one field) and of the fourth game ("AA4", 22 slots).
const std::vector<std::uint32_t>& SlotOffsetsAAT();
const std::vector<std::uint32_t>& SlotOffsetsAA4();

// A sound archive shaped like a game's: the voice wave archive at the game's file index
// (1 for "AAT", 86 for "AA4") with voiceWaveCount waves of odd lengths, other contained files
// of several kinds around it, an INFO block of the game's size, and at every slot's field
// the name "<key>.dspadpcm.bcstm" of the track the game plays there.
struct GameSoundArchive {
  std::string gameCode;                  // "AAT" or "AA4"
  std::string soundFolder;               // "GS123" or "GSB43DS", the archive's file name stem
  std::size_t voiceIndex = 0;            // index of the voice wave archive among the files
  std::vector<SoundBytes> voiceWaves;    // the waves of the voice wave archive, entry order
  std::vector<std::uint32_t> slotOffsets;  // per slot
  std::vector<std::string> slotKeys;     // per slot, the key of the stream named there
  SoundArchiveFixture fixture;
  BuiltSoundArchive archive;

  std::string VoicePieceName() const;    // "001_FILE_CWAR.bin" / "086_FILE_CWAR.bin"
  std::string VoiceFolderName() const;   // the same without ".bin"
};
GameSoundArchive BuildGameSoundArchive(const std::string& gameCode, std::size_t voiceWaveCount = 12);

// A small sound archive made independently of these builders (0x5E0 bytes: two stream
// sounds, two wave archives with three waves in all); its SHA-256 is
// kMinimalSoundArchiveSha256 (lower-case hexadecimal).
SoundBytes MinimalSoundArchive();
extern const char* const kMinimalSoundArchiveSha256;

}  // namespace qpt::test
