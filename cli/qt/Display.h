// A program with a window started where there is no display says so in one line and exits
// with 1, instead of Qt's abort (exit 134) after a screenful about platform plugins.
#pragma once

#include <string>

namespace kp {

// Whether the environment names a display at all: X11, Wayland or a Qt platform of its own.
bool DisplayNamed();

// "PROGRAM: brak ekranu / no display (REASON); ..." with how to run it under a virtual one.
std::string NoDisplayLine(const std::string& program, const std::string& reason);

// While it lives, Qt's failure to open the display ends the process with that line and
// exit status 1; Qt's other messages of that time are held back and printed at Release().
// Make it just before the application object, release it just after.
class DisplayGuard {
 public:
  explicit DisplayGuard(const char* program);
  ~DisplayGuard();
  DisplayGuard(const DisplayGuard&) = delete;
  DisplayGuard& operator=(const DisplayGuard&) = delete;
  void Release();

 private:
  bool active_ = true;
};

}  // namespace kp
