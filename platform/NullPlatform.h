// A platform with no devices at all, whose Sleep really sleeps: what the programs run on
// where no backend is built (neither Windows nor a Unix), and a stand-in for tests.
#pragma once

#include "platform/UsbBackend.h"

namespace kp {

// Every list is empty; everything else fails, as for a device that has gone.
class NullPlatform : public UsbBackend {
 public:
  bool WinUsb_WritePipe(WinUsbHandle handle, uint8_t pipeId, const uint8_t* buffer, uint32_t length,
                        uint32_t* transferred) override;
  bool WinUsb_ReadPipe(WinUsbHandle handle, uint8_t pipeId, uint8_t* buffer, uint32_t length,
                       uint32_t* transferred) override;

 private:
  std::optional<std::vector<std::string>> ListDevices(const Guid&) override {
    return std::vector<std::string>{};
  }
  std::unique_ptr<OpenFile> Open(const std::string&) override { return nullptr; }
};

}  // namespace kp
