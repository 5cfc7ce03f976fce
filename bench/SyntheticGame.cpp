#include "SyntheticGame.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "Measure.h"
#include "core/common/Common.h"
#include "core/rom/RomIdentify.h"
#include "ctr/Cia.h"
#include "ctr/ExeFs.h"
#include "ctr/Image.h"
#include "ctr/Ncch.h"
#include "ctr/Ncsd.h"
#include "ctr/RomFs.h"
#include "ctr/Verify.h"
#include "support/ImageBuilder.h"
#include "support/ImageFiles.h"
#include "support/SoundFixtures.h"
#include "support/TempDir.h"

namespace qpt::bench {

namespace fs = std::filesystem;
using test::Bytes;

namespace {

constexpr std::uint32_t kProgramIdLow = 0x001BD200;  // the fourth game, USA

void Check(const ctr::Status& status, const char* what) {
  if (!status) throw std::runtime_error(std::string(what) + ": " + status.message());
}

// Incompressible filler, like the compressed assets of a real game, made fast enough that
// a GiB costs well under a second.
class Noise {
 public:
  explicit Noise(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  void Fill(std::uint8_t* data, std::size_t size) {
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
      const std::uint64_t v = Next();
      std::memcpy(data + i, &v, 8);
    }
    if (i < size) {
      const std::uint64_t v = Next();
      std::memcpy(data + i, &v, size - i);
    }
  }
  std::uint64_t Next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545F4914F6CDD1Dull;
  }

 private:
  std::uint64_t state_;
};

class Writer {
 public:
  explicit Writer(const fs::path& path) {
    fs::create_directories(path.parent_path());
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) throw std::runtime_error("cannot write " + path.string());
  }
  ~Writer() {
    if (file_) std::fclose(file_);
  }
  void Write(const void* data, std::size_t size) {
    if (std::fwrite(data, 1, size, file_) != size) throw std::runtime_error("write failed (disk full?)");
  }
  void Close() {
    if (std::fclose(file_) != 0) throw std::runtime_error("write failed (disk full?)");
    file_ = nullptr;
  }

 private:
  std::FILE* file_ = nullptr;
};

void WriteNoiseFile(const fs::path& path, std::uint64_t size, std::uint64_t seed) {
  Writer out(path);
  Noise noise(seed);
  std::vector<std::uint8_t> block(static_cast<std::size_t>(std::min<std::uint64_t>(size, 1 << 20)));
  while (size > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, block.size()));
    noise.Fill(block.data(), n);
    out.Write(block.data(), n);
    size -= n;
  }
  out.Close();
}

void WriteSmall(const fs::path& path, const Bytes& bytes) {
  Writer out(path);
  out.Write(bytes.data(), bytes.size());
  out.Close();
}

// Size of a RomFS file-table entry for a name of n UTF-16 code units.
std::size_t EntrySize(std::size_t n) { return 0x20 + ((2 * n + 3) / 4) * 4; }

// Root files whose entries fill the file table up to `target` bytes, so that the sound
// folder's file starts where the identification looks for it (root files come first, and
// "sound" is the first folder in name order).
std::vector<std::string> FillerNames(std::size_t target) {
  std::vector<std::string> names;
  int serial = 0;
  auto name = [&](std::size_t length) {
    std::string n(1, 'f');
    n += std::to_string(serial++);
    while (n.size() < length) n.insert(n.begin() + 1, '0');
    return n;
  };
  while (target > 96) {
    names.push_back(name(8));
    target -= EntrySize(8);
  }
  if (target > 0) {
    if (target < 36 || target % 4 != 0) throw std::logic_error("file table position cannot be reached");
    names.push_back(name((target - 0x20) / 2));
  }
  return names;
}

