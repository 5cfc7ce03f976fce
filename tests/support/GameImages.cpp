#include "support/GameImages.h"

#include <algorithm>
#include <stdexcept>

#include "core/common/Common.h"
#include "core/install/PackDat.h"
#include "core/music/TrackLists.h"
#include "core/sound/N3DSBCSAR.h"
#include "ctr/Blz.h"
#include "ctr/ExeFs.h"
#include "ctr/Image.h"
#include "ctr/Ncch.h"
#include "ctr/RomFs.h"
#include "ctr/Verify.h"
#include "support/TempDir.h"

namespace qpt::test {

namespace fs = std::filesystem;

namespace {

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string FileMD5Of(const Bytes& bytes) {
  TempDir dir("md5");
  WriteFile(dir / "f", bytes);
  return FileMD5(dir / "f");
}

// Size of a RomFS file-table entry for a name of n UTF-16 code units.
std::size_t EntrySize(std::size_t n) { return 0x20 + ((2 * n + 3) / 4) * 4; }

// Root files whose entries fill the file table up to `target` bytes, so that the first file
// of the sound folder starts there (root files come first; "sound" is the first folder).
std::vector<std::string> FillerNames(std::size_t target) {
  std::vector<std::string> names;
  int serial = 0;
  auto name = [&](std::size_t length) {
    std::string n = "f" + std::to_string(serial++);
    while (n.size() < length) n.insert(n.begin() + 1, '0');
    return n;
  };
  while (target > 96) {
    names.push_back(name(8));  // 48-byte entries
    target -= EntrySize(8);
  }
  if (target > 0) {
    if (target < 36 || target % 4 != 0) throw std::logic_error("file table position cannot be reached");
    names.push_back(name((target - 0x20) / 2));
  }
  return names;
}

}  // namespace

PackArchive BuildPackArchive(std::size_t entryCount, std::uint32_t seed) {
  PackArchive a;
  for (std::size_t i = 0; i < entryCount; ++i) {
    Bytes entry = PatternBytes(0x35 + i * 0x47 % 0x300, seed + static_cast<std::uint32_t>(i));
    if (i % 3 == 1) std::copy_n("\0\0\0\0\0BCH", 8, entry.begin());  // looks like a model file
    if (i == 2) entry.resize(5);                                      // too short to guess
    const std::uint32_t offset = static_cast<std::uint32_t>(a.dat.size());
    const std::uint32_t header = entry.size() >= 4 ? (entry[1] | entry[2] << 8 | entry[3] << 16) : 0;
    Bytes record(20);
    PutLE32(record, 0, offset);
    PutLE32(record, 4, 0x11223344u + static_cast<std::uint32_t>(i));
    PutLE32(record, 8, header);
    PutLE32(record, 12, static_cast<std::uint32_t>(entry.size()));
    PutLE32(record, 16, 0xA0B0C0D0u ^ static_cast<std::uint32_t>(i));
    a.inc.insert(a.inc.end(), record.begin(), record.end());
    a.dat.insert(a.dat.end(), entry.begin(), entry.end());
    a.entries.push_back(entry);
  }
  a.inc.insert(a.inc.end(), {0xEE, 0xDD, 0xCC});  // trailing bytes that are no record
  return a;
}

GameImage BuildGameImage(const TGameRow& row, const std::string& kind, const fs::path& out, const fs::path& work,
                         std::uint32_t contentId) {
  GameImage image;
  image.path = out;
  image.kind = kind;
  image.row = row;
  ImageRecipe recipe;
  recipe.programId = (0x00040000ull << 32) | row.programIdLow;
  recipe.contentId = contentId;
  recipe.romfs.clear();
  recipe.romfs["text/message.txt"] = B("The untouched text of the game " + std::string(row.gameCode));
  recipe.romfs["text/sub/model.bin"] = PatternBytes(0x1234, row.programIdLow);
  const std::string code = row.gameCode;
  if (code == "AAT" || code == "AA4") {
    image.pack = BuildPackArchive(7, row.programIdLow);
    image.sound = BuildGameSoundArchive(code, 6);
    recipe.romfs["pack.dat"] = image.pack->dat;
    recipe.romfs["pack.inc"] = image.pack->inc;
    recipe.romfs["sound/" + image.sound->soundFolder + ".bcsar"] = image.sound->archive.bytes;
    if (code == "AA4") {
      for (const std::string& key : image.sound->slotKeys) {
        recipe.romfs["sound/stream/" + key + ".dspadpcm.bcstm"] = B("CSTM stream " + key);
      }
    }
    // The identification finds the sound archive through a fixed position in the file
    // table: pack.dat and pack.inc plus fillers must take exactly the bytes before it (root
    // files come first, then the folders in name order: "sound" before "text").
    const std::size_t target = static_cast<std::size_t>(row.entry) - 8 - 2 * EntrySize(8);
    for (const std::string& name : FillerNames(target)) recipe.romfs[name] = B("filler " + name);
  }
  image.code = ImageBuilder::Code();
  image.romfs = recipe.romfs;
  if (out.has_parent_path()) fs::create_directories(out.parent_path());
  ImageBuilder builder(work);
  if (kind == ".cia") {
    builder.BuildCia(recipe, out);
  } else if (kind == ".3ds") {
    builder.Build3ds(recipe, out);
  } else {
    builder.BuildCxi(recipe, out);
  }
  return image;
}

GamePatch BuildGamePatch(const GameImage& image, const fs::path& folder, bool withDelta) {
  GamePatch patch;
  patch.folder = folder;
  fs::create_directories(folder);
  std::string datMd5, incMd5;
  const bool music = image.pack.has_value();
  if (withDelta && music) {
    Bytes original = image.pack->dat;
    patch.patchedPackDat = original;
    // Change a few places, as a translation does, without changing the length.
    for (std::size_t i = 3; i < patch.patchedPackDat.size(); i += 97) patch.patchedPackDat[i] ^= 0x5A;
    WriteFile(folder / "old.tmp", original);
    WriteFile(folder / "new.tmp", patch.patchedPackDat);
    if (RunTool("\"" QPT_XDELTA3 "\"", "-e -f -s \"" + PathToUtf8(folder / "old.tmp") + "\" \"" +
                                        PathToUtf8(folder / "new.tmp") + "\" \"" + PathToUtf8(folder / "patch.xdelta") + "\"",
                fs::path()) != 0) {
      throw std::runtime_error("xdelta3 could not make the delta");
    }
    fs::remove(folder / "old.tmp");
    fs::remove(folder / "new.tmp");
    datMd5 = FileMD5Of(image.pack->dat);
    incMd5 = FileMD5Of(image.pack->inc);
  }
  WriteFile(folder / "English.dsc", "\xEF\xBB\xBFGame=" + std::string(image.row.gameCode) +
                                        "\r\nRegion=\"Region Free\"\r\nTitle=\"Test Translation\"\r\n"
                                        "Description=\"A test patch.\r\nhttps://example.org\"\r\n"
                                        "OriginalPackDatMD5=\"" + datMd5 + "\"\r\nOriginalPackIncMD5=\"" + incMd5 + "\"\r\n");
  // A new program image compresses like real code (a random one would not, and an ExeFS
  // whose .code is flagged compressed cannot hold it).
  patch.newCode = ImageBuilder::Code();
  for (std::size_t i = 0x100; i < patch.newCode.size(); i += 0x400) patch.newCode[i] ^= 0x3C;
  WriteFile(folder / "exefs/code.bin", patch.newCode);
  patch.romfsFiles["text/message.txt"] = B("The translated text, somewhat longer than the original one.");
  patch.romfsFiles["new folder/ünïcode file.txt"] = B("a file the game never had");
  for (const auto& [path, bytes] : patch.romfsFiles) WriteFile(folder / PathFromUtf8("romfs/" + path), bytes);
  if (music) {
    patch.packEntries["00001.bin"] = PatternBytes(0x123, 5);
    for (const auto& [name, bytes] : patch.packEntries) WriteFile(folder / PathFromUtf8("pack_dat/" + name), bytes);
    const char* sets[] = {"ENG", "JAP MOD", "JAP ORIG"};
    for (int set = 0; set < 3; ++set) {
      for (std::size_t wave : {std::size_t(0), std::size_t(2 + set)}) {
        Bytes bytes = PatternBytes(0x41 + 0x10 * static_cast<std::size_t>(set) + wave, 1000 + set * 10 + static_cast<std::uint32_t>(wave));
        patch.voices[set][wave] = bytes;
        WriteFile(folder / ("voice/" + std::string(sets[set]) + "/3_BCWAV/" + WavePieceName(wave)), bytes);
      }
    }
  }
  return patch;
}

ImageContents ReadImageContents(const fs::path& path) {
  ImageContents c;
  const auto report = ctr::VerifyImageReport(path);
  if (!report) {
    c.problem = report.message();
    return c;
  }
  c.verified = report->ok();
  c.problem = report->FirstProblem();
  ctr::FileReader reader;
  if (!reader.Open(path)) return c;
  const auto range = ctr::LocateMainNcch(reader);
  if (!range) return c;
  ctr::WindowReader window(reader, range->offset, range->size);
  const auto ncch = ctr::ReadNcch(window);
  if (!ncch) return c;
  c.noCrypto = ncch->isPlain();
  ctr::InputFile file;
  if (!file.Open(path)) return c;
  if (ncch->romfs.present()) {
    ctr::RomFsReader romfs;
    if (romfs.Open(file, range->offset + ncch->romfs.offset, ncch->romfs.size)) {
      for (const auto& entry : romfs.Files()) {
        auto bytes = file.ReadVector(entry.offset, entry.size);
        if (bytes) c.romfs[entry.path] = std::move(*bytes);
      }
    }
  }
  if (ncch->exefs.present()) {
    const std::uint64_t at = range->offset + ncch->exefs.offset;
    const auto header = ctr::ReadExeFsHeader(file, at, ncch->exefs.size);
    if (header) {
      for (const auto& f : header->entries) {
        auto bytes = ctr::ReadExeFsFile(file, at, ncch->exefs.size, f.name);
        if (bytes) c.exefs[f.name] = *bytes;
      }
      // The exheader's flag tells whether .code is stored compressed.
      auto exheader = file.ReadVector(range->offset + ncch->exheader.offset, ncch->exheader.size);
      if (exheader) c.exheader = *exheader;
      const bool compressed = c.exheader.size() > 0xD && c.exheader[0xD] & 1;
      if (c.exefs.count(".code")) {
        if (compressed) {
          auto plain = ctr::BlzDecompress(c.exefs[".code"]);
          if (plain) c.code = *plain;
        } else {
          c.code = c.exefs[".code"];
        }
      }
    }
  }
  return c;
}

std::pair<Bytes, Bytes> ExpectedPackArchive(const PackArchive& original, const Bytes& patchedDat,
                                            const std::map<std::string, Bytes>& replaced) {
  Bytes dat, inc = original.inc;
  for (std::size_t i = 0; i < original.entries.size(); ++i) {
    const std::uint32_t offset = GetLE32(original.inc, i * 20);
    const std::uint32_t size = GetLE32(original.inc, i * 20 + 12);
    Bytes entry(patchedDat.begin() + offset, patchedDat.begin() + offset + size);
    const std::string name = PackEntryFileName(static_cast<std::int64_t>(i), ".bin");
    if (replaced.count(name)) entry = replaced.at(name);
    PutLE32(inc, i * 20, static_cast<std::uint32_t>(dat.size()));
    PutLE32(inc, i * 20 + 8, PackHeaderValue(entry));
    PutLE32(inc, i * 20 + 12, static_cast<std::uint32_t>(entry.size()));
    dat.insert(dat.end(), entry.begin(), entry.end());
  }
  return {dat, inc};
}

std::string CheckInstalledImage(const GameImage& input, const GamePatch& patch, const ImageContents& out,
                                int voiceSet, const std::map<int, std::string>& musicKeys) {
  if (!out.verified) return "the image does not verify: " + out.problem;
  if (!out.noCrypto) return "NoCrypto is not set";
  if (out.code != patch.newCode) return "the program image is not the patch's";
  for (const auto& [path, bytes] : patch.romfsFiles) {
    if (!out.romfs.count(path) || out.romfs.at(path) != bytes) return path + " is not the patch's file";
  }
  for (const auto& [path, bytes] : input.romfs) {
    if (patch.romfsFiles.count(path) || path == "pack.dat" || path == "pack.inc" || path.rfind("sound/", 0) == 0) {
      continue;
    }
    if (!out.romfs.count(path)) return path + " is missing";
    if (out.romfs.at(path) != bytes) return path + " changed";
  }
  if (out.romfs.size() != input.romfs.size() + 1) return "unexpected files in the RomFS";
  if (!input.pack) return {};

  const Bytes patchedDat = patch.patchedPackDat.empty() ? input.pack->dat : patch.patchedPackDat;
  const auto [dat, inc] = ExpectedPackArchive(*input.pack, patchedDat, patch.packEntries);
  if (out.romfs.at("pack.dat") != dat) return "pack.dat is not as patched";
  if (out.romfs.at("pack.inc") != inc) return "pack.inc is not as patched";

  const GameSoundArchive& sound = *input.sound;
  for (const auto& [path, bytes] : out.romfs) {
    if (path.find("sound/" + sound.soundFolder + "/") != std::string::npos) return "pieces went into the image";
  }
  TempDir dir("check");
  const fs::path archive = dir / (sound.soundFolder + ".bcsar");
  WriteFile(archive, out.romfs.at("sound/" + sound.soundFolder + ".bcsar"));
  if (UnpackBcsar(archive) != 0) return "the sound archive cannot be split";
  const fs::path pieces = ArchivePieceFolder(archive);
  if (UnpackCwar(pieces / "4_CSAR_FILE" / sound.VoicePieceName()) != 0) return "the voice archive cannot be split";
  for (std::size_t w = 0; w < sound.voiceWaves.size(); ++w) {
    const Bytes got = ReadBytes(pieces / "4_CSAR_FILE" / sound.VoiceFolderName() / "3_BCWAV" / WavePieceName(w));
    const bool replaced = voiceSet >= 0 && patch.voices.count(voiceSet) && patch.voices.at(voiceSet).count(w);
    if (got != (replaced ? patch.voices.at(voiceSet).at(w) : sound.voiceWaves[w])) {
      return "wave " + std::to_string(w) + " is not as chosen";
    }
  }
  const std::string info = ReadFile(pieces / "3_CSAR_INFO.bin");
  const auto& offsets = SlotOffsetsFor(input.row.gameCode);
  const bool wholeNames = std::string(input.row.gameCode) == "AA4";
  for (std::size_t slot = 0; slot < offsets.size(); ++slot) {
    const auto chosen = musicKeys.find(static_cast<int>(slot));
    const std::string key = chosen != musicKeys.end() ? chosen->second : sound.slotKeys[slot];
    const std::string name = info.substr(static_cast<std::size_t>(offsets[slot]), key.size() + 1);
    if (name.substr(0, key.size()) != key) return "slot " + std::to_string(slot) + " does not name " + key;
    if (wholeNames && musicKeys.size() > 0 && name.back() != '.') return "slot " + std::to_string(slot) + " lacks its suffix";
    if (wholeNames && chosen != musicKeys.end() && !out.romfs.count("sound/stream/" + key + ".bcstm")) {
      return "the stream of " + key + " was not renamed";
    }
  }
  return {};
}

}  // namespace qpt::test
