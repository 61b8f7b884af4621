#include "sim/process/SignalQuit.h"

#include "cli/qt/QuitSignals.h"

#include <QCoreApplication>

namespace kp {

bool QuitOnSignals(QObject* context) {
  return CallOnQuitSignals(context, [] { QCoreApplication::quit(); });
}

}  // namespace kp
