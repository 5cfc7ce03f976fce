// What only the process itself can know, one file per platform (ConsolePosix.cpp,
// ConsoleWin32.cpp): its arguments, its own folder, whether it writes to
// a terminal, and Ctrl+C. main gathers these and hands them to RunCli.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

namespace qpt::cli {

// The arguments after the program's name, UTF-8 (on Windows from the wide command line, so
// that names keep every letter).
std::vector<std::string> ProgramArguments(int argc, char** argv);
// The folder of the program file (lang/, patch/ and tools/ are beside it).
std::filesystem::path ProgramFolder(const char* argv0);
// Sets the console up for UTF-8 text, and so that a write to a standard output whose reader
// is gone fails instead of ending the program; true when standard output is a terminal that
// can show the progress bar redrawn in place.
bool PrepareConsole();
// Whether the standard input is a terminal that a question can be put to.
bool InputIsTerminal();
// From the first call on, Ctrl+C (and a closed console or terminal, a polite kill) sets the
// flag of InterruptFlag instead of ending the program.
void CatchInterrupts();
const std::atomic<bool>* InterruptFlag();

}  // namespace qpt::cli
