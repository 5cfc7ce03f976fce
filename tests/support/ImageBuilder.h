// Builds small but complete game images (CXI, CIA, card image) in code, with our own ctr
// builders, for any program ID: a RomFS tree, ExeFS files, and the headers a real title has.
// No game data is involved; every byte is synthetic and the same on every run.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include "support/ImageFiles.h"

namespace qpt::test {

struct ImageRecipe {
  std::uint64_t programId = 0x00040000001BD200;
  // RomFS files by '/'-separated relative path (UTF-8). No files: the image has no RomFS.
  std::map<std::string, Bytes> romfs = {{"data/readme.txt", Bytes{'q', 'u', 'i', 'l', 'l'}}};
  // ExeFS files under their unpacked names (code.bin, banner.bnr, icon.icn, logo.darc.lz,
  // NAME.bin; at most 8). code.bin, banner.bnr and icon.icn get synthetic content when not
  // given; omitBanner / omitIcon leave those out instead.
  std::map<std::string, Bytes> exefs;
  bool omitIcon = false;
  bool omitBanner = false;
  bool compressCode = true;  // .code stored BLZ-compressed, exheader flag set, as in retail titles
  bool withLogo = true;
  std::uint16_t remasterVersion = 0;
  std::uint64_t saveDataSize = 0x80000;
  std::string productCode = "CTR-P-QTST";
  std::uint32_t contentId = 0;  // of the CIA's content 0 (builders other than ours pick any)
};

// Writes its intermediate files under workFolder (which the caller owns, e.g. a TempDir).
// Each Build* writes one image at out and throws std::runtime_error with the builder's
// message if anything fails.
class ImageBuilder {
 public:
  explicit ImageBuilder(std::filesystem::path workFolder);

  void BuildCxi(const ImageRecipe& recipe, const std::filesystem::path& out);
  void BuildCia(const ImageRecipe& recipe, const std::filesystem::path& out);
  // pad: fill with 0xFF to the card size (128 MiB at least), as our 3dstool does.
  void Build3ds(const ImageRecipe& recipe, const std::filesystem::path& out, bool pad = false);

  // The pieces, for tests that assemble or damage images themselves.
  static Bytes NcchHeader(const ImageRecipe& recipe);
  static Bytes Exheader(const ImageRecipe& recipe);  // 0x800 bytes with access descriptor
  static Bytes Logo();                           // 0x2000 bytes
  static Bytes Icon(const ImageRecipe& recipe);      // SMDH, 0x36C0 bytes
  static Bytes Code();                           // a compressible program image
  static Bytes NcsdHeader(const ImageRecipe& recipe);  // 0x4000 bytes of header and card info

 private:
  std::filesystem::path Stage(const ImageRecipe& recipe);  // builds the parts, returns the CXI path

  std::filesystem::path work_;
  int serial_ = 0;
};

}  // namespace qpt::test
