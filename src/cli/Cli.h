// quill-patch-cli: the window's work from a command line, on the same core, without a
// display. RunCli is the whole program apart from what only main can know (the program
// folder, the locale, whether the output is a terminal, Ctrl+C), so that tests can drive it.
#pragma once

#include <atomic>
#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

#include "core/common/Folders.h"

namespace qpt {
class TLangList;
}

namespace qpt::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the run or the check failed, or the image was refused
inline constexpr int kExitUsage = 2;   // wrong usage
inline constexpr int kExitWarnings = 3;  // the image was written, but a part of the patch may be missing
// The standard output was closed (the reader of a pipe is gone) during an installation, which
// then stopped as on Ctrl+C and wrote nothing.
inline constexpr int kExitOutputClosed = 4;

struct TCliContext {
  TFolders folders;                // where languages, patches, tools and the work folder are
  std::string localeLanguageName;  // English name of the user's language ("Russian")
  bool outputIsTerminal = false;   // draw the progress bar on one rewritten line
  // A terminal to put a question to (the player answers on it); null when nobody is there to
  // answer, as in a script, and the cautious answer is taken.
  std::istream* answers = nullptr;
  // Set (from a signal handler) when the user presses Ctrl+C; may be null.
  const std::atomic<bool>* interrupted = nullptr;
  // Called when an installation is about to begin: from then on Ctrl+C sets `interrupted`
  // instead of ending the process. Before that (and in the commands that only read) Ctrl+C
  // ends the program at once, which leaves nothing behind. May be null.
  void (*catchInterrupts)() = nullptr;
};

// args: the arguments after the program name, UTF-8. Log and listings go to out, refusals,
// errors and the usage text to err. Returns the exit code.
int RunCli(const std::vector<std::string>& args, const TCliContext& context, std::ostream& out, std::ostream& err);

// The usage text that --help prints, in the language given.
std::string UsageText(const TLangList& lang);

}  // namespace qpt::cli
