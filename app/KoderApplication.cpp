#include "app/KoderApplication.h"

#include "app/EnterPressesButton.h"
#include "app/MessageBox.h"
#include "app/QtTranslation.h"
#include "link/WUsbErr.h"

KoderApplication::KoderApplication(int& argc, char** argv) : QApplication(argc, argv) {
  if (!LoadQtTranslation(qtTranslation_).isEmpty()) installTranslator(&qtTranslation_);
  installEventFilter(new EnterPressesButton(this));
}

bool KoderApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    ShowException(std::current_exception());
    return false;
  }
}

QString KoderApplication::ExceptionText(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const kp::WUsbErr& e) {
    return QString::fromStdString(kp::FormatWUsbErr(e));
  } catch (const std::exception& e) {
    return QString::fromLocal8Bit(e.what());
  } catch (...) {
    return QStringLiteral("Unknown exception.");
  }
}

void KoderApplication::ShowException(std::exception_ptr error) {
  // The forms' message box: broken where the text breaks, not where the screen's width
  // would have Qt re-wrap it.
  ShowMessageBox(nullptr, QMessageBox::Critical, QGuiApplication::applicationDisplayName(),
                 ExceptionText(error));
}
