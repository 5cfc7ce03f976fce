// The command lines of our ctrtool, 3dstool and makerom. Each tool accepts exactly the calls
// the install job makes (and --help); anything else is refused. Exit codes are 0 (done) and
// 1 (failed or refused), nothing else, because the job treats any other code as an unknown
// failure and goes on.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace ctr {

// args are the arguments after the program name, UTF-8. Help goes to out; on failure one line
// goes to err. Never throws.
int RunCtrtool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int Run3dstool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int RunMakerom(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

using ToolFunction = int (*)(const std::vector<std::string>&, std::ostream&, std::ostream&);

// The whole main of a tool: the arguments as UTF-8 (on Windows taken from the wide command
// line), then run on standard output and error.
int ToolMain(int argc, char** argv, ToolFunction run);

}  // namespace ctr
