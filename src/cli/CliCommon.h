// What the commands of quill-patch-cli share: the parsed command line, the two ways a command
// ends early (a wrong use, a failure the player is told about), and the session a command runs
// in, with the language loaded and the steps that several commands take (identifying the
// image, choosing a patch, the track list and its music choice). Each command is a file of its
// own (Cmd*.cpp) and a row of Commands().
#pragma once

#include <cstddef>
#include <filesystem>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/Cli.h"
#include "core/install/ModPlaces.h"
#include "core/rom/PatchList.h"
#include "core/rom/RomIdentify.h"

namespace qpt {
class TLangList;
class TTrackList;
}  // namespace qpt

namespace qpt::cli {

inline constexpr const char* kProgram = "quill-patch-cli";

// A wrong use of the command line: reported with the short usage text, exit code 2. It names
// a text of the language files and the values for its marks, because the arguments are often
// wrong before the language they ask for is known.
struct TUsageError {
  explicit TUsageError(std::string textKey, std::vector<std::string> markValues = {})
      : key(std::move(textKey)), values(std::move(markValues)) {}
  std::string key;
  std::vector<std::string> values;
};

// A refusal or failure the player is told about in one message, exit code 1.
struct TFailure {
  std::string message;
};

struct TOptions {
  std::string command;
  std::vector<std::string> images;  // the arguments that are not options
  std::optional<std::string> out, mods, patch, lang, voice, musicFile, from, title, descriptionFile;
  std::vector<std::string> music, writes;
  bool help = false;
  bool noReceipt = false;
  bool replace = false;
  bool modsForm = false;  // make-patch --mods
  bool zip = false;       // make-patch --zip
};

class TSession;

// One command of the program.
struct TCommand {
  const char* name;
  int (*run)(TSession& session, const TOptions& options);
  // The options it takes besides --lang and --help, without their dashes.
  std::vector<std::string> options = {};
  std::size_t minArguments = 1;
  std::size_t maxArguments = 1;
  // The usage error for a wrong number of arguments; null for "exactly one image".
  const char* argumentsKey = nullptr;
  // Whether --lang must name one of our languages; make-patch's names the language of the
  // descriptor it writes, which need not be one of ours (when it is, the messages use it too).
  bool langForMessages = true;
};

// Every command, in the order the short usage text names them.
const std::vector<TCommand>& Commands();
// The command of that name; null when there is none.
const TCommand* FindCommand(const std::string& name);

// The commands, one file each.
int RunIdentify(TSession& session, const TOptions& options);
int RunPatches(TSession& session, const TOptions& options);
int RunMusic(TSession& session, const TOptions& options);
int RunInstall(TSession& session, const TOptions& options);
int RunVerify(TSession& session, const TOptions& options);
int RunMakePatch(TSession& session, const TOptions& options);
int RunCheckPatch(TSession& session, const TOptions& options);
int RunAddPatch(TSession& session, const TOptions& options);
int RunPlaces(TSession& session, const TOptions& options);
int RunRemoveMods(TSession& session, const TOptions& options);

// The command line after the program's name; throws TUsageError.
TOptions ParseArguments(const std::vector<std::string>& args);

// The language of a wrong use found before the session loaded one: the one --lang names when
// we have it, else the locale's.
std::string LanguageForEarlyError(const std::vector<std::string>& args, const TCliContext& context);
std::string UsageErrorText(const TUsageError& error, const TLangList& lang);

// A path given on the command line, made absolute: the tools run in the program folder, so a
// relative path would otherwise be taken from there instead of from where the player is.
std::filesystem::path UserPath(const std::string& utf8);

// A place for mod folders as `places` lists it: its kind, its target folder and the free space
// there, separated by tabs.
std::string PlaceLine(const TSession& session, const TModPlace& place);

// What a command runs with: the caller's context and streams and the language loaded for it.
class TSession {
 public:
  struct TImage {
    std::filesystem::path path;
    TRomIdentity id;
    bool MusicGame() const { return id.Game().HasVoicesAndMusic(); }
  };

  // Loads the language --lang names (for a command whose --lang is about messages) or the
  // locale's; throws TUsageError or TFailure when it cannot.
  TSession(const TCliContext& context, std::ostream& out, std::ostream& err, TLangList& lang,
           const TCommand& command, const TOptions& options);

  const TCliContext& Context() const { return context_; }
  std::ostream& Out() { return out_; }
  std::ostream& Err() { return err_; }
  const TLangList& Lang() const { return lang_; }
  std::string Text(const std::string& key) const;
  // Text(key) with %1 as value.
  std::string Text(const std::string& key, const std::string& value) const;
  // Whether the player pressed Ctrl+C.
  bool Interrupted() const;

  // Identifies the image as the window's first step does, refusing what the window refuses;
  // with printLog its title and region lines go to Out() first, and for an image refused as
  // none of the known games, its title ID and that no mod-folder patch for it is at hand.
  TImage IdentifyImage(const std::string& argument, bool printLog);
  // The patches of every patch folder that fit the image, in the window's order.
  std::vector<TPatchEntry> FittingPatches(const TImage& image) const;
  // The patch the player named: a folder as `patches` prints it, its name under patch/, or
  // its title. Only patches that fit the image can be chosen, as in the window's list.
  TPatchEntry ChoosePatch(const TImage& image, const std::string& argument) const;
  // The track list the window builds when a patch is chosen for a music game. Without
  // `required` a list that cannot be read is reported and null returned, and the run goes on
  // without music changes, as in the window.
  std::unique_ptr<TTrackList> BuildTrackList(const TImage& image, const std::filesystem::path& patchDir, bool required);
  // Sets one slot from "SLOT=TITLE" by the music dialog's rules; `where` names the option or
  // the file line in a usage error.
  void SetMusic(TTrackList& list, const std::string& choice, const std::string& where) const;

 private:
  const TCliContext& context_;
  std::ostream& out_;
  std::ostream& err_;
  TLangList& lang_;  // the caller's, so that a wrong use found in the session is told in it
  std::string languageName_;
};

}  // namespace qpt::cli
