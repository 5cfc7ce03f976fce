#include "cli/ConsoleHost.h"

#include <ostream>

#include "core/common/Common.h"
#include "core/localization/Language.h"

namespace qpt::cli {

namespace {

constexpr int kBarWidth = 40;
// Erase the whole current line and go back to its start.
constexpr const char* kEraseLine = "\r\x1b[2K";
// Go up one line and erase it.
constexpr const char* kEraseLineAbove = "\x1b[1A\x1b[2K";

}  // namespace

TConsoleHost::TConsoleHost(std::ostream& out, bool terminal, int voiceIndex, std::filesystem::path workRoot,
                           std::string progressText)
    : out_(out),
      terminal_(terminal),
      voiceIndex_(voiceIndex),
      workRoot_(std::move(workRoot)),
      progressText_(std::move(progressText)) {}

void TConsoleHost::ClearBar() {
  if (barShown_) out_ << kEraseLine;
  barShown_ = false;
}

void TConsoleHost::DrawBar() {
  if (!terminal_ || percent_ < 0) return;
  const int filled = percent_ * kBarWidth / 100;
  out_ << kEraseLine << '[' << std::string(static_cast<std::size_t>(filled), '#')
       << std::string(static_cast<std::size_t>(kBarWidth - filled), '.') << "] " << percent_ << '%';
  barShown_ = true;
}

void TConsoleHost::WriteLines(const std::string& text) {
  // The job's lines may hold CR LF pairs; each starts a further line, as in the window's log.
  std::size_t start = 0;
  for (;;) {
    const std::size_t br = text.find("\r\n", start);
    out_ << text.substr(start, br == std::string::npos ? std::string::npos : br - start) << '\n';
    if (br == std::string::npos) break;
    start = br + 2;
  }
}

void TConsoleHost::Flush() {
  out_.flush();
  if (out_ || outputLost_) return;
  outputLost_ = true;
  if (job_ && !job_->Terminated()) {
    cancelledForLostOutput_ = true;
    job_->Terminate();
  }
}

void TConsoleHost::LogAppend(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  ClearBar();
  WriteLines(line);
  DrawBar();
  Flush();
}

void TConsoleHost::LogReplaceLast(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  ClearBar();
  // The pack update counts its entries on one line; a file keeps every count instead.
  if (terminal_) out_ << kEraseLineAbove;
  WriteLines(line);
  DrawBar();
  Flush();
}

void TConsoleHost::SetProgress(int percent) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (percent == percent_) return;
  percent_ = percent;
  if (terminal_) {
    DrawBar();
  } else {
    out_ << FillMarks(progressText_, {std::to_string(percent)}) << '\n';
  }
  Flush();
}

void TConsoleHost::ThreadCancel(TInstall* job) {
  // The job does nothing more after this call and still holds the run lock, so the work
  // folder can go here, before anyone else may start a run.
  if (job && job->OwnsWorkFolder()) DeleteFolder(workRoot_ / "tools" / "temp");
  std::lock_guard<std::mutex> lock(mutex_);
  job_ = nullptr;  // ended: a write failing from here on stops nothing
  if (barShown_ && job && job->Succeeded()) {
    // A full bar stays on screen as the last word of a run that went through.
    out_ << '\n';
    barShown_ = false;
  }
  ClearBar();
  percent_ = -1;  // lines after the end are not followed by a bar
  Flush();
  ended_ = true;
  endedChanged_.notify_all();
}

bool TConsoleHost::WaitForEnd(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return endedChanged_.wait_for(lock, timeout, [this] { return ended_; });
}

void TConsoleHost::CancelOnLostOutput(TInstall& job) {
  std::lock_guard<std::mutex> lock(mutex_);
  job_ = &job;
}

bool TConsoleHost::OutputLost() {
  std::lock_guard<std::mutex> lock(mutex_);
  return outputLost_;
}

bool TConsoleHost::CancelledForLostOutput() {
  std::lock_guard<std::mutex> lock(mutex_);
  return cancelledForLostOutput_;
}

}  // namespace qpt::cli
