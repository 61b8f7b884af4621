// What both backends of kpr50-sim's virtual programmers share, whatever carries the bytes:
// the devices are the files of one folder named after their interface class, open is connect
// plus the server's hello, descriptors and pipes come from that hello, and one message is one
// bulk transfer each way with the IN time-out of the pipe (none set: no limit, as WinUSB).
// A device serves one client at a time, so a second open fails as on Windows; a file with no
// server behind it fails to open and is skipped by the link.
#pragma once

#include "simwire/SimSocketProtocol.h"
#include "platform/UsbBackend.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kp {

// One open connection to a virtual programmer.
class SimChannel {
 public:
  virtual ~SimChannel() = default;
  enum class Result { Done, TimedOut, Gone };
  // How long one OUT transfer may wait for room: the simulator reads at once, so only a peer
  // that stopped reading makes it wait, and the transfer then fails instead of hanging.
  static constexpr int kSendLimitMs = 2000;
  // Sends one OUT transfer, waiting at most kSendLimitMs; Gone when the time ran out.
  virtual Result Send(const uint8_t* bytes, uint32_t length) = 0;
  // Waits at most timeoutMs (negative: no limit) for one IN transfer; a longer message loses
  // its tail. *received holds the count on Done.
  virtual Result Receive(uint8_t* buffer, uint32_t capacity, uint32_t* received, int timeoutMs) = 0;
};

class SimClientPlatform : public UsbBackend {
 public:
  explicit SimClientPlatform(std::string directory);
  ~SimClientPlatform() override;
  SimClientPlatform(const SimClientPlatform&) = delete;
  SimClientPlatform& operator=(const SimClientPlatform&) = delete;

  const std::string& Directory() const { return directory_; }
  // "kpr50-sim 4711.1" for "<GUID>.4711.1.sock": the server's pid and the device's number.
  static std::string PlaceOf(const std::string& path);

  // The devices whose server said busy at the last open since the last listing: another
  // client (the window, say) holds them.
  std::vector<UnreachableDevice> UnreachableDevices() const override;

  bool WinUsb_WritePipe(WinUsbHandle handle, uint8_t pipeId, const uint8_t* buffer, uint32_t length,
                        uint32_t* transferred) override;
  bool WinUsb_ReadPipe(WinUsbHandle handle, uint8_t pipeId, uint8_t* buffer, uint32_t length,
                       uint32_t* transferred) override;

 protected:
  std::optional<std::vector<std::string>> ListDevices(const Guid& interfaceClass) override;
  std::unique_ptr<OpenFile> Open(const std::string& path) override;
  bool MayTakePipePolicy(OpenFile& file, uint8_t pipeId) override;

  // Whether a file name in the folder is a device of the class.
  virtual bool IsDeviceFile(const std::string& fileName, const Guid& interfaceClass) const = 0;
  // Connects to the device behind `path` and takes its hello: the channel, or nullptr when
  // nobody answers in time or the hello is malformed. A busy hello is returned as it is.
  virtual std::unique_ptr<SimChannel> Connect(const std::string& path, simsock::Hello* hello) = 0;

 private:
  struct Connection : OpenFile {
    std::unique_ptr<SimChannel> channel;
    simsock::Hello hello;
    bool broken = false;  // the server closed or failed: every later transfer fails
  };

  Connection* ConnectionOf(WinUsbHandle handle) { return FileOfWinUsb<Connection>(handle); }

  std::string directory_;
  std::map<std::string, UnreachableDevice> held_;  // by path
};

}  // namespace kp
