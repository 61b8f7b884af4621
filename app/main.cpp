// Start-up: --help and --version answered without a window, the trace file of --trace opened,
// the one line when there is no display; then (on Windows with Qt's FreeType font engine) the
// application object with an empty title, the forms' font files, the main window, the login
// dialog and the password-change dialog, then the message loop until the main window closes.
#include "app/AppFonts.h"
#include "app/AppPlatform.h"
#include "app/Chngpass.h"
#include "app/KoderApplication.h"
#include "app/Login.h"
#include "app/Wmain.h"
#include "cli/common/CommandLine.h"
#include "cli/qt/Display.h"
#include "platform/MonotonicClock.h"
#include "platform/system/SystemPlatform.h"
#include "trace/TraceFile.h"
#if defined(__unix__)
#include "app/QuitOnSignal.h"
#endif

#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

int main(int argc, char* argv[]) {
  kp::TraceOptions traceOptions;
  const int answered = kp::AnswerKoderCli(kp::ProgramArguments(argc, argv), &traceOptions);
  if (answered >= 0) return answered;
  // A trace that cannot be written is said before anything else is done; it outlives the
  // main window, whose programmer writes to it.
  std::unique_ptr<kp::TraceFile> trace;
  if (!traceOptions.path.empty()) {
    std::string error;
    trace = kp::TraceFile::Open(traceOptions.path,
                                traceOptions.pcap ? kp::TraceFormat::Pcap : kp::TraceFormat::Text,
                                {std::string("kpnox-koder ") + kp::ProgramVersion(),
                                 kp::SystemText(), kp::SystemBackendsText()},
                                kp::MonotonicMicroseconds, &error);
    if (!trace) {
      std::fprintf(stderr,
                   "kpnox-koder: nie można zapisać śladu / cannot write the trace: %s: %s\n",
                   traceOptions.path.c_str(), error.c_str());
      return 2;
    }
  }
  const kp::ScopedTraceSink traceSink(trace ? &trace->Sink() : nullptr);
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
    CloseOnQuitSignal(MainWin);
#endif
    QApplication::exec();
  } catch (...) {
    KoderApplication::ShowException(std::current_exception());
  }
  delete MainWin;
  MainWin = nullptr;
  LoginDlg = nullptr;
  ChngPassDlg = nullptr;
  if (trace && !trace->Error().empty()) {
    std::fprintf(stderr, "kpnox-koder: ślad niepełny / the trace is incomplete: %s\n",
                 trace->Error().c_str());
  }
  return 0;
}
