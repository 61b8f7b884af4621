#include "app/MessageBox.h"

#include "app/BusyCursor.h"

#include <QFontMetrics>
#include <QLabel>

namespace {

// QMessageBox's text label; Qt names it so in every version we build with.
constexpr const char* kTextLabelName = "qt_msgbox_label";
// Its icon's label, which has no text and so no name a screen reader could say.
constexpr const char* kIconLabelName = "qt_msgboxex_icon_label";

// What the icon says, for a screen reader.
QString IconName(QMessageBox::Icon icon) {
  switch (icon) {
    case QMessageBox::Critical: return QStringLiteral("Błąd");
    case QMessageBox::Warning: return QStringLiteral("Ostrzeżenie");
    case QMessageBox::Information: return QStringLiteral("Informacja");
    case QMessageBox::Question: return QStringLiteral("Pytanie");
    case QMessageBox::NoIcon: break;
  }
  return QString();
}

int WidestLine(const QFontMetrics& metrics, const QString& text) {
  int widest = 0;
  for (const QString& line : text.split(u'\n')) {
    widest = qMax(widest, metrics.horizontalAdvance(line));
  }
  return widest;
}

}  // namespace

void ShowMessageBox(QWidget* owner, QMessageBox::Icon icon, const QString& title,
                    const QString& text) {
  QMessageBox box(icon, title, text, QMessageBox::Ok, owner);
  box.setTextFormat(Qt::PlainText);
  box.ensurePolished();  // the font the box will show the text in
  if (auto* label = box.findChild<QLabel*>(QLatin1String(kTextLabelName))) {
    // The label's own margins and a pixel of rounding on top of the widest line.
    const int frame = label->contentsMargins().left() + label->contentsMargins().right() +
                      2 * label->margin() + 1;
    label->setMinimumWidth(WidestLine(QFontMetrics(label->font()), text) + frame);
  }
  if (auto* iconLabel = box.findChild<QLabel*>(QLatin1String(kIconLabelName))) {
    iconLabel->setAccessibleName(IconName(icon));
  }
  const IdleCursorWhileModal idle;
  box.exec();
}
