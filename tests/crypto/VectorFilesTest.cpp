// A vector file that is not there, or is empty, fails the test that reads it and names the
// file: a suite that checks no vectors must not pass.
#include "VectorFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

namespace kp::test {
namespace {

TEST(VectorFiles, MissingOrEmptyFileThrowsNamingIt) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                       ("kp-vectors-" + std::to_string(std::random_device()()));
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "empty.rsp").close();
  for (const char* name : {"absent.rsp", "empty.rsp"}) {
    try {
      test::ReadVectorFile(name, folder.string());
      ADD_FAILURE() << name << " was read";
    } catch (const std::runtime_error& e) {
      const std::string what = e.what();
      EXPECT_NE(what.find(folder.string()), std::string::npos) << what;
      EXPECT_NE(what.find(name), std::string::npos) << what;
    }
  }
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace kp::test
