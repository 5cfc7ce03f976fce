// A stand-in for the external tools in tests. Copied (or linked) under a tool's name, it
//  - appends how it was called to "<its own path>.calls": "call", "cwd <folder>", one
//    "arg <text>" per argument, then "end";
//  - follows "<its own path>.plan" if present, one instruction a line:
//      when <text>        the lines up to the next "when" apply only to calls whose
//                         arguments, joined by blanks, contain <text> ("when *" = all)
//      write <path> <text> create a file (folders made as needed) holding <text>
//      copy <from> <to>    copy a file, or a folder with everything in it
//      copyto <n> <from>   copy a file to the path given as argument n (1 is the first)
//      waitfor <path>      wait until <path> exists (lets a test hold the tool running)
//      signal <INT|TERM|KILL|SEGV> end by that signal
//      say <text>          write <text> and a line end to the error stream
//      exit <code>         end with that exit code
//    Relative paths resolve against the working folder, as they would for a real tool.
//  - exits with 0 when the plan says nothing else.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

namespace fs = std::filesystem;

namespace {

// Ends the process as the signal would. Windows has no signals from outside: there a console
// program ended by Ctrl+C or by closing its console reports STATUS_CONTROL_C_EXIT, a crash its
// exception code, and a kill the code its killer chose (here 137, as a shell reports SIGKILL).
[[noreturn]] void EndBy(const std::string& name) {
#ifdef _WIN32
  DWORD code = 137;
  if (name == "INT" || name == "TERM") code = 0xC000013A;
  if (name == "SEGV") code = 0xC0000005;
  TerminateProcess(GetCurrentProcess(), code);
  ExitProcess(code);
#else
  int sig = SIGKILL;
  if (name == "INT") sig = SIGINT;
  if (name == "TERM") sig = SIGTERM;
  if (name == "SEGV") sig = SIGSEGV;
  std::signal(sig, SIG_DFL);
  std::raise(sig);
  std::_Exit(128 + sig);
#endif
}

// Paths from UTF-8 text and back, whatever the platform's narrow encoding is.
fs::path PathOf(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }
std::string TextOf(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// The arguments as UTF-8, the program's own name first.
std::vector<std::string> Arguments(int argc, char** argv) {
#ifdef _WIN32
  // The narrow argv of Windows is in the ANSI code page; the wide command line keeps every letter.
  (void)argc;
  (void)argv;
  std::vector<std::string> args;
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 0; wide && i < count; ++i) args.push_back(TextOf(fs::path(wide[i])));
  if (wide) LocalFree(wide);
  return args;
#else
  return std::vector<std::string>(argv, argv + argc);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args = Arguments(argc, argv);
  const fs::path self = fs::absolute(PathOf(args.at(0)));
  std::string joined;
  {
    std::ofstream calls(fs::path(self) += ".calls", std::ios::app | std::ios::binary);
    calls << "call\ncwd " << TextOf(fs::current_path()) << "\n";
    for (std::size_t i = 1; i < args.size(); ++i) {
      calls << "arg " << args[i] << "\n";
      if (i > 1) joined += ' ';
      joined += args[i];
    }
    calls << "end\n";
  }

  std::ifstream plan(fs::path(self) += ".plan", std::ios::binary);
  std::string line;
  bool active = true;
  while (std::getline(plan, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    std::string verb;
    words >> verb;
    std::string rest;
    std::getline(words >> std::ws, rest);
    if (verb == "when") {
      active = rest == "*" || joined.find(rest) != std::string::npos;
      continue;
    }
    if (!active || verb.empty()) continue;
    if (verb == "exit") return std::stoi(rest);
    if (verb == "say") std::cerr << rest << std::endl;
    if (verb == "write") {
      const auto space = rest.find(' ');
      const fs::path target = PathOf(rest.substr(0, space));
      if (target.has_parent_path()) fs::create_directories(target.parent_path());
      std::ofstream out(target, std::ios::binary);
      out << (space == std::string::npos ? std::string() : rest.substr(space + 1));
    } else if (verb == "copy") {
      const auto space = rest.find(' ');
      const fs::path to = PathOf(rest.substr(space + 1));
      if (to.has_parent_path()) fs::create_directories(to.parent_path());
      fs::remove_all(to);
      fs::copy(PathOf(rest.substr(0, space)), to, fs::copy_options::recursive);
    } else if (verb == "copyto") {
      const auto space = rest.find(' ');
      const int n = std::stoi(rest.substr(0, space));
      if (n >= 1 && static_cast<std::size_t>(n) < args.size()) {
        fs::remove(PathOf(args[n]));
        fs::copy_file(PathOf(rest.substr(space + 1)), PathOf(args[n]));
      }
    } else if (verb == "waitfor") {
      while (!fs::exists(PathOf(rest))) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } else if (verb == "signal") {
      EndBy(rest);
    }
  }
  return 0;
}
