#pragma once

#include "core/install/Install.h"

namespace qpt {

class TInstallCXI : public TInstall {
 public:
  using TInstall::TInstall;

 protected:

  bool ExtractExeFS() override;
  bool ExtractRomFS() override;
  bool ExtractCXIHeaders() override;
  bool DeleteTempFiles() override;
};

}  // namespace qpt
