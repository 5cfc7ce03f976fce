// quill-patch-cli's entry point: what only the process itself can know (Console.h) is gathered
// here and handed to RunCli.
#include <iostream>

#include "cli/Cli.h"
#include "cli/Console.h"
#include "core/common/Common.h"

int main(int argc, char** argv) {
  using namespace qpt::cli;
  TCliContext context;
  context.outputIsTerminal = PrepareConsole();
  context.folders = qpt::FindFolders(ProgramFolder(argc > 0 ? argv[0] : ""), qpt::ProcessEnvironment);
  if (std::string error; !qpt::PrepareFolders(context.folders, &error)) std::cerr << error << '\n';
  context.localeLanguageName = qpt::UserLanguageEnglishName();
  context.interrupted = InterruptFlag();
  if (InputIsTerminal()) context.answers = &std::cin;
  context.catchInterrupts = CatchInterrupts;
  const int code = RunCli(ProgramArguments(argc, argv), context, std::cout, std::cerr);
  std::cout.flush();
  return code;
}
