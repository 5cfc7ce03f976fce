// Peak memory of the unpacker and the verifier on RomFS images made to exhaust memory. Each
// image is small on disk (or sparse); what it claims is large:
//
//   chain  a folder inside a folder inside a folder ..., --depth deep (default 40,000),
//          ending in one file; the hash levels are right, so the image verifies;
//   sparse a level 3 whose two metadata tables claim 256 MiB each, in a sparse file that
//          holds a few KiB of data;
//   wide   one folder whose file table is as large as a reader accepts, full of files with
//          short names, the last of them a second copy of the first (so that nothing is
//          unpacked: the image is refused once the whole folder has been looked at).
//
// For each it runs `3dstool -xtf romfs IMAGE --romfs-dir DIR` and `quill-patch-cli verify
// CXI` (the RomFS wrapped in a plain CXI) through the launcher and prints exit code, time,
// peak resident memory against the 64 MiB target, and the first line the program wrote on
// standard error.
//
// usage: bench_hostile [--scratch DIR] [--depth N] [--wide N] [--keep]
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Measure.h"
#include "ctr/ExeFs.h"
#include "ctr/Ncch.h"
#include "ctr/RomFs.h"
#include "support/ImageBuilder.h"
#include "support/ImageFiles.h"

namespace fs = std::filesystem;
using namespace qpt::bench;
using qpt::test::Bytes;

namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFF;
constexpr std::uint64_t kBlock = 0x1000;

void Check(const ctr::Status& status, const char* what) {
  if (!status) throw std::runtime_error(std::string(what) + ": " + status.message());
}

template <typename T>
void Put(Bytes& bytes, std::size_t at, const T& value) {
  if (bytes.size() < at + sizeof(T)) bytes.resize(at + sizeof(T), 0);
  std::memcpy(bytes.data() + at, &value, sizeof(T));
}

std::uint64_t Align(std::uint64_t value, std::uint64_t to) { return (value + to - 1) / to * to; }

// SHA-256 of every 0x1000-byte block of data (the last one zero-padded).
Bytes BlockHashes(const Bytes& data) {
  Bytes hashes;
  for (std::size_t at = 0; at < data.size(); at += kBlock) {
    unsigned char block[kBlock] = {};
    std::memcpy(block, data.data() + at, std::min<std::size_t>(kBlock, data.size() - at));
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(block, kBlock, digest);
    hashes.insert(hashes.end(), digest, digest + SHA256_DIGEST_LENGTH);
  }
  return hashes;
}

// The IVFC header for a level 3 of l3Size bytes with hash levels of the given sizes.
ctr::IvfcHeaderRecord IvfcHeader(std::uint64_t l3Size, std::uint64_t l1Size, std::uint64_t l2Size,
                                 std::uint32_t masterSize) {
  ctr::IvfcHeaderRecord h{};
  std::memcpy(h.magic, "IVFC", 4);
  h.magicNumber = 0x10000;
  h.masterHashSize = masterSize;
  const std::uint64_t sizes[3] = {l1Size, l2Size, l3Size};
  std::uint64_t logical = 0;
  for (int i = 0; i < 3; ++i) {
    h.levels[i] = {logical, sizes[i], 12, 0};
    logical = Align(logical + sizes[i], kBlock);
  }
  h.headerSize = ctr::kIvfcHeaderSize;
  return h;
}

// A whole RomFS image around level-3 bytes, every hash right.
void WriteRomFs(const fs::path& path, const Bytes& level3) {
  const Bytes l2 = BlockHashes(level3);
  const Bytes l1 = BlockHashes(l2);
  const Bytes master = BlockHashes(l1);
  Bytes image;
  Put(image, 0, IvfcHeader(level3.size(), l1.size(), l2.size(), static_cast<std::uint32_t>(master.size())));
  image.resize(ctr::kIvfcMasterHashOffset);
  image.insert(image.end(), master.begin(), master.end());
  for (const Bytes* part : {&level3, &l1, &l2}) {
    image.resize(Align(image.size(), kBlock), 0);
    image.insert(image.end(), part->begin(), part->end());
  }
  image.resize(Align(image.size(), kBlock), 0);
  qpt::test::WriteBytes(path, image);
}