void PutLE32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// pack.dat of entries of assorted sizes and pack.inc with one record each, both written to
// the RomFS folder. Returns pack.dat's size.
std::uint64_t WritePackArchive(const fs::path& romfs, std::uint64_t bytes) {
  Writer dat(romfs / "pack.dat");
  std::vector<std::uint8_t> index;
  Noise noise(0xDA7A);
  std::vector<std::uint8_t> entry;
  std::uint64_t offset = 0;
  for (std::uint32_t i = 0; offset < bytes; ++i) {
    std::uint64_t size = 0x3000 + (noise.Next() % 0x60000);
    size = std::min(size, bytes - offset);
    entry.resize(static_cast<std::size_t>(size));
    noise.Fill(entry.data(), entry.size());
    if (i % 3 == 1 && entry.size() >= 9) std::memcpy(entry.data() + 5, "BCH", 4);
    dat.Write(entry.data(), entry.size());
    std::uint8_t record[20] = {};
    const std::uint32_t header = entry.size() >= 4 ? (entry[1] | entry[2] << 8 | entry[3] << 16) : 0;
    PutLE32(record, static_cast<std::uint32_t>(offset));
    PutLE32(record + 4, 0x11223344u + i);
    PutLE32(record + 8, header);
    PutLE32(record + 12, static_cast<std::uint32_t>(size));
    PutLE32(record + 16, 0xA0B0C0D0u ^ i);
    index.insert(index.end(), record, record + 20);
    offset += size;
  }
  dat.Close();
  index.insert(index.end(), {0xEE, 0xDD, 0xCC});
  WriteSmall(romfs / "pack.inc", index);
  return offset;
}

// The game's sound archive with its contained files grown to about `bytes` in all.
test::GameSoundArchive GrownSoundArchive(std::uint64_t bytes, std::size_t voiceWaves) {
  test::GameSoundArchive game = test::BuildGameSoundArchive("AA4", voiceWaves);
  std::size_t others = 0;
  for (std::size_t i = 0; i < game.fixture.files.size(); ++i) others += (i != game.voiceIndex && i % 3 != 0);
  const std::size_t each = std::max<std::size_t>(0x40, static_cast<std::size_t>(bytes / std::max<std::size_t>(others, 1)));
  for (std::size_t i = 0; i < game.fixture.files.size(); ++i) {
    if (i == game.voiceIndex || i % 3 == 0) continue;
    const std::string magic(game.fixture.files[i].begin(), game.fixture.files[i].begin() + 4);
    game.fixture.files[i] = test::MakeSoundFile(magic, each + i * 0x11, static_cast<std::uint32_t>(i + 1));
  }
  game.archive = test::BuildSoundArchive(game.fixture);
  return game;
}

void WriteExeFsParts(const fs::path& dir, const test::ImageRecipe& recipe) {
  Bytes banner = test::PatternBytes(0xA04, 0xBA);
  std::memcpy(banner.data(), "CBMD", 4);
  const std::pair<const char*, Bytes> files[] = {
      {"code.bin", test::ImageBuilder::Code()}, {"banner.bnr", banner}, {"icon.icn", test::ImageBuilder::Icon(recipe)}};
  const char* const names[] = {".code", "banner", "icon"};
  Bytes header(0x200, 0);
  for (std::size_t slot = 0; slot < 3; ++slot) {
    WriteSmall(dir / "exefs" / files[slot].first, files[slot].second);
    std::memcpy(header.data() + 0x10 * slot, names[slot], std::strlen(names[slot]));
  }
  WriteSmall(dir / "exefsheader.bin", header);
}

}  // namespace

std::string RangeMd5(const fs::path& path, std::uint64_t offset, std::uint64_t size) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file || fseeko(file.get(), static_cast<off_t>(offset), SEEK_SET) != 0) {
    throw std::runtime_error("cannot read " + path.string());
  }
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr);
  std::vector<unsigned char> block(4 << 20);
  while (size > 0) {
    const std::size_t n = std::fread(block.data(), 1, static_cast<std::size_t>(std::min<std::uint64_t>(size, block.size())), file.get());
    if (n == 0) throw std::runtime_error("short read in " + path.string());
    EVP_DigestUpdate(ctx.get(), block.data(), n);
    size -= n;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(ctx.get(), digest, &length);
  std::string hex;
  char pair[3];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, "%02X", digest[i]);
    hex += pair;
  }
  return hex;
}

