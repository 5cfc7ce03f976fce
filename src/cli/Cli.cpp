// The command table and the program's one way in: a command line parsed, its command run in a
// session, and whatever ends it early told on the error stream with its exit code.
#include "cli/Cli.h"

#include <ostream>

#include "cli/CliCommon.h"
#include "core/localization/Language.h"

namespace qpt::cli {

const std::vector<TCommand>& Commands() {
  static const std::vector<TCommand> kCommands{
      {.name = "identify", .run = RunIdentify},
      {.name = "patches", .run = RunPatches},
      {.name = "music", .run = RunMusic, .options = {"patch", "write"}},
      {.name = "install",
       .run = RunInstall,
       .options = {"out", "mods", "patch", "voice", "music", "music-file", "no-receipt", "replace"}},
      {.name = "verify", .run = RunVerify},
      {.name = "remove-mods", .run = RunRemoveMods},
      {.name = "make-patch",
       .run = RunMakePatch,
       .options = {"out", "from", "title", "description-file", "mods", "zip"},
       .langForMessages = false},
      {.name = "check-patch", .run = RunCheckPatch, .maxArguments = 2, .argumentsKey = "CliCheckPatchArguments"},
      {.name = "add-patch", .run = RunAddPatch, .options = {"replace"}, .argumentsKey = "CliAddPatchArguments"},
      {.name = "places", .run = RunPlaces, .minArguments = 0, .maxArguments = 0, .argumentsKey = "CliPlacesArguments"},
  };
  return kCommands;
}

int RunCli(const std::vector<std::string>& args, const TCliContext& context, std::ostream& out, std::ostream& err) {
  TLangList lang;
  try {
    const TOptions options = ParseArguments(args);
    if (options.help) {
      LoadLanguage(LanguageForEarlyError(args, context), lang, context.folders);
      out << UsageText(lang);
      return kExitOk;
    }
    const TCommand& command = *FindCommand(options.command);  // ParseArguments refuses any other
    TSession session(context, out, err, lang, command, options);
    return command.run(session, options);
  } catch (const TUsageError& error) {
    out.flush();  // what was logged before comes first when both streams share a terminal
    if (lang.Empty()) LoadLanguage(LanguageForEarlyError(args, context), lang, context.folders);
    std::string commands;
    for (const TCommand& command : Commands()) commands += (commands.empty() ? "" : "|") + std::string(command.name);
    err << kProgram << ": " << UsageErrorText(error, lang) << "\n"
        << FillMarks(lang.GetLangText("CliUsageLine"), {kProgram, commands}) << "\n"
        << FillMarks(lang.GetLangText("CliHelpHint"), {kProgram}) << "\n";
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
