#include "app/EnterPressesButton.h"

#include <QKeyEvent>
#include <QPushButton>

bool EnterPressesButton::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease) return false;
  auto* button = qobject_cast<QPushButton*>(watched);
  if (button == nullptr || !button->hasFocus() || !button->isEnabled()) return false;
  const auto* key = static_cast<const QKeyEvent*>(event);
  if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) return false;
  if ((key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier) return false;
  // One press per key stroke, on the way down as a default button is; the release and a
  // held key's repeats are taken so that nothing else acts on them.
  if (event->type() == QEvent::KeyPress && !key->isAutoRepeat()) button->click();
  return true;
}
