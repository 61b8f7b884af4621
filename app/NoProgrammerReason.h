// Why no programmer is seen, when the platform can tell: a programmer that may not be opened
// (no udev rule) or that another program holds. The panel's own text stays as it is; the
// reason becomes the tooltip of the status label and goes to stderr once each time it
// changes, for whoever started the program from a terminal.
#pragma once

#include "platform/UsbPlatform.h"

#include <QString>

#include <cstdio>

class QLabel;

// One line for one device, e.g. "KP-R50 na 001/007: brak uprawnień do urządzenia USB —
// zainstaluj regułę udev (README)".
QString UnreachableText(const kp::UnreachableDevice& device);

class NoProgrammerReason {
 public:
  explicit NoProgrammerReason(std::FILE* log = stderr) : log_(log) {}

  // After each poll: the platform's reasons while no programmer is connected, none while one
  // is, as the tooltip of `label`.
  void Update(QLabel* label, const kp::UsbPlatform& platform, bool connected);
  const QString& Text() const { return text_; }

 private:
  std::FILE* log_;
  QString text_;
};
