#include "app/PasswordBox.h"

#include "app/AccessibleSecrets.h"

#include <QLineEdit>
#include <QProxyStyle>

namespace {

class StarEchoStyle : public QProxyStyle {
 public:
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* returnData) const override {
    if (hint == SH_LineEdit_PasswordCharacter) return '*';
    return QProxyStyle::styleHint(hint, option, widget, returnData);
  }
};

// One style for every password box; it stays until the process ends, since the boxes
// live as long as the dialogs that the application never destroys before exit.
QStyle* StarEcho() {
  static QStyle* const style = new StarEchoStyle;
  return style;
}

}  // namespace

void MakePasswordBox(QLineEdit* edit) {
  HidePasswordsFromAccessibility();
  edit->setStyle(StarEcho());
  edit->setEchoMode(QLineEdit::Password);
  edit->setMaxLength(kPasswordMaxLength);
}
