#include "cli/Cli.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <memory>
#include <istream>
#include <optional>
#include <ostream>
#include <utility>

#include "cli/ConsoleHost.h"
#include "core/authoring/CheckPatch.h"
#include "core/authoring/MakePatch.h"
#include "core/common/Common.h"
#include "core/install/Install.h"
#include "core/install/OutputCheck.h"
#include "core/install/Receipt.h"
#include "core/localization/Language.h"
#include "core/localization/TokenText.h"
#include "core/music/TrackLists.h"
#include "core/rom/PatchList.h"
#include "core/rom/RomIdentify.h"
#include "ctr/Verify.h"

namespace qpt::cli {

namespace fs = std::filesystem;

namespace {

constexpr const char* kProgram = "quill-patch-cli";

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
  std::vector<std::string> images;
  std::optional<std::string> out, mods, patch, lang, voice, musicFile, from, title, descriptionFile;
  std::vector<std::string> music, writes;
  bool help = false;
  bool noReceipt = false;
  bool replace = false;
};

// The options each command takes, besides --help.
bool Accepts(const std::string& command, const std::string& option) {
  if (option == "lang") return true;
  if (option == "patch") return command == "music" || command == "install";
  if (option == "write") return command == "music";
  if (option == "from" || option == "title" || option == "description-file") return command == "make-patch";
  if (option == "out") return command == "install" || command == "make-patch";
  return command == "install";  // mods, voice, music, music-file
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::vector<std::string>::const_iterator FindLanguage(const std::vector<std::string>& names, const std::string& requested) {
  return std::find_if(names.begin(), names.end(),
                      [&](const std::string& name) { return Lower(name) == Lower(requested); });
}

// The language of a wrong use found before the session loaded one: the one --lang names when
// we have it, else the locale's. A guess from the bare arguments, since they may be what is wrong.
std::string LanguageForEarlyError(const std::vector<std::string>& args, const TCliContext& context) {
  if (!args.empty() && args[0] != "make-patch") {
    const std::vector<std::string> names = FindLanguageFiles(context.folders);
    for (std::size_t i = 1; i < args.size() && args[i] != "--"; ++i) {
      std::optional<std::string> requested;
      if (args[i] == "--lang" && i + 1 < args.size()) requested = args[i + 1];
      if (args[i].rfind("--lang=", 0) == 0) requested = args[i].substr(7);
      if (!requested) continue;
      if (const auto found = FindLanguage(names, *requested); found != names.end()) return *found;
    }
  }
  return StartingLanguageName(context.localeLanguageName);
}

std::string UsageErrorText(const TUsageError& error, const TLangList& lang) {
  // With no language file at all, the key and its values still say what was wrong.
  if (lang.Empty()) {
    std::string text = error.key;
    for (const std::string& value : error.values) text += " " + value;
    return text;
  }
  return FillMarks(lang.GetLangText(error.key), error.values);
}

TOptions ParseArguments(const std::vector<std::string>& args) {
  TOptions options;
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") options.help = true;
  }
  if (!args.empty() && args[0] == "help") options.help = true;
  if (options.help) return options;
  if (args.empty()) throw TUsageError{"CliNoCommand"};

  options.command = args[0];
  static const char* const kCommands[] = {"identify", "patches",    "music",
                                                 "install",  "verify",     "make-patch",
                                                 "check-patch"};
  if (std::find(std::begin(kCommands), std::end(kCommands), options.command) == std::end(kCommands)) {
    throw TUsageError{"CliNotACommand", {options.command}};
  }

  bool optionsEnded = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      options.images.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg.rfind("--", 0) != 0) throw TUsageError{"CliUnknownOption", {arg}};
    if (arg == "--no-receipt") {
      if (options.command != "install") throw TUsageError{"CliOptionNotTaken", {options.command, arg}};
      options.noReceipt = true;
      continue;
    }
    if (arg == "--replace") {
      if (options.command != "install") throw TUsageError{"CliOptionNotTaken", {options.command, arg}};
      options.replace = true;
      continue;
    }
    std::string name = arg.substr(2);
    std::optional<std::string> value;
    if (const std::size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.erase(eq);
    }
    static const char* const kOptions[] = {"out", "mods", "patch", "lang", "voice", "music", "music-file", "write",
                                           "from", "title", "description-file"};
    if (std::find(std::begin(kOptions), std::end(kOptions), name) == std::end(kOptions)) {
      throw TUsageError{"CliUnknownOption", {"--" + name}};
    }
    if (!Accepts(options.command, name)) {
      throw TUsageError{"CliOptionNotTaken", {options.command, "--" + name}};
    }
    if (!value) {
      if (i + 1 >= args.size()) throw TUsageError{"CliOptionNeedsValue", {"--" + name}};
      value = args[++i];
    }
    if (name == "music" || name == "write") {
      (name == "music" ? options.music : options.writes).push_back(*value);
      continue;
    }
    std::optional<std::string>* slot = name == "out"     ? &options.out
                                       : name == "mods"  ? &options.mods
                                       : name == "patch" ? &options.patch
                                       : name == "lang"  ? &options.lang
                                       : name == "voice" ? &options.voice
                                       : name == "from"  ? &options.from
                                       : name == "title" ? &options.title
                                       : name == "description-file" ? &options.descriptionFile
                                                         : &options.musicFile;
    if (*slot) throw TUsageError{"CliOptionTwice", {"--" + name}};
    *slot = *value;
  }
  if (options.command == "check-patch") {
    if (options.images.empty() || options.images.size() > 2) {
      throw TUsageError{"CliCheckPatchArguments"};
    }
  } else if (options.images.size() != 1) {
    throw TUsageError{"CliOneImage", {options.command}};
  }
  return options;
}

