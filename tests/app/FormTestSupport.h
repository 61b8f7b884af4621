// Small readers shared by the form tests: a widget's caption whatever its kind, the order in
// which Tab visits named widgets, and the check that no window is left on screen. The typing
// helper needs Qt Test; the rest serves the GoogleTest checks too (a static Qt has no Qt Test).
#pragma once

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QStringList>
#include <QTextLayout>
#ifdef QT_TESTLIB_LIB
#include <QTest>
#endif
#include <QWidget>

namespace kp::test {

inline QString Caption(const QWidget* widget) {
  if (auto* label = qobject_cast<const QLabel*>(widget)) return label->text();
  if (auto* button = qobject_cast<const QAbstractButton*>(widget)) return button->text();
  if (auto* box = qobject_cast<const QGroupBox*>(widget)) return box->title();
  if (auto* edit = qobject_cast<const QLineEdit*>(widget)) return edit->text();
  if (auto* text = qobject_cast<const QPlainTextEdit*>(widget)) return text->toPlainText();
  return QString();
}

#ifdef QT_TESTLIB_LIB
// Types `text` into a widget key by key. QTest::keyClicks knows ASCII only; other characters
// (Polish letters, a surrogate pair) arrive as key events that carry just their text.
inline void TypeText(QWidget* widget, const QString& text) {
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text[i];
    if (c.unicode() < 0x80) {
      QTest::keyClick(widget, static_cast<char>(c.unicode()));
      continue;
    }
    const qsizetype units = c.isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
    QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, text.mid(i, units), Qt::NoModifier);
    i += units - 1;
  }
}
#endif

// The horizontal alignment of a label; 0 for other kinds.
inline int HorizontalAlignment(const QWidget* widget) {
  if (auto* label = qobject_cast<const QLabel*>(widget)) {
    return static_cast<int>(label->alignment() & Qt::AlignHorizontal_Mask);
  }
  return 0;
}

// The widgets among `names` that Tab can reach, in the order of the window's focus chain.
// Widgets that never take the focus (labels, group boxes, a progress bar) have no place in
// Qt's tab order.
inline QStringList FocusOrder(QWidget* window, const QStringList& names) {
  QStringList order;
  QWidget* widget = window;
  do {
    widget = widget->nextInFocusChain();
    if (names.contains(widget->objectName()) && (widget->focusPolicy() & Qt::TabFocus)) {
      order << widget->objectName();
    }
  } while (widget != window);
  return order;
}

// The lines a label lays its plain text out in at its present width: each paragraph broken
// as the label's word wrap breaks it; `widths` (if given) gets each line's natural width.
inline QStringList LaidOutLines(const QLabel* label, QList<qreal>* widths = nullptr) {
  QTextOption option;
  option.setWrapMode(label->wordWrap() ? QTextOption::WordWrap : QTextOption::NoWrap);
  const int width = label->contentsRect().width() - 2 * label->margin();
  QStringList lines;
  for (const QString& paragraph : label->text().split(u'\n')) {
    QTextLayout layout(paragraph, label->font());
    layout.setTextOption(option);
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
      line.setLineWidth(width);
      lines << paragraph.mid(line.textStart(), line.textLength());
      if (widths != nullptr) *widths << line.naturalTextWidth();
    }
    layout.endLayout();
  }
  return lines;
}

// Every node below `root` in the accessible tree, depth first, as a screen reader lists them.
inline QList<QAccessibleInterface*> AccessibleDescendants(QAccessibleInterface* root) {
  QList<QAccessibleInterface*> nodes;
  if (root == nullptr) return nodes;
  for (int i = 0; i < root->childCount(); ++i) {
    QAccessibleInterface* child = root->child(i);
    if (child == nullptr) continue;
    nodes << child << AccessibleDescendants(child);
  }
  return nodes;
}

// Names of the top-level windows still visible.
inline QStringList VisibleWindows() {
  QStringList visible;
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget->isVisible()) {
      visible << QStringLiteral("%1 (%2)").arg(
          widget->objectName(), QString::fromLatin1(widget->metaObject()->className()));
    }
  }
  return visible;
}

}  // namespace kp::test
