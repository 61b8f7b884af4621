#include "app/BusyCursor.h"

#include <QApplication>
#include <QCursor>

namespace {

// One GUI thread: plain counters do.
int busyDepth = 0;
int idleDepth = 0;

bool CursorShown() { return busyDepth > 0 && idleDepth == 0; }

}  // namespace

BusyCursor::BusyCursor() {
  const bool shown = CursorShown();
  ++busyDepth;
  if (!shown && CursorShown()) QApplication::setOverrideCursor(Qt::WaitCursor);
}

BusyCursor::~BusyCursor() {
  const bool shown = CursorShown();
  --busyDepth;
  if (shown && !CursorShown()) QApplication::restoreOverrideCursor();
}

IdleCursorWhileModal::IdleCursorWhileModal() : lifted_(CursorShown()) {
  ++idleDepth;
  if (lifted_) QApplication::restoreOverrideCursor();
}

IdleCursorWhileModal::~IdleCursorWhileModal() {
  --idleDepth;
  if (lifted_ && CursorShown()) QApplication::setOverrideCursor(Qt::WaitCursor);
}