// A path given on the command line, made absolute: the tools run in the program folder, so a
// relative path would otherwise be taken from there instead of from where the player is.
fs::path UserPath(const std::string& utf8) {
  std::error_code ec;
  fs::path path = fs::absolute(PathFromUtf8(utf8), ec);
  return ec ? PathFromUtf8(utf8) : path;
}

bool SamePath(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  return fs::equivalent(a, b, ec);
}

// Text read from an image or a list, shown as the music dialog shows it: up to a zero byte.
std::string Visible(const std::string& bytes) { return bytes.substr(0, bytes.find('\0')); }

const char* const kRegionCodes[] = {"", "JAP", "USA", "EUR"};

// The music dialog's scene rows, and its columns for the trilogy and the fourth game.
const char* const kSceneNames[] = {"Courtroom Lounge",
                                   "Court Begins",
                                   "Cross Examination ~ Moderate",
                                   "Logic and Trick",
                                   "Objection!",
                                   "Cross Examination ~ Allegro",
                                   "Pursuit ~ Cornered",
                                   "Confess the Truth",
                                   "Pursuit ~ Cornered / Variation",
                                   "Investigation ~ Opening",
                                   "Investigation ~ Middle"};
const char* const kColumnsAAT[] = {"Ace Attorney 1 (2001)", "Ace Attorney 2 (2002)", "Ace Attorney 3 (2004)"};
const char* const kColumnsAA4[] = {"Present Day", "7 Years Ago"};
constexpr int kMenuSlot = 33;  // the trilogy's game selection menu, outside the grid
// The trilogy's Logic and Trick of the second and third game: one field in the image.
constexpr int kSharedSlotA = 10;
constexpr int kSharedSlotB = 11;

class TSession {
 public:
  TSession(const TCliContext& context, std::ostream& out, std::ostream& err, TLangList& lang)
      : context_(context), out_(out), err_(err), lang_(lang) {}

  int Run(const TOptions& options) {
    // make-patch's --lang names the descriptor's language, which need not be one of ours.
    LoadLanguageFor(options.command == "make-patch" ? std::nullopt : options.lang);
    if (options.command == "make-patch") return MakePatchCommand(options);
    if (options.command == "check-patch") return CheckPatchCommand(options);
    if (options.command == "verify") return Verify(options.images.front());
    if (options.command == "identify") return Identify(options.images.front());
    if (options.command == "patches") return Patches(options.images.front());
    if (options.command == "music") return Music(options);
    return Install(options);
  }

