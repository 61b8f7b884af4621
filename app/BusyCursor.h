// The wait cursor over the whole application while an action talks to the programmer: the
// GUI thread is blocked then, so the cursor is the operator's only sign of life. A modal
// window that waits for the operator lifts it for as long as it is open.
#pragma once

// Shows the wait cursor from construction to destruction; nested ones show it once.
class BusyCursor {
 public:
  BusyCursor();
  ~BusyCursor();
  BusyCursor(const BusyCursor&) = delete;
  BusyCursor& operator=(const BusyCursor&) = delete;
};

// Lifts a busy cursor while a modal window is open and puts it back afterwards; does
// nothing when no action is busy.
class IdleCursorWhileModal {
 public:
  IdleCursorWhileModal();
  ~IdleCursorWhileModal();
  IdleCursorWhileModal(const IdleCursorWhileModal&) = delete;
  IdleCursorWhileModal& operator=(const IdleCursorWhileModal&) = delete;

 private:
  bool lifted_ = false;
};
