// A stand-in for the external tools in tests. Copied (or linked) under a tool's name, it
//  - appends how it was called to "<its own path>.calls": "call", "cwd <folder>", one
//    "arg <text>" per argument, then "end";
//  - follows "<its own path>.plan" if present, one instruction a line:
//      when <text>        the lines up to the next "when" apply only to calls whose
//                         arguments, joined by blanks, contain <text> ("when *" = all)
//      write <path> <text> create a file (folders made as needed) holding <text>
//      copy <from> <to>    copy a file
//      copyto <n> <from>   copy a file to the path given as argument n (1 is the first)
//      waitfor <path>      wait until <path> exists (lets a test hold the tool running)
//      signal <INT|TERM|KILL|SEGV> end by that signal
//      say <text>          write <text> and a line end to the error stream
//      exit <code>         end with that exit code
//    Relative paths resolve against the working folder, as they would for a real tool.
//  - exits with 0 when the plan says nothing else.
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  const fs::path self = fs::absolute(argv[0]);
  std::string joined;
  {
    std::ofstream calls(self.string() + ".calls", std::ios::app);
    calls << "call\ncwd " << fs::current_path().string() << "\n";
    for (int i = 1; i < argc; ++i) {
      calls << "arg " << argv[i] << "\n";
      if (i > 1) joined += ' ';
      joined += argv[i];
    }
    calls << "end\n";
  }

  std::ifstream plan(self.string() + ".plan");
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
      const fs::path target = rest.substr(0, space);
      if (target.has_parent_path()) fs::create_directories(target.parent_path());
      std::ofstream out(target, std::ios::binary);
      out << (space == std::string::npos ? std::string() : rest.substr(space + 1));
    } else if (verb == "copy") {
      const auto space = rest.find(' ');
      const fs::path to = rest.substr(space + 1);
      if (to.has_parent_path()) fs::create_directories(to.parent_path());
      fs::copy_file(rest.substr(0, space), to, fs::copy_options::overwrite_existing);
    } else if (verb == "copyto") {
      const auto space = rest.find(' ');
      const int n = std::stoi(rest.substr(0, space));
      if (n >= 1 && n < argc) fs::copy_file(rest.substr(space + 1), argv[n], fs::copy_options::overwrite_existing);
    } else if (verb == "waitfor") {
      while (!fs::exists(rest)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } else if (verb == "signal") {
      int sig = SIGKILL;
      if (rest == "INT") sig = SIGINT;
      if (rest == "TERM") sig = SIGTERM;
      if (rest == "SEGV") sig = SIGSEGV;
      std::signal(sig, SIG_DFL);
      std::raise(sig);
    }
  }
  return 0;
}
