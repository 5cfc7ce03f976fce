// Peak memory of the unpackers and the verifier on images made to exhaust memory. Each image
// is small on disk (or sparse); what it claims is large:
//
//   chain  a folder inside a folder inside a folder ..., --depth deep (default 40,000),
//          ending in one file; the hash levels are right, so the image verifies;
//   sparse a level 3 whose two metadata tables claim 256 MiB each, in a sparse file that
//          holds a few KiB of data; and the same with 32 MiB tables, the most a reader takes;
//   wide   one folder holding --wide files and as many folders (default 900,000 each: tables
//          near the most a reader takes), all with short names, the last folder named like
//          the first file (so that nothing is unpacked: the image is refused once the whole
//          folder has been looked at).
//
// For each it runs `3dstool -xtf romfs IMAGE --romfs-dir DIR` and `quill-patch-cli verify
// CXI` (the RomFS wrapped in a plain CXI) through the launcher and prints exit code, time,
// peak resident memory against the 64 MiB target, and the first line the program wrote on
// standard error. Then `3dstool -xutf exefs` on an ExeFS whose .code is as large as a program
// image may be, and the verifier alone on a CIA whose header claims a certificate chain of
// 3.75 GiB (a hole in the file).
//
// usage: bench_hostile [--scratch DIR] [--depth N] [--wide N] [--keep]
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Measure.h"
#include "ctr/Cia.h"
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

// Level 3 of one folder (the root) holding `count` files and `count` empty folders, all with
// two-letter names, the last folder named like the first file.
Bytes WideLevel3(std::uint32_t count) {
  constexpr std::uint32_t kFileEntry = sizeof(ctr::RomFsFileRecord) + 4;
  constexpr std::uint32_t kDirEntry = sizeof(ctr::RomFsDirRecord) + 4;
  ctr::RomFsLevel3HeaderRecord h{};
  h.headerSize = sizeof(h);
  h.dirHashOffset = sizeof(h);
  h.dirHashSize = 4;
  h.dirMetaOffset = h.dirHashOffset + h.dirHashSize;
  h.dirMetaSize = (count + 1) * kDirEntry;
  h.fileHashOffset = h.dirMetaOffset + h.dirMetaSize;
  h.fileHashSize = 4;
  h.fileMetaOffset = h.fileHashOffset + h.fileHashSize;
  h.fileMetaSize = count * kFileEntry;
  h.dataOffset = static_cast<std::uint32_t>(Align(h.fileMetaOffset + h.fileMetaSize, 0x10));

  // Two letters from the CJK ideographs (no letter case to fold), files and folders apart.
  const auto putName = [](Bytes& bytes, std::size_t at, std::uint16_t base, std::uint32_t k) {
    Put(bytes, at, static_cast<std::uint16_t>(base + k / 0x1000));
    Put(bytes, at + 2, static_cast<std::uint16_t>(0x4E00 + k % 0x1000));
  };
  Bytes level3(h.dataOffset, 0);
  Put(level3, 0, h);
  Put(level3, h.dirHashOffset, std::uint32_t{0});
  Put(level3, h.fileHashOffset, std::uint32_t{0});
  Put(level3, h.dirMetaOffset, ctr::RomFsDirRecord{0, kNone, kDirEntry, 0, kNone, 0});
  for (std::uint32_t k = 0; k < count; ++k) {
    const bool last = k + 1 == count;
    const std::size_t fileAt = h.fileMetaOffset + std::size_t{k} * kFileEntry;
    Put(level3, fileAt, ctr::RomFsFileRecord{0, last ? kNone : (k + 1) * kFileEntry, 0, 0, kNone, 4});
    putName(level3, fileAt + sizeof(ctr::RomFsFileRecord), 0x5000, k);
    const std::uint32_t dir = (k + 1) * kDirEntry;
    const std::size_t dirAt = h.dirMetaOffset + dir;
    Put(level3, dirAt, ctr::RomFsDirRecord{0, last ? kNone : dir + kDirEntry, kNone, kNone, kNone, 4});
    putName(level3, dirAt + sizeof(ctr::RomFsDirRecord), last ? 0x5000 : 0x6000, last ? 0 : k);
  }
  return level3;
}