// Level 3 of `depth` nested folders named "d", the deepest holding end.txt.
Bytes ChainLevel3(std::uint32_t depth) {
  constexpr std::uint32_t kDirEntry = sizeof(ctr::RomFsDirRecord) + 4;  // name "d", padded
  const std::uint32_t dirTableSize = (depth + 1) * kDirEntry;
  const std::u16string fileName = u"end.txt";
  const std::uint32_t fileTableSize = sizeof(ctr::RomFsFileRecord) + 16;
  const std::string content = "the end of the chain\n";

  ctr::RomFsLevel3HeaderRecord h{};
  h.headerSize = sizeof(h);
  h.dirHashOffset = sizeof(h);
  h.dirHashSize = 4;
  h.dirMetaOffset = h.dirHashOffset + h.dirHashSize;
  h.dirMetaSize = dirTableSize;
  h.fileHashOffset = h.dirMetaOffset + h.dirMetaSize;
  h.fileHashSize = 4;
  h.fileMetaOffset = h.fileHashOffset + h.fileHashSize;
  h.fileMetaSize = fileTableSize;
  h.dataOffset = static_cast<std::uint32_t>(Align(h.fileMetaOffset + h.fileMetaSize, 0x10));

  Bytes level3;
  Put(level3, 0, h);
  Put(level3, h.dirHashOffset, std::uint32_t{0});
  Put(level3, h.fileHashOffset, std::uint32_t{0});
  for (std::uint32_t k = 0; k <= depth; ++k) {
    ctr::RomFsDirRecord d{};
    d.parent = k == 0 ? 0 : (k - 1) * kDirEntry;
    d.nextSibling = kNone;
    d.firstChild = k == depth ? kNone : (k + 1) * kDirEntry;
    d.firstFile = k == depth ? 0 : kNone;
    d.nextInBucket = kNone;
    d.nameSize = k == 0 ? 0 : 2;
    const std::size_t at = h.dirMetaOffset + std::size_t{k} * kDirEntry;
    Put(level3, at, d);
    Put(level3, at + sizeof(d), k == 0 ? std::uint32_t{0} : std::uint32_t{'d'});
  }
  ctr::RomFsFileRecord f{};
  f.parent = depth * kDirEntry;
  f.nextSibling = kNone;
  f.dataOffset = 0;
  f.dataSize = content.size();
  f.nextInBucket = kNone;
  f.nameSize = static_cast<std::uint32_t>(fileName.size() * 2);
  Put(level3, h.fileMetaOffset, f);
  for (std::size_t i = 0; i < fileName.size(); ++i) Put(level3, h.fileMetaOffset + sizeof(f) + 2 * i, fileName[i]);
  level3.resize(h.dataOffset, 0);
  level3.insert(level3.end(), content.begin(), content.end());
  return level3;
}

