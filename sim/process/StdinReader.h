// Standard input for the headless mode, read as it comes and handed over in chunks on the
// thread that runs the Qt event loop. It stays blocking: it may be shared with a shell.
#pragma once

#include <functional>
#include <string_view>

class QObject;

namespace kp {

struct StdinSink {
  // One chunk of bytes as read; false stops the reading (the commands ended).
  std::function<bool(std::string_view chunk)> data;
  // The input ended (or failed). Not called after `data` returned false.
  std::function<void()> end;
};

// Starts reading. False when there is no standard input at all; then nothing is called.
// Nothing is called either once `context` is gone.
bool ReadStdin(QObject* context, StdinSink sink);

}  // namespace kp
