#include "platform/UsbBackend.h"

#include "platform/DevicePath.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace kp {

namespace {
constexpr uint32_t kSpintActive = 1;  // SP_DEVICE_INTERFACE_DATA.Flags of a present member
}  // namespace

UsbBackend::OpenFile::~OpenFile() = default;

uint32_t UsbBackend::OpenFile::PipeTimeout(uint8_t pipeId) const {
  const auto it = pipeTimeouts.find(pipeId);
  return it == pipeTimeouts.end() ? 0 : it->second;
}

const PipeInformation* UsbBackend::OpenFile::Pipe(uint8_t pipeId) const {
  for (const AltSetting& setting : altSettings) {
    if (setting.descriptor.bAlternateSetting != 0) continue;
    for (const PipeInformation& pipe : setting.pipes) {
      if (pipe.pipeId == pipeId) return &pipe;
    }
  }
  return nullptr;
}

UsbBackend::UsbBackend() = default;
UsbBackend::~UsbBackend() = default;

DevInfoHandle UsbBackend::SetupDiGetClassDevsA(const Guid& interfaceClass) {
  std::optional<std::vector<std::string>> paths = ListDevices(interfaceClass);
  if (!paths) return kInvalidHandle;
  const DevInfoHandle list = nextHandle_++;
  lists_[list] = std::move(*paths);
  return list;
}

bool UsbBackend::SetupDiEnumDeviceInterfaces(DevInfoHandle list, const Guid& interfaceClass,
                                             uint32_t index, DeviceInterfaceData* data) {
  auto it = lists_.find(list);
  if (it == lists_.end() || data == nullptr || index >= it->second.size()) return false;
  data->interfaceClassGuid = interfaceClass;
  data->flags = kSpintActive;
  data->reserved = index;
  return true;
}

bool UsbBackend::SetupDiGetDeviceInterfaceDetailA(DevInfoHandle list,
                                                  const DeviceInterfaceData& data, char* path,
                                                  uint32_t pathSize, uint32_t* requiredSize) {
  auto it = lists_.find(list);
  if (it == lists_.end() || data.reserved >= it->second.size()) return false;
  return CopyDevicePath(it->second[data.reserved], path, pathSize, requiredSize);
}

bool UsbBackend::SetupDiDestroyDeviceInfoList(DevInfoHandle list) {
  return lists_.erase(list) == 1;
}

FileHandle UsbBackend::CreateFileA(const char* path) {
  if (path == nullptr) return kInvalidHandle;
  std::unique_ptr<OpenFile> open = Open(path);
  if (open == nullptr) return kInvalidHandle;
  const FileHandle file = nextHandle_++;
  files_[file] = std::move(open);
  return file;
}

bool UsbBackend::CloseHandle(FileHandle file) {
  auto it = files_.find(file);
  if (it == files_.end()) return false;
  Closing(*it->second);
  files_.erase(it);
  return true;
}

void UsbBackend::CloseAll() {
  while (!files_.empty()) CloseHandle(files_.begin()->first);
}

bool UsbBackend::WinUsb_Initialize(FileHandle file, WinUsbHandle* handle) {
  OpenFile* open = FileOf(file);
  if (open == nullptr || handle == nullptr || !MayInitialize(*open)) return false;
  const WinUsbHandle w = nextHandle_++;
  winUsb_[w] = file;
  *handle = w;
  return true;
}

bool UsbBackend::WinUsb_Free(WinUsbHandle handle) { return winUsb_.erase(handle) == 1; }

bool UsbBackend::WinUsb_GetDescriptor(WinUsbHandle handle, uint8_t type, uint8_t index,
                                      uint16_t languageId, uint8_t* buffer, uint32_t length,
                                      uint32_t* transferred) {
  OpenFile* open = FileOfWinUsb(handle);
  if (open == nullptr || buffer == nullptr || transferred == nullptr) return false;
  if (type == kUsbDeviceDescriptorType && index == 0) {
    return CopyDescriptor(open->deviceDescriptor, buffer, length, transferred);
  }
  if (type == kUsbStringDescriptorType && index != 0 && index == open->deviceDescriptor[16] &&
      open->serialDescriptor) {
    return CopyDescriptor(*open->serialDescriptor, buffer, length, transferred);
  }
  return ReadDescriptor(*open, type, index, languageId, buffer, length, transferred);
}

bool UsbBackend::WinUsb_QueryInterfaceSettings(WinUsbHandle handle, uint8_t alternateSetting,
                                               InterfaceDescriptor* descriptor) {
  OpenFile* open = FileOfWinUsb(handle);
  if (open == nullptr || descriptor == nullptr || !Describes(*open)) return false;
  for (const AltSetting& setting : open->altSettings) {
    if (setting.descriptor.bAlternateSetting == alternateSetting) {
      *descriptor = setting.descriptor;
      return true;
    }
  }
  return false;
}

bool UsbBackend::WinUsb_QueryPipe(WinUsbHandle handle, uint8_t alternateSetting, uint8_t pipeIndex,
                                  PipeInformation* pipe) {
  OpenFile* open = FileOfWinUsb(handle);
  if (open == nullptr || pipe == nullptr || !Describes(*open)) return false;
  for (const AltSetting& setting : open->altSettings) {
    if (setting.descriptor.bAlternateSetting == alternateSetting) {
      if (pipeIndex >= setting.pipes.size()) return false;
      *pipe = setting.pipes[pipeIndex];
      return true;
    }
  }
  return false;
}

bool UsbBackend::WinUsb_SetPipePolicy(WinUsbHandle handle, uint8_t pipeId, uint32_t policyType,
                                      uint32_t valueLength, const void* value) {
  OpenFile* open = FileOfWinUsb(handle);
  if (open == nullptr || value == nullptr || policyType != kPipeTransferTimeout ||
      valueLength != sizeof(uint32_t) || !MayTakePipePolicy(*open, pipeId)) {
    return false;
  }
  uint32_t ms = 0;
  std::memcpy(&ms, value, sizeof ms);
  open->pipeTimeouts[pipeId] = ms;
  return true;
}

void UsbBackend::Sleep(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

UsbBackend::OpenFile* UsbBackend::FileOf(FileHandle file) const {
  auto it = files_.find(file);
  return it == files_.end() ? nullptr : it->second.get();
}

UsbBackend::OpenFile* UsbBackend::FileOfWinUsb(WinUsbHandle handle) const {
  auto it = winUsb_.find(handle);
  return it == winUsb_.end() ? nullptr : FileOf(it->second);
}

bool UsbBackend::CopyDescriptor(std::span<const uint8_t> known, uint8_t* buffer, uint32_t length,
                                uint32_t* transferred) {
  if (buffer == nullptr || transferred == nullptr) return false;
  const auto n = static_cast<uint32_t>(std::min<size_t>(known.size(), length));
  if (n > 0) std::memcpy(buffer, known.data(), n);
  *transferred = n;
  return true;
}

UsbBackend::AltSetting UsbBackend::OneSetting(std::vector<PipeInformation> pipes) {
  AltSetting setting;
  setting.descriptor.bNumEndpoints = static_cast<uint8_t>(pipes.size());
  setting.pipes = std::move(pipes);
  return setting;
}

}  // namespace kp
