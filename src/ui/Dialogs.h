// Message boxes, file dialogs and link opening for the windows, each with a hook through
// which tests answer them without a modal loop.
#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

#include <filesystem>
#include <functional>
#include <optional>
#include <utility>

class QWidget;

namespace qpt::ui {

enum class MessageKind { Error, Warning, Information, Question };

struct MessageRecord {
  MessageKind kind;
  QString title;
  QString text;
};

// When set, message boxes are handed to the hook instead of being shown.
void SetMessageHook(std::function<void(const MessageRecord&)> hook);
// A modal message box with one OK button.
void ShowMessage(QWidget* parent, MessageKind kind, const QString& title, const QString& text);

// When set, questions are handed to the hook, whose result is the answer. Without it, a set
// message hook sees the question and the answer is yes.
void SetQuestionHook(std::function<bool(const MessageRecord&)> hook);
// A modal question with Yes and No; true for Yes.
bool AskYesNo(QWidget* parent, const QString& title, const QString& text);

// Converts a filter of description|pattern pairs ("CIA|*.cia|All|*.cia;*.3ds") to Qt's form;
// a description that already ends with its patterns in brackets is taken as it is.
QString ToQtFilter(const QString& filter);

// What a file dialog returned: the path as the player typed or picked it, and the filter
// entry that was selected (in Qt's form, "Console (*.cia)"; empty when unknown).
struct TFileChoice {
  // Not explicit: a bare path is a choice with no filter known.
  TFileChoice(QString chosenPath, QString selectedFilter = QString())
      : path(std::move(chosenPath)), filter(std::move(selectedFilter)) {}
  QString path;
  QString filter;
};

// The extension a filter entry stands for (".cia" for "Console (*.cia)"); empty when
// the entry names more than one pattern or none.
QString ExtensionOfFilter(const QString& qtFilterEntry);

// When set, file dialogs ask the hook instead of the user; the hook gets the Qt filter and
// returns the choice or nothing for a cancel. A hook that answers with a bare path leaves the
// selected filter empty.
void SetFileDialogHook(std::function<std::optional<TFileChoice>(bool save, const QString& qtFilter)> hook);
// The same, the hook also getting the folder the dialog would open in (empty when none).
void SetFileDialogHookWithFolder(
    std::function<std::optional<TFileChoice>(bool save, const QString& qtFilter, const QString& folder)> hook);

// The open dialog (read-only box hidden, resizable). nullopt when the user cancelled: the
// calling action then ends silently with nothing changed.
std::optional<QString> SelectOpenFile(QWidget* parent, const QString& initialFolder, const QString& filter);

// The save dialog: asks before overwriting, no initial folder. A name typed without an
// extension gets the one of the selected filter (".cia" until the player picks another), as
// the save dialog on Windows does. nullopt when cancelled; the caller then keeps its value.
// suggested: the file the dialog starts with, its folder opened and its name filled in.
std::optional<TFileChoice> SelectSaveFile(QWidget* parent, const QString& filter, const QString& suggested = QString());

// A folder dialog (the system's own where it has one). A set file dialog hook answers it too,
// asked with an empty filter. nullopt when cancelled.
std::optional<QString> SelectFolder(QWidget* parent, const QString& title);

// When set, menus ask the hook, which answers with the index of the chosen item or nothing.
// Without it, a set file dialog hook means a test that knows no menu: the first item is taken.
void SetMenuHook(std::function<std::optional<int>(const QStringList& items)> hook);
// A menu of items below anchor; the chosen item's index, nullopt when dismissed.
std::optional<int> ChooseFromMenu(QWidget* anchor, const QStringList& items);

// The end-of-run sound: the system's exclamation where it has one, else Qt's beep (or the
// hook in tests).
void SetSoundHook(std::function<void()> hook);
void PlayExclamation();

// Qt's own texts (file dialogs, Yes and No) from the translation file qmFile, replacing the
// one used so far; an empty path or a file that cannot be loaded leaves them in English.
void UseQtTranslation(const std::filesystem::path& qmFile);

// Opens a URL in the user's browser or file manager (or hands it to the hook in tests, whose
// answer tells whether it opened). False when nothing could open it; failure (when given) then
// gets what the system said about it, possibly nothing.
void SetUrlHook(std::function<bool(const QUrl&)> hook);
bool OpenUrl(const QUrl& url, QString* failure = nullptr);

// A control's text without its mnemonic marks: "&Install patch" -> "Install patch", "&&" -> "&".
QString WithoutMnemonic(const QString& text);
// The name and description a screen reader says for a control; an editable combo box's edit
// field and its list get them too, as they are read out on their own.
void SetAccessibleTexts(QWidget* control, const QString& name, const QString& description);

// Plain text to HTML with web addresses made into links, the way the description box
// shows a patch's description: blanks, indentation and line breaks stay as written.
QString LinkifyText(const QString& plain);

}  // namespace qpt::ui
