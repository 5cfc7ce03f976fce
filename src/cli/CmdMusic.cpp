// music IMAGE: the music dialog. Lists every slot with its scene, column and title, then the
// titles to choose from; with --write, saves a choice straight into the image.
#include <iterator>
#include <ostream>

#include "cli/CliCommon.h"
#include "core/localization/Language.h"
#include "core/music/TrackLists.h"

namespace qpt::cli {

namespace {

// The music dialog's scene rows, and its columns for the trilogy and the fourth game: the
// dialog's own texts, so that both name a slot alike.
const char* const kSceneKeys[] = {"MusicScene1", "MusicScene2", "MusicScene3", "MusicScene4",
                                  "MusicScene5", "MusicScene6", "MusicScene7", "MusicScene8",
                                  "MusicScene9", "MusicScene10", "MusicScene11"};
const char* const kColumnsAAT[] = {"MusicGridAA1", "MusicGridAA2", "MusicGridAA3"};
const char* const kColumnsAA4[] = {"MusicGridPresentDay", "MusicGridSevenYearsAgo"};
constexpr int kMenuSlot = 33;  // the trilogy's game selection menu, outside the grid

// Text read from an image or a list, shown as the music dialog shows it: up to a zero byte.
std::string Visible(const std::string& bytes) { return bytes.substr(0, bytes.find('\0')); }

// Log lines keep the window's CR LF line breaks; a terminal wants its own.
std::string LogText(std::string text) {
  for (std::size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;) text.erase(at, 1);
  return text;
}

// The music dialog's Save with "write into the old image" checked: the choice written
// straight into the image, its hashes brought up to date, the image checked.
int WriteMusic(TSession& session, TTrackList& list, const std::vector<std::string>& choices) {
  for (const std::string& choice : choices) session.SetMusic(list, choice, "--write ");
  const TDirectWriteResult written = WriteMusicIntoImage(list, session.Lang());
  for (const std::string& line : written.log) session.Out() << LogText(line) << '\n';
  if (!written.error.empty()) throw TFailure{LogText(written.error)};
  return kExitOk;
}

}  // namespace

int RunMusic(TSession& session, const TOptions& options) {
  const TSession::TImage image = session.IdentifyImage(options.images.front(), false);
  if (!image.MusicGame()) throw TFailure{session.Text("CliNoMusicChoice")};
  std::filesystem::path patchDir;
  if (options.patch) patchDir = session.ChoosePatch(image, *options.patch).folder;
  const auto list = session.BuildTrackList(image, patchDir, true);
  if (!options.writes.empty()) return WriteMusic(session, *list, options.writes);
  std::ostream& out = session.Out();
  const bool trilogy = image.id.Game().Id() == TGameId::AAT;
  const int columns = trilogy ? 3 : 2;
  // The dialog's label of the menu's box, without its mnemonic and the colon that leads to the box.
  std::string menu = WithoutMnemonic(session.Text("MainMenu"));
  while (!menu.empty() && (menu.back() == ':' || menu.back() == ' ')) menu.pop_back();
  for (int slot = 0; slot <= list->LastSlot; ++slot) {
    std::string scene = menu, column = "-";
    if (!(trilogy && slot == kMenuSlot)) {
      const int row = slot / columns;
      if (row >= static_cast<int>(std::size(kSceneKeys))) break;
      scene = session.Text(kSceneKeys[row]);
      column = session.Text(trilogy ? kColumnsAAT[slot % columns] : kColumnsAA4[slot % columns]);
    }
    out << slot << '\t' << scene << '\t' << column << '\t' << Visible(list->GetSelected(slot)) << '\n';
  }
  out << '\n' << session.Text("CliTitles") << '\n';
  for (int i = 0; i < list->TrackCount; ++i) out << "  " << Visible(list->GetTitle(i)) << '\n';
  return kExitOk;
}

}  // namespace qpt::cli
