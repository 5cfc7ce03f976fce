// The run lock's platform side is in PlatformPosix.cpp and PlatformWin32.cpp.
#include "core/common/RunLock.h"

namespace qpt {

namespace fs = std::filesystem;

fs::path TRunLock::LockPath(const fs::path& appDir) { return appDir / "tools" / "run.lock"; }

}  // namespace qpt
