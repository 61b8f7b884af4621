// kpr50-sim is a GUI program on Windows (no console window of its own). Started from a
// console, it borrows that console for the streams its parent did not redirect, so that
// --help, the errors and --headless talk there; started with pipes it keeps them.
#pragma once

namespace kp {

void UseParentConsole();

}  // namespace kp
