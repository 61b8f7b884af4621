#include "platform/simclient/SimClientPlatform.h"

#include "platform/DevicePath.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

namespace kp {

namespace {

// Paths are UTF-8 text here; std::filesystem wants them said so (on Windows it would take
// the ANSI code page otherwise).
std::filesystem::path PathOf(const std::string& utf8) {
  return std::filesystem::path(
      std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

std::string Utf8Of(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

}  // namespace

SimClientPlatform::SimClientPlatform(std::string directory) : directory_(std::move(directory)) {}

SimClientPlatform::~SimClientPlatform() = default;

DevInfoHandle SimClientPlatform::SetupDiGetClassDevsA(const Guid& interfaceClass) {
  std::vector<std::string> paths;
  std::error_code error;
  if (!directory_.empty()) {
    for (std::filesystem::directory_iterator it(PathOf(directory_), error), end;
         !error && it != end; it.increment(error)) {
      const std::string name = Utf8Of(it->path().filename());
      if (IsDeviceFile(name, interfaceClass)) paths.push_back(Utf8Of(it->path()));
    }
  }
  std::sort(paths.begin(), paths.end());
  const DevInfoHandle list = nextHandle_++;
  lists_[list] = std::move(paths);
  return list;
}

bool SimClientPlatform::SetupDiEnumDeviceInterfaces(DevInfoHandle list, const Guid& interfaceClass,
                                                    uint32_t index, DeviceInterfaceData* data) {
  auto it = lists_.find(list);
  if (it == lists_.end() || data == nullptr || index >= it->second.size()) return false;
  data->interfaceClassGuid = interfaceClass;
  data->flags = 1;
  data->reserved = index;
  return true;
}

bool SimClientPlatform::SetupDiGetDeviceInterfaceDetailA(DevInfoHandle list,
                                                         const DeviceInterfaceData& data,
                                                         char* path, uint32_t pathSize,
                                                         uint32_t* requiredSize) {
  auto it = lists_.find(list);
  if (it == lists_.end() || data.reserved >= it->second.size()) return false;
  return CopyDevicePath(it->second[data.reserved], path, pathSize, requiredSize);
}

bool SimClientPlatform::SetupDiDestroyDeviceInfoList(DevInfoHandle list) {
  return lists_.erase(list) == 1;
}

FileHandle SimClientPlatform::CreateFileA(const char* path) {
  if (path == nullptr) return kInvalidHandle;
  Connection c;
  c.channel = Connect(path, &c.hello);
  // Nobody there, no hello, a malformed one, or "busy": another client holds the device.
  if (c.channel == nullptr || c.hello.status != simsock::kReady) return kInvalidHandle;
  const FileHandle file = nextHandle_++;
  files_[file] = std::move(c);
  return file;
}

bool SimClientPlatform::CloseHandle(FileHandle file) {
  auto it = files_.find(file);
  if (it == files_.end()) return false;
  files_.erase(it);
  for (auto w = winUsb_.begin(); w != winUsb_.end();) {
    w = w->second == file ? winUsb_.erase(w) : std::next(w);
  }
  return true;
}

bool SimClientPlatform::WinUsb_Initialize(FileHandle file, WinUsbHandle* handle) {
  if (handle == nullptr || files_.find(file) == files_.end()) return false;
  const WinUsbHandle w = nextHandle_++;
  winUsb_[w] = file;
  *handle = w;
  return true;
}

bool SimClientPlatform::WinUsb_Free(WinUsbHandle handle) { return winUsb_.erase(handle) == 1; }

SimClientPlatform::Connection* SimClientPlatform::ConnectionOf(WinUsbHandle handle) {
  auto w = winUsb_.find(handle);
  if (w == winUsb_.end()) return nullptr;
  auto f = files_.find(w->second);
  return f == files_.end() ? nullptr : &f->second;
}

bool SimClientPlatform::WinUsb_GetDescriptor(WinUsbHandle handle, uint8_t type, uint8_t index,
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

bool SimClientPlatform::WinUsb_QueryInterfaceSettings(WinUsbHandle handle,
                                                      uint8_t alternateSetting,
                                                      InterfaceDescriptor* descriptor) {
  Connection* c = ConnectionOf(handle);
  if (c == nullptr || descriptor == nullptr || alternateSetting != 0) return false;
  *descriptor = InterfaceDescriptor{};
  descriptor->bNumEndpoints = static_cast<uint8_t>(c->hello.pipes.size());
  return true;
}

bool SimClientPlatform::WinUsb_QueryPipe(WinUsbHandle handle, uint8_t alternateSetting,
                                         uint8_t pipeIndex, PipeInformation* pipe) {
  Connection* c = ConnectionOf(handle);
  if (c == nullptr || pipe == nullptr || alternateSetting != 0 ||
      pipeIndex >= c->hello.pipes.size()) {
    return false;
  }
  *pipe = c->hello.pipes[pipeIndex];
  return true;
}

bool SimClientPlatform::WinUsb_SetPipePolicy(WinUsbHandle handle, uint8_t pipeId,
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

bool SimClientPlatform::WinUsb_WritePipe(WinUsbHandle handle, uint8_t, const uint8_t* buffer,
                                         uint32_t length, uint32_t* transferred) {
  Connection* c = ConnectionOf(handle);
  if (c == nullptr || c->broken || transferred == nullptr || (buffer == nullptr && length > 0) ||
      length > simsock::kMaxMessage) {
    return false;
  }
  if (c->channel->Send(buffer, length) != SimChannel::Result::Done) {
    c->broken = true;  // the server has gone (or stopped reading: the stream is lost)
    return false;
  }
  *transferred = length;
  return true;
}

bool SimClientPlatform::WinUsb_ReadPipe(WinUsbHandle handle, uint8_t pipeId, uint8_t* buffer,
                                        uint32_t length, uint32_t* transferred) {
  Connection* c = ConnectionOf(handle);
  if (c == nullptr || c->broken || transferred == nullptr || buffer == nullptr) return false;
  // A time-out of 0 means none was set: WinUSB then waits without limit.
  const auto timeout = c->pipeTimeouts.find(pipeId);
  const uint32_t ms = timeout == c->pipeTimeouts.end() ? 0 : timeout->second;
  const int wait = ms == 0 ? -1 : static_cast<int>(std::min<uint32_t>(ms, 0x7FFFFFFF));
  switch (c->channel->Receive(buffer, length, transferred, wait)) {
    case SimChannel::Result::Done: return true;
    case SimChannel::Result::TimedOut: return false;
    case SimChannel::Result::Gone: break;
  }
  c->broken = true;
  return false;
}

void SimClientPlatform::Sleep(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace kp
