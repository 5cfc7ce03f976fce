// The text of quill-patch-cli --help: every command, option and exit code, from the language
// file, whose quoted text keeps its line breaks as CR LF.
#include "cli/Cli.h"
#include "core/localization/Language.h"

namespace qpt::cli {

std::string UsageText(const TLangList& lang) {
  std::string text = lang.GetLangText("CliHelp");
  for (std::size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;) text.erase(at, 1);
  if (!text.empty() && text.back() != '\n') text += '\n';
  return text;
}

}  // namespace qpt::cli
