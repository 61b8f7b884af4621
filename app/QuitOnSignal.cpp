#include "app/QuitOnSignal.h"

#include "cli/qt/QuitOnSignal.h"

#include <QApplication>
#include <QPointer>
#include <QTimer>
#include <QWidget>

namespace {

// A modal window still up is looked at again after this long.
constexpr int kModalRecheckMs = 10;

// A dialog's own loop runs below the main window's close; closing the dialog first lets the
// action under it end the way it ends when the operator closes the dialog. The action may
// open another box on its way out, so the check goes on until the window is gone.
void CloseInTurn(QTimer* timer, const QPointer<QWidget>& window) {
  if (window.isNull()) return;
  QWidget* modal = QApplication::activeModalWidget();
  if (modal != nullptr && modal != window.data()) {
    modal->close();
    return;
  }
  if (window->isVisible()) window->close();
  if (!window->isVisible()) timer->stop();
}

}  // namespace

bool CloseOnQuitSignal(QWidget* window) {
  if (window == nullptr) return false;
  const QPointer<QWidget> target(window);
  return kp::CallOnQuitSignal(window, [target, timer = QPointer<QTimer>()]() mutable {
    if (target.isNull()) return;
    if (timer.isNull()) {
      timer = new QTimer(target.data());
      timer->setInterval(kModalRecheckMs);
      QObject::connect(timer, &QTimer::timeout, target.data(),
                       [t = timer.data(), target] { CloseInTurn(t, target); });
    }
    timer->start();
    CloseInTurn(timer, target);
  });
}
