#include "support/ImageBuilder.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "ctr/Cia.h"
#include "ctr/ExeFs.h"
#include "ctr/Ncch.h"
#include "ctr/Ncsd.h"
#include "ctr/RomFs.h"
#include "support/TempDir.h"

namespace qpt::test {

namespace fs = std::filesystem;

namespace {

void Check(const ctr::Status& status, const char* what) {
  if (!status) throw std::runtime_error(std::string(what) + ": " + status.message());
}

fs::path Utf8Path(const std::string& s) { return fs::path(std::u8string(s.begin(), s.end())); }

void PutText(Bytes& bytes, std::size_t offset, const std::string& text) {
  std::memcpy(bytes.data() + offset, text.data(), text.size());
}

// Entry name in the ExeFS header for an unpacked file name.
std::string ExeFsEntryName(const std::string& file) {
  if (file == "code.bin") return ".code";
  if (file == "banner.bnr") return "banner";
  if (file == "icon.icn") return "icon";
  if (file == "logo.darc.lz") return "logo";
  if (file.size() > 4 && file.compare(file.size() - 4, 4, ".bin") == 0) return file.substr(0, file.size() - 4);
  throw std::runtime_error("no ExeFS entry name for " + file);
}

}  // namespace

ImageBuilder::ImageBuilder(fs::path workFolder) : work_(std::move(workFolder)) {}

Bytes ImageBuilder::Code() {
  // Repeated "functions" with a changing constant: compressible like real code, not trivially.
  Bytes code;
  for (std::uint32_t i = 0; code.size() < 0x6000; ++i) {
    const std::uint32_t words[] = {0xE92D4010, 0xE59F0000 | (i & 0xFFF), 0xEB000000 | (i * 7 & 0xFFFFFF), 0xE8BD8010};
    for (std::uint32_t w : words) {
      for (int b = 0; b < 4; ++b) code.push_back(static_cast<std::uint8_t>(w >> (8 * b)));
    }
  }
  return code;
}

Bytes ImageBuilder::Icon(const ImageRecipe& recipe) {
  Bytes icon = PatternBytes(0x36C0, static_cast<std::uint32_t>(recipe.programId >> 8));
  PutText(icon, 0, "SMDH");
  std::memset(icon.data() + 4, 0, 4);
  return icon;
}

Bytes ImageBuilder::Logo() {
  Bytes logo(0x2000, 0);
  const Bytes body = PatternBytes(0x1234, 0x10607);
  logo[0] = 0x11;
  logo[1] = 0x00;
  logo[2] = 0x40;
  std::copy(body.begin(), body.end(), logo.begin() + 4);
  return logo;
}

Bytes ImageBuilder::NcchHeader(const ImageRecipe& recipe) {
  Bytes h(0x200, 0);
  const Bytes signature = PatternBytes(0x100, static_cast<std::uint32_t>(recipe.programId));
  std::copy(signature.begin(), signature.end(), h.begin());
  PutText(h, 0x100, "NCCH");
  PutLE64(h, 0x108, recipe.programId);
  PutText(h, 0x110, "00");
  h[0x112] = 2;
  PutLE64(h, 0x118, recipe.programId);
  PutText(h, 0x150, recipe.productCode.substr(0, 0x10));
  PutLE32(h, 0x180, 0x400);
  const bool hasRomfs = !recipe.romfs.empty();
  h[0x188 + 4] = 1;                                // CTR
  h[0x188 + 5] = hasRomfs ? 3 : 2;                 // executable, with or without RomFS
  h[0x188 + 7] = hasRomfs ? 0x04 : 0x04 | 0x02;    // NoCrypto (| NoMountRomFs)
  // Layout fields stay zero; the CXI builder fills them. Zero counts as block aligned.
  return h;
}

Bytes ImageBuilder::Exheader(const ImageRecipe& recipe) {
  Bytes x(0x800, 0);
  PutText(x, 0x000, "QuillTst");
  x[0x00D] = recipe.compressCode ? 0x01 : 0x00;
  x[0x00E] = static_cast<std::uint8_t>(recipe.remasterVersion);
  x[0x00F] = static_cast<std::uint8_t>(recipe.remasterVersion >> 8);
  const std::uint32_t codeSize = static_cast<std::uint32_t>(Code().size());
  PutLE32(x, 0x010, 0x00100000);
  PutLE32(x, 0x014, (codeSize + 0xFFF) / 0x1000);
  PutLE32(x, 0x018, codeSize);
  PutLE32(x, 0x01C, 0x4000);
  for (int i = 0; i < 4; ++i) PutLE64(x, 0x040 + 8 * i, 0x0004013000001002ull + 0x100 * static_cast<std::uint64_t>(i));
  PutLE64(x, 0x1C0, recipe.saveDataSize);
  PutLE64(x, 0x1C8, recipe.programId);
  PutLE64(x, 0x200, recipe.programId);
  PutLE32(x, 0x208, 2);
  x[0x20F] = 0x30;
  PutText(x, 0x250, "fs:USER");
  const Bytes descriptor = PatternBytes(0x200, 0xAD);
  std::copy(descriptor.begin(), descriptor.end(), x.begin() + 0x400);
  std::copy(x.begin() + 0x200, x.begin() + 0x400, x.begin() + 0x600);
  return x;
}

Bytes ImageBuilder::NcsdHeader(const ImageRecipe& recipe) {
  Bytes h(0x4000, 0);
  const Bytes signature = PatternBytes(0x100, static_cast<std::uint32_t>(recipe.programId) ^ 0x5555);
  std::copy(signature.begin(), signature.end(), h.begin());
  PutText(h, 0x100, "NCSD");
  PutLE32(h, 0x104, 0x40000);
  PutLE64(h, 0x108, recipe.programId);
  PutLE32(h, 0x120, 0x20);
  h[0x188 + 3] = 2;  // card device: none
  h[0x188 + 4] = 1;  // CTR
  h[0x188 + 5] = 1;  // CARD1
  PutLE64(h, 0x190, recipe.programId);
  PutLE32(h, 0x200, 0xFFFFFFFF);
  PutLE64(h, 0x1000, recipe.programId);
  std::fill(h.begin() + 0x1200, h.begin() + 0x1500, 0xFF);
  return h;
}

fs::path ImageBuilder::Stage(const ImageRecipe& recipe) {
  const fs::path dir = work_ / ("image" + std::to_string(serial_++));
  // A folder left by an earlier builder on the same work folder must not add its files.
  fs::remove_all(dir);
  fs::create_directories(dir);

  // ExeFS: the files, and a header naming them in slot order (.code first).
  std::map<std::string, Bytes> files = recipe.exefs;
  if (!files.count("code.bin")) files["code.bin"] = Code();
  if (!recipe.omitBanner && !files.count("banner.bnr")) {
    Bytes banner = PatternBytes(0xA04, 0xBA);
    PutText(banner, 0, "CBMD");
    files["banner.bnr"] = banner;
  }
  if (!recipe.omitIcon && !files.count("icon.icn")) files["icon.icn"] = Icon(recipe);
  std::vector<std::string> order = {"code.bin"};
  for (const char* name : {"banner.bnr", "icon.icn", "logo.darc.lz"}) {
    if (files.count(name)) order.push_back(name);
  }
  for (const auto& [name, bytes] : files) {
    if (std::find(order.begin(), order.end(), name) == order.end()) order.push_back(name);
  }
  if (order.size() > 8) throw std::runtime_error("an ExeFS holds at most 8 files");
  Bytes exefsHeader(0x200, 0);
  for (std::size_t slot = 0; slot < order.size(); ++slot) {
    WriteBytes(dir / "exefs" / order[slot], files[order[slot]]);
    PutText(exefsHeader, 0x10 * slot, ExeFsEntryName(order[slot]).substr(0, 8));
  }
  WriteBytes(dir / "exefsheader.bin", exefsHeader);
  Check(ctr::BuildExeFs(dir / "exefs", dir / "exefsheader.bin", dir / "exefs.bin", recipe.compressCode), "ExeFS");

  fs::path romfs;
  if (!recipe.romfs.empty()) {
    for (const auto& [path, bytes] : recipe.romfs) WriteBytes(dir / "romfs" / Utf8Path(path), bytes);
    romfs = dir / "romfs.bin";
    Check(ctr::BuildRomFs(dir / "romfs", romfs), "RomFS");
  }
  WriteBytes(dir / "ncchheader.bin", NcchHeader(recipe));
  WriteBytes(dir / "exheader.bin", Exheader(recipe));
  fs::path logo;
  if (recipe.withLogo) {
    logo = dir / "logo.bin";
    WriteBytes(logo, Logo());
  }
  const fs::path cxi = dir / "image.cxi";
  Check(ctr::BuildCxi({dir / "ncchheader.bin", dir / "exheader.bin", dir / "exefs.bin", romfs, logo}, cxi), "CXI");
  return cxi;
}

void ImageBuilder::BuildCxi(const ImageRecipe& recipe, const fs::path& out) {
  const fs::path cxi = Stage(recipe);
  fs::remove(out);
  fs::copy_file(cxi, out);
}

void ImageBuilder::BuildCia(const ImageRecipe& recipe, const fs::path& out) {
  Check(ctr::BuildCia(Stage(recipe), 0, recipe.contentId, out), "CIA");
}

void ImageBuilder::Build3ds(const ImageRecipe& recipe, const fs::path& out, bool pad) {
  const fs::path cxi = Stage(recipe);
  const fs::path header = cxi.parent_path() / "ncsdheader.bin";
  WriteBytes(header, NcsdHeader(recipe));
  Check(ctr::BuildNcsd(header, cxi, out, pad), "card image");
}

}  // namespace qpt::test
