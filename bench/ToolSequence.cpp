#include "ToolSequence.h"

#include <stdexcept>

#include "core/common/Common.h"
#include "core/install/Install.h"

namespace qpt::bench {

namespace fs = std::filesystem;

std::string WorkArg(const std::string& backslashPath) { return NativeSeparators(backslashPath); }

namespace {

std::string Quote(const fs::path& path) {
  std::string quoted(1, '"');
  quoted += PathToUtf8(path);
  quoted += '"';
  return quoted;
}

}  // namespace

std::vector<TSequenceItem> InstallSequence(const std::string& inputKind, const fs::path& romPath,
                                           const fs::path& outPath, const fs::path& patchDir, bool withDelta) {
  const auto W = WorkArg;
  std::vector<TSequenceItem> items;
  const bool cia = inputKind == ".cia";
  // The file the extraction steps read: the CIA's first content or the card's partition 0.
  const std::string partition = cia ? W("tools\\temp\\c.0000.00000000") : W("tools\\temp\\Partition0.bin");

  if (cia) {
    items.push_back({{TJobAction::CreateWorkFolder}, "ExtractingNCCH", "ctrtool",
                     "--contents=" + W("tools\\temp\\c") + " " + Quote(romPath), {partition}, {}});
    items.push_back({{}, "ExtractingExeFS", "ctrtool",
                     "-p --exefs=" + W("tools\\temp\\exefs.bin") + " " + partition, {W("tools\\temp\\exefs.bin")}, {}});
    items.push_back({{}, "ExtractingRomFS", "ctrtool",
                     "-p --romfs=" + W("tools\\temp\\romfs.bin") + " " + partition, {W("tools\\temp\\romfs.bin")}, {}});
  } else {
    items.push_back({{TJobAction::CreateWorkFolder}, "ExtractingNCCH", "3dstool",
                     "-xtf 3ds " + Quote(romPath) + " --header " + W("tools\\temp\\headers\\mainncchheader.bin") +
                         " -0 " + partition,
                     {W("tools\\temp\\headers\\mainncchheader.bin"), partition}, {}});
    items.push_back({{}, "ExtractingExeFS", "3dstool",
                     "-xtf cxi " + partition + " --exefs " + W("tools\\temp\\exefs.bin"), {W("tools\\temp\\exefs.bin")}, {}});
    items.push_back({{}, "ExtractingRomFS", "3dstool",
                     "-xtf cxi " + partition + " --romfs " + W("tools\\temp\\romfs.bin"), {W("tools\\temp\\romfs.bin")}, {}});
  }
  items.push_back({{}, "UnpackingRomFS", "3dstool",
                   "-xtf romfs " + W("tools\\temp\\romfs.bin") + " --romfs-dir " + W("tools\\temp\\romfs"),
                   {W("tools\\temp\\romfs")}, {}});
  items.push_back({{}, "ExtractingCXIHeaders", "3dstool",
                   "-xvtf cxi " + partition + " --header " + W("tools\\temp\\headers\\ncchheader.bin") + " --exh " +
                       W("tools\\temp\\headers\\exheader.bin") + " --logo " + W("tools\\temp\\headers\\logo.bin"),
                   {W("tools\\temp\\headers\\ncchheader.bin"), W("tools\\temp\\headers\\exheader.bin"),
                    W("tools\\temp\\headers\\logo.bin")},
                   {}});
  items.push_back({{}, "ExtractingExeFSHeaders", "3dstool",
                   "-xutf exefs " + W("tools\\temp\\exefs.bin") + " --exefs-dir " + W("tools\\temp\\exefs") +
                       " --header " + W("tools\\temp\\headers\\exefsheader.bin"),
                   {W("tools\\temp\\exefs"), W("tools\\temp\\headers\\exefsheader.bin")}, {}});
  std::vector<TJobAction> pending{TJobAction::DeleteExtractedFiles};
  if (withDelta) {
    // The job's line ends in a quote without a partner; the command-line rules drop it.
    pending.push_back(TJobAction::RenamePackDat);
    items.push_back({pending, "ApplyingXdelta", "xdelta",
                     "-d -s " + W("tools\\temp\\old_pack.dat") + " " + Quote(patchDir / "patch.xdelta") + " " +
                         W("tools\\temp\\romfs\\pack.dat") + "\"",
                     {W("tools\\temp\\romfs\\pack.dat")}, {}});
    pending = {TJobAction::DeleteOldPackDat};
  }
  pending.push_back(TJobAction::CopyPatchFolders);
  items.push_back({pending, "RebuildingExeFS", "3dstool",
                   "-cztf exefs " + W("tools\\temp\\exefs.bin") + " --exefs-dir " + W("tools\\temp\\exefs") +
                       " --header " + W("tools\\temp\\headers\\exefsheader.bin"),
                   {W("tools\\temp\\exefs.bin")}, {}});
  items.push_back({{}, "RebuildingRomFS", "3dstool",
                   "-ctf romfs " + W("tools\\temp\\romfs.bin") + " --romfs-dir " + W("tools\\temp\\romfs"),
                   {W("tools\\temp\\romfs.bin")}, {W("tools\\temp\\romfs.bin")}});
  items.push_back({{TJobAction::DiscardUnpackedTree}, "RebuildingCXI", "3dstool",
                   "-cvtf cxi " + W("tools\\temp\\Partition0.cxi") + " --header " +
                       W("tools\\temp\\headers\\ncchheader.bin") + " --exh " + W("tools\\temp\\headers\\exheader.bin") +
                       " --exefs " + W("tools\\temp\\exefs.bin") + " --romfs " + W("tools\\temp\\romfs.bin") +
                       " --logo " + W("tools\\temp\\headers\\logo.bin"),
                   {W("tools\\temp\\Partition0.cxi")}, {}});
  const fs::path stem = RemoveExtension(outPath);
  if (OutputKind(outPath) == ".cia") {
    const std::string out = PathToUtf8(stem) + ".cia";
    items.push_back({{TJobAction::DiscardRebuiltImages}, "RebuildingCIA", "makerom",
                     "-f Cia -content " + W("tools\\temp\\Partition0.cxi") + ":0:0x00 -o \"" + out + "\"", {out},
                     {W("tools\\temp\\Partition0.cxi")}});
  } else {
    const std::string out = PathToUtf8(stem) + ".3ds";
    items.push_back({{TJobAction::DiscardRebuiltImages}, "Rebuilding3DS", "3dstool",
                     "-ctf 3ds \"" + out + "\" --header " + W("tools\\temp\\headers\\mainncchheader.bin") + " -0 " +
                         W("tools\\temp\\Partition0.cxi"),
                     {out}, {}});
  }
  return items;
}

void MakeProgramFolder(const fs::path& appDir, const fs::path& toolsDir) {
  const fs::path tools = appDir / "tools";
  fs::create_directories(tools);
  for (const char* name : {"ctrtool", "3dstool", "makerom"}) {
    const std::string file = name + ExecutableSuffix();
    fs::copy_file(toolsDir / file, tools / file, fs::copy_options::overwrite_existing);
  }
  // The same xdelta the build tree links to, so that both run the same program.
  std::error_code ec;
  const fs::path xdelta = tools / ("xdelta" + ExecutableSuffix());
  fs::remove(xdelta, ec);
  const fs::path built = toolsDir / ("xdelta" + ExecutableSuffix());
  if (fs::exists(built)) {
    fs::create_symlink(fs::canonical(built), xdelta);
  } else {
    fs::create_symlink("/usr/bin/xdelta3", xdelta);
  }
}

void DoJobAction(TJobAction action, const fs::path& appDir, const std::string& inputKind, const fs::path& patchDir) {
  const auto work = [&](const char* relative) { return appDir / PathFromUtf8(NativeSeparators(relative)); };
  const auto remove = [&](const fs::path& path) {
    if (!RemoveFile(path)) throw std::runtime_error("cannot delete " + path.string());
  };
  switch (action) {
    case TJobAction::CreateWorkFolder:
      DeleteFolder(work("tools\\temp"));
      fs::create_directories(work("tools\\temp\\headers"));
      break;
    case TJobAction::DeleteExtractedFiles:
      remove(inputKind == ".cia" ? work("tools\\temp\\c.0000.00000000") : work("tools\\temp\\Partition0.bin"));
      remove(work("tools\\temp\\exefs.bin"));
      remove(work("tools\\temp\\romfs.bin"));
      break;
    case TJobAction::RenamePackDat:
      if (!RenameFile(work("tools\\temp\\romfs\\pack.dat"), work("tools\\temp\\old_pack.dat"))) {
        throw std::runtime_error("cannot move pack.dat");
      }
      break;
    case TJobAction::DeleteOldPackDat:
      remove(work("tools\\temp\\old_pack.dat"));
      break;
    case TJobAction::CopyPatchFolders:
      for (const char* folder : {"exefs", "romfs"}) {
        if (FolderExists(patchDir / folder) && !CopyFolder(patchDir / folder, work("tools\\temp"))) {
          throw std::runtime_error(std::string("cannot copy the patch's ") + folder + " folder");
        }
      }
      break;
    case TJobAction::DiscardUnpackedTree:
      if (!DeleteFolder(work("tools\\temp\\romfs"))) throw std::runtime_error("cannot delete the unpacked tree");
      break;
    case TJobAction::DiscardRebuiltImages:
      remove(work("tools\\temp\\exefs.bin"));
      remove(work("tools\\temp\\romfs.bin"));
      break;
  }
}

}  // namespace qpt::bench
