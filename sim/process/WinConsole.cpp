#include "sim/process/WinConsole.h"

#include <cstdio>
#include <io.h>

#include <windows.h>

namespace kp {

namespace {

bool Inherited(DWORD which) {
  HANDLE handle = GetStdHandle(which);
  return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
         GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

// Points the C stream and the process's standard handle at the console.
void Reopen(FILE* stream, const char* device, const char* mode, DWORD which) {
  if (std::freopen(device, mode, stream) == nullptr) return;
  const intptr_t handle = _get_osfhandle(_fileno(stream));
  if (handle != -1) SetStdHandle(which, reinterpret_cast<HANDLE>(handle));
}

}  // namespace

void UseParentConsole() {
  const bool input = Inherited(STD_INPUT_HANDLE);
  const bool output = Inherited(STD_OUTPUT_HANDLE);
  const bool error = Inherited(STD_ERROR_HANDLE);
  if (input && output && error) return;
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;  // started from Explorer: no console
  if (!input) Reopen(stdin, "CONIN$", "r", STD_INPUT_HANDLE);
  if (!output) Reopen(stdout, "CONOUT$", "w", STD_OUTPUT_HANDLE);
  if (!error) Reopen(stderr, "CONOUT$", "w", STD_ERROR_HANDLE);
}

}  // namespace kp
