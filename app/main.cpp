// Start-up: the application object with an empty title, the main window, the login dialog
// and the password-change dialog, then the message loop until the main window closes.
#include "AppFonts.h"
#include "AppPlatform.h"
#include "Chngpass.h"
#include "KoderApplication.h"
#include "Login.h"
#include "Wmain.h"
#if defined(__unix__)
#include "QuitOnSignal.h"
#endif

#include <exception>

int main(int argc, char* argv[]) {
  KoderApplication application(argc, argv);
  try {
    QGuiApplication::setApplicationDisplayName(QString());
    RegisterApplicationFonts();
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
