// The install job: one run of an installation on its own thread. It unpacks the input
// image into the work folder tools/temp, applies the patch, the voices and the music, and
// rebuilds an image of the chosen kind, one step at a time, reporting to the window through
// TInstallHost. The variants TInstallCIA, TInstall3DS and TInstallCXI supply the steps that
// depend on the input kind.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/install/InputPass.h"
#include "core/install/Receipt.h"
#include "core/localization/Language.h"
#include "core/rom/Game.h"
#include "ctr/Io.h"

namespace qpt {

class TInstall;
class TRunLock;
class TTrackList;

// What the job needs of the window. Every call but SetProgress comes from the job's thread.
// SetProgress comes from the job's thread and from the thread that moves the bar while a tool
// runs, which may call it while the job's thread is in another call (the job logs the archive's
// digest while the delta is decoded beside it): an implementation takes it from any thread. An
// implementation carries LogAppend, LogReplaceLast, SetProgress, SetLanguageBoxEnabled and
// VoiceIndex out on the window's thread and returns when they are done.
class TInstallHost {
 public:
  virtual ~TInstallHost() = default;
  // A line may hold CR LF pairs; each starts a further line.
  virtual void LogAppend(const std::string& line) = 0;
  virtual void LogReplaceLast(const std::string& line) = 0;
  virtual void SetProgress(int percent) = 0;
  virtual void SetLanguageBoxEnabled(bool enabled) = 0;
  // Selected voice set: 0 English, 1 Japanese (partly from later games), 2 Japanese original.
  virtual int VoiceIndex() = 0;
  // The end of every run, whether it succeeded, failed or was cancelled: the job's last call,
  // handed over without waiting; the job's thread does nothing more afterwards.
  virtual void ThreadCancel(TInstall* job) = 0;
};

// What the check of a new image found wrong: a message key and the values for its %1, %2, ...
struct TImageProblem {
  std::string key;
  std::vector<std::string> values;
};

// Checks a new image against the input it was made from; nothing when it is good.
using TImageCheck =
    std::function<std::optional<TImageProblem>(const std::filesystem::path& input, const std::filesystem::path& output)>;

// Everything a run is started with; the job keeps its own copies.
struct TInstallSettings {
  TFolders folders;                 // where the tools and the work folder are
  std::filesystem::path patchDir;   // folder of the chosen descriptor; empty for no patch
  std::filesystem::path romPath;    // input image
  std::filesystem::path outPath;    // output image as chosen
  TGame game;                       // decides the steps only some games have
  std::string originalPackDatMD5;   // expected digests; empty switches a check off
  std::string originalPackIncMD5;
  const TLangList* lang = nullptr;  // the window's table; read only while the run lasts
  const TTrackList* trackList = nullptr;  // music choice for the voice and music step
  // The check of the new image before the success line; empty means CheckNewImage.
  TImageCheck checkImage;
  // Whether a successful run leaves a receipt beside the new image, and what it says that
  // only the caller knows.
  bool writeReceipt = false;
  TReceiptFacts receiptFacts;
  // A mod folder instead of an image: outPath is then the folder that receives the title
  // folder "<TitleID>" (and its receipt "<TitleID>.txt"), and the input kind does not matter.
  bool modFolder = false;
  // Whether an existing title folder in outPath is replaced whole; otherwise the run is refused.
  bool replaceModFolder = false;
  // Where a test holds one of a run's parallel parts back, to pin the order in which they
  // meet; empty in every real run.
  struct THooks {
    // On the input pass's thread, before it reads the image.
    std::function<void()> inputPassStarts;
    // On the job's thread, as the delta step begins, with a call that waits until the digests
    // of the archives are known.
    std::function<void(const std::function<void()>& waitForDigests)> deltaStepStarts;
    // On a deletion thread, before it deletes a work file moved aside.
    std::function<void(const std::filesystem::path& aside)> deletingWorkFile;
  } hooks;
};

// The output kind a name asks for: ".cxi", ".cia", or ".3ds" for anything else. Letter case
// does not matter, so "GAME.CIA" builds a CIA.
std::string OutputKind(const std::filesystem::path& outPath);

// The path without its extension: cut before the last "." of the last name, if any.
std::filesystem::path RemoveExtension(const std::filesystem::path& path);

// The output for a name chosen in the save dialog: a name without an extension gets the
// extension of the kind selected there (".cia", ".cxi" or ".3ds"), as the save dialog on
// Windows gives it; any other name, or no kind known, stays as it is.
std::filesystem::path OutputPathWithKind(const std::filesystem::path& chosen, const std::string& kindExtension);

// The file a run given this output path really writes: the name without its extension, plus
// the kind's lower-case extension ("game.CIA" writes "game.cia", "game.backup" "game.3ds").
std::filesystem::path WrittenOutputPath(const std::filesystem::path& outPath);

// Whether an input of inputKind (".cia", ".cxi", ".3ds") can be written as this output: a 3DS
// image needs the card header that only a 3DS input has, so any other input is refused as soon
// as the output is chosen instead of failing at the last tool.
bool OutputKindPossible(const std::string& inputKind, const std::filesystem::path& outPath);

class TInstall {
 public:
  TInstall(TInstallHost& host, TInstallSettings settings);
  virtual ~TInstall();
  TInstall(const TInstall&) = delete;
  TInstall& operator=(const TInstall&) = delete;