// Level 3 of one folder (the root) holding `count` files with two-letter names, the last a
// copy of the first name.
Bytes WideLevel3(std::uint32_t count) {
  constexpr std::uint32_t kFileEntry = sizeof(ctr::RomFsFileRecord) + 4;
  ctr::RomFsLevel3HeaderRecord h{};
  h.headerSize = sizeof(h);
  h.dirHashOffset = sizeof(h);
  h.dirHashSize = 4;
  h.dirMetaOffset = h.dirHashOffset + h.dirHashSize;
  h.dirMetaSize = sizeof(ctr::RomFsDirRecord);
  h.fileHashOffset = h.dirMetaOffset + h.dirMetaSize;
  h.fileHashSize = 4;
  h.fileMetaOffset = h.fileHashOffset + h.fileHashSize;
  h.fileMetaSize = count * kFileEntry;
  h.dataOffset = static_cast<std::uint32_t>(Align(h.fileMetaOffset + h.fileMetaSize, 0x10));

  Bytes level3(h.dataOffset, 0);
  Put(level3, 0, h);
  Put(level3, h.dirHashOffset, std::uint32_t{0});
  Put(level3, h.fileHashOffset, std::uint32_t{0});
  Put(level3, h.dirMetaOffset, ctr::RomFsDirRecord{0, kNone, kNone, 0, kNone, 0});
  for (std::uint32_t k = 0; k < count; ++k) {
    const std::uint32_t name = k + 1 == count ? 0 : k;
    ctr::RomFsFileRecord f{0, k + 1 == count ? kNone : (k + 1) * kFileEntry, 0, 0, kNone, 4};
    const std::size_t at = h.fileMetaOffset + std::size_t{k} * kFileEntry;
    Put(level3, at, f);
    // Two letters from 0x4E00 up (CJK ideographs: no letter case to fold).
    Put(level3, at + sizeof(f), static_cast<std::uint16_t>(0x4E00 + name / 0x4000));
    Put(level3, at + sizeof(f) + 2, static_cast<std::uint16_t>(0x4E00 + name % 0x4000));
  }
  return level3;
}

// A RomFS whose level 3 claims two 256 MiB metadata tables: the header is real data, the rest
// of the file a hole.
void WriteSparseRomFs(const fs::path& path) {
  constexpr std::uint32_t kTable = 256u << 20;
  ctr::RomFsLevel3HeaderRecord h{};
  h.headerSize = sizeof(h);
  h.dirHashOffset = sizeof(h);
  h.dirHashSize = 0;
  h.dirMetaOffset = sizeof(h);
  h.dirMetaSize = kTable;
  h.fileHashOffset = h.dirMetaOffset + kTable;
  h.fileHashSize = 0;
  h.fileMetaOffset = h.fileHashOffset;
  h.fileMetaSize = kTable;
  h.dataOffset = h.fileMetaOffset + kTable;
  const std::uint64_t l3Size = h.dataOffset;
  const std::uint64_t l2Size = 0x20 * (Align(l3Size, kBlock) / kBlock);
  const std::uint64_t l1Size = 0x20 * (Align(l2Size, kBlock) / kBlock);
  const std::uint64_t masterSize = 0x20 * (Align(l1Size, kBlock) / kBlock);
  const std::uint64_t end = kBlock + Align(l3Size, kBlock) + Align(l1Size, kBlock) + Align(l2Size, kBlock);

  Bytes head;
  Put(head, 0, IvfcHeader(l3Size, l1Size, l2Size, static_cast<std::uint32_t>(masterSize)));
  head.resize(kBlock, 0);
  Put(head, kBlock, h);
  qpt::test::WriteBytes(path, head);
  fs::resize_file(path, end);
}

// A plain CXI around a RomFS image: the synthetic title's header, exheader and ExeFS.
void WrapInCxi(const fs::path& romfs, const fs::path& cxi, const fs::path& work) {
  qpt::test::ImageRecipe recipe;
  fs::create_directories(work / "exefs");
  qpt::test::WriteBytes(work / "exefs/code.bin", qpt::test::ImageBuilder::Code());
  qpt::test::WriteBytes(work / "exefs/icon.icn", qpt::test::ImageBuilder::Icon(recipe));
  Bytes header(0x200, 0);
  std::memcpy(&header[0x00], ".code", 5);
  std::memcpy(&header[0x10], "icon", 4);
  qpt::test::WriteBytes(work / "exefsheader.bin", header);
  Check(ctr::BuildExeFs(work / "exefs", work / "exefsheader.bin", work / "exefs.bin", true), "ExeFS");
  qpt::test::WriteBytes(work / "ncchheader.bin", qpt::test::ImageBuilder::NcchHeader(recipe));
  qpt::test::WriteBytes(work / "exheader.bin", qpt::test::ImageBuilder::Exheader(recipe));
  Check(ctr::BuildCxi({work / "ncchheader.bin", work / "exheader.bin", work / "exefs.bin", romfs, {}}, cxi), "CXI");
}

