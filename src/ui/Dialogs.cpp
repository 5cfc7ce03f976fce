#include "ui/Dialogs.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QRegularExpression>
#include <QStringList>
#include <QThread>
#include <QTranslator>

#include <memory>

#include "core/common/Common.h"
#include "core/localization/Language.h"

namespace qpt::ui {

namespace {

std::function<void(const MessageRecord&)>& MessageHook() {
  static std::function<void(const MessageRecord&)> hook;
  return hook;
}

using TFileHook = std::function<std::optional<TFileChoice>(bool, const QString&, const QString&)>;
TFileHook& FileHook() {
  static TFileHook hook;
  return hook;
}

std::function<bool(const QUrl&)>& UrlHook() {
  static std::function<bool(const QUrl&)> hook;
  return hook;
}

}  // namespace

void SetMessageHook(std::function<void(const MessageRecord&)> hook) { MessageHook() = std::move(hook); }

void ShowMessage(QWidget* parent, MessageKind kind, const QString& title, const QString& text) {
  if (MessageHook()) {
    MessageHook()({kind, title, text});
    return;
  }
  QMessageBox box(parent);
  box.setIcon(kind == MessageKind::Error     ? QMessageBox::Critical
              : kind == MessageKind::Warning ? QMessageBox::Warning
                                             : QMessageBox::Information);
  box.setWindowTitle(title.isEmpty() ? QApplication::applicationDisplayName() : title);
  box.setText(text);
  box.setStandardButtons(QMessageBox::Ok);
  box.exec();
}

namespace {

std::function<bool(const MessageRecord&)>& QuestionHook() {
  static std::function<bool(const MessageRecord&)> hook;
  return hook;
}

}  // namespace

void SetQuestionHook(std::function<bool(const MessageRecord&)> hook) { QuestionHook() = std::move(hook); }

bool AskYesNo(QWidget* parent, const QString& title, const QString& text) {
  const MessageRecord record{MessageKind::Question, title, text};
  if (QuestionHook()) return QuestionHook()(record);
  if (MessageHook()) {
    MessageHook()(record);
    return true;
  }
  QMessageBox box(parent);
  box.setIcon(QMessageBox::Question);
  box.setWindowTitle(title.isEmpty() ? QApplication::applicationDisplayName() : title);
  box.setText(text);
  box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

QString ToQtFilter(const QString& filter) {
  const QStringList parts = filter.split('|');
  QStringList entries;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString patterns = parts[i + 1];
    patterns.replace(';', ' ');
    // A description that already ends with its patterns in brackets is Qt's form already;
    // adding them again would show them twice in the dialog.
    const QString bracketed = QStringLiteral("(%1)").arg(patterns);
    entries << (parts[i].endsWith(bracketed) ? parts[i] : QStringLiteral("%1 %2").arg(parts[i], bracketed));
  }
  return entries.join(QStringLiteral(";;"));
}

QString ExtensionOfFilter(const QString& qtFilterEntry) {
  // The patterns stand in the last pair of brackets; only a single "*.ext" names one kind.
  static const QRegularExpression kSingle(QStringLiteral(R"(\(\*(\.[A-Za-z0-9]+)\)\s*$)"));
  const QRegularExpressionMatch m = kSingle.match(qtFilterEntry);
  return m.hasMatch() ? m.captured(1) : QString();
}

void SetFileDialogHook(std::function<std::optional<TFileChoice>(bool, const QString&)> hook) {
  if (!hook) {
    FileHook() = nullptr;
    return;
  }
  FileHook() = [hook = std::move(hook)](bool save, const QString& filter, const QString&) { return hook(save, filter); };
}

void SetFileDialogHookWithFolder(TFileHook hook) { FileHook() = std::move(hook); }

std::optional<QString> SelectOpenFile(QWidget* parent, const QString& initialFolder, const QString& filter) {
  const QString qtFilter = ToQtFilter(filter);
  if (FileHook()) {
    const std::optional<TFileChoice> choice = FileHook()(false, qtFilter, initialFolder);
    if (!choice) return std::nullopt;
    return choice->path;
  }
  QFileDialog dialog(parent, QString(), initialFolder, qtFilter);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setSizeGripEnabled(true);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  // Qt answers with forward slashes everywhere; the window shows the system's own form.
  return QDir::toNativeSeparators(dialog.selectedFiles().front());
}

std::optional<TFileChoice> SelectSaveFile(QWidget* parent, const QString& filter, const QString& suggested) {
  const QString qtFilter = ToQtFilter(filter);
  if (FileHook()) return FileHook()(true, qtFilter, suggested.isEmpty() ? QString() : QFileInfo(suggested).absolutePath());
  // Windows' own dialog opens in the folder it is made with and takes only a name from the
  // selection, so the suggestion is given as both.
  const QFileInfo suggestion(suggested);
  QFileDialog dialog(parent, QString(), suggested.isEmpty() ? QString() : suggestion.absolutePath(), qtFilter);
  if (!suggested.isEmpty()) dialog.selectFile(suggestion.fileName());
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  // The suffix follows the selected kind, so that "game" with the emulator's entry selected
  // asks about (and names) game.cxi, not game.cia.
  const auto followFilter = [&dialog](const QString& entry) {
    const QString ext = ExtensionOfFilter(entry);
    dialog.setDefaultSuffix(ext.isEmpty() ? QStringLiteral("cia") : ext.mid(1));
  };
  followFilter(dialog.selectedNameFilter());
  QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, followFilter);
  dialog.setSizeGripEnabled(true);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return TFileChoice(QDir::toNativeSeparators(dialog.selectedFiles().front()), dialog.selectedNameFilter());
}