  // Starts Execute on the job's own thread.
  void Start();
  // Waits for the job's thread to finish. Never call it from the job's thread.
  void WaitFor();
  // The cancel request; it only ever goes from clear to set.
  void Terminate() { terminated_.store(true); }
  bool Terminated() const { return terminated_.load(); }

  // The thread body: every step in order, ending the run through the host's ThreadCancel
  // exactly once, whatever happens. Public so that tests can run a job synchronously.
  void Execute();

  const std::filesystem::path& OutPath() const { return FOutPath; }

  // Whether this run took the program folder's run lock and so may have made the work folder.
  // False for a run refused because another run holds the folder: its host must then leave
  // tools/temp alone, since it is the other run's. Read it once ThreadCancel has been called.
  bool OwnsWorkFolder() const { return ownsWorkFolder_.load(); }
  // Hands the run's lock over (to the removal of its work folder); call it once the job's
  // thread has finished. Null when the run never took the lock.
  std::unique_ptr<TRunLock> TakeRunLock();
  // True once the run has logged its success line; read it once ThreadCancel has been called.
  bool Succeeded() const { return succeeded_.load(); }
  // True when the run succeeded but logged warnings on the way (a part of the patch may be
  // missing); read it once ThreadCancel has been called.
  bool SucceededWithWarnings() const { return Succeeded() && !warnings_.empty(); }
  // Every warning the run logged, each as logged (its text, then CR LF and the detail when
  // there is one), in order; read it once ThreadCancel has been called.
  const std::vector<std::string>& Warnings() const { return warnings_; }

 protected:
  // Steps, in the order Execute calls most of them. A step returns false when it ended the
  // run (its error line is already logged); true when the run goes on.
  virtual bool ExtractNCCH() { return true; }
  virtual bool ExtractExeFS() = 0;
  virtual bool ExtractRomFS() = 0;
  virtual bool UnpackRomFS();
  virtual bool ExtractCXIHeaders() = 0;
  virtual bool ExtractExeFSHeaders();
  virtual bool DeleteTempFiles() = 0;
  virtual bool ApplyXdelta();
  virtual bool ApplySoundAAT();
  virtual bool ApplySoundAA4();
  virtual bool UpdatePackDat();
  virtual bool ReplaceExeFS();
  virtual bool ReplaceRomFS();
  // Puts a mod-folder patch's extended header in place of the extracted one.
  virtual bool ReplaceExheader();
  virtual bool RebuildExeFS();
  virtual bool RebuildRomFS();
  virtual bool RebuildCXI();
  virtual bool RebuildCIA();
  virtual bool Rebuild3DS();
  // Refuses a run that would write over its input, or that lacks the room or the right to
  // write, before anything is written.
  virtual bool CheckBeforeStart();
  // A patch in another form than the job's own (a mod folder) is laid out in the work folder,
  // and FPatchDir names that from then on; false when the patch was refused (logged).
  bool PreparePatch();
  // Everything after the patch steps up to a checked output: the rebuild of the chosen image
  // kind and the check of the new image. written receives what the success line names.
  virtual bool BuildOutput(std::filesystem::path& written);

