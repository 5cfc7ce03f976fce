// Checking a CIA, CXI or card image the way a console or GodMode9 would: every hash the
// containers carry, region by region, so that a rebuilt image can be trusted before a player
// copies it anywhere.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "ctr/Image.h"
#include "ctr/Io.h"

namespace ctr {

// One checked item, e.g. {"content 0: ExeFS files", true, ""} or
// {"content 0: RomFS levels", false, "level 3 block 12 hash mismatch"}.
struct VerifyItem {
  std::string region;
  bool good = false;
  std::string detail;
};

struct VerifyReport {
  ImageKind kind = ImageKind::Unknown;
  std::vector<VerifyItem> items;  // in the order checked

  // True when something was checked and everything checked is good.
  bool ok() const;
  // The first bad item as one line, or empty when ok().
  std::string FirstProblem() const;
};

// Checks the image at path. Fails only when the file cannot be opened or is of no known kind;
// damaged content shows as bad items. Streams every region once, in large blocks.
Result<VerifyReport> VerifyImageReport(const std::filesystem::path& path);

// Ok when every check passes; otherwise the first problem.
Status VerifyImage(const std::filesystem::path& path);

}  // namespace ctr
