#include "simwire/RuntimeFolder.h"

#include "simwire/ErrorText.h"

#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>

#include <filesystem>
#include <system_error>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kp {

#if defined(_WIN32)

std::wstring WideText(const std::string& utf8) {
  const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.c_str(), -1, nullptr, 0);
  if (size <= 1) return {};
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.c_str(), -1, wide.data(), size);
  wide.resize(static_cast<size_t>(size - 1));
  return wide;
}

std::string Utf8Text(const std::wstring& wide) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string text(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, text.data(), size, nullptr, nullptr);
  text.resize(static_cast<size_t>(size - 1));
  return text;
}

std::string UserRuntimeFolder(const std::string& name) {
  const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
  if (local == nullptr || local[0] == L'\0') return {};  // nothing is announced or listed
  return Utf8Text(local) + "\\" + name;
}

bool EnsurePrivateFolder(const std::string& path, std::string* error) {
  std::error_code failure;
  const std::wstring wide = WideText(path);
  if (wide.empty() || (!std::filesystem::create_directories(wide, failure) && failure)) {
    SetError(error, "cannot create " + path);
    return false;
  }
  return true;
}

#else

std::string UserRuntimeFolder(const std::string& name) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] != '\0') return std::string(runtime) + "/" + name;
  return "/tmp/" + name + "-" + std::to_string(static_cast<unsigned long>(getuid()));
}

bool EnsurePrivateFolder(const std::string& path, std::string* error) {
  if (mkdir(path.c_str(), 0700) == 0) return true;
  if (errno != EEXIST) {
    SetError(error, ErrnoText("cannot create " + path));
    return false;
  }
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    SetError(error, ErrnoText(path));
    return false;
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
    SetError(error, path + " is not a folder of ours");
    return false;
  }
  if ((st.st_mode & 0077) != 0 && chmod(path.c_str(), 0700) != 0) {
    SetError(error, ErrnoText("cannot narrow " + path));
    return false;
  }
  return true;
}

#endif

}  // namespace kp
