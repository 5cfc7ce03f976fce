#include "cli/CliCommon.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <ostream>

#include "core/common/Common.h"
#include "core/localization/Language.h"
#include "core/localization/TokenText.h"
#include "core/music/TrackLists.h"

namespace qpt::cli {

namespace fs = std::filesystem;

namespace {

// The trilogy's Logic and Trick of the second and third game: one field in the image.
constexpr int kSharedSlotA = 10;
constexpr int kSharedSlotB = 11;

bool Takes(const TCommand& command, const std::string& option) {
  return option == "lang" || std::find(command.options.begin(), command.options.end(), option) != command.options.end();
}

std::vector<std::string>::const_iterator FindLanguage(const std::vector<std::string>& names, const std::string& requested) {
  return std::find_if(names.begin(), names.end(),
                      [&](const std::string& name) { return SameTextIgnoringCase(name, requested); });
}

bool SamePath(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  return fs::equivalent(a, b, ec);
}

}  // namespace

const TCommand* FindCommand(const std::string& name) {
  const std::vector<TCommand>& commands = Commands();
  const auto found = std::find_if(commands.begin(), commands.end(),
                                  [&](const TCommand& command) { return name == command.name; });
  return found == commands.end() ? nullptr : &*found;
}

// A guess from the bare arguments, since they may be what is wrong.
std::string LanguageForEarlyError(const std::vector<std::string>& args, const TCliContext& context) {
  // Any command's --lang that names one of our languages, make-patch's too (its author reads
  // the messages in it), and before the command (--lang NAME --help).
  if (!args.empty()) {
    const std::vector<std::string> names = FindLanguageFiles(context.folders);
    for (std::size_t i = 0; i < args.size() && args[i] != "--"; ++i) {
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
  const TCommand* command = FindCommand(options.command);
  if (!command) throw TUsageError{"CliNotACommand", {options.command}};

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
    // make-patch's --mods chooses the form of the folder --out names; install's names a folder.
    const bool modsForm = arg == "--mods" && options.command == "make-patch";
    if (arg == "--no-receipt" || arg == "--replace" || arg == "--zip" || modsForm) {
      if (!Takes(*command, arg.substr(2))) throw TUsageError{"CliOptionNotTaken", {options.command, arg}};
      (arg == "--no-receipt" ? options.noReceipt
       : arg == "--zip"      ? options.zip
       : modsForm            ? options.modsForm
                             : options.replace) = true;
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
    if (!Takes(*command, name)) {
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
  if (options.images.size() < command->minArguments || options.images.size() > command->maxArguments) {
    if (command->argumentsKey) throw TUsageError{command->argumentsKey};
    throw TUsageError{"CliOneImage", {options.command}};
  }
  return options;
}

fs::path UserPath(const std::string& utf8) {
  std::error_code ec;
  fs::path path = fs::absolute(PathFromUtf8(utf8), ec);
  return ec ? PathFromUtf8(utf8) : path;
}

TSession::TSession(const TCliContext& context, std::ostream& out, std::ostream& err, TLangList& lang,
                   const TCommand& command, const TOptions& options)
    : context_(context), out_(out), err_(err), lang_(lang) {
  languageName_ = StartingLanguageName(context_.localeLanguageName);
  if (options.lang) {
    const std::string& requested = *options.lang;
    const std::vector<std::string> names = FindLanguageFiles(context_.folders);
    const auto found = FindLanguage(names, requested);
    // make-patch's --lang names the descriptor's language, which may be none of ours; one of
    // ours is the author's, and its messages come in it.
    if (found == names.end() && command.langForMessages) {
      std::string known;
      for (const std::string& name : names) known += (known.empty() ? "" : ", ") + name;
      if (known.empty()) throw TUsageError{"CliNoLanguage", {requested, PathToUtf8(context_.folders.lang)}};
      throw TUsageError{"CliNoLanguageListed", {requested, PathToUtf8(context_.folders.lang), known}};
    }
    if (found != names.end()) languageName_ = *found;
  }
  if (!LoadLanguage(languageName_, lang_, context_.folders)) {
    // The window's own words for this, in both languages, since no language could be read.
    throw TFailure{"Отсутствуют языковые файлы.\nLanguage files are missing (" +
                   PathToUtf8(LanguageFilePath(context_.folders, languageName_)) + ")."};
  }
}

std::string TSession::Text(const std::string& key) const { return lang_.GetLangText(key); }

std::string TSession::Text(const std::string& key, const std::string& value) const {
  return FillMarks(Text(key), {value});
}

bool TSession::Interrupted() const { return context_.interrupted && context_.interrupted->load(); }

TSession::TImage TSession::IdentifyImage(const std::string& argument, bool printLog) {
  TImage image{UserPath(argument), {}};
  image.id = IdentifyRom(image.path, PatchRoots(context_.folders));
  const TRomIdentity& id = image.id;
  if (!id.kindChecked) throw TFailure{Text(id.errorKey)};
  if (id.encrypted) throw TFailure{Text("LogEncrypted")};
  if (printLog) {
    for (const std::string& line : IdentityLogLines(id, lang_)) out_ << line << '\n';
    // A player with a mod folder for this title learns the name it must have to be taken.
    if (!id.Identified() && !id.logLines.empty()) {
      out_ << Text("LogTitleID") << TitleIdText(id.programId) << '\n'
           << Text("CliNoModPatchForTitle", PathToUtf8(context_.folders.patch)) << '\n';
    }
  }
  if (!id.errorKey.empty()) throw TFailure{Text(id.errorKey)};
  return image;
}

std::vector<TPatchEntry> TSession::FittingPatches(const TImage& image) const {
  std::vector<TPatchEntry> patches;
  for (const fs::path& root : PatchRoots(context_.folders)) {
    auto found = PopulatePatchList(root, ".dsc", true, languageName_, image.id.gameIndex, image.id.regionIndex,
                                   image.id.programId);
    patches.insert(patches.end(), found.begin(), found.end());
  }
  return patches;
}

TPatchEntry TSession::ChoosePatch(const TImage& image, const std::string& argument) const {
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
      if (SamePath(folder, patch.folder)) return patch;
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

std::unique_ptr<TTrackList> TSession::BuildTrackList(const TImage& image, const fs::path& patchDir, bool required) {
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

void TSession::SetMusic(TTrackList& list, const std::string& choice, const std::string& where) const {
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

}  // namespace qpt::cli