// Bytes a file really occupies on disk (less than its size when it has holes).
std::uint64_t StoredBytes(const fs::path& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_blocks) * 512 : 0;
}

// The first line of an error text, shortened: a path in it may be tens of KiB long.
std::string FirstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  if (line.size() > 160) line = line.substr(0, 150) + " ... (" + std::to_string(line.size()) + " bytes)";
  return line;
}

void Report(const char* what, const TProcessRun& run) {
  const double peakMiB = static_cast<double>(run.maxRssKiB) / 1024.0;
  std::printf("  %-34s exit %d  %8.3f s  peak %8.1f MiB  %s\n", what, run.exitCode, run.seconds, peakMiB,
              peakMiB < 64 ? "(< 64 MiB)" : "(OVER 64 MiB)");
  if (!run.errorText.empty()) std::printf("  %-34s %s\n", "", FirstLine(run.errorText).c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  fs::path scratch = fs::temp_directory_path() / "qpt-bench-hostile";
  std::uint32_t depth = 40000;
  std::uint32_t wide = 900000;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--scratch" && i + 1 < argc) {
      scratch = argv[++i];
    } else if (a == "--depth" && i + 1 < argc) {
      depth = static_cast<std::uint32_t>(std::stoul(argv[++i]));
    } else if (a == "--wide" && i + 1 < argc) {
      wide = std::max<std::uint32_t>(2, static_cast<std::uint32_t>(std::stoul(argv[++i])));
    } else if (a == "--keep") {
      keep = true;
    } else {
      std::fprintf(stderr, "usage: %s [--scratch DIR] [--depth N] [--wide N] [--keep]\n", argv[0]);
      return 2;
    }
  }
  int code = 0;
  try {
    RemoveTree(scratch);
    fs::create_directories(scratch);
    struct Image {
      std::string name;
      fs::path romfs;
    };
    const std::vector<Image> images = {
        {"chain of " + std::to_string(depth) + " folders", scratch / "chain.romfs"},
        {"two 256 MiB tables, sparse", scratch / "sparse.romfs"},
        {"one folder of " + std::to_string(wide) + " files", scratch / "wide.romfs"},
    };
    WriteRomFs(images[0].romfs, ChainLevel3(depth));
    WriteSparseRomFs(images[1].romfs);
    WriteRomFs(images[2].romfs, WideLevel3(wide));

    for (const Image& image : images) {
      const fs::path cxi = fs::path(image.romfs).replace_extension(".cxi");
      WrapInCxi(image.romfs, cxi, scratch / "parts");
      std::printf("%s: RomFS image %.1f MiB (%.0f KiB stored on disk), in a CXI of %.1f MiB\n", image.name.c_str(),
                  static_cast<double>(fs::file_size(image.romfs)) / 1048576.0,
                  static_cast<double>(StoredBytes(image.romfs)) / 1024.0,
                  static_cast<double>(fs::file_size(cxi)) / 1048576.0);
      sync();
      const fs::path out = scratch / "out";
      Report("3dstool -xtf romfs",
             RunMeasured(QPT_TOOLS_DIR "/3dstool", {"-xtf", "romfs", image.romfs.string(), "--romfs-dir", out.string()},
                         fs::path()));
      RemoveTree(out);
      Report("quill-patch-cli verify (CXI)", RunMeasured(QPT_CLI_PROGRAM, {"verify", cxi.string()}, fs::path()));
      fs::remove(cxi);
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_hostile: %s\n", error.what());
    code = 1;
  }
  if (!keep) RemoveTree(scratch);
  return code;
}
