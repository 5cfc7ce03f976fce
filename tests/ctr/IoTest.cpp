// Failed writes as statuses: the kind a caller ends a run on, and the system's reason.
#include "ctr/Io.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "support/TempDir.h"

namespace ctr {
namespace {

using qpt::test::TempDir;

TEST(WriteFailure, TheKindComesFromTheSystemsErrorAndTheReasonIsTheSystemsText) {
  const struct {
    int code;
    WriteFault fault;
  } cases[] = {
      {ENOSPC, WriteFault::DiskFull},     {EFBIG, WriteFault::DiskFull},
#ifdef EDQUOT
      {EDQUOT, WriteFault::DiskFull},
#endif
      {EACCES, WriteFault::NoPermission}, {EPERM, WriteFault::NoPermission}, {EROFS, WriteFault::NoPermission},
      {ENODEV, WriteFault::DeviceGone},   {ENXIO, WriteFault::DeviceGone},   {EIO, WriteFault::DeviceGone},
      {ENOENT, WriteFault::None},         {EISDIR, WriteFault::None},        {0, WriteFault::None},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    const std::error_code error(c.code, std::generic_category());
    EXPECT_EQ(WriteFaultOf(error), c.fault);
#ifndef _WIN32
    // The file-system library reports in the system's category, which holds errno values here.
    EXPECT_EQ(WriteFaultOf(std::error_code(c.code, std::system_category())), c.fault);
#endif
    if (c.code == 0) continue;
    const Status failed = WriteFailure("write", "dir/out.bin", error);
    EXPECT_FALSE(failed.ok());
    // A write did fail, whatever the error says of its kind.
    EXPECT_EQ(failed.writeFault(), c.fault == WriteFault::None ? WriteFault::Other : c.fault);
    EXPECT_EQ(failed.message(), "write(dir/out.bin): " + error.message());
  }
}

TEST(WriteFailure, OutputsThatCannotBeWrittenSaySoAndReadsDoNot) {
  TempDir dir;
  const std::vector<std::uint8_t> bytes(std::size_t{1} << 20, 0x5A);
  EXPECT_EQ(ReadWholeFile(dir / "missing.bin").status().writeFault(), WriteFault::None);

  // A folder where the output's temporary file goes.
  std::filesystem::create_directories(dir / "blocked.bin.qpt-partial");
  const Status blocked = WriteWholeFile(dir / "blocked.bin", bytes);
  EXPECT_TRUE(blocked.IsWriteFailure());  // Other here; Windows calls it a denied access
  EXPECT_EQ(blocked.message().rfind("create(" + (dir / "blocked.bin").string() + "): ", 0), 0u) << blocked.message();

#ifndef _WIN32
  // A disk that takes no file beyond a few hundred bytes.
  Status full;
  qpt::test::WithFileSizeLimit(300, [&] { full = WriteWholeFile(dir / "big.bin", bytes); });
  EXPECT_EQ(full.writeFault(), WriteFault::DiskFull);
  EXPECT_EQ(full.message(), "write(" + (dir / "big.bin").string() + "): " + std::generic_category().message(EFBIG));
#endif
}

}  // namespace
}  // namespace ctr