 private:
  struct TImage {
    fs::path path;
    TRomIdentity id;
    bool MusicGame() const { return id.gameIndex == 1 || id.gameIndex == 2; }
  };

  std::string Text(const std::string& key) const { return lang_.GetLangText(key); }

  void LoadLanguageFor(const std::optional<std::string>& requested) {
    languageName_ = StartingLanguageName(context_.localeLanguageName);
    if (requested) {
      const std::vector<std::string> names = FindLanguageFiles(context_.folders);
      const auto found = FindLanguage(names, *requested);
      if (found == names.end()) {
        std::string known;
        for (const std::string& name : names) known += (known.empty() ? "" : ", ") + name;
        if (known.empty()) throw TUsageError{"CliNoLanguage", {*requested, PathToUtf8(context_.folders.lang)}};
        throw TUsageError{"CliNoLanguageListed", {*requested, PathToUtf8(context_.folders.lang), known}};
      }
      languageName_ = *found;
    }
    if (!LoadLanguage(languageName_, lang_, context_.folders)) {
      // The window's own words for this, in both languages, since no language could be read.
      throw TFailure{"Отсутствуют языковые файлы.\nLanguage files are missing (" +
                     PathToUtf8(LanguageFilePath(context_.folders, languageName_)) + ")."};
    }
  }

  // Identifies the image as the window's first step does, refusing what the window refuses.
  TImage IdentifyImage(const std::string& argument, bool printLog) {
    TImage image{UserPath(argument), {}};
    image.id = IdentifyRom(image.path);
    const TRomIdentity& id = image.id;
    if (!id.kindChecked) throw TFailure{Text(id.errorKey)};
    if (id.encrypted) throw TFailure{Text("LogEncrypted")};
    if (printLog) {
      for (const std::string& line : IdentityLogLines(id, lang_)) out_ << line << '\n';
    }
    if (!id.errorKey.empty()) throw TFailure{Text(id.errorKey)};
    return image;
  }

