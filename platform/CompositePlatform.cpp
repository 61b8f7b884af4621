#include "platform/CompositePlatform.h"

#include <chrono>
#include <thread>

namespace kp {

CompositePlatform::CompositePlatform() = default;

CompositePlatform::~CompositePlatform() {
  for (auto& [h, w] : winUsb_) backends_[w.backend]->WinUsb_Free(w.handle);
  for (auto& [h, f] : files_) backends_[f.backend]->CloseHandle(f.handle);
  for (auto& [h, list] : lists_) {
    for (size_t b = 0; b < list.backendLists.size(); ++b) {
      if (list.backendLists[b] != kInvalidHandle)
        backends_[b]->SetupDiDestroyDeviceInfoList(list.backendLists[b]);
    }
  }
}

void CompositePlatform::Add(std::unique_ptr<UsbPlatform> backend) {
  backends_.push_back(std::move(backend));
}

bool CompositePlatform::Find(const std::map<intptr_t, Routed>& table, intptr_t handle,
                             Routed* routed) const {
  auto it = table.find(handle);
  if (it == table.end()) return false;
  *routed = it->second;
  return true;
}

DevInfoHandle CompositePlatform::SetupDiGetClassDevsA(const Guid& interfaceClass) {
  List list;
  bool any = false;
  for (size_t b = 0; b < backends_.size(); ++b) {
    const DevInfoHandle h = backends_[b]->SetupDiGetClassDevsA(interfaceClass);
    list.backendLists.push_back(h);
    if (h == kInvalidHandle) continue;  // one backend without a list does not hide the others
    any = true;
    DeviceInterfaceData data;
    for (uint32_t i = 0; backends_[b]->SetupDiEnumDeviceInterfaces(h, interfaceClass, i, &data);
         ++i) {
      list.members.push_back({b, data});
    }
  }
  if (!any) return kInvalidHandle;
  const DevInfoHandle handle = nextHandle_++;
  lists_[handle] = std::move(list);
  return handle;
}

bool CompositePlatform::SetupDiEnumDeviceInterfaces(DevInfoHandle list, const Guid& interfaceClass,
                                                    uint32_t index, DeviceInterfaceData* data) {
  auto it = lists_.find(list);
  if (it == lists_.end() || data == nullptr || index >= it->second.members.size()) return false;
  *data = it->second.members[index].data;
  data->interfaceClassGuid = interfaceClass;
  data->reserved = index;  // our own member number; the backend's is kept in the list
  return true;
}

bool CompositePlatform::SetupDiGetDeviceInterfaceDetailA(DevInfoHandle list,
                                                         const DeviceInterfaceData& data,
                                                         char* path, uint32_t pathSize,
                                                         uint32_t* requiredSize) {
  auto it = lists_.find(list);
  if (it == lists_.end() || data.reserved >= it->second.members.size()) return false;
  const Member& m = it->second.members[data.reserved];
  const bool ok = backends_[m.backend]->SetupDiGetDeviceInterfaceDetailA(
      it->second.backendLists[m.backend], m.data, path, pathSize, requiredSize);
  if (ok && path != nullptr) pathOwners_[std::string(path)] = m.backend;
  return ok;
}

bool CompositePlatform::SetupDiDestroyDeviceInfoList(DevInfoHandle list) {
  auto it = lists_.find(list);
  if (it == lists_.end()) return false;
  for (size_t b = 0; b < it->second.backendLists.size(); ++b) {
    if (it->second.backendLists[b] != kInvalidHandle) {
      backends_[b]->SetupDiDestroyDeviceInfoList(it->second.backendLists[b]);
    }
  }
  lists_.erase(it);
  return true;
}

FileHandle CompositePlatform::CreateFileA(const char* path) {
  if (path == nullptr) return kInvalidHandle;
  auto owner = pathOwners_.find(path);
  if (owner == pathOwners_.end()) return kInvalidHandle;  // a path no listing gave out
  const FileHandle h = backends_[owner->second]->CreateFileA(path);
  if (h == kInvalidHandle) return kInvalidHandle;
  const FileHandle mine = nextHandle_++;
  files_[mine] = {owner->second, h};
  return mine;
}

bool CompositePlatform::CloseHandle(FileHandle file) {
  Routed r;
  if (!Find(files_, file, &r)) return false;
  files_.erase(file);
  return backends_[r.backend]->CloseHandle(r.handle);
}

bool CompositePlatform::WinUsb_Initialize(FileHandle file, WinUsbHandle* handle) {
  Routed r;
  if (handle == nullptr || !Find(files_, file, &r)) return false;
  WinUsbHandle h = kInvalidHandle;
  if (!backends_[r.backend]->WinUsb_Initialize(r.handle, &h)) return false;
  const WinUsbHandle mine = nextHandle_++;
  winUsb_[mine] = {r.backend, h};
  *handle = mine;
  return true;
}

bool CompositePlatform::WinUsb_Free(WinUsbHandle handle) {
  Routed r;
  if (!Find(winUsb_, handle, &r)) return false;
  winUsb_.erase(handle);
  return backends_[r.backend]->WinUsb_Free(r.handle);
}

bool CompositePlatform::WinUsb_GetDescriptor(WinUsbHandle handle, uint8_t type, uint8_t index,
                                             uint16_t languageId, uint8_t* buffer, uint32_t length,
                                             uint32_t* transferred) {
  Routed r;
  return Find(winUsb_, handle, &r) &&
         backends_[r.backend]->WinUsb_GetDescriptor(r.handle, type, index, languageId, buffer,
                                                    length, transferred);
}

bool CompositePlatform::WinUsb_QueryInterfaceSettings(WinUsbHandle handle, uint8_t alternateSetting,
                                                      InterfaceDescriptor* descriptor) {
  Routed r;
  return Find(winUsb_, handle, &r) && backends_[r.backend]->WinUsb_QueryInterfaceSettings(
                                          r.handle, alternateSetting, descriptor);
}

bool CompositePlatform::WinUsb_QueryPipe(WinUsbHandle handle, uint8_t alternateSetting,
                                         uint8_t pipeIndex, PipeInformation* pipe) {
  Routed r;
  return Find(winUsb_, handle, &r) &&
         backends_[r.backend]->WinUsb_QueryPipe(r.handle, alternateSetting, pipeIndex, pipe);
}

bool CompositePlatform::WinUsb_SetPipePolicy(WinUsbHandle handle, uint8_t pipeId,
                                             uint32_t policyType, uint32_t valueLength,
                                             const void* value) {
  Routed r;
  return Find(winUsb_, handle, &r) && backends_[r.backend]->WinUsb_SetPipePolicy(
                                          r.handle, pipeId, policyType, valueLength, value);
}

bool CompositePlatform::WinUsb_WritePipe(WinUsbHandle handle, uint8_t pipeId, const uint8_t* buffer,
                                         uint32_t length, uint32_t* transferred) {
  Routed r;
  return Find(winUsb_, handle, &r) &&
         backends_[r.backend]->WinUsb_WritePipe(r.handle, pipeId, buffer, length, transferred);
}

bool CompositePlatform::WinUsb_ReadPipe(WinUsbHandle handle, uint8_t pipeId, uint8_t* buffer,
                                        uint32_t length, uint32_t* transferred) {
  Routed r;
  return Find(winUsb_, handle, &r) &&
         backends_[r.backend]->WinUsb_ReadPipe(r.handle, pipeId, buffer, length, transferred);
}

void CompositePlatform::Sleep(uint32_t milliseconds) {
  if (!backends_.empty()) {
    backends_.front()->Sleep(milliseconds);
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
}

std::vector<UnreachableDevice> CompositePlatform::UnreachableDevices() const {
  std::vector<UnreachableDevice> all;
  for (const auto& backend : backends_) {
    for (UnreachableDevice& device : backend->UnreachableDevices())
      all.push_back(std::move(device));
  }
  return all;
}

}  // namespace kp
