// Start-up: --help and --version answered without a window, the one line when there is no
// display; then (on Windows with Qt's FreeType font engine) the application object with an
// empty title, the forms' font files, the main window, the login dialog
// and the password-change dialog, then the message loop until the main window closes.
#include "app/AppFonts.h"
#include "app/AppPlatform.h"
#include "app/Chngpass.h"
#include "app/KoderApplication.h"
#include "app/Login.h"
#include "app/Wmain.h"
#include "cli/common/CommandLine.h"
#include "cli/qt/Display.h"
#if defined(__unix__)
#include "app/QuitOnSignal.h"
#endif

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

int main(int argc, char* argv[]) {
  const int answered = kp::AnswerKoderCli(std::vector<std::string>(argv + 1, argv + argc));
  if (answered >= 0) return answered;
  if (!kp::DisplayNamed()) {
    std::fputs(kp::NoDisplayLine("kpnox-koder", "DISPLAY is not set").c_str(), stderr);
    return 1;
  }
  kp::DisplayGuard displayGuard("kpnox-koder");
#ifdef _WIN32
  UseFreeTypeFontEngine();
#endif
  KoderApplication application(argc, argv);
  displayGuard.Release();
  try {
    QGuiApplication::setApplicationDisplayName(QString());
    // Before any window: the forms measure their captions in these faces.
    const QString fontsLine = FontsNotLoadedLine(RegisterApplicationFonts());
    if (!fontsLine.isEmpty()) std::fputs(fontsLine.toLocal8Bit().constData(), stderr);
    MainWin = new TMainWin(ApplicationPlatform());
    // Owned by the main window: shown over it, destroyed with it.
    LoginDlg = new TLoginDlg(MainWin);
    ChngPassDlg = new TChngPassDlg(MainWin);
    MainWin->show();
#if defined(__unix__)
    // A stop request from outside closes the window as the operator would.
    CloseOnQuitSignals(MainWin);
#endif
    QApplication::exec();
  } catch (...) {
    KoderApplication::ShowException(std::current_exception());
  }
  delete MainWin;
  MainWin = nullptr;
  LoginDlg = nullptr;
  ChngPassDlg = nullptr;
  return 0;
}
