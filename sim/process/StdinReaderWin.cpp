// Windows has no readiness notice for a pipe or a console, so a thread of its own blocks in
// ReadFile and posts each chunk to the event loop. The thread is never joined: a read cannot
// be taken back in every case (a console, a pipe under Wine), and it ends with the process.
#include "sim/process/StdinReader.h"

#include <QMetaObject>
#include <QObject>

#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <windows.h>

namespace kp {

namespace {

// What the reading thread and the event loop share. The receiver is cleared, under the lock,
// when it is destroyed; Qt drops the chunks already posted to it.
struct Relay {
  std::mutex lock;
  QObject* receiver = nullptr;
  StdinSink sink;
  bool stopped = false;  // event loop only
};

void Post(const std::shared_ptr<Relay>& relay, std::string chunk, bool end) {
  const std::lock_guard<std::mutex> hold(relay->lock);
  if (relay->receiver == nullptr) return;
  QMetaObject::invokeMethod(
      relay->receiver,
      [relay, chunk = std::move(chunk), end] {
        if (relay->stopped) return;
        if (end) {
          relay->stopped = true;
          relay->sink.end();
        } else if (!relay->sink.data(chunk)) {
          relay->stopped = true;
        }
      },
      Qt::QueuedConnection);
}

}  // namespace

bool ReadStdin(QObject* context, StdinSink sink) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return false;
  auto relay = std::make_shared<Relay>();
  relay->sink = std::move(sink);
  auto* receiver = new QObject(context);
  relay->receiver = receiver;
  QObject::connect(receiver, &QObject::destroyed, [relay] {
    const std::lock_guard<std::mutex> hold(relay->lock);
    relay->receiver = nullptr;
  });
  std::thread([relay, input] {
    char buffer[4096];
    while (true) {
      DWORD n = 0;
      if (!ReadFile(input, buffer, sizeof buffer, &n, nullptr) || n == 0) {
        Post(relay, {}, true);  // end of the pipe, a closed console, or a failure
        return;
      }
      Post(relay, std::string(buffer, n), false);
    }
  }).detach();
  return true;
}

}  // namespace kp
