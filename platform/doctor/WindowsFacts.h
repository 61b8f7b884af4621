// The calls the Windows facts are made of, so that a test can stand in for SetupAPI with
// devices Wine does not have. Windows only; GatherFacts passes the system's own.
#pragma once

#include "platform/doctor/DoctorFacts.h"

#include <windows.h>

#include <setupapi.h>

namespace kp::doctor {

struct WindowsCalls {
  decltype(&::SetupDiGetClassDevsW) getClassDevs = &::SetupDiGetClassDevsW;
  decltype(&::SetupDiEnumDeviceInterfaces) enumInterfaces = &::SetupDiEnumDeviceInterfaces;
  decltype(&::SetupDiGetDeviceInterfaceDetailW) interfaceDetail =
      &::SetupDiGetDeviceInterfaceDetailW;
  decltype(&::SetupDiEnumDeviceInfo) enumDevices = &::SetupDiEnumDeviceInfo;
  decltype(&::SetupDiGetDeviceInstanceIdW) instanceId = &::SetupDiGetDeviceInstanceIdW;
  decltype(&::SetupDiGetDeviceRegistryPropertyW) property = &::SetupDiGetDeviceRegistryPropertyW;
  decltype(&::SetupDiOpenDevRegKey) openDeviceKey = &::SetupDiOpenDevRegKey;
  decltype(&::RegQueryValueExW) queryValue = &::RegQueryValueExW;
  decltype(&::RegCloseKey) closeKey = &::RegCloseKey;
  decltype(&::SetupDiDestroyDeviceInfoList) destroyList = &::SetupDiDestroyDeviceInfoList;
  decltype(&::CreateFileW) createFile = &::CreateFileW;
  decltype(&::CloseHandle) closeHandle = &::CloseHandle;
};

// The members of the class (present or seen before), each with the driver that serves it and
// whether it opens; the present vendor-specific USB devices that no WinUSB binds (no driver
// at all, or a device key that names the class); and the simulator's programmers.
Facts GatherWindowsFacts(const Guid& interfaceClass, const WindowsCalls& calls);

}  // namespace kp::doctor