  // Helpers for the steps.
  std::string GetLangText(const char* key) const;
  // The run's language table; an empty one (every text its key) when the run has none.
  const TLangList& Lang() const;
  // Every line goes to the host and into the run's own copy of its log (for the receipt).
  void Log(const std::string& line);
  void LogReplaceLast(const std::string& line);
  // A step that ends after a cancel was asked does not say "Done": the log already says that
  // the run is being cancelled, and nothing of the step will be used.
  void LogKey(const char* key) {
    if (Terminated() && std::string_view(key) == "Done") return;
    Log(GetLangText(key));
  }
  void LogKeyAfterBreak(const char* key) { Log("\r\n" + GetLangText(key)); }
  // A warning: logged now and said again at the end of a run that succeeds. detail, when not
  // empty, follows on a line of its own.
  void LogWarning(const char* key, const std::string& detail = std::string());
  // The text for key with %1, %2, ... replaced by values.
  std::string FormatText(const char* key, const std::vector<std::string>& values) const;
  // Logs the last line the tool of the latest Run wrote to its error stream, if any: the
  // tool's own reason for a failure.
  void LogToolReason();
  void Progress(int percent) {
    progress_ = percent;
    host_.SetProgress(percent);
  }
  // For the next Run: what the tool writes and how much it will have grown by at its end, so
  // that the bar moves from the present percentage towards the end of the stage meanwhile.
  void ExpectGrowth(std::vector<std::filesystem::path> watched, std::uint64_t expectedGrowth);
  // The size of a file or folder (0 when missing), for the expected growth.
  static std::uint64_t SizeOf(const std::filesystem::path& path);
  // A file our tools write, and the temporary name they write it under until it is complete.
  static std::vector<std::filesystem::path> WithPartFile(const std::filesystem::path& target);
  // The work folder and paths in it ("tools\temp\exefs.bin" in backslash form).
  std::filesystem::path WorkPath(const std::string& relative) const;
  // A work path as written in a tool's argument string: relative, platform separators.
  static std::string Arg(const std::string& relative);
  // A user path (UTF-8) in double quotes for an argument string, with any quote or backslash
  // in it escaped so that the tool receives the path unchanged.
  static std::string Quote(const std::string& utf8Path);

  enum class ErrorLine { AfterBreak, Plain };
  // The common pattern of a tool step: start line, run, then "Done" for 0, the error line and
  // the end of the run for 1, the tool's unknown-error line and the end of the run for
  // anything else (our tools return only 0 and 1; anything else is a crash or a kill, and
  // what such a tool left behind cannot be trusted). After a failure the tool's own reason
  // follows.
  // Runs a step whose end is the given percentage of the bar.
  bool RunStage(bool (TInstall::*step)(), int endPercent);
  bool Checkpoint() const { return !Terminated(); }
  // For a long read that stops when the run is cancelled.
  const std::atomic<bool>* StopFlag() const { return &terminated_; }
  // The files a mod-folder run wrote, for its receipt: path in the title folder, SHA-256.
  std::vector<std::pair<std::string, std::string>> writtenFiles_;

  bool RunToolStep(const char* startKey, const std::string& tool, const std::string& arguments,
                   const char* errorKey, ErrorLine errorLine, const char* unknownKey);
  // The end of such a step, for a tool already run with this exit code.
  bool EndToolStep(std::uint32_t code, const char* errorKey, ErrorLine errorLine, const char* unknownKey);
  std::uint32_t Run(const std::string& tool, const std::string& arguments);
  // The voice and music step of both games: the sound archive's name ("GS123"), the index
  // of the voice wave archive among its files, and whether names are written whole with
  // renamed stream files (the fourth game) or as keys in place (the trilogy).
  bool ApplySound(const std::string& archiveName, const std::string& voicePiece, bool wholeNames);
  // Moves the given work files aside in order and deletes them on a thread of their own; the
  // first that cannot be moved (a missing file among them) ends the run.
  bool DeleteWorkFiles(std::initializer_list<const char*> relativePaths);
  // Deletes work files and folders no later step reads, sooner than the work folder's removal
  // at the end; whatever cannot be moved aside simply goes with the work folder.
  void DiscardWorkFiles(std::initializer_list<const char*> relativePaths);
  // Moves one work file or folder out of the steps' way, for deletion on a thread.
  bool MoveAside(const char* relativePath, std::vector<std::filesystem::path>& aside);
  void DeleteOnThread(std::vector<std::filesystem::path> aside);
  // Waits until every file moved aside is gone, before the work folder may go.
  void WaitForDeletions();
  std::vector<std::future<void>> deletions_;  // job thread only
  int deletedFiles_ = 0;
  // A step whose other problems are warnings hands here the status of every write it made that
  // failed, from whichever thread made it: a full disk must end the run (RunWarningStep), not
  // leave the patch's files quietly out of the image. True when status is such a failure.
  // Thread: any.
  bool KeepWriteFailure(const ctr::Status& status);
  // Copies a patch folder into the work folder without following links; every link skipped
  // is a warning that names it, and a write that failed goes to KeepWriteFailure.
  bool CopyPatchFolder(const std::filesystem::path& source, const std::filesystem::path& destination);

