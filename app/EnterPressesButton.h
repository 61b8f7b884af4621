// Enter, as on Windows: a push button with the keyboard focus is pressed by Enter (and the
// keypad's Enter) as well as by Space. Qt's push button takes Enter only as a default button,
// and the dialogs have none, so Enter in an edit box still presses nothing.
#pragma once

#include <QObject>

class EnterPressesButton : public QObject {
 public:
  explicit EnterPressesButton(QObject* parent = nullptr) : QObject(parent) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
};
