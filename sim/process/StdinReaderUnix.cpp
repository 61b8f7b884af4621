#include "sim/process/StdinReader.h"

#include <QObject>
#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace kp {

bool ReadStdin(QObject* context, StdinSink sink) {
  if (fcntl(STDIN_FILENO, F_GETFD) == -1) return false;
  auto* notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, context);
  QObject::connect(notifier, &QSocketNotifier::activated, context,
                   [notifier, sink = std::move(sink)] {
                     char chunk[4096];
                     const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
                     if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
                     if (n <= 0) {
                       notifier->setEnabled(false);
                       sink.end();
                     } else if (!sink.data(std::string_view(chunk, static_cast<size_t>(n)))) {
                       notifier->setEnabled(false);
                     }
                   });
  return true;
}

}  // namespace kp
