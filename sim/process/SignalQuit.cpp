#include "sim/process/SignalQuit.h"

#include "cli/QuitSignals.h"

#include <QCoreApplication>

namespace kp {

bool QuitOnSignals(QObject* context) {
  return CallOnQuitSignals(context, [] { QCoreApplication::quit(); });
}

}  // namespace kp
