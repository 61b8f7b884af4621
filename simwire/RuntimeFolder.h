// The per-user folders the simulator's device files live in, and how they are kept private.
#pragma once

#include <string>

namespace kp {

// "$XDG_RUNTIME_DIR/<name>", or "/tmp/<name>-<uid>" when that variable is unset or empty.
// On Windows "%LOCALAPPDATA%\<name>", or "" when there is no such folder. UTF-8.
std::string UserRuntimeFolder(const std::string& name);

// Makes `path` a folder only we can use. On Unix it is created 0700 when missing; an existing
// one must be a real folder (not a link) that we own, and is narrowed to 0700. On Windows it
// is created with its parents: under LocalAppData other users cannot read it anyway. False,
// with the reason in *error, otherwise.
bool EnsurePrivateFolder(const std::string& path, std::string* error);

#if defined(_WIN32)
// UTF-8 and the wide text of Windows' calls; "" for text that does not convert.
std::wstring WideText(const std::string& utf8);
std::string Utf8Text(const std::wstring& wide);
#endif

}  // namespace kp
