#pragma once

#include "core/install/Install.h"

namespace qpt {

class TInstallCIA : public TInstall {
 public:
  using TInstall::TInstall;

 protected:
  bool ExtractNCCH() override;
  bool ExtractExeFS() override;
  bool ExtractRomFS() override;
  bool ExtractCXIHeaders() override;
  bool DeleteTempFiles() override;
};

}  // namespace qpt
