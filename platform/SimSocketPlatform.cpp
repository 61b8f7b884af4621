#include "platform/SimSocketPlatform.h"

#include "platform/DevicePath.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace kp {

namespace {

// Waits for the socket to become readable; false on time-out or error. A negative time-out
// waits without limit.
bool WaitReadable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int wait = timeoutMs;
    if (timeoutMs >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      wait = static_cast<int>(std::max<int64_t>(0, left.count()));
    }
    const int r = ::poll(&p, 1, wait);
    if (r > 0) return (p.revents & POLLIN) != 0;
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

int ConnectTo(const char* path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (std::strlen(path) >= sizeof address.sun_path) return -1;
  std::strcpy(address.sun_path, path);
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int r;
  do {
    r = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (r != 0 && errno == EINTR);
  if (r != 0) {  // a stale socket file: nobody listens behind it
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

SimSocketPlatform::SimSocketPlatform(std::string directory) : directory_(std::move(directory)) {}

SimSocketPlatform::~SimSocketPlatform() {
  for (auto& [handle, c] : files_) {
    if (c.fd >= 0) ::close(c.fd);
  }
}

DevInfoHandle SimSocketPlatform::SetupDiGetClassDevsA(const Guid& interfaceClass) {
  std::vector<std::string> paths;
  if (DIR* dir = ::opendir(directory_.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (simsock::SocketNameIsOfClass(name, interfaceClass)) paths.push_back(directory_ + "/" + name);
    }
    ::closedir(dir);
  }
  std::sort(paths.begin(), paths.end());
  const DevInfoHandle list = nextHandle_++;
  lists_[list] = std::move(paths);
  return list;
}

bool SimSocketPlatform::SetupDiEnumDeviceInterfaces(DevInfoHandle list, const Guid& interfaceClass,
                                                    uint32_t index, DeviceInterfaceData* data) {
  auto it = lists_.find(list);
  if (it == lists_.end() || data == nullptr || index >= it->second.size()) return false;
  data->interfaceClassGuid = interfaceClass;
  data->flags = 1;
  data->reserved = index;
  return true;
}

bool SimSocketPlatform::SetupDiGetDeviceInterfaceDetailA(DevInfoHandle list,
                                                         const DeviceInterfaceData& data,
                                                         char* path, uint32_t pathSize,
                                                         uint32_t* requiredSize) {
  auto it = lists_.find(list);
  if (it == lists_.end() || data.reserved >= it->second.size()) return false;
  return CopyDevicePath(it->second[data.reserved], path, pathSize, requiredSize);
}

bool SimSocketPlatform::SetupDiDestroyDeviceInfoList(DevInfoHandle list) {
  return lists_.erase(list) == 1;
}

FileHandle SimSocketPlatform::CreateFileA(const char* path) {
  if (path == nullptr) return kInvalidHandle;
  const int fd = ConnectTo(path);
  if (fd < 0) return kInvalidHandle;
  Connection c;
  c.fd = fd;
  uint8_t message[simsock::kMaxMessage];
  ssize_t n = -1;
  if (WaitReadable(fd, simsock::kHelloTimeoutMs)) n = ::recv(fd, message, sizeof message, 0);
  // No hello, a malformed one, or "busy": another client holds the device.
  if (n <= 0 || !simsock::DecodeHello({message, static_cast<size_t>(n)}, &c.hello) ||
      c.hello.status != simsock::kReady) {
    ::close(fd);
    return kInvalidHandle;
  }
  const FileHandle file = nextHandle_++;
  files_[file] = std::move(c);
  return file;
}

bool SimSocketPlatform::CloseHandle(FileHandle file) {
  auto it = files_.find(file);
  if (it == files_.end()) return false;
  ::close(it->second.fd);
  files_.erase(it);
  for (auto w = winUsb_.begin(); w != winUsb_.end();) {
    w = w->second == file ? winUsb_.erase(w) : std::next(w);
  }
  return true;
}

bool SimSocketPlatform::WinUsb_Initialize(FileHandle file, WinUsbHandle* handle) {
  if (handle == nullptr || files_.find(file) == files_.end()) return false;
  const WinUsbHandle w = nextHandle_++;
  winUsb_[w] = file;
  *handle = w;
  return true;
}

bool SimSocketPlatform::WinUsb_Free(WinUsbHandle handle) { return winUsb_.erase(handle) == 1; }

SimSocketPlatform::Connection* SimSocketPlatform::ConnectionOf(WinUsbHandle handle) {
  auto w = winUsb_.find(handle);
  if (w == winUsb_.end()) return nullptr;
  auto f = files_.find(w->second);
  return f == files_.end() ? nullptr : &f->second;
}

bool SimSocketPlatform::WinUsb_GetDescriptor(WinUsbHandle handle, uint8_t type, uint8_t index,
                                             uint16_t, uint8_t* buffer, uint32_t length,
                                             uint32_t* transferred) {
  Connection* c = ConnectionOf(handle);
  if (c == nullptr || buffer == nullptr || transferred == nullptr) return false;
  const uint8_t* source = nullptr;
  size_t size = 0;
  if (type == kUsbDeviceDescriptorType && index == 0) {
    source = c->hello.deviceDescriptor.data();
    size = c->hello.deviceDescriptor.size();
  } else if (type == kUsbStringDescriptorType && index != 0 &&
             index == c->hello.deviceDescriptor[16] && !c->hello.serialDescriptor.empty()) {
    source = c->hello.serialDescriptor.data();
    size = c->hello.serialDescriptor.size();
  } else {
    return false;
  }
  const auto n = static_cast<uint32_t>(std::min<size_t>(size, length));
  std::memcpy(buffer, source, n);
  *transferred = n;
  return true;
}

bool SimSocketPlatform::WinUsb_QueryInterfaceSettings(WinUsbHandle handle,
                                                      uint8_t alternateSetting,
                                                      InterfaceDescriptor* descriptor) {
  Connection* c = ConnectionOf(handle);
  if (c == nullptr || descriptor == nullptr || alternateSetting != 0) return false;
  *descriptor = InterfaceDescriptor{};
  descriptor->bNumEndpoints = static_cast<uint8_t>(c->hello.pipes.size());
  return true;
}

bool SimSocketPlatform::WinUsb_QueryPipe(WinUsbHandle handle, uint8_t alternateSetting,
                                         uint8_t pipeIndex, PipeInformation* pipe) {
  Connection* c = ConnectionOf(handle);
  if (c == nullptr || pipe == nullptr || alternateSetting != 0 ||
      pipeIndex >= c->hello.pipes.size()) {
    return false;
  }
  *pipe = c->hello.pipes[pipeIndex];
  return true;
}

bool SimSocketPlatform::WinUsb_SetPipePolicy(WinUsbHandle handle, uint8_t pipeId,
                                             uint32_t policyType, uint32_t valueLength,
                                             const void* value) {
  Connection* c = ConnectionOf(handle);
  if (c == nullptr || c->broken || value == nullptr || policyType != kPipeTransferTimeout ||
      valueLength != 4) {
    return false;
  }
  uint32_t ms = 0;
  std::memcpy(&ms, value, 4);
  c->pipeTimeouts[pipeId] = ms;
  return true;
}

bool SimSocketPlatform::WinUsb_WritePipe(WinUsbHandle handle, uint8_t, const uint8_t* buffer,
                                         uint32_t length, uint32_t* transferred) {
  Connection* c = ConnectionOf(handle);
  if (c == nullptr || c->broken || transferred == nullptr) return false;
  ssize_t n;
  do {
    n = ::send(c->fd, buffer, length, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    c->broken = true;  // the server has gone
    return false;
  }
  *transferred = static_cast<uint32_t>(n);
  return true;
}

bool SimSocketPlatform::WinUsb_ReadPipe(WinUsbHandle handle, uint8_t pipeId, uint8_t* buffer,
                                        uint32_t length, uint32_t* transferred) {
  Connection* c = ConnectionOf(handle);
  if (c == nullptr || c->broken || transferred == nullptr) return false;
  // A time-out of 0 means none was set: WinUSB then waits without limit.
  const uint32_t timeout = c->pipeTimeouts.count(pipeId) ? c->pipeTimeouts[pipeId] : 0;
  if (!WaitReadable(c->fd, timeout == 0 ? -1 : static_cast<int>(std::min<uint32_t>(timeout, 0x7FFFFFFF)))) {
    // Time-out, or the server hung up: poll reports POLLHUP without POLLIN once it is gone.
    pollfd p{c->fd, POLLIN, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)) != 0) c->broken = true;
    return false;
  }
  ssize_t n;
  do {
    n = ::recv(c->fd, buffer, length, 0);  // a longer message loses its tail
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {  // 0: orderly shutdown by the server
    c->broken = true;
    return false;
  }
  *transferred = static_cast<uint32_t>(n);
  return true;
}

void SimSocketPlatform::Sleep(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace kp
