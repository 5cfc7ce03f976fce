// A window stand-in for job tests: records every call the job makes, answers the voice
// choice, and lets a test wait for the end of a run started on the job's own thread.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/install/Install.h"
#include "core/localization/Language.h"

namespace qpt::test {

class RecordingHost : public TInstallHost {
 public:
  void LogAppend(const std::string& line) override;
  void LogReplaceLast(const std::string& line) override;
  void SetProgress(int percent) override;
  void SetLanguageBoxEnabled(bool enabled) override;
  int VoiceIndex() override { return voiceIndex; }
  void ThreadCancel(TInstall* job) override;

  // Forgets everything recorded, for a second run in the same test.
  void Reset();
  // Waits until ThreadCancel was called (for jobs started with Start()).
  void WaitForEnd();
  // The log as the window would show it: every CR LF starts a new line.
  std::vector<std::string> Lines() const;

  int voiceIndex = 0;
  // Called on the job's thread after each progress value is recorded (a test may cancel there).
  std::function<void(int)> onProgress;
  std::vector<std::string> appended;  // raw lines as the job appended them
  std::vector<int> progress;
  std::vector<bool> languageBox;
  int endCount = 0;
  int replaceCount = 0;

 private:
  mutable std::mutex mutex_;
  std::condition_variable ended_;
};

// A language table whose text for every key is the key in angle brackets ("<Done>"), so
// tests can tell which key produced a line.
TLangList BracketLanguage();
// The line a key produces in the bracket language.
std::string L(const std::string& key);
// The line a key with values produces: "<Key:value1:value2>".
std::string L(const std::string& key, const std::vector<std::string>& values);

}  // namespace qpt::test
