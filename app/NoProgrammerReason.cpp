#include "NoProgrammerReason.h"

#include <QLabel>
#include <QStringList>

QString UnreachableText(const kp::UnreachableDevice& device) {
  const QString where = QStringLiteral("KP-R50 na %1: ").arg(QString::fromStdString(device.where));
  switch (device.why) {
    case kp::Unreachable::NoPermission:
      return where + QStringLiteral("brak uprawnień do urządzenia USB — zainstaluj regułę udev "
                                    "(README)");
    case kp::Unreachable::HeldElsewhere:
      return where + QStringLiteral("urządzenie zajęte przez inny program");
  }
  return where;
}

void NoProgrammerReason::Update(QLabel* label, const kp::UsbPlatform& platform,
                                bool connected) {
  QStringList lines;
  if (!connected) {
    for (const kp::UnreachableDevice& device : platform.UnreachableDevices()) {
      lines << UnreachableText(device);
    }
  }
  const QString text = lines.join(QLatin1Char('\n'));
  if (text == text_) return;
  text_ = text;
  label->setToolTip(text_);
  if (!text_.isEmpty() && log_ != nullptr) {
    std::fprintf(log_, "%s\n", text_.toUtf8().constData());
    std::fflush(log_);
  }
}
