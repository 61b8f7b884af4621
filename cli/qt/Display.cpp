#include "cli/qt/Display.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

namespace kp {

namespace {

// One guard at a time, for the start-up of one application object.
const char* guardedProgram = nullptr;
QtMessageHandler previousHandler = nullptr;
QStringList heldBack;

void HoldOrEnd(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type != QtFatalMsg) {
    heldBack << message;
    return;
  }
  // The platform plugin's own words say which display it tried ("could not connect to
  // display :1"); Qt's closing message only lists plugins.
  QString reason = QStringLiteral("Qt cannot open its platform plugin");
  for (const QString& line : heldBack) {
    if (line.contains(QLatin1String("display"), Qt::CaseInsensitive)) reason = line;
  }
  std::fputs(NoDisplayLine(guardedProgram, reason.toStdString()).c_str(), stderr);
  std::fflush(stderr);
  std::_Exit(1);
}

}  // namespace

bool DisplayNamed() {
#ifdef _WIN32
  return true;  // a Windows session always has its desktop; Qt reports the rare failure
#else
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') return true;
  }
  return false;
#endif
}

std::string NoDisplayLine(const std::string& program, const std::string& reason) {
  return program + ": brak ekranu / no display (" + reason +
         "); uruchom na pulpicie albo na ekranie wirtualnym / run it on a desktop or "
         "under a virtual one: xvfb-run -a " +
         program + "\n";
}

DisplayGuard::DisplayGuard(const char* program) {
  guardedProgram = program;
  heldBack.clear();
  previousHandler = qInstallMessageHandler(HoldOrEnd);
}

DisplayGuard::~DisplayGuard() { Release(); }

void DisplayGuard::Release() {
  if (!active_) return;
  active_ = false;
  qInstallMessageHandler(previousHandler);
  for (const QString& line : heldBack) std::fprintf(stderr, "%s\n", qPrintable(line));
  heldBack.clear();
}

}  // namespace kp
