#include "sim/process/QuitOnSignal.h"

#include "cli/qt/QuitOnSignal.h"

#include <QCoreApplication>

namespace kp {

bool QuitOnSignal(QObject* context) {
  return CallOnQuitSignal(context, [] { QCoreApplication::quit(); });
}

}  // namespace kp
