// A program folder with stand-in tools that behave like the real ones on the happy path
// (each call writes the files the next steps need), a patch folder, and helpers to run one
// install job and read what it did.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/install/Install.h"
#include "support/AppFolder.h"
#include "support/RecordingHost.h"

namespace qpt::test {

class JobFixture {
 public:
  JobFixture();

  // Plans the stand-in tools: `overrides` lines come first, so an "exit" there wins over
  // the happy path for calls it matches (see the fake tool's plan format).
  void PlanTool(const std::string& tool, const std::string& overrides = "");
  // A file of the RomFS tree as the RomFS rebuild found it.
  std::filesystem::path Packed(const std::string& relative) const { return app / "tools/temp/packed/romfs" / relative; }
  // The argument lists of every call of a tool, in order.
  std::vector<std::vector<std::string>> Calls(const std::string& tool) const;

  TInstallSettings Settings(const std::string& outName, const std::string& game = "AA5") const;
  // Creates the job for the input's kind and runs it on the calling thread.
  void RunJob(const std::string& outName, const std::string& game = "AA5");
  std::unique_ptr<TInstall> Create(const std::string& outName, const std::string& game = "AA5");

  AppFolder app;
  std::filesystem::path patchDir;
  std::filesystem::path input;
  TLangList lang = BracketLanguage();
  RecordingHost host;
  std::string packDat = "PACKDAT-original";
  std::string packInc = "PACKINC";
  // A real image that the stand-in makerom and 3dstool's CXI build write as their output, for
  // runs whose new image is checked for real (empty: they write nothing).
  std::filesystem::path standInImage;
  // What the check of the new image finds (nothing: the image is good).
  std::optional<TImageProblem> imageProblem;
};

}  // namespace qpt::test