  int Identify(const std::string& argument) {
    const TImage image = IdentifyImage(argument, true);
    std::string kind = image.id.romExt.substr(1);
    std::transform(kind.begin(), kind.end(), kind.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    out_ << Text("CliGameCode") << ' ' << image.id.gameCode << '\n'
         << Text("CliRegion") << ' ' << kRegionCodes[image.id.regionIndex <= 3 ? image.id.regionIndex : 0] << '\n'
         << Text("CliKind") << ' ' << kind << '\n';
    return kExitOk;
  }

  std::vector<TPatchEntry> FittingPatches(const TImage& image) const {
    std::vector<TPatchEntry> patches;
    for (const fs::path& root : PatchRoots(context_.folders)) {
      auto found = PopulatePatchList(root, ".dsc", true, languageName_, image.id.gameIndex, image.id.regionIndex);
      patches.insert(patches.end(), found.begin(), found.end());
    }
    return patches;
  }

  int Patches(const std::string& argument) {
    const TImage image = IdentifyImage(argument, false);
    const std::vector<TPatchEntry> patches = FittingPatches(image);
    for (const TPatchEntry& patch : patches) {
      out_ << patch.title << '\t' << PathToUtf8(patch.descriptor.parent_path()) << '\n';
    }
    if (patches.empty()) {
      err_ << FormatText("CliNoFittingPatch", PathToUtf8(context_.folders.patch)) << '\n';
    }
    return kExitOk;
  }

  // The patch the player named: a folder as `patches` prints it, its name under patch/, or
  // its title. Only patches that fit the image can be chosen, as in the window's list.
  TPatchEntry ChoosePatch(const TImage& image, const std::string& argument) const {
    const std::vector<TPatchEntry> patches = FittingPatches(image);
    const fs::path given = PathFromUtf8(argument);
    std::vector<fs::path> folders;
    std::error_code ec;
    if (fs::is_directory(given, ec)) folders.push_back(given);
    for (const fs::path& root : PatchRoots(context_.folders)) {
      if (given.is_relative() && fs::is_directory(root / given, ec)) folders.push_back(root / given);
    }
    for (const TPatchEntry& patch : patches) {
      for (const fs::path& folder : folders) {
        if (SamePath(folder, patch.descriptor.parent_path())) return patch;
      }
    }
    std::vector<const TPatchEntry*> byTitle;
    for (const TPatchEntry& patch : patches) {
      if (patch.title == argument) byTitle.push_back(&patch);
    }
    if (byTitle.size() == 1) return *byTitle.front();
    if (byTitle.size() > 1) throw TUsageError{"CliPatchTitledTwice", {argument}};
    if (folders.empty()) throw TUsageError{"CliNoPatchFolder", {argument}};
    throw TUsageError{"CliPatchDoesNotFit", {argument}};
  }

  // The track list the window builds when a patch is chosen for a music game. Without
  // `required` a list that cannot be read is reported and the run goes on without music
  // changes, as in the window.
  std::unique_ptr<TTrackList> BuildTrackList(const TImage& image, const fs::path& patchDir, bool required) {
    auto list = std::make_unique<TTrackList>();
    const TTrackListResult result = list->Create(image.path, image.id.gameCode, image.id.soundInfoPos, patchDir);
    if (result.status == TTrackListStatus::Ok) return list;
    const std::string message = result.status == TTrackListStatus::FormatError    ? Text("ErrorTrackListFormat")
                                : result.status == TTrackListStatus::ReadingError ? Text("ErrorReadingTracks")
                                                                                  : result.message;
    if (required) throw TFailure{message};
    err_ << message << '\n';
    return nullptr;
  }

  int Music(const TOptions& options) {
    const TImage image = IdentifyImage(options.images.front(), false);
    if (!image.MusicGame()) throw TFailure{Text("CliNoMusicChoice")};
    fs::path patchDir;
    if (options.patch) patchDir = ChoosePatch(image, *options.patch).descriptor.parent_path();
    const auto list = BuildTrackList(image, patchDir, true);
    if (!options.writes.empty()) return WriteMusic(*list, options.writes);
    const bool trilogy = image.id.gameCode == "AAT";
    const int columns = trilogy ? 3 : 2;
    for (int slot = 0; slot <= list->LastSlot; ++slot) {
      std::string scene = "Game selection menu", column = "-";
      if (!(trilogy && slot == kMenuSlot)) {
        scene = kSceneNames[slot / columns];
        column = trilogy ? kColumnsAAT[slot % columns] : kColumnsAA4[slot % columns];
      }
      out_ << slot << '\t' << scene << '\t' << column << '\t' << Visible(list->GetSelected(slot)) << '\n';
    }
    out_ << '\n' << Text("CliTitles") << '\n';
    for (int i = 0; i < list->TrackCount; ++i) out_ << "  " << Visible(list->GetTitle(i)) << '\n';
    return kExitOk;
  }

  // The music dialog's Save with "write into the old image" checked: the choice written
  // straight into the image, its hashes brought up to date, the image checked.
  int WriteMusic(TTrackList& list, const std::vector<std::string>& choices) {
    for (const std::string& choice : choices) SetMusic(list, choice, "--write ");
    const TDirectWriteResult written = WriteMusicIntoImage(list, lang_);
    for (const std::string& line : written.log) out_ << LogText(line) << '\n';
    if (!written.error.empty()) throw TFailure{LogText(written.error)};
    return kExitOk;
  }

  // Log lines keep the window's CR LF line breaks; a terminal wants its own.
  static std::string LogText(std::string text) {
    for (std::size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;) text.erase(at, 1);
    return text;
  }

  // Sets one slot from "SLOT=TITLE" by the music dialog's rules.
  void SetMusic(TTrackList& list, const std::string& choice, const std::string& where) const {
    const std::size_t eq = choice.find('=');
    if (eq == std::string::npos) throw TUsageError{"CliNotSlotAndTitle", {where, choice}};
    const std::string slotText = choice.substr(0, eq);
    const std::string title = choice.substr(eq + 1);
    int slot = -1;
    if (!slotText.empty() && slotText.size() <= 3 &&
        std::all_of(slotText.begin(), slotText.end(), [](unsigned char c) { return std::isdigit(c); })) {
      slot = std::stoi(slotText);
    }
    if (slot < 0 || slot > list.LastSlot) {
      throw TUsageError{"CliNotASlot", {where, slotText, std::to_string(list.LastSlot)}};
    }
    if (list.IndexOfTitle(title) < 0) {
      throw TUsageError{"CliNotATitle", {where, title}};
    }
    list.SetSelected(slot, title);
    if (list.GameCode == "AAT" && (slot == kSharedSlotA || slot == kSharedSlotB)) {
      list.SetSelected(slot == kSharedSlotA ? kSharedSlotB : kSharedSlotA, title);
    }
    list.MusicChanged = true;
  }

  void ApplyMusicFile(TTrackList& list, const std::string& argument) const {
    std::string bytes;
    if (!ReadWholeFile(UserPath(argument), bytes)) throw TUsageError{"CliCannotReadMusicFile", {argument}};
    if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) bytes.erase(0, 3);
    std::size_t start = 0;
    for (int number = 1; start <= bytes.size(); ++number) {
      std::size_t end = bytes.find('\n', start);
      if (end == std::string::npos) end = bytes.size();
      std::string line = bytes.substr(start, end - start);
      start = end + 1;
      while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
      const std::size_t first = line.find_first_not_of(" \t");
      if (first == std::string::npos || line[first] == '#') continue;
      SetMusic(list, line.substr(first), FillMarks(Text("CliMusicFileLine"), {argument, std::to_string(number)}));
    }
  }

