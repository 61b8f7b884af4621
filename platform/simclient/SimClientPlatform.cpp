#include "platform/simclient/SimClientPlatform.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

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

std::string SimClientPlatform::PlaceOf(const std::string& path) {
  const std::string name = Utf8Of(PathOf(path).filename());
  const size_t first = name.find('.');
  const size_t last = name.rfind('.');
  if (first == std::string::npos || last <= first) return "kpr50-sim";
  return "kpr50-sim " + name.substr(first + 1, last - first - 1);
}

SimClientPlatform::SimClientPlatform(std::string directory) : directory_(std::move(directory)) {}

SimClientPlatform::~SimClientPlatform() = default;

std::optional<std::vector<std::string>> SimClientPlatform::ListDevices(const Guid& interfaceClass) {
  std::vector<std::string> paths;
  held_.clear();
  std::error_code error;
  if (!directory_.empty()) {
    for (std::filesystem::directory_iterator it(PathOf(directory_), error), end;
         !error && it != end; it.increment(error)) {
      const std::string name = Utf8Of(it->path().filename());
      if (IsDeviceFile(name, interfaceClass)) paths.push_back(Utf8Of(it->path()));
    }
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

std::unique_ptr<UsbBackend::OpenFile> SimClientPlatform::Open(const std::string& path) {
  auto c = std::make_unique<Connection>();
  c->channel = Connect(path, &c->hello);
  // Nobody there, no hello, a malformed one, or "busy": another client holds the device.
  if (c->channel != nullptr && c->hello.status == simsock::kBusy) {
    held_[path] = {PlaceOf(path), Unreachable::HeldElsewhere};
  }
  if (c->channel == nullptr || c->hello.status != simsock::kReady) return nullptr;
  held_.erase(path);
  c->altSettings = {OneSetting(c->hello.pipes)};
  c->deviceDescriptor = c->hello.deviceDescriptor;
  if (!c->hello.serialDescriptor.empty()) c->serialDescriptor = c->hello.serialDescriptor;
  return c;
}

std::vector<UnreachableDevice> SimClientPlatform::UnreachableDevices() const {
  std::vector<UnreachableDevice> devices;
  for (const auto& [path, device] : held_) devices.push_back(device);
  return devices;
}

bool SimClientPlatform::MayTakePipePolicy(OpenFile& file, uint8_t) {
  return !static_cast<Connection&>(file).broken;
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
  const uint32_t ms = c->PipeTimeout(pipeId);
  const int wait = ms == 0 ? -1 : static_cast<int>(std::min<uint32_t>(ms, 0x7FFFFFFF));
  switch (c->channel->Receive(buffer, length, transferred, wait)) {
    case SimChannel::Result::Done: return true;
    case SimChannel::Result::TimedOut: return false;
    case SimChannel::Result::Gone: break;
  }
  c->broken = true;
  return false;
}

}  // namespace kp
