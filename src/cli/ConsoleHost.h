// The install job's host on a console: the log goes to an output stream as it grows, the
// progress shows as a bar on the last line of a terminal (or as plain lines when the output
// is a file or a pipe), and the end of the run removes the work folder as the window does.
// After a run that went through, the full bar stays as the last line; after any other end
// the bar is wiped. An output that can no longer be written (a pipe whose reader is gone)
// stops the run as a cancel does, since nobody follows it any more.
#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <iosfwd>
#include <mutex>
#include <string>

#include "core/install/Install.h"

namespace qpt::cli {

class TConsoleHost : public TInstallHost {
 public:
  // voiceIndex: the voice set the job asks for (0 English, 1 Japanese mod, 2 Japanese original).
  // progressText: the line that stands for the bar when the output is no terminal, with %1
  // for the percentage.
  TConsoleHost(std::ostream& out, bool terminal, int voiceIndex, std::filesystem::path workRoot,
               std::string progressText = "%1%");

  // Called from the job's thread (and from the main thread for the lines the program adds
  // itself); every call writes whole lines under one lock.
  void LogAppend(const std::string& line) override;
  void LogReplaceLast(const std::string& line) override;
  void SetProgress(int percent) override;
  void SetLanguageBoxEnabled(bool) override {}
  int VoiceIndex() override { return voiceIndex_; }
  // Removes tools/temp when the run owned it, then lets WaitForEnd return.
  void ThreadCancel(TInstall* job) override;

  // True when the run has ended, waiting at most timeout for it.
  bool WaitForEnd(std::chrono::milliseconds timeout);

  // From now on the first write that fails asks job to stop, unless a cancel was asked for
  // already. Call it before the job starts; job must outlive the run.
  void CancelOnLostOutput(TInstall& job);
  // Whether a write has failed.
  bool OutputLost();
  // Whether the failed write is what stopped the job.
  bool CancelledForLostOutput();

 private:
  void ClearBar();
  void DrawBar();
  void WriteLines(const std::string& text);
  // Flushes the output and notes whether it can still be written; under mutex_.
  void Flush();

  std::ostream& out_;
  const bool terminal_;
  const int voiceIndex_;
  const std::filesystem::path workRoot_;  // holds tools/temp
  const std::string progressText_;
  std::mutex mutex_;
  std::condition_variable endedChanged_;
  bool ended_ = false;
  int percent_ = -1;       // -1 until the job first reports progress
  bool barShown_ = false;
  TInstall* job_ = nullptr;
  bool outputLost_ = false;
  bool cancelledForLostOutput_ = false;
};

}  // namespace qpt::cli
