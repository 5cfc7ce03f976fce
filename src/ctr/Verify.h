// Checking a CIA, CXI or card image the way a console or GodMode9 would: every hash the
// containers carry, region by region, so that a rebuilt image can be trusted before a player
// copies it anywhere.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "ctr/Image.h"
#include "ctr/Io.h"
#include "ctr/Sha256.h"

namespace ctr {

// What one item of a check covers.
enum class VerifyRegion : std::uint8_t {
  CiaHeader,          // CIA header and sections
  CertificateChain,   // the retail chain
  TicketTitle,        // ticket and TMD name the same title
  TmdInfoRecords,     // TMD info records hash
  TmdContentRecords,  // TMD content records hash
  ContentBitmap,      // content index bitmap and content size
  ContentUnencrypted, // a content the TMD does not mark encrypted
  ContentHash,        // a content's SHA-256 in the TMD
  NcsdHeader,         // NCSD header and partition table
  PartitionPresent,   // partition 0 exists
  NcchHeaderCopy,     // the card header's copy of partition 0's NCCH header
  NcchHeader,
  NcchDecrypted,      // NoCrypto set
  NcchContentSize,
  NcchLayout,         // regions in order, without overlaps
  ExheaderHash,
  LogoHash,
  ExeFsHeaderHash,
  ExeFsFiles,
  RomFsHeaderHash,
  RomFsLevels,
};

// Where an item lies: the whole image, or the NCCH of a CIA content or of a card partition.
enum class VerifyScope : std::uint8_t { Image, Content, Partition };

// Why an item is bad.
enum class VerifyFault : std::uint8_t {
  None,
  Unreadable,      // cannot be read or parsed
  HashMismatch,    // the stored hash differs; for RomFsLevels with level and block, for
                   // ExeFsFiles with the file's name
  Misaligned,      // an ExeFS file (name) does not start on a 0x200-byte unit
  Encrypted,       // the NCCH is encrypted, or the TMD marks the content so
  PastEnd,         // the header claims more bytes than there are
  BadLayout,       // regions overlap, are out of order or pass the content size
  NotRetail,       // not the retail certificate chain
  TitlesDiffer,    // the ticket and the TMD name different titles
  BitmapMismatch,  // the bitmap or the content size does not match the TMD
  CopyDiffers,     // the card header's copy differs from partition 0's header
  Missing,         // partition 0 is not there
};

// One checked item. region and detail are the English words of tools and developers, e.g.
// {"content 0: RomFS levels", false, "RomFS level 3 block 12 does not match its hash"}; a
// window words the item itself from the fields below them, in its player's language.
struct VerifyItem {
  std::string region;
  bool good = false;
  std::string detail;
  VerifyRegion what = VerifyRegion::NcchHeader;
  VerifyScope scope = VerifyScope::Image;
  std::uint16_t scopeIndex = 0;  // the content index or partition number
  VerifyFault fault = VerifyFault::None;
  int level = 0;                 // RomFS hash level 1..3 of a mismatch
  std::uint64_t block = 0;       // block within that level
  std::string name;              // ExeFS file name, as the image holds it
};

struct VerifyReport {
  ImageKind kind = ImageKind::Unknown;
  std::vector<VerifyItem> items;  // in the order checked
  // The SHA-256 of the whole file, when it was asked for and the file could be read through.
  std::optional<Sha256Digest> fileSha256;

  // True when something was checked and everything checked is good.
  bool ok() const;
  // The first bad item as one line, or empty when ok().
  std::string FirstProblem() const;
};

// Checks the image at path. Fails only when the file cannot be opened or is of no known kind;
// damaged content shows as bad items. The large regions (the contents, RomFS level 3) and, with
// hashWholeFile, the whole file's SHA-256 come from one read of the file in large blocks, each
// digest on a thread of its own; the small regions are read beside it. The whole file's hash is
// left out when the containers' headers cannot be read.
Result<VerifyReport> VerifyImageReport(const std::filesystem::path& path, bool hashWholeFile = false);

// Ok when every check passes; otherwise the first problem.
Status VerifyImage(const std::filesystem::path& path);

}  // namespace ctr