TSyntheticGame BuildSyntheticGame(const TGameShape& shape, const fs::path& folder) {
  if (shape.smallFiles < 3) throw std::invalid_argument("at least 3 small files");
  TSyntheticGame game;
  game.folder = folder;
  RemoveTree(folder);
  const fs::path romfs = folder / "romfs";
  const fs::path parts = folder / "parts";
  fs::create_directories(romfs);
  fs::create_directories(parts);
  const double start = Now();
  std::printf("Making a synthetic image in %s\n", folder.string().c_str());
  std::fflush(stdout);

  // Root: pack archive and fillers up to the sound archive's file-table position.
  const TGameRow* row = nullptr;
  for (const TGameRow& r : IdentificationTable()) {
    if (r.programIdLow == kProgramIdLow) row = &r;
  }
  if (!row) throw std::logic_error("the fourth game is missing from the identification table");
  const std::size_t target = static_cast<std::size_t>(row->entry) - 8 - 2 * EntrySize(8);
  std::uint64_t used = 0;
  for (const std::string& name : FillerNames(target)) {
    const Bytes bytes(name.begin(), name.end());
    WriteSmall(romfs / name, bytes);
    used += bytes.size();
  }

  // Sound: the archive, and the stream files (the slots' tracks first, then more).
  const test::GameSoundArchive sound = GrownSoundArchive(shape.soundArchiveBytes, 64);
  WriteSmall(romfs / "sound" / (sound.soundFolder + ".bcsar"), sound.archive.bytes);
  used += sound.archive.bytes.size();
  std::vector<std::string> streams = sound.slotKeys;
  for (int i = 0; static_cast<int>(streams.size()) < shape.streamFiles; ++i) streams.push_back("BGM" + std::to_string(100 + i));
  const std::uint64_t streamSize = shape.streamBytes / std::max<std::size_t>(streams.size(), 1);
  std::sort(streams.begin(), streams.end());
  streams.erase(std::unique(streams.begin(), streams.end()), streams.end());
  for (std::size_t i = 0; i < streams.size(); ++i) {
    WriteNoiseFile(romfs / "sound" / "stream" / (streams[i] + ".dspadpcm.bcstm"), streamSize + i * 0x31, 0x5000 + i);
    used += streamSize + i * 0x31;
  }

  // Small files in folders that sort after "sound", so that the sound archive keeps its place.
  const char* const tops[] = {"text", "ui", "world"};
  Noise sizes(0x5173);
  for (int i = 0; i < shape.smallFiles; ++i) {
    const std::uint64_t size = 0x100 + sizes.Next() % 0xC000;
    char name[64];
    std::snprintf(name, sizeof name, "%s/d%02d/file%04d.bin", tops[i % 3], (i / 3) % 16, i);
    WriteNoiseFile(romfs / name, size, 0x10000 + static_cast<std::uint64_t>(i));
    used += size;
  }
  // The file the patch replaces lies in "world", after the huge file if there is one, so
  // that the check reads a patched file from beyond 4 GiB in a large image.
  {
    const int last = (shape.smallFiles - 3) / 3 * 3 + 2;
    char name[64];
    std::snprintf(name, sizeof name, "world/d%02d/file%04d.bin", (last / 3) % 16, last);
    game.replacedFile = name;
  }
  if (shape.hugeFileBytes > 0) {
    // Zeros, sparse on disk: the image still carries every byte, and every tool reads them.
    const fs::path huge = romfs / "video" / "opening.moflex";
    fs::create_directories(huge.parent_path());
    WriteSmall(huge, Bytes{});
    fs::resize_file(huge, shape.hugeFileBytes);
    used += shape.hugeFileBytes;
  }

  const std::uint64_t fixedBytes = used - shape.hugeFileBytes;
  if (shape.totalBytes < fixedBytes + (1 << 20)) throw std::invalid_argument("total size too small for the shape");
  game.packDatBytes = WritePackArchive(romfs, shape.totalBytes - fixedBytes);
  game.packDat = romfs / "pack.dat";
  game.romfsFileBytes = TreeSize(romfs);
  std::printf("  RomFS tree: %.1f MiB in %.1f s\n", static_cast<double>(game.romfsFileBytes) / 1048576.0, Now() - start);
  std::fflush(stdout);

  // Image: ExeFS, RomFS, CXI, then the containers.
  test::ImageRecipe recipe;
  recipe.programId = (0x00040000ull << 32) | kProgramIdLow;
  recipe.productCode = "CTR-P-EAJE";
  WriteExeFsParts(parts, recipe);
  Check(ctr::BuildExeFs(parts / "exefs", parts / "exefsheader.bin", parts / "exefs.bin", true), "ExeFS");
  Check(ctr::BuildRomFs(romfs, parts / "romfs.bin"), "RomFS");
  test::WriteBytes(parts / "ncchheader.bin", test::ImageBuilder::NcchHeader(recipe));
  test::WriteBytes(parts / "exheader.bin", test::ImageBuilder::Exheader(recipe));
  test::WriteBytes(parts / "logo.bin", test::ImageBuilder::Logo());
  const fs::path cxi = parts / "game.cxi";
  Check(ctr::BuildCxi({parts / "ncchheader.bin", parts / "exheader.bin", parts / "exefs.bin", parts / "romfs.bin",
                       parts / "logo.bin"},
                      cxi),
        "CXI");
  fs::remove(parts / "romfs.bin");
  if (shape.cia) {
    game.cia = folder / "Game Image.cia";
    Check(ctr::BuildCia(cxi, 0, 0, game.cia), "CIA");
  }
  if (shape.threeDs) {
    game.threeDs = folder / "Game Image.3ds";
    test::WriteBytes(parts / "ncsdheader.bin", test::ImageBuilder::NcsdHeader(recipe));
    Check(ctr::BuildNcsd(parts / "ncsdheader.bin", cxi, game.threeDs, false), "card image");
  }
  fs::remove(cxi);
  std::printf("  images built at %.1f s\n", Now() - start);
  std::fflush(stdout);

  // Patch: the delta over pack.dat, digests, program image, RomFS files, voices.
  game.patchDir = folder / "patch" / "Bench Translation";
  fs::create_directories(game.patchDir);
  game.packDatMd5 = FileMD5(romfs / "pack.dat");
  game.packIncMd5 = FileMD5(romfs / "pack.inc");
  const fs::path patched = folder / "patched_pack.dat";
  fs::copy_file(romfs / "pack.dat", patched, fs::copy_options::overwrite_existing);
  {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(patched.c_str(), "r+b"), &std::fclose);
    if (!file) throw std::runtime_error("cannot change " + patched.string());
    const std::uint64_t n = static_cast<std::uint64_t>(std::max(shape.deltaChanges, 1));
    for (std::uint64_t i = 0; i < n; ++i) {
      // Translated text replaces bytes in place: a few dozen bytes per place.
      const std::uint64_t at = (2 * i + 1) * game.packDatBytes / (2 * n);
      if (i == 0) game.changedOffset = at;
      char text[48];
      const int length = std::snprintf(text, sizeof text, "Translated line %llu, in place.", static_cast<unsigned long long>(i));
      fseeko(file.get(), static_cast<off_t>(at), SEEK_SET);
      std::fwrite(text, 1, static_cast<std::size_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(length), game.packDatBytes - at)), file.get());
    }
  }
  game.patchedPackDatMd5 = FileMD5(patched);
  const TProcessRun delta = RunMeasured(
      "xdelta3", {"-e", "-f", "-s", (romfs / "pack.dat").string(), patched.string(), (game.patchDir / "patch.xdelta").string()},
      fs::path());
  if (delta.exitCode != 0) throw std::runtime_error("xdelta3 could not make the delta: " + delta.errorText);
  fs::remove(patched);
  game.deltaBytes = fs::file_size(game.patchDir / "patch.xdelta");

  Bytes code = test::ImageBuilder::Code();
  for (std::size_t i = 0x100; i < code.size(); i += 0x400) code[i] ^= 0x3C;
  WriteSmall(game.patchDir / "exefs" / "code.bin", code);
  const std::string text = "A translated file of the patch, not the size of the one it replaces.";
  game.replacedBytes.assign(text.begin(), text.end());
  WriteSmall(game.patchDir / "romfs" / game.replacedFile, game.replacedBytes);
  WriteSmall(game.patchDir / "romfs" / "text" / "added" / "credits.txt", Bytes{'t', 'h', 'a', 'n', 'k', 's'});
  const char* const sets[] = {"ENG", "JAP MOD", "JAP ORIG"};
  for (int set = 0; set < 3; ++set) {
    for (std::size_t wave = 0; wave < 8; ++wave) {
      WriteSmall(game.patchDir / "voice" / sets[set] / "3_BCWAV" / test::WavePieceName(wave * 5),
                 test::MakeWave(0x400 + 0x33 * wave, static_cast<std::uint32_t>(set * 100 + wave)));
    }
  }

  // The descriptors that list the patch in the window, in both shipped languages (UTF-8 with
  // a byte-order mark, as an author saves them).
  const std::string digests = "OriginalPackDatMD5=\"" + game.packDatMd5 + "\"\r\nOriginalPackIncMD5=\"" + game.packIncMd5 + "\"\r\n";
  const auto descriptor = [&](const char* name, const std::string& title, const std::string& description) {
    const std::string bytes = "\xEF\xBB\xBFGame=" + game.game + "\r\nRegion=\"Region Free\"\r\nTitle=\"" + title +
                              "\"\r\nDescription=\"" + description + "\"\r\n" + digests;
    WriteSmall(game.patchDir / PathFromUtf8(name), Bytes(bytes.begin(), bytes.end()));
  };
  descriptor("English.dsc", "Bench Translation", "The benchmark's patch: a delta over pack.dat, a new program, RomFS files and three voice sets.");
  descriptor("Русский.dsc", "Тестовый перевод", "Патч для замеров: дельта к pack.dat, новая программа, файлы RomFS и три набора голосов.");

  const TRomIdentity id = IdentifyRom(shape.cia ? game.cia : game.threeDs);
  if (!id.Identified() || id.gameCode != game.game || id.soundInfoPos < 0) {
    throw std::runtime_error("the synthetic image is not identified as the fourth game with its sound archive");
  }
  std::printf("  patch made at %.1f s (delta %.1f KiB)\n", Now() - start, static_cast<double>(game.deltaBytes) / 1024.0);
  std::fflush(stdout);
  return game;
}