// A RomFS whose level 3 claims two metadata tables of tableMiB each: the header is real data,
// the rest of the file a hole.
void WriteSparseRomFs(const fs::path& path, std::uint32_t tableMiB) {
  const std::uint32_t table = tableMiB << 20;
  ctr::RomFsLevel3HeaderRecord h{};
  h.headerSize = sizeof(h);
  h.dirHashOffset = sizeof(h);
  h.dirHashSize = 0;
  h.dirMetaOffset = sizeof(h);
  h.dirMetaSize = table;
  h.fileHashOffset = h.dirMetaOffset + table;
  h.fileHashSize = 0;
  h.fileMetaOffset = h.fileHashOffset;
  h.fileMetaSize = table;
  h.dataOffset = h.fileMetaOffset + table;
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

// A copy of a CIA whose header claims 3.75 GiB more certificate chain: the sections after the
// chain move up by as much, and the gap is a hole in the file.
void WriteInflatedCia(const fs::path& cia, const fs::path& out) {
  constexpr std::uint32_t kMore = 0xF0000000;
  Bytes bytes = qpt::test::ReadBytes(cia);
  std::uint32_t chain = 0;
  std::memcpy(&chain, bytes.data() + 0x08, 4);
  const std::size_t ticket = static_cast<std::size_t>(Align(Align(ctr::kCiaHeaderSize, 0x40) + chain, 0x40));
  chain += kMore;
  std::memcpy(bytes.data() + 0x08, &chain, 4);
  std::ofstream file(out, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(ticket));
  file.seekp(static_cast<std::streamoff>(ticket) + kMore);
  file.write(reinterpret_cast<const char*>(bytes.data() + ticket), static_cast<std::streamsize>(bytes.size() - ticket));
  if (!file) throw std::runtime_error("cannot write " + out.string());
}

// An ExeFS whose .code is 34 MiB stored and claims 35 MiB decompressed, the most a program
// image may have; its stream is empty, so the decompression fails and the bytes are written
// as stored.
void WriteLargeCodeExeFs(const fs::path& path) {
  constexpr std::uint32_t kStored = 34u << 20, kIncrease = 1u << 20;
  Bytes header(0x200, 0);
  std::memcpy(&header[0x00], ".code", 5);
  Put(header, 0x0C, kStored);
  Bytes footer;
  Put(footer, 0, std::uint32_t{8} | std::uint32_t{8} << 24);
  Put(footer, 4, kIncrease);
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
  file.seekp(0x200 + kStored - 8);
  file.write(reinterpret_cast<const char*>(footer.data()), static_cast<std::streamsize>(footer.size()));
  if (!file) throw std::runtime_error("cannot write " + path.string());
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
        {"two 32 MiB tables, sparse", scratch / "sparse32.romfs"},
        {"one folder of " + std::to_string(wide) + " files and as many folders", scratch / "wide.romfs"},
    };
    WriteRomFs(images[0].romfs, ChainLevel3(depth));
    WriteSparseRomFs(images[1].romfs, 256);
    WriteSparseRomFs(images[2].romfs, 32);
    WriteRomFs(images[3].romfs, WideLevel3(wide));

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

    // The largest program image there may be, unpacked with decompression.
    const fs::path exefs = scratch / "code.exefs";
    WriteLargeCodeExeFs(exefs);
    std::printf("ExeFS with a .code of 34 MiB claiming 35 MiB decompressed\n");
    sync();
    Report("3dstool -xutf exefs",
           RunMeasured(QPT_TOOLS_DIR "/3dstool",
                       {"-xutf", "exefs", exefs.string(), "--exefs-dir", (scratch / "exefs").string(), "--header",
                        (scratch / "exefsheader.bin").string()},
                       fs::path()));

    // A CIA whose certificate chain claims 3.75 GiB (a hole): the verifier alone reads it.
    const fs::path cia = scratch / "chain.cia";
    qpt::test::ImageBuilder(scratch / "parts").BuildCia(qpt::test::ImageRecipe{}, scratch / "small.cia");
    WriteInflatedCia(scratch / "small.cia", cia);
    std::printf("CIA claiming a 3.75 GiB certificate chain: %.1f MiB (%.0f KiB stored on disk)\n",
                static_cast<double>(fs::file_size(cia)) / 1048576.0, static_cast<double>(StoredBytes(cia)) / 1024.0);
    sync();
    Report("quill-patch-cli verify (CIA)", RunMeasured(QPT_CLI_PROGRAM, {"verify", cia.string()}, fs::path()));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_hostile: %s\n", error.what());
    code = 1;
  }
  if (!keep) RemoveTree(scratch);
  return code;
}
