// The trace file itself: what is traced is on disk at once (a killed program keeps it), a
// path of any letters opens, and a file that cannot be written is refused at the start with
// the system's reason and leaves nothing behind.
#include "TraceTestSupport.h"

#include "trace/TraceFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace kp::test {
namespace {

namespace fs = std::filesystem;

std::unique_ptr<TraceFile> Open(const fs::path& path, TraceFormat format, std::string* error) {
  const std::u8string utf8 = path.u8string();
  return TraceFile::Open(
      std::string(utf8.begin(), utf8.end()), format, {"kpnox-cli", "sys", "none"},
      [] { return uint64_t{42}; }, error);
}

std::string Contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(TraceFile, WrittenAtOnceRefusedWhenItCannotBe) {
  const fs::path folder = fs::temp_directory_path() / "kp-trace-file-test";
  fs::remove_all(folder);
  fs::create_directories(folder);
  const Bytes status = FrameOf('M', {});
  std::string error;

  const fs::path text = folder / fs::path(u8"ślad żółty.txt");
  auto textTrace = Open(text, TraceFormat::Text, &error);
  ASSERT_TRUE(textTrace) << error;
  textTrace->Sink().TraceTransfer(kTraceToDevice, 5, status.data(), 0, kTraceTag);
  EXPECT_EQ(Contents(text).rfind("# format: kpnox-trace 1\n", 0), 0u);
  EXPECT_NE(Contents(text).find("\n0.000000 OUT 5 bytes:"), std::string::npos);

  const fs::path pcap = folder / fs::path(u8"ślad.pcap");
  auto pcapTrace = Open(pcap, TraceFormat::Pcap, &error);
  ASSERT_TRUE(pcapTrace) << error;
  EXPECT_EQ(fs::file_size(pcap), 24u);
  pcapTrace->Sink().TraceTransfer(kTraceToDevice, 5, status.data(), 0, kTraceTag);
  EXPECT_EQ(fs::file_size(pcap), 24u + 16 + 64 + 5);
  EXPECT_TRUE(textTrace->Error().empty() && pcapTrace->Error().empty());
  textTrace.reset();  // Windows removes no open file
  pcapTrace.reset();

  for (const fs::path& path : {folder / "missing" / "t.txt", folder}) {
    EXPECT_FALSE(Open(path, TraceFormat::Text, &error));
    EXPECT_FALSE(error.empty());
    error.clear();
  }
  EXPECT_FALSE(fs::exists(folder / "missing"));
  fs::remove_all(folder);
}

}  // namespace
}  // namespace kp::test