namespace {

std::function<void()>& SoundHook() {
  static std::function<void()> hook;
  return hook;
}

}  // namespace

void SetSoundHook(std::function<void()> hook) { SoundHook() = std::move(hook); }

void PlayExclamation() {
  if (SoundHook()) {
    SoundHook()();
  } else if (!PlaySystemExclamation()) {
    QApplication::beep();
  }
}

void UseQtTranslation(const std::filesystem::path& qmFile) {
  static std::unique_ptr<QTranslator> current;
  if (current) {
    QCoreApplication::removeTranslator(current.get());
    current.reset();
  }
  if (qmFile.empty()) return;
  auto translator = std::make_unique<QTranslator>();
  if (translator->load(QString::fromStdString(PathToUtf8(qmFile))) && QCoreApplication::installTranslator(translator.get())) {
    current = std::move(translator);
  }
}

std::optional<QString> SelectFolder(QWidget* parent, const QString& title) {
  if (FileHook()) {
    const std::optional<TFileChoice> choice = FileHook()(true, QString(), QString());
    if (!choice) return std::nullopt;
    return choice->path;
  }
  const QString folder = QFileDialog::getExistingDirectory(parent, title);
  if (folder.isEmpty()) return std::nullopt;
  return QDir::toNativeSeparators(folder);
}

namespace {

std::function<std::optional<int>(const QStringList&)>& MenuHook() {
  static std::function<std::optional<int>(const QStringList&)> hook;
  return hook;
}

}  // namespace

void SetMenuHook(std::function<std::optional<int>(const QStringList&)> hook) { MenuHook() = std::move(hook); }

std::optional<int> ChooseFromMenu(QWidget* anchor, const QStringList& items) {
  if (MenuHook()) return MenuHook()(items);
  if (FileHook()) return 0;
  QMenu menu(anchor);
  // An item names a folder or a card, whose "&" is a character, not a mnemonic mark.
  for (int i = 0; i < items.size(); ++i) {
    QString text = items[i];
    menu.addAction(text.replace(QLatin1Char('&'), QStringLiteral("&&")))->setData(i);
  }
  const QAction* chosen = menu.exec(anchor->mapToGlobal(QPoint(0, anchor->height())));
  if (!chosen) return std::nullopt;
  return chosen->data().toInt();
}

void SetUrlHook(std::function<bool(const QUrl&)> hook) { UrlHook() = std::move(hook); }

namespace {

// What the toolkit says while it tries to open a URL, kept for the player instead of going to
// the standard error, which nobody reads behind a desktop icon.
QString* gOpenFailure = nullptr;
QtMessageHandler gPreviousHandler = nullptr;

void KeepOpenFailure(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  // Only this thread's: another thread's message meanwhile is not about the URL, and the text
  // kept is this thread's alone.
  if (gOpenFailure && type != QtDebugMsg && type != QtInfoMsg && QThread::currentThread() == qApp->thread()) {
    *gOpenFailure += (gOpenFailure->isEmpty() ? QString() : QStringLiteral("\n")) + text;
    return;
  }
  if (gPreviousHandler) gPreviousHandler(type, context, text);
}

}  // namespace

bool OpenUrl(const QUrl& url, QString* failure) {
  if (UrlHook()) return UrlHook()(url);
  QString said;
  gOpenFailure = &said;
  gPreviousHandler = qInstallMessageHandler(KeepOpenFailure);
  const bool opened = QDesktopServices::openUrl(url);
  qInstallMessageHandler(gPreviousHandler);
  gOpenFailure = nullptr;
  if (failure) *failure = said.trimmed();
  return opened;
}

QString WithoutMnemonic(const QString& text) { return QString::fromStdString(qpt::WithoutMnemonic(text.toStdString())); }

void SetAccessibleTexts(QWidget* control, const QString& name, const QString& description) {
  control->setAccessibleName(name);
  control->setAccessibleDescription(description);
  if (auto* combo = qobject_cast<QComboBox*>(control)) {
    if (QLineEdit* edit = combo->lineEdit()) {
      edit->setAccessibleName(name);
      edit->setAccessibleDescription(description);
    }
    combo->view()->setAccessibleName(name);
    combo->view()->setAccessibleDescription(description);
  }
}

QString LinkifyText(const QString& plain) {
  static const QRegularExpression kUrl(
      QStringLiteral(R"((?:(?:https?|ftp)://|mailto:|www\.)[^\s<>"]+)"),
      QRegularExpression::CaseInsensitiveOption);
  QString html;
  qsizetype last = 0;
  auto it = kUrl.globalMatch(plain);
  while (it.hasNext()) {
    const QRegularExpressionMatch m = it.next();
    html += plain.mid(last, m.capturedStart() - last).toHtmlEscaped();
    QString url = m.captured();
    // A sentence that ends right after an address keeps its full stop outside the link.
    QString tail;
    while (!url.isEmpty() && QStringLiteral(".,;:!?)").contains(url.back())) {
      tail.prepend(url.back());
      url.chop(1);
    }
    const QString target = url.startsWith(QStringLiteral("www."), Qt::CaseInsensitive)
                               ? QStringLiteral("http://") + url
                               : url;
    html += QStringLiteral("<a href=\"%1\">%2</a>").arg(target.toHtmlEscaped(), url.toHtmlEscaped());
    html += tail.toHtmlEscaped();
    last = m.capturedEnd();
  }
  html += plain.mid(last).toHtmlEscaped();
  html.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  html.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  // Authors lay descriptions out with blanks and line breaks (lists, indented credits); HTML
  // would fold them, pre-wrap keeps them and still wraps long lines at the box's edge.
  return QStringLiteral("<div style=\"white-space: pre-wrap\">") + html + QStringLiteral("</div>");
}

}  // namespace qpt::ui