  std::string FormatText(const std::string& key, const std::string& value) const {
    std::string text = Text(key);
    if (const std::size_t at = text.find("%1"); at != std::string::npos) text.replace(at, 2, value);
    return text;
  }

  // A yes from the terminal ("y", "yes", or the language's own "д", "да"); no terminal, or any
  // other answer, is a no.
  bool AskToReplace(const fs::path& written) {
    if (!context_.answers) return false;
    err_ << FormatText("ConfirmReplaceOutput", PathToUtf8(written)) << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(*context_.answers, answer)) return false;
    while (!answer.empty() && std::isspace(static_cast<unsigned char>(answer.back()))) answer.pop_back();
    for (const char* yes : {"y", "Y", "yes", "Yes", "YES", "\xD0\xB4", "\xD0\x94", "\xD0\xB4\xD0\xB0", "\xD0\x94\xD0\xB0"}) {
      if (answer == yes) return true;
    }
    return false;
  }

  static int VoiceIndexOf(const std::string& name) {
    if (name == "english") return 0;
    if (name == "japanese-mod") return 1;
    if (name == "japanese-orig") return 2;
    throw TUsageError{"CliVoiceValues", {name}};
  }

  int Install(const TOptions& options) {
    if (options.out && options.mods) throw TUsageError{"CliOutOrMods"};
    if (!options.out && !options.mods) {
      throw TUsageError{"CliInstallNeedsOutput"};
    }
    if (context_.catchInterrupts) context_.catchInterrupts();
    const int voiceIndex = options.voice ? VoiceIndexOf(*options.voice) : 0;
    const TImage image = IdentifyImage(options.images.front(), true);
    if (const auto missingKey = FirstMissingToolKey(context_.folders)) throw TFailure{Text(*missingKey)};

    const fs::path outPath = UserPath(options.out ? *options.out : *options.mods);
    if (options.mods) {
      if (!FolderExists(outPath)) throw TUsageError{"CliModsFolderMissing", {PathToUtf8(outPath)}};
    } else {
      if (!OutputKindPossible(image.id.romExt, outPath)) throw TUsageError{"ErrorOutputKind3DS"};
      if (!FolderExists(outPath.parent_path())) {
        throw TUsageError{"CliOutFolderMissing", {PathToUtf8(outPath.parent_path())}};
      }
      // What the run really writes: the name with the kind's own extension ("game.CIA" and
      // "game.backup" write "game.cia" and "game.3ds"), which must never be the input.
      if (SameFile(WrittenOutputPath(outPath), image.path)) throw TUsageError{"ErrorOutputIsInput"};
      // Another file under that name is written over only with the player's word: asked on a
      // terminal, given as --replace in a script.
      const fs::path written = WrittenOutputPath(outPath);
      std::error_code ec;
      if (!options.replace && fs::exists(fs::symlink_status(written, ec)) && !AskToReplace(written)) {
        throw TFailure{FormatText("CliOutputExists", PathToUtf8(written))};
      }
    }

    TInstallSettings settings;
    settings.folders = context_.folders;
    settings.romPath = image.path;
    settings.outPath = outPath;
    settings.modFolder = options.mods.has_value();
    settings.replaceModFolder = options.replace;
    settings.game = image.id.gameCode;
    settings.lang = &lang_;
    bool voiceMissing = true;
    if (options.patch) {
      const TPatchEntry patch = ChoosePatch(image, *options.patch);
      settings.patchDir = patch.descriptor.parent_path();
      const auto descriptor = TPatchDescriptor::Load(patch.descriptor);
      if (!descriptor) throw TFailure{Text("LoadDescError")};
      settings.originalPackDatMD5 = descriptor->Value("OriginalPackDatMD5");
      settings.originalPackIncMD5 = descriptor->Value("OriginalPackIncMD5");
      voiceMissing = !FolderExists(settings.patchDir / "voice");
    }
    if (options.voice && voiceMissing) {
      throw TUsageError{"CliNoVoiceSets"};
    }

    const bool musicAsked = !options.music.empty() || options.musicFile;
    std::unique_ptr<TTrackList> list;
    if (image.MusicGame()) {
      list = BuildTrackList(image, settings.patchDir, musicAsked);
      if (list && options.musicFile) ApplyMusicFile(*list, *options.musicFile);
      if (list) {
        for (const std::string& choice : options.music) SetMusic(*list, choice, "--music ");
      }
    } else if (musicAsked) {
      throw TUsageError{"CliNoMusicLeaveOut"};
    }
    settings.trackList = list.get();
    settings.writeReceipt = !options.noReceipt;
    std::string patchTitle;
    if (options.patch) patchTitle = ChoosePatch(image, *options.patch).title;
    settings.receiptFacts = MakeReceiptFacts(image.id.gameIndex, image.id.regionIndex, patchTitle, voiceMissing ? -1 : voiceIndex,
                                             list.get(), lang_);

    TConsoleHost host(out_, context_.outputIsTerminal, voiceIndex, context_.folders.work);
    auto job = CreateInstallJob(image.id.romExt, host, std::move(settings));
    if (!job) throw TFailure{Text("ErrorWrongROM")};
    if (Interrupted()) throw TFailure{Text("CliStoppedBeforeInstall")};
    host.LogAppend("\r\n" + Text("StartPatching") + "\r\n");
    job->Start();
    bool cancelAsked = false;
    while (!host.WaitForEnd(std::chrono::milliseconds(50))) {
      if (!cancelAsked && Interrupted()) {
        // As the window's cancel button: say so at once; the job stops at its next checkpoint.
        cancelAsked = true;
        host.LogAppend("\r\n" + Text("CancelInstall"));
        job->Terminate();
      }
    }
    job->WaitFor();
    const bool succeeded = job->Succeeded();
    const bool warned = job->SucceededWithWarnings();
    // A cancelled run said so itself; a failed one ends, as in the window, with the line that
    // nothing was written, below the reason.
    if (!succeeded && !job->Terminated()) host.LogAppend("\r\n" + Text("InstallFailedNothingWritten"));
    job.reset();  // releases the run lock, after the work folder is gone
    return succeeded ? (warned ? kExitWarnings : kExitOk) : kExitFailed;
  }

  int Verify(const std::string& argument) {
    const fs::path path = UserPath(argument);
    if (!FileExists(path)) throw TFailure{Text("CheckImageUnreadable") + "\n" + PathToUtf8(path)};
    const TImageCheckReport report = CheckImageForPlayer(path, lang_);
    for (const std::string& line : report.lines) out_ << line << '\n';
    return report.ok ? kExitOk : kExitFailed;
  }

  int MakePatchCommand(const TOptions& options) {
    if (!options.from || !options.out || !options.title) {
      throw TUsageError{"CliMakePatchNeeds"};
    }
    TMakePatchSettings settings;
    settings.folders = context_.folders;
    settings.image = UserPath(options.images.front());
    settings.from = UserPath(*options.from);
    settings.out = UserPath(*options.out);
    settings.title = *options.title;
    if (options.lang) settings.language = *options.lang;
    if (options.descriptionFile) {
      std::string bytes;
      if (!ReadWholeFile(UserPath(*options.descriptionFile), bytes)) {
        throw TUsageError{"CliCannotReadDescription", {*options.descriptionFile}};
      }
      settings.description = DecodeText(bytes);
    }
    const TMakePatchResult made = MakePatch(settings);
    if (!made.ok()) throw TFailure{made.error};
    for (const std::string& line : made.lines) out_ << line << '\n';
    const double share = made.imageBytes ? 100.0 * static_cast<double>(made.patchBytes) / static_cast<double>(made.imageBytes) : 0.0;
    char percent[32];
    std::snprintf(percent, sizeof percent, "%.2f", share);
    out_ << FillMarks(Text("CliPatchSummary"), {std::to_string(made.patchBytes), PathToUtf8(settings.out),
                                                std::to_string(made.imageBytes), percent})
         << '\n';
    return kExitOk;
  }

  // One line per problem, the file first; exit 0 clean, 3 warnings only, 1 errors.
  int CheckPatchCommand(const TOptions& options) {
    TCheckPatchSettings settings;
    settings.patchDir = UserPath(options.images.front());
    if (options.images.size() > 1) settings.image = UserPath(options.images[1]);
    settings.folders = context_.folders;
    settings.lang = &lang_;
    // Ctrl+C during the trial installation stops it, so that its scratch folder goes.
    settings.stop = context_.interrupted;
    if (!settings.image.empty() && settings.stop && context_.catchInterrupts) context_.catchInterrupts();
    const std::vector<TPatchProblem> problems = CheckPatch(settings);
    if (Interrupted()) throw TFailure{Text("CliStoppedBeforeCheck")};
    bool errors = false;
    for (const TPatchProblem& problem : problems) {
      out_ << (problem.error ? "error: " : "warning: ") << (problem.file.empty() ? "" : problem.file + ": ")
           << problem.text << '\n';
      errors = errors || problem.error;
    }
    if (problems.empty()) out_ << Text("CliNoProblem") << '\n';
    return errors ? kExitFailed : problems.empty() ? kExitOk : kExitWarnings;
  }

  bool Interrupted() const { return context_.interrupted && context_.interrupted->load(); }

  const TCliContext& context_;
  std::ostream& out_;
  std::ostream& err_;
  TLangList& lang_;  // the caller's, so that a wrong use found in the session is told in it
  std::string languageName_;
};

}  // namespace

int RunCli(const std::vector<std::string>& args, const TCliContext& context, std::ostream& out, std::ostream& err) {
  TLangList lang;
  try {
    const TOptions options = ParseArguments(args);
    if (options.help) {
      out << UsageText();
      return kExitOk;
    }
    return TSession(context, out, err, lang).Run(options);
  } catch (const TUsageError& error) {
    out.flush();  // what was logged before comes first when both streams share a terminal
    if (lang.Empty()) LoadLanguage(LanguageForEarlyError(args, context), lang, context.folders);
    err << kProgram << ": " << UsageErrorText(error, lang) << "\n"
        << "Usage: " << kProgram << " identify|patches|music|install|verify|make-patch|check-patch ... [OPTIONS]\n"
        << "Run \"" << kProgram << " --help\" for the commands and their options.\n";
    return kExitUsage;
  } catch (const TFailure& failure) {
    out.flush();
    err << failure.message << '\n';
    return kExitFailed;
  } catch (const std::exception& error) {
    out.flush();
    err << kProgram << ": " << error.what() << '\n';
    return kExitFailed;
  }
}

}  // namespace qpt::cli
