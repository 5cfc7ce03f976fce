// The tool calls of one installation, in the order the install job makes them, with the
// argument strings built exactly as the job builds them, and the work the job does between
// them. The tool benchmark replays this list call by call; a test checks it against the calls
// a real job makes, so that the two cannot drift apart.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qpt::bench {

// What the job does itself between tool calls (none of it is timed per call).
enum class TJobAction {
  CreateWorkFolder,      // tools/temp and tools/temp/headers, fresh
  DeleteExtractedFiles,  // the partition, exefs.bin and romfs.bin after unpacking
  RenamePackDat,         // romfs/pack.dat -> old_pack.dat before the delta
  DeleteOldPackDat,      // after the delta
  CopyPatchFolders,      // the patch's exefs/ and romfs/ laid over the work folder
  DiscardUnpackedTree,   // romfs/ once the RomFS image is rebuilt
  DiscardRebuiltImages,  // exefs.bin and romfs.bin once the CXI is built
};

struct TSequenceItem {
  std::vector<TJobAction> before;        // what the job does before the call, in order
  std::string step;                      // the job's step key, e.g. "ExtractingNCCH"
  std::string tool;                      // "ctrtool", "3dstool", "makerom", "xdelta"; empty: none
  std::string arguments;                 // exactly as the job passes them
  // What the call writes and what it must hash in full by its nature: paths relative to the
  // program folder (platform separators) or absolute.
  std::vector<std::string> writes;
  std::vector<std::string> hashes;
};

// The sequence for an input kind (".cia" or ".3ds") and output kind (".cia" or ".3ds"), a
// patch with a delta (withDelta) and exefs/romfs folders. outPath is the output as a user
// chooses it (its extension is replaced as the job replaces it).
std::vector<TSequenceItem> InstallSequence(const std::string& inputKind, const std::filesystem::path& romPath,
                                           const std::filesystem::path& outPath,
                                           const std::filesystem::path& patchDir, bool withDelta);

// Lays out a program folder at appDir: tools/ with copies of our built tools from toolsDir
// and xdelta linked to the system's xdelta3 (as the build tree has it).
void MakeProgramFolder(const std::filesystem::path& appDir, const std::filesystem::path& toolsDir);

// Does what the job does for an action, in the program folder appDir. Throws
// std::runtime_error when it fails.
void DoJobAction(TJobAction action, const std::filesystem::path& appDir, const std::string& inputKind,
                 const std::filesystem::path& patchDir);

// The relative work paths of the job as written in argument strings ("tools/temp/romfs").
std::string WorkArg(const std::string& backslashPath);

}  // namespace qpt::bench
