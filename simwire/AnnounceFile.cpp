#include "simwire/AnnounceFile.h"

#include "simwire/ErrorText.h"
#include "simwire/RuntimeFolder.h"

#include <cstdio>
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
  const std::wstring wide = WideText(path);
  if (wide.empty()) return false;
  // The link itself, not what it points at; and only a file on disk (no pipe, no device).
  const HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  bool ok =
      GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
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

bool EnsureAnnounceFolder(const std::string& folder, std::string* error) {
  if (folder.empty()) {
    SetError(error, "no folder for announce files (LOCALAPPDATA is not set)");
    return false;
  }
  return EnsurePrivateFolder(folder, error);
}

bool WriteAnnounceFile(const std::string& path, const simtcp::Announce& announce,
                       std::string* error) {
  const std::string text = simtcp::EncodeAnnounce(announce);
  const std::string temporary = path + ".new";
#if defined(_WIN32)
  // The folder is the user's own LocalAppData: other users cannot read it.
  const std::wstring wide = WideText(path);
  const std::wstring wideTemporary = WideText(temporary);
  const HANDLE file = wide.empty() ? INVALID_HANDLE_VALUE
                                   : CreateFileW(wideTemporary.c_str(), GENERIC_WRITE, 0, nullptr,
                                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  bool ok = file != INVALID_HANDLE_VALUE;
  DWORD written = 0;
  ok = ok && WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
       written == text.size();
  if (file != INVALID_HANDLE_VALUE && !::CloseHandle(file)) ok = false;
  ok = ok && MoveFileExW(wideTemporary.c_str(), wide.c_str(), MOVEFILE_REPLACE_EXISTING);
  if (!ok) {
    SetError(error, path + ": Windows error " + std::to_string(GetLastError()));
    if (!wideTemporary.empty()) (void)DeleteFileW(wideTemporary.c_str());
  }
  return ok;
#else
  (void)unlink(temporary.c_str());
  const int fd =
      open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  bool ok = fd >= 0;
  for (size_t done = 0; ok && done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  if (fd >= 0 && close(fd) != 0) ok = false;
  ok = ok && rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    SetError(error, ErrnoText(path));
    (void)unlink(temporary.c_str());
  }
  return ok;
#endif
}

void RemoveAnnounceFile(const std::string& path, const simtcp::Announce& announce) {
  simtcp::Announce there;
  if (!ReadAnnounceFile(path, &there) || there.port != announce.port ||
      there.clientToken != announce.clientToken) {
    return;
  }
#if defined(_WIN32)
  (void)DeleteFileW(WideText(path).c_str());
#else
  (void)unlink(path.c_str());
#endif
}

}  // namespace kp
