#include "simwire/AnnounceFile.h"

#include <string_view>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kp {

bool ProcessHasEnded(long pid) {
  if (pid <= 0) return false;
#if defined(_WIN32)
  const HANDLE process =
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;  // no such process
  DWORD code = 0;
  const bool ended = GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
  ::CloseHandle(process);
  return ended;
#else
  return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
#endif
}

bool ReadAnnounceFile(const std::string& path, simtcp::Announce* announce) {
  char text[simtcp::kMaxAnnounceSize + 1];
  size_t size = 0;
#if defined(_WIN32)
  const int wideSize = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1,
                                           nullptr, 0);
  if (wideSize <= 1) return false;
  std::wstring wide(static_cast<size_t>(wideSize), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, wide.data(), wideSize);
  // The link itself, not what it points at; and only a file on disk (no pipe, no device).
  const HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  bool ok = GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
            (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
                0;
  DWORD got = 0;
  ok = ok && ReadFile(file, text, sizeof text, &got, nullptr);
  ::CloseHandle(file);
  if (!ok) return false;
  size = got;
#else
  // O_NONBLOCK: a pipe put in the folder must not hang the open; O_NOFOLLOW: no links.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
            (st.st_mode & 077) == 0;
  while (ok && size < sizeof text) {
    const ssize_t n = ::read(fd, text + size, sizeof text - size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    size += static_cast<size_t>(n);
  }
  ::close(fd);
  if (!ok) return false;
#endif
  return size <= simtcp::kMaxAnnounceSize &&
         simtcp::DecodeAnnounce(std::string_view(text, size), announce);
}

}  // namespace kp
