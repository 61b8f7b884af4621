// A private runtime folder for a test: made fresh under /tmp, set as XDG_RUNTIME_DIR while it
// lives (the simulator's servers, its processes and the application look there), and removed
// with everything in it afterwards. Short: a socket's path must fit in 108 bytes. POSIX only.
//
//   kp::test::RuntimeFolder runtime;
//   ... runtime.SocketFolder() holds the sockets of every kpr50-sim started meanwhile
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace kp::test {

// Bounds every wait of a test for a process or one of its lines: generous, so that a loaded
// machine never turns a pass into a failure. It only ends a failing test; no test asserts
// how long anything takes.
inline constexpr int kWaitLimitMs = 20000;

class RuntimeFolder {
 public:
  RuntimeFolder() {
    char pattern[] = "/tmp/kp::test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      // Without its own folder a test would share the user's sockets: no test at all.
      std::perror("kp::test: no private runtime folder");
      std::abort();
    }
    path_ = pattern;
    if (const char* old = std::getenv("XDG_RUNTIME_DIR")) saved_ = old;
    setenv("XDG_RUNTIME_DIR", path_.c_str(), 1);
  }
  ~RuntimeFolder() {
    if (saved_) {
      setenv("XDG_RUNTIME_DIR", saved_->c_str(), 1);
    } else {
      unsetenv("XDG_RUNTIME_DIR");
    }
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  RuntimeFolder(const RuntimeFolder&) = delete;
  RuntimeFolder& operator=(const RuntimeFolder&) = delete;

  bool Ok() const { return !path_.empty(); }
  const std::string& Path() const { return path_; }
  // Where kpr50-sim puts its sockets, and so where SimUnixPlatform must look.
  std::string SocketFolder() const { return path_ + "/kpr50-sim"; }
  // Where kpr50-sim --transport tcp puts its announce files, for SimTcpPlatform.
  std::string AnnounceFolder() const { return path_ + "/kpr50-sim-tcp"; }

  // The names of the files in the socket folder.
  std::vector<std::string> SocketFiles() const {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(SocketFolder(), error)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

 private:
  std::string path_;
  std::optional<std::string> saved_;
};

}  // namespace kp::test
