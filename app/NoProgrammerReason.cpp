#include "app/NoProgrammerReason.h"

#include "programmer/OperatorTexts.h"

#include <QLabel>
#include <QStringList>

QString UnreachableText(const kp::UnreachableDevice& device) {
  return QString::fromStdString(kp::UnreachableReason(device));
}

void NoProgrammerReason::Update(QLabel* label, const kp::UsbPlatform& platform, bool connected) {
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