std::string CheckInstalledImage(const TSyntheticGame& game, const fs::path& image) {
  const ctr::Status verified = ctr::VerifyImage(image);
  if (!verified) return "does not verify: " + verified.message();
  const TRomIdentity id = IdentifyRom(image);
  if (!id.Identified() || id.gameCode != game.game) return "not identified as " + game.game;
  if (id.soundInfoPos < 0) return "the sound archive is not where the identification looks";

  ctr::FileReader reader;
  if (!reader.Open(image)) return "cannot open the image";
  const auto range = ctr::LocateMainNcch(reader);
  if (!range) return "no main NCCH: " + range.message();
  ctr::WindowReader window(reader, range->offset, range->size);
  const auto ncch = ctr::ReadNcch(window);
  if (!ncch) return "no NCCH: " + ncch.message();
  ctr::InputFile file;
  if (!file.Open(image)) return "cannot open the image";
  ctr::RomFsReader romfs;
  if (!romfs.Open(file, range->offset + ncch->romfs.offset, ncch->romfs.size)) return "no RomFS";
  const auto pack = romfs.Find("pack.dat");
  if (!pack) return "pack.dat is missing";
  if (RangeMd5(image, pack->offset, pack->size) != game.patchedPackDatMd5) return "pack.dat is not the patched archive";
  const auto replaced = romfs.Find(game.replacedFile);
  if (!replaced) return game.replacedFile + " is missing";
  auto bytes = file.ReadVector(replaced->offset, replaced->size);
  if (!bytes || *bytes != game.replacedBytes) return game.replacedFile + " is not the patch's file";
  if (!romfs.Find("text/added/credits.txt")) return "the patch's new file is missing";
  return {};
}

}  // namespace qpt::bench
