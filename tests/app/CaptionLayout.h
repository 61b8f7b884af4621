// How each caption of a window is laid out in its control: the lines it is drawn in, the
// widest line's width and whether it fits. Shared by the font test (Qt Test, Linux) and the
// caption layout check that runs on both systems (GoogleTest), whose lines are compared.
#pragma once

#include "FormTestSupport.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QLabel>
#include <QList>
#include <QStyle>
#include <QWidget>

#include <algorithm>

namespace kp::test {

struct CaptionFit {
  QString control;    // the object name
  int pixelSize = 0;  // of the control's font
  QStringList lines;  // as drawn
  qreal width = 0;    // of the widest line, in device-independent pixels
  // Nothing cut (the advance rounded, as QFontMetrics gives it to the forms' own fitting), no
  // line break but the text's own or a wrapping label's.
  bool fits = true;
};

// A push button keeps a few pixels of frame on each side of its text.
inline constexpr int kButtonFrame = 4;

inline CaptionFit FitOf(const QWidget* widget) {
  CaptionFit fit;
  fit.control = widget->objectName();
  fit.pixelSize = widget->font().pixelSize();
  const QFontMetricsF metrics(widget->font());
  const QString text = Caption(widget);
  auto widest = [&metrics](const QStringList& lines) {
    qreal width = 0;
    for (const QString& line : lines) width = std::max(width, metrics.horizontalAdvance(line));
    return width;
  };
  if (auto* label = qobject_cast<const QLabel*>(widget)) {
    QList<qreal> widths;
    fit.lines = LaidOutLines(label, &widths);
    fit.width = widths.isEmpty() ? 0 : *std::max_element(widths.begin(), widths.end());
    fit.fits = label->wordWrap()
                   ? label->heightForWidth(label->width()) <= label->height()
                   : fit.lines == text.split(u'\n') && qRound(fit.width) <= label->width() &&
                         metrics.height() * fit.lines.size() <= label->height() + 0.5;
    return fit;
  }
  fit.lines = text.split(u'\n');
  fit.width = widest(fit.lines);
  qreal needed = fit.width;
  if (qobject_cast<const QCheckBox*>(widget)) {
    needed += widget->style()->pixelMetric(QStyle::PM_IndicatorWidth) +
              widget->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing);
  } else if (qobject_cast<const QAbstractButton*>(widget)) {
    needed += 2 * kButtonFrame;
  }
  fit.fits = qRound(needed) <= widget->width();
  return fit;
}

// The labels, buttons and group boxes of `window` (not of the windows it owns) that show a
// caption, in the order of their names.
inline QList<CaptionFit> CaptionFits(QWidget* window) {
  QList<CaptionFit> fits;
  for (QWidget* widget : window->findChildren<QWidget*>()) {
    if (widget->window() != window || widget->objectName().isEmpty()) continue;
    const bool captioned = qobject_cast<QLabel*>(widget) ||
                           qobject_cast<QAbstractButton*>(widget) ||
                           qobject_cast<QGroupBox*>(widget);
    if (!captioned || Caption(widget).isEmpty()) continue;
    fits << FitOf(widget);
  }
  std::sort(fits.begin(), fits.end(),
            [](const CaptionFit& a, const CaptionFit& b) { return a.control < b.control; });
  return fits;
}

// One line of text per control: "window control NNpx width | line | line".
inline QString LayoutLine(const QString& window, const CaptionFit& fit) {
  return QStringLiteral("%1 %2 %3px %4 | %5")
      .arg(window, fit.control)
      .arg(fit.pixelSize)
      .arg(fit.width, 0, 'f', 2)
      .arg(fit.lines.join(QStringLiteral(" | ")));
}

}  // namespace kp::test
