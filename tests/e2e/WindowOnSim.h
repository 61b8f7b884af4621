// The application's main window and dialogs in the test process, looking for programmers
// where the application does on Linux: a CompositePlatform with the simulator's sockets and
// announce files, here those of the test's own runtime folder. Polling only when the test ticks;
// modal windows are answered by kp::test::ModalCloser.
#pragma once

#include "ActionRig.h"  // ModalCloser, the readers of what the operator saw, the messages
#include "app/AppFonts.h"
#include "SimProcess.h"
#include "platform/CompositePlatform.h"
#include "platform/simclient/SimUnixPlatform.h"
#include "platform/simclient/SimTcpPlatform.h"

#include <QDeadlineTimer>

#include <memory>
#include <utility>

namespace kp::test {

class WindowOnSim {
 public:
  // `sockets` replaces the simulator's sockets as the tool opens them, for a test that
  // steps in between.
  explicit WindowOnSim(const kp::test::RuntimeFolder& runtime,
                       std::unique_ptr<kp::SimUnixPlatform> sockets = nullptr) {
    // Process-wide state of the main window's unit, as at start-up.
    lastShownStatus = kStartShownStatus;
    twoProgrammersArmed = true;
    if (!sockets) {
      sockets = std::make_unique<kp::SimUnixPlatform>(runtime.SocketFolder());
    }
    platform.Add(std::move(sockets));
    platform.Add(std::make_unique<kp::SimTcpPlatform>(runtime.AnnounceFolder()));
    win = std::make_unique<TMainWin>(platform);
    MainWin = win.get();
    LoginDlg = new TLoginDlg(win.get());
    ChngPassDlg = new TChngPassDlg(win.get());
    win->StartStopBtnClick();  // polling only when the test ticks
    win->show();
  }
  ~WindowOnSim() {
    win.reset();
    MainWin = nullptr;
    LoginDlg = nullptr;
    ChngPassDlg = nullptr;
  }
  WindowOnSim(const WindowOnSim&) = delete;
  WindowOnSim& operator=(const WindowOnSim&) = delete;

  template <typename T>
  T* W(const char* name) const {
    return win->findChild<T*>(QLatin1String(name));
  }
  QString Text(const char* name) const { return kp::test::Caption(W<QWidget>(name)); }

  void Tick() { win->NoxTimerTimer(); }
  bool Linked() const { return win->Programmer().winUsbHandle != kp::kInvalidHandle; }

  // Ticks until the window holds a programmer; false at the deadline.
  bool TickUntilLinked(int limitMs = kp::test::kWaitLimitMs) {
    const QDeadlineTimer deadline(limitMs);
    for (Tick(); !Linked(); Tick()) {
      if (deadline.hasExpired()) return false;
      QTest::qWait(10);  // the simulator's sockets may still be on their way
    }
    return true;
  }

  // The operator's click on a button that must be enabled.
  bool Click(const char* name) {
    auto* button = W<QPushButton>(name);
    if (button == nullptr || !button->isEnabled()) return false;
    QTest::mouseClick(button, Qt::LeftButton);
    return true;
  }

  // Replaces a box's text as the operator types it.
  void Type(const char* name, const QString& text) {
    QLineEdit* edit = W<QLineEdit>(name);
    edit->clear();
    kp::test::TypeText(edit, text);
  }

  kp::CompositePlatform platform;
  std::unique_ptr<TMainWin> win;
};

}  // namespace kp::test