  TInstallHost& host_;
  const TInstallSettings settings_;
  // The program's own folder, the one the program file is in.
  std::filesystem::path FAppDir;
  // Where the run works: the folder that holds tools/temp and tools/run.lock, and the working
  // folder of every tool it starts (the tools' fixed arguments are relative to it). The
  // program folder of a portable program; the player's cache folder of an installed one.
  std::filesystem::path FWorkRoot;
  std::filesystem::path FPatchDir;
  // The extended header a mod-folder patch brings, laid out and checked against the image and
  // the program by PreparePatch; empty when the patch brings none.
  std::filesystem::path patchExheader_;
  std::filesystem::path FRomPath;
  std::filesystem::path FOutPath;  // as chosen
  // The image a run writes: FOutPath with its kind's own extension (WrittenOutputPath). The
  // rebuild steps write it and the check reads it; a mod-folder run writes none.
  const std::filesystem::path FImagePath;
  std::string FOutExt;
  TGame FGame;
  std::string FOriginalPackDatMD5;
  std::string FOriginalPackIncMD5;
  std::string FPackDatMD5;
  std::string FPackIncMD5;
  std::string FCtrtool;
  std::string FMakerom;
  std::string F3dstool;
  std::string FXdelta;
  // When set, the delta step gives xdelta the input image itself as its source, with this
  // copy of the patch's delta that reads the archive where it lies in the image (see
  // ShiftVcdiffSource), and pack.dat need not have been extracted.
  std::filesystem::path deltaOnImage_;
  std::uint64_t deltaSourceSize_ = 0;  // the archive's size, for the progress bar
  // Whether the digest of pack.dat (0) or pack.inc (1) is worked out from the input's own
  // bytes, so that the MD5 step needs no extracted copy.
  bool InputPassHashes(std::size_t which) const { return passRange_[which].has_value(); }

 private:
  // The steps between the work folder's creation and the success line; false when the run
  // ended early (an error, or a cancel seen at a checkpoint).
  bool RunSteps();
  // After the last tool: a cancel asked for meanwhile, then the check of the new image. On
  // failure the new image is deleted.
  bool CheckOutput(const std::filesystem::path& written);
  // Runs a step whose problems are warnings; a write failure in it (a full disk) ends the run.
  bool RunWarningStep(bool (TInstall::*step)());
  // The first write failure kept since the last call, and a clean slate for the next step.
  ctr::Status TakeWriteFailure();
  std::mutex writeFailureMutex_;
  ctr::Status writeFailure_;  // guarded by writeFailureMutex_


  struct TExpectedGrowth {
    std::vector<std::filesystem::path> watched;
    std::uint64_t bytes = 0;
  };
  int progress_ = 0;                        // job thread only: the last percentage reported
  int stageEnd_ = 0;                        // job thread only: the percentage the stage ends at
  std::optional<TExpectedGrowth> growth_;   // job thread only: for the next Run

  std::atomic<bool> terminated_{false};
  std::atomic<bool> ownsWorkFolder_{false};
  std::atomic<bool> succeeded_{false};
  std::vector<std::string> warnings_;  // job thread only
  std::vector<std::string> logCopy_;   // job thread only: the run's lines as the log shows them
  // The input's SHA-256 for the receipt and the MD5 of the archives the patch's digests name,
  // worked out in one read on a thread of its own while the first steps run; stopped early
  // when the run ends without success.
  TInputPass inputPass_;
  // Which of the pass's ranges is pack.dat's and pack.inc's; none when the pass does not read
  // them, and the MD5 step then reads the extracted file.
  std::optional<std::size_t> passRange_[2];
  void StartInputPass();
  // The MD5 of the extracted work file or, when the pass read it, of its bytes in the input.
  std::string ArchiveMD5(std::size_t which, const std::filesystem::path& workFile);
  std::string outputHash_;  // from the check of the new image
  // Writes the receipt of a run that is about to say success, whose last lines are these.
  bool WriteReceipt(const std::filesystem::path& written, const std::vector<std::string>& lastLines);
  std::string lastToolReason_;         // job thread only
  // Held from before the work folder is touched until the job is destroyed, which the hosts
  // do only after removing the work folder, so no other run can start in between.
  std::unique_ptr<TRunLock> runLock_;
  std::thread thread_;
};

// Creates the job variant for an input kind (".cia", ".3ds", ".cxi", any letter case);
// nullptr for anything else.
std::unique_ptr<TInstall> CreateInstallJob(const std::string& inputKind, TInstallHost& host,
                                           TInstallSettings settings);

}  // namespace qpt
