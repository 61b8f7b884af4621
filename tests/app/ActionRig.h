// The operator actions' test bench: the real main window and dialogs over a VirtualBus with
// one virtual KP-R50, polling only when the test ticks, and readers for what the operator
// saw. Modal windows are answered by kp::test::ModalCloser.
#pragma once

#include "app/Chngpass.h"
#include "app/Login.h"
#include "MessageTexts.h"
#include "ModalCloser.h"
#include "app/Wmain.h"
#include "crypto/PasswordKey.h"
#include "link/KpFrame.h"
#include "platform/virtual/VirtualBus.h"
#include "sim/firmware/VirtualKpR50.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kp::test {

using Uid = std::array<uint8_t, 8>;
using Key = std::array<uint8_t, 16>;

inline Uid CardUid(uint8_t last) { return {0x04, 0xA1, 0x00, 0xFF, 0x12, 0x34, 0x56, last}; }

inline QString HexOf(const Uid& uid) {
  QString text;
  for (uint8_t b : uid) text += QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')).toUpper();
  return text;
}

// The key of an 8-bit password, derived the way the programmer's administrator does it.
inline Key KeyOf(const char* password) {
  Key key{};
  kp::DerivePasswordKey("user", password, key.data());
  return key;
}

// What a modal window said, in one line: "E: text" and "I: text" for the error and
// information boxes, the class name for a dialog, with the heading for the change dialog.
inline QString Line(const ModalRecord& record) {
  if (record.className == QLatin1String("QMessageBox")) {
    const char* kind = record.icon == QMessageBox::Critical      ? "E: "
                       : record.icon == QMessageBox::Information ? "I: "
                                                                 : "?: ";
    return QLatin1String(kind) + record.text;
  }
  if (record.className == QLatin1String("TChngPassDlg")) {
    return record.className + QStringLiteral(": ") + record.text;
  }
  return record.className;
}

inline QStringList Seen(const ModalCloser& closer) {
  QStringList lines;
  for (const ModalRecord& record : closer.Records()) lines << Line(record);
  return lines;
}

inline QString Error(const char* text) { return QStringLiteral("E: ") + QString::fromUtf8(text); }
inline QString Info(const char* text) { return QStringLiteral("I: ") + QString::fromUtf8(text); }

enum class Action { Login, Erase, Program, Read };

class ActionRig {
 public:
  ActionRig() {
    lastShownStatus = kStartShownStatus;
    twoProgrammersArmed = true;
    device = fw.PlugInto(bus);
    win = std::make_unique<TMainWin>(bus);
    MainWin = win.get();
    LoginDlg = new TLoginDlg(win.get());
    ChngPassDlg = new TChngPassDlg(win.get());
    win->StartStopBtnClick();  // polling only when the test ticks
    win->show();
  }
  ~ActionRig() {
    win.reset();
    MainWin = nullptr;
    LoginDlg = nullptr;
    ChngPassDlg = nullptr;
  }
  ActionRig(const ActionRig&) = delete;
  ActionRig& operator=(const ActionRig&) = delete;

  template <typename T>
  T* W(const char* name) const {
    return win->findChild<T*>(QLatin1String(name));
  }
  QLineEdit* Edit(const char* name) const { return W<QLineEdit>(name); }
  QString Text(const char* name) const {
    if (auto* label = W<QLabel>(name)) return label->text();
    if (auto* edit = W<QLineEdit>(name)) return edit->text();
    if (auto* button = W<QAbstractButton>(name)) return button->text();
    return QStringLiteral("<no %1>").arg(QLatin1String(name));
  }

  void Tick() { win->NoxTimerTimer(); }
  bool Open() const { return win->Programmer().winUsbHandle != kp::kInvalidHandle; }

  // Keys and a password the user has set; linked by one tick, logged out.
  void UserPassword(const char* password) {
    fw.SetKeys(kp::KeyState::Target);
    const Key key = KeyOf(password);
    fw.SetPasswordKey(key.data(), kp::PasswordState::SetByUser);
    Tick();
  }
  // As if the user had logged in earlier: the status read and the panel say so.
  void LoggedIn(const char* password = "haslo123") {
    UserPassword(password);
    fw.SetLoggedIn(true);
    Tick();
    win->RefreshStatusPanel();
  }

  // The button's click, as the operator gives it; a disabled button gets the call itself.
  void Press(Action action) {
    const char* name = action == Action::Login     ? "LoginBtn"
                       : action == Action::Erase   ? "ClearTagBtn"
                       : action == Action::Program ? "ProgrTagBtn"
                                                   : "ReadTagBtn";
    auto* button = W<QPushButton>(name);
    if (button->isEnabled()) {
      QTest::mouseClick(button, Qt::LeftButton);
      return;
    }
    switch (action) {
      case Action::Login: win->LoginBtnClick(); break;
      case Action::Erase: win->ClearTagBtnClick(); break;
      case Action::Program: win->ProgrTagBtnClick(); break;
      case Action::Read: win->ReadTagBtnClick(); break;
    }
  }

  // The firmware behind the device, wrapped: `wrap` sees every OUT transfer and either answers
  // it itself or hands it on.
  using Wrapper = std::function<std::optional<std::vector<kp::InTransfer>>(
      uint8_t command, std::span<const uint8_t> out)>;
  void WrapFirmware(Wrapper wrap) {
    bus.SetFirmware(device, [this, wrap = std::move(wrap)](std::span<const uint8_t> out) {
      const auto frame = kp::DecodeFrame(out);
      if (frame) {
        if (auto answer = wrap(frame->command, out)) return *answer;
      }
      return fw.HandleRequest(out);
    });
  }
  // A one-byte refusal (status 7) for a command, from its `from`-th request on (0-based).
  void Refuse(uint8_t command, int from = 0) {
    auto seen = std::make_shared<int>(0);
    WrapFirmware(
        [command, from, seen](
            uint8_t c, std::span<const uint8_t>) -> std::optional<std::vector<kp::InTransfer>> {
          if (c != command || (*seen)++ < from) return std::nullopt;
          const uint8_t refusal[] = {0x07};
          return std::vector<kp::InTransfer>{
              {kp::EncodeFrame(static_cast<uint8_t>(command | 0x80), refusal), 0}};
        });
  }

  // Command bytes the firmware carried out, as text ("MnLM").
  std::string Commands() const {
    const auto& c = fw.Commands();
    return std::string(c.begin(), c.end());
  }

  kp::VirtualBus bus;
  kp::VirtualKpR50 fw;
  kp::VirtualBus::DeviceId device = 0;
  std::unique_ptr<TMainWin> win;
};

}  // namespace kp::test
