#include "app/AccessibleSecrets.h"

#include <QAccessible>
#include <QLineEdit>
#include <QString>

namespace {

constexpr char16_t kBullet = u'\u2022';

QAccessible::UpdateHandler handedOnTo = nullptr;

// The next handler, or with none the platform's bridge, which Qt calls only when no handler
// is installed: the installed one (ours, or one that calls ours) steps aside for the call.
void HandOn(QAccessibleEvent* event) {
  if (handedOnTo != nullptr) {
    handedOnTo(event);
    return;
  }
  const QAccessible::UpdateHandler installed = QAccessible::installUpdateHandler(nullptr);
  QAccessible::updateAccessibility(event);
  QAccessible::installUpdateHandler(installed);
}

const QLineEdit* SecretBox(QObject* object) {
  const auto* edit = qobject_cast<const QLineEdit*>(object);
  return edit != nullptr && edit->echoMode() != QLineEdit::Normal ? edit : nullptr;
}

// The same length keeps the positions the event carries true of the box's text.
QString Masked(const QLineEdit* box, const QString& text) {
  if (box->echoMode() == QLineEdit::NoEcho) return QString();
  return QString(text.size(), QChar(kBullet));
}

void MaskSecrets(QAccessibleEvent* event) {
  const QLineEdit* box = SecretBox(event->object());
  if (box == nullptr) {
    HandOn(event);
    return;
  }
  QObject* object = event->object();
  switch (event->type()) {
    case QAccessible::TextInserted: {
      const auto* text = static_cast<QAccessibleTextInsertEvent*>(event);
      QAccessibleTextInsertEvent masked(object, text->changePosition(),
                                        Masked(box, text->textInserted()));
      masked.setCursorPosition(text->cursorPosition());
      HandOn(&masked);
      return;
    }
    case QAccessible::TextRemoved: {
      const auto* text = static_cast<QAccessibleTextRemoveEvent*>(event);
      QAccessibleTextRemoveEvent masked(object, text->changePosition(),
                                        Masked(box, text->textRemoved()));
      masked.setCursorPosition(text->cursorPosition());
      HandOn(&masked);
      return;
    }
    case QAccessible::TextUpdated: {
      const auto* text = static_cast<QAccessibleTextUpdateEvent*>(event);
      QAccessibleTextUpdateEvent masked(object, text->changePosition(),
                                        Masked(box, text->textRemoved()),
                                        Masked(box, text->textInserted()));
      masked.setCursorPosition(text->cursorPosition());
      HandOn(&masked);
      return;
    }
    default:
      // Caret and selection events carry positions only.
      HandOn(event);
      return;
  }
}

}  // namespace

void HidePasswordsFromAccessibility() {
  static const bool installed = [] {
    handedOnTo = QAccessible::installUpdateHandler(MaskSecrets);
    return true;
  }();
  (void)installed;
}
