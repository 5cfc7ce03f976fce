// Message boxes, file dialogs and link opening for the windows, each with a hook through
// which tests answer them without a modal loop.
#pragma once

#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

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

// Converts a filter of description|pattern pairs ("CIA|*.cia|All|*.cia;*.3ds") to Qt's form.
QString ToQtFilter(const QString& filter);

// When set, file dialogs ask the hook instead of the user; the hook gets the Qt filter and
// returns the chosen path or nothing for a cancel.
void SetFileDialogHook(std::function<std::optional<QString>(bool save, const QString& qtFilter)> hook);

// The open dialog (read-only box hidden, resizable). nullopt when the user cancelled: the
// calling action then ends silently with nothing changed.
std::optional<QString> SelectOpenFile(QWidget* parent, const QString& initialFolder, const QString& filter);

// The save dialog: default extension ".cia", asks before overwriting, no initial folder.
// nullopt when cancelled; the caller then keeps its value as it was.
std::optional<QString> SelectSaveFile(QWidget* parent, const QString& filter);

// Opens a URL in the user's browser (or hands it to the hook in tests).
void SetUrlHook(std::function<void(const QUrl&)> hook);
void OpenUrl(const QUrl& url);

// Plain text to HTML with web addresses made into links, the way the description box
// shows a patch's description.
QString LinkifyText(const QString& plain);

}  // namespace qpt::ui
