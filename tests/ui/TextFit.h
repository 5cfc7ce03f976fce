// Whether a window's texts fit their controls: every label, button and group box title is
// given at least the room its text asks for; and whether each of its buttons and fields can be
// reached by a mnemonic of its own.
#pragma once

#include <QAbstractButton>
#include <QGroupBox>
#include <QKeySequence>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QWidget>

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

namespace qpt::ui::fit {

inline void ExpectNoClippedText(QWidget& window, const char* what) {
  for (QWidget* w : window.findChildren<QWidget*>()) {
    if (!w->isVisibleTo(&window)) continue;
    // Values from a descriptor are cut at the window's edge on purpose and shown whole as tips.
    if (w->sizePolicy().horizontalPolicy() == QSizePolicy::Ignored) continue;
    QString text;
    QSize needed;
    if (auto* label = qobject_cast<QLabel*>(w)) {
      text = label->text();
      needed = label->sizeHint();
    } else if (auto* button = qobject_cast<QPushButton*>(w)) {
      // A push button's hint holds a minimum width of the style's; what counts is whether its
      // text fits the room the style leaves for it inside the frame.
      text = button->text();
      QStyleOptionButton option;
      option.initFrom(button);
      option.text = text;
      const QRect room = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
      needed = button->fontMetrics().size(Qt::TextShowMnemonic, text) + (button->size() - room.size());
    } else if (auto* check = qobject_cast<QAbstractButton*>(w)) {
      text = check->text();
      needed = check->sizeHint();
    } else if (auto* box = qobject_cast<QGroupBox*>(w)) {
      text = box->title();
      needed = box->minimumSizeHint();
    } else {
      continue;
    }
    const std::string where = std::string(what) + ": " + w->objectName().toStdString() + " \"" + text.toStdString() + "\"";
    EXPECT_LE(needed.width(), w->width()) << where;
    EXPECT_LE(needed.height(), w->height()) << where;
  }
}

// Every button has a mnemonic, or is the buddy of a label that has one; no two controls shown
// in the window share one.
inline void ExpectUniqueMnemonics(QWidget& window, const char* what) {
  std::map<QKeySequence, QString> owners;
  std::set<const QWidget*> labelled;
  const auto own = [&](const QKeySequence& key, const QWidget* w) {
    const auto [it, added] = owners.emplace(key, w->objectName());
    EXPECT_TRUE(added) << what << ": " << w->objectName().toStdString() << " and " << it->second.toStdString()
                       << " share " << key.toString().toStdString();
  };
  for (QLabel* label : window.findChildren<QLabel*>()) {
    if (!label->buddy() || !label->isVisibleTo(&window)) continue;
    const QKeySequence key = QKeySequence::mnemonic(label->text());
    EXPECT_FALSE(key.isEmpty()) << what << ": " << label->objectName().toStdString() << " has no mnemonic";
    if (!key.isEmpty()) own(key, label);
    labelled.insert(label->buddy());
  }
  for (QAbstractButton* button : window.findChildren<QAbstractButton*>()) {
    if (!button->isVisibleTo(&window) || labelled.count(button)) continue;
    EXPECT_FALSE(button->shortcut().isEmpty()) << what << ": " << button->objectName().toStdString() << " has no mnemonic";
    if (!button->shortcut().isEmpty()) own(button->shortcut(), button);
  }
}

// The window's font made larger, as a system text size of 125% makes it.
inline void ScaleFont(QWidget& window, double factor) {
  QFont font = window.font();
  font.setPointSizeF(font.pointSizeF() * factor);
  window.setFont(font);
}

}  // namespace qpt::ui::fit
