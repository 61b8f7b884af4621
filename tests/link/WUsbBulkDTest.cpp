// The bulk device on a VirtualBus: finding and opening, pipes, serial number, time-outs,
// the drain, and the trace sink.
#include "LinkTestSupport.h"

#include "link/WUsbBulkD.h"
#include "link/WUsbErr.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace kp::test {
namespace {

class WUsbBulkDTest : public ::testing::Test {
 protected:
  VirtualBus bus;
  RecordingTrace trace;
};

TEST_F(WUsbBulkDTest, NoDeviceLeavesEverythingClosed) {
  WUsbBulkD dev(bus, &kKpR50InterfaceGuid, &trace);
  EXPECT_FALSE(dev.Link());
  EXPECT_FALSE(dev.isOpen);
  EXPECT_EQ(dev.fileHandle, kInvalidHandle);
  EXPECT_EQ(dev.winUsbHandle, kInvalidHandle);
  EXPECT_EQ(bus.OpenHandles(), 0);
}

TEST_F(WUsbBulkDTest, DevicesOfAnotherClassAreNotListed) {
  VirtualDeviceConfig other = ProgrammerConfig();
  other.interfaceClass.data1 ^= 1;
  bus.Plug(other);
  WUsbBulkD dev(bus, &kKpR50InterfaceGuid, &trace);
  EXPECT_FALSE(dev.Link());
}

// Each row: a first device that must be skipped, then a good one that Link opens.
struct SkipCase {
  const char* name;
  void (*spoil)(VirtualDeviceConfig&);
  // A printer of its own: GoogleTest would print the struct byte by byte, padding included.
  friend void PrintTo(const SkipCase& c, std::ostream* os) { *os << c.name; }
};

class LinkSkips : public ::testing::TestWithParam<SkipCase> {};

TEST_P(LinkSkips, SkipsTheBadDeviceAndOpensTheNextOne) {
  VirtualBus bus;
  VirtualDeviceConfig bad = ProgrammerConfig();
  GetParam().spoil(bad);
  const auto badId = bus.Plug(bad);
  VirtualDeviceConfig good = ProgrammerConfig();
  good.vendorId = 0xABCD;  // any vendor and product qualify
  good.productId = 0x4321;
  good.serialNumber = u"00C0FFEE";
  const auto goodId = bus.Plug(good);

  WUsbBulkD dev(bus, &kKpR50InterfaceGuid, &defaultTrace);
  ASSERT_TRUE(dev.Link());
  EXPECT_FALSE(bus.IsOpen(badId));
  EXPECT_TRUE(bus.IsOpen(goodId));
  EXPECT_EQ(dev.vendorId, 0xABCD);
  EXPECT_EQ(dev.productId, 0x4321);
  EXPECT_EQ(dev.serialNumber, 0x00C0FFEEu);
  EXPECT_EQ(dev.pipeIn, 0x81);
  EXPECT_EQ(dev.pipeOut, 0x02);
  dev.Close();
  EXPECT_EQ(bus.OpenHandles(), 0);  // the skipped device was released on the way
}

INSTANTIATE_TEST_SUITE_P(
    Devices, LinkSkips,
    ::testing::Values(
        SkipCase{"OpenFails", [](VirtualDeviceConfig& c) { c.createFileFails = true; }},
        SkipCase{"InitialiseFails", [](VirtualDeviceConfig& c) { c.initializeFails = true; }},
        SkipCase{"NoDeviceDescriptor",
                 [](VirtualDeviceConfig& c) { c.deviceDescriptorFails = true; }},
        SkipCase{"NoSerialString", [](VirtualDeviceConfig& c) { c.stringDescriptorFails = true; }},
        SkipCase{"NoInterface", [](VirtualDeviceConfig& c) { c.interfaceSettingsFails = true; }},
        SkipCase{"TwoBulkIn",
                 [](VirtualDeviceConfig& c) {
                   c.pipes = {{PipeType::Bulk, 0x81, 64, 0},
                              {PipeType::Bulk, 0x82, 64, 0},
                              {PipeType::Bulk, 0x02, 64, 0}};
                 }},
        SkipCase{"TwoBulkOut",
                 [](VirtualDeviceConfig& c) {
                   c.pipes = {{PipeType::Bulk, 0x81, 64, 0},
                              {PipeType::Bulk, 0x01, 64, 0},
                              {PipeType::Bulk, 0x02, 64, 0}};
                 }},
        SkipCase{"NoBulkOut",
                 [](VirtualDeviceConfig& c) {
                   c.pipes = {{PipeType::Bulk, 0x81, 64, 0}, {PipeType::Interrupt, 0x02, 8, 1}};
                 }},
        SkipCase{"NoPipes", [](VirtualDeviceConfig& c) { c.pipes.clear(); }}),
    [](const ::testing::TestParamInfo<SkipCase>& p) { return p.param.name; });

TEST_F(WUsbBulkDTest, InterruptAndIsochronousPipesAreIgnored) {
  VirtualDeviceConfig c = ProgrammerConfig();
  c.pipes = {{PipeType::Interrupt, 0x83, 8, 1},
             {PipeType::Bulk, 0x86, 64, 0},
             {PipeType::Isochronous, 0x04, 64, 1},
             {PipeType::Bulk, 0x05, 64, 0}};
  bus.Plug(c);
  WUsbBulkD dev(bus, &kKpR50InterfaceGuid, &trace);
  ASSERT_TRUE(dev.Link());
  EXPECT_EQ(dev.pipeIn, 0x86);
  EXPECT_EQ(dev.pipeOut, 0x05);
}

TEST_F(WUsbBulkDTest, LinkOnAnOpenDeviceDoesNothing) {
  bus.Plug(ProgrammerConfig());
  WUsbBulkD dev(bus, &kKpR50InterfaceGuid, &trace);
  ASSERT_TRUE(dev.Link());
  dev.connectionMark = true;
  const int handles = bus.OpenHandles();
  EXPECT_TRUE(dev.Link());
  EXPECT_TRUE(dev.connectionMark);  // a real Link would have cleared it
  EXPECT_EQ(bus.OpenHandles(), handles);
}

TEST_F(WUsbBulkDTest, ASecondObjectCannotOpenTheHeldDeviceButOpensAnother) {
  const auto first = bus.Plug(ProgrammerConfig());
  WUsbBulkD a(bus, &kKpR50InterfaceGuid, &trace);
  WUsbBulkD b(bus, &kKpR50InterfaceGuid, &defaultTrace);
  ASSERT_TRUE(a.Link());
  EXPECT_TRUE(bus.IsOpen(first));
  EXPECT_FALSE(b.Link());
  EXPECT_EQ(b.winUsbHandle, kInvalidHandle);

  const auto second = bus.Plug(ProgrammerConfig());
  EXPECT_TRUE(b.Link());
  EXPECT_TRUE(bus.IsOpen(second));
  b.Close();
  EXPECT_FALSE(bus.IsOpen(second));
  EXPECT_TRUE(bus.IsOpen(first));
}

TEST_F(WUsbBulkDTest, CloseReleasesBothHandlesAndIsHarmlessTwice) {
  const auto id = bus.Plug(ProgrammerConfig());
  WUsbBulkD dev(bus, &kKpR50InterfaceGuid, &trace);
  ASSERT_TRUE(dev.Link());
  dev.connectionMark = true;
  dev.Close();
  EXPECT_FALSE(dev.isOpen);
  EXPECT_FALSE(dev.connectionMark);
  EXPECT_EQ(dev.fileHandle, kInvalidHandle);
  EXPECT_EQ(dev.winUsbHandle, kInvalidHandle);
  EXPECT_FALSE(bus.IsOpen(id));
  dev.Close();
  EXPECT_EQ(bus.OpenHandles(), 0);
}

TEST_F(WUsbBulkDTest, DestructionReleasesTheDevice) {
  const auto id = bus.Plug(ProgrammerConfig());
  {
    WUsbBulkD dev(bus, &kKpR50InterfaceGuid, &trace);
    ASSERT_TRUE(dev.Link());
  }
  EXPECT_FALSE(bus.IsOpen(id));
  EXPECT_EQ(bus.OpenHandles(), 0);
}

TEST_F(WUsbBulkDTest, ClosedDeviceRefusesTransfersWithCodeOne) {
  WUsbBulkD dev(bus, &kKpR50InterfaceGuid, &trace);
  uint8_t buffer[8] = {};
  for (int op = 0; op < 2; ++op) {
    try {
      if (op == 0)
        dev.ReadBulk(8, buffer);
      else
        dev.WriteBulk(8, buffer);
      FAIL() << "no exception";
    } catch (const WUsbErr& e) {
      EXPECT_EQ(e.errorCode, wusb::kNotOpen);
      EXPECT_EQ(e.commandByte, 0);
    }
  }
  EXPECT_TRUE(trace.calls.empty());
}

TEST_F(WUsbBulkDTest, PipeTimeoutReachesThePlatformOnlyWhenItChanges) {
  const auto id = bus.Plug(ProgrammerConfig());
  WUsbBulkD dev(bus, &kKpR50InterfaceGuid, &trace);
  dev.SetPipeTimeout(50);  // closed: nothing happens
  EXPECT_EQ(bus.SetPipePolicyCalls(), 0);
  EXPECT_EQ(dev.pipeTimeout, 0u);

  ASSERT_TRUE(dev.Link());
  EXPECT_EQ(dev.pipeTimeout, 0u);
  dev.SetPipeTimeout(50);
  dev.SetPipeTimeout(50);
  EXPECT_EQ(bus.SetPipePolicyCalls(), 1);
  EXPECT_EQ(bus.PipeTimeout(id, 0x81), 50u);
  EXPECT_EQ(bus.PipeTimeout(id, 0x02), 0u);  // only the IN pipe gets a time-out
  dev.SetPipeTimeout(20);
  EXPECT_EQ(bus.SetPipePolicyCalls(), 2);

  // After Close and Link the next time-out reaches the platform again, even if unchanged.
  dev.Close();
  ASSERT_TRUE(dev.Link());
  EXPECT_EQ(dev.pipeTimeout, 0u);
  dev.SetPipeTimeout(20);
  EXPECT_EQ(bus.SetPipePolicyCalls(), 3);
}

TEST_F(WUsbBulkDTest, RefusedPipeTimeoutThrowsCodeZeroAndKeepsTheOldValue) {
  VirtualDeviceConfig c = ProgrammerConfig();
  c.setPipePolicyFails = true;
  bus.Plug(c);
  WUsbBulkD dev(bus, &kKpR50InterfaceGuid, &trace);
  ASSERT_TRUE(dev.Link());
  try {
    dev.SetPipeTimeout(20);
    FAIL() << "no exception";
  } catch (const WUsbErr& e) {
    EXPECT_EQ(e.errorCode, wusb::kPipeTimeoutRefused);
    EXPECT_EQ(e.commandByte, 0);
  }
  EXPECT_EQ(dev.pipeTimeout, 0u);
  EXPECT_TRUE(dev.isOpen);
}

TEST_F(WUsbBulkDTest, FirstWriteAfterEachLinkDrainsTheInPipeAndTracesIt) {
  VirtualDeviceConfig c = ProgrammerConfig();
  c.serialNumber = u"BEEF";
  const auto id = bus.Plug(c);
  WUsbBulkD dev(bus, &kKpR50InterfaceGuid, &trace);
  ASSERT_TRUE(dev.Link());
  dev.SetPipeTimeout(50);
  bus.QueueIn(id, {1, 2, 3});
  bus.QueueIn(id, {4});
  const uint8_t block[] = {9, 8, 7};

  ASSERT_TRUE(dev.WriteBulk(3, block));
  ASSERT_EQ(trace.calls.size(), 4u);  // three drain reads, the last one empty, then the write
  EXPECT_EQ(trace.calls[0].bytes, (Bytes{1, 2, 3}));
  EXPECT_EQ(trace.calls[1].bytes, (Bytes{4}));
  EXPECT_EQ(trace.calls[2].count, 0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(trace.calls[i].direction, kTraceFromDevice);
  EXPECT_EQ(trace.calls[3].direction, kTraceToDevice);
  EXPECT_EQ(trace.calls[3].bytes, (Bytes{9, 8, 7}));
  EXPECT_EQ(trace.calls[3].serial, 0xBEEFu);
  EXPECT_EQ(trace.calls[3].tag, 63);
  EXPECT_EQ(bus.NowMs(), 50u);  // the drain's last read waited out the time-out
  EXPECT_EQ(bus.PendingIn(id), 0u);

  trace.calls.clear();
  bus.QueueIn(id, {5});
  ASSERT_TRUE(dev.WriteBulk(3, block));  // no drain now
  ASSERT_EQ(trace.calls.size(), 1u);
  EXPECT_EQ(bus.PendingIn(id), 1u);

  dev.Close();
  ASSERT_TRUE(dev.Link());
  trace.calls.clear();
  dev.SetPipeTimeout(50);
  ASSERT_TRUE(dev.WriteBulk(3, block));  // drains again after a new Link
  EXPECT_EQ(trace.calls.size(), 3u);
  EXPECT_EQ(bus.PendingIn(id), 0u);
}

// Stale transfers waiting when the first write comes: up to one below the bound the drain
// empties the pipe and the write goes out; at the bound nothing is written, the pipe stays
// undrained, and the next write drains again.
TEST(WUsbBulkDDrain, IsBoundedAndAnUndrainedPipeGetsNoWrite) {
  for (const int stale : {kMaxDrainedTransfers - 1, kMaxDrainedTransfers}) {
    SCOPED_TRACE(stale);
    VirtualBus bus;
    const auto id = bus.Plug(ProgrammerConfig());
    WUsbBulkD dev(bus, &kKpR50InterfaceGuid, &defaultTrace);
    ASSERT_TRUE(dev.Link());
    dev.SetPipeTimeout(20);
    for (int i = 0; i < stale; ++i) bus.QueueIn(id, {0xEE, static_cast<uint8_t>(i)});
    const uint8_t block[] = {9, 8, 7};

    const bool drained = stale < kMaxDrainedTransfers;
    EXPECT_EQ(dev.WriteBulk(3, block), drained);
    EXPECT_EQ(dev.inDrained, drained);
    EXPECT_EQ(bus.Written(id).size(), drained ? 1u : 0u);
    EXPECT_EQ(bus.Transfers(id).size(),
              static_cast<size_t>(kMaxDrainedTransfers) + (drained ? 1 : 0));
    EXPECT_EQ(bus.PendingIn(id), 0u);
    if (!drained) {
      EXPECT_TRUE(dev.WriteBulk(3, block));  // the pipe is quiet now: drained, then written
      EXPECT_TRUE(dev.inDrained);
      EXPECT_EQ(bus.Written(id).size(), 1u);
    }
  }
}

TEST_F(WUsbBulkDTest, WriteIsTracedBeforeItIsAttemptedAndShortWritesAreReported) {
  const auto id = bus.Plug(ProgrammerConfig());
  WUsbBulkD dev(bus, &kKpR50InterfaceGuid, &trace);
  ASSERT_TRUE(dev.Link());
  dev.SetPipeTimeout(20);
  const uint8_t block[4] = {1, 2, 3, 4};
  ASSERT_TRUE(dev.WriteBulk(4, block));  // drains
  trace.calls.clear();

  bus.InjectFault(id, bus.TransferCount(id), Fault::WriteFails);
  EXPECT_FALSE(dev.WriteBulk(4, block));
  ASSERT_EQ(trace.calls.size(), 1u);
  EXPECT_EQ(trace.calls[0].count, 4);

  trace.calls.clear();
  bus.InjectFault(id, bus.TransferCount(id), Fault::ShortWrite);
  EXPECT_FALSE(dev.WriteBulk(4, block));
  ASSERT_EQ(trace.calls.size(), 2u);
  EXPECT_EQ(trace.calls[1].kind, "message");
  EXPECT_EQ(trace.calls[1].text, "Nie wszystkie bajty zostały wysłane.");
  EXPECT_TRUE(dev.isOpen);  // closing after a failure is the application's decision
}

TEST_F(WUsbBulkDTest, ReadThatTimesOutIsTracedWithCountZero) {
  bus.Plug(ProgrammerConfig());
  WUsbBulkD dev(bus, &kKpR50InterfaceGuid, &trace);
  ASSERT_TRUE(dev.Link());
  dev.SetPipeTimeout(30);
  uint8_t buffer[16];
  EXPECT_EQ(dev.ReadBulk(16, buffer), 0);
  ASSERT_EQ(trace.calls.size(), 1u);
  EXPECT_EQ(trace.calls[0].direction, kTraceFromDevice);
  EXPECT_EQ(trace.calls[0].count, 0);
  EXPECT_EQ(bus.NowMs(), 30u);
}

// The serial-number string read as wcstoul(text, nullptr, 16) would read it.
struct SerialCase {
  std::u16string text;
  uint32_t expected;
  friend void PrintTo(const SerialCase& c, std::ostream* os) {
    *os << c.text.size() << " units -> " << c.expected;
  }
};

class SerialNumber : public ::testing::TestWithParam<SerialCase> {};

TEST_P(SerialNumber, ParsesLikeWcstoulBase16) {
  Bytes le;
  for (char16_t c : GetParam().text) {
    le.push_back(static_cast<uint8_t>(c));
    le.push_back(static_cast<uint8_t>(c >> 8));
  }
  EXPECT_EQ(ParseSerialNumber(le.data(), le.size()), GetParam().expected);

  // The same string through a device's string descriptor.
  VirtualBus bus;
  VirtualDeviceConfig c = ProgrammerConfig();
  c.serialNumber = GetParam().text;
  bus.Plug(c);
  WUsbBulkD dev(bus, &kKpR50InterfaceGuid, &defaultTrace);
  ASSERT_TRUE(dev.Link());
  EXPECT_EQ(dev.serialNumber, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Strings, SerialNumber,
    ::testing::Values(SerialCase{u"1A2B", 0x1A2B}, SerialCase{u"1a2b", 0x1A2B}, SerialCase{u"", 0},
                      SerialCase{u"XYZ", 0}, SerialCase{u"G1", 0}, SerialCase{u"  \t12", 0x12},
                      SerialCase{u"12 34", 0x12}, SerialCase{u"0x1F", 0x1F}, SerialCase{u"0xZ", 0},
                      SerialCase{u"FFFFFFFF", 0xFFFFFFFF}, SerialCase{u"100000000", 0xFFFFFFFF},
                      SerialCase{u"123456789ABCDEF0123", 0xFFFFFFFF}, SerialCase{u"-1", 0xFFFFFFFF},
                      SerialCase{u"+A", 0xA}, SerialCase{u"12\u00E934", 0x12},
                      // Full-width digits are not hexadecimal digits.
                      SerialCase{u"\uFF11\uFF12", 0},
                      SerialCase{std::u16string(u"ABC\0DEF", 7), 0xABC}));

// A bus whose devices answer the serial-number request with raw descriptor bytes.
class RawSerialBus : public VirtualBus {
 public:
  explicit RawSerialBus(Bytes descriptor) : descriptor_(std::move(descriptor)) {}
  bool WinUsb_GetDescriptor(WinUsbHandle handle, uint8_t type, uint8_t index, uint16_t languageId,
                            uint8_t* buffer, uint32_t length, uint32_t* transferred) override {
    if (type != kUsbStringDescriptorType) {
      return VirtualBus::WinUsb_GetDescriptor(handle, type, index, languageId, buffer, length,
                                              transferred);
    }
    *transferred = static_cast<uint32_t>(std::min<size_t>(descriptor_.size(), length));
    std::copy_n(descriptor_.begin(), *transferred, buffer);
    return true;
  }

 private:
  Bytes descriptor_;
};

// Descriptors as transferred, odd lengths included: the last odd byte is the low half of a
// code unit whose high half is the zero written after the transfer.
TEST(SerialNumberDescriptor, OddLengthsKeepTheirLastByte) {
  const struct {
    Bytes descriptor;
    uint32_t expected;
  } rows[] = {
      {{0x05, 0x03, 0x31, 0x00, 0x32}, 0x12},
      {{0x03, 0x03, 0x37}, 0x7},
      {{0x06, 0x03, 0x31, 0x00, 0x32, 0x00}, 0x12},  // even lengths as before
      {{0x02, 0x03}, 0},
      {{0x07, 0x03, 0x41, 0x00, 0x42, 0x00, 0x43}, 0xABC},
  };
  for (const auto& row : rows) {
    RawSerialBus bus(row.descriptor);
    bus.Plug(ProgrammerConfig());
    WUsbBulkD dev(bus, &kKpR50InterfaceGuid, &defaultTrace);
    ASSERT_TRUE(dev.Link());
    EXPECT_EQ(dev.serialNumber, row.expected) << row.descriptor.size() << " bytes";
  }
}

TEST(SerialNumberBounds, LongStringsAreCutAtTheDescriptorLimit) {
  // 200 characters: the descriptor carries at most 126; the parser must stay in bounds.
  VirtualBus bus;
  VirtualDeviceConfig c = ProgrammerConfig();
  c.serialNumber = std::u16string(200, u'F');
  bus.Plug(c);
  WUsbBulkD dev(bus, &kKpR50InterfaceGuid, &defaultTrace);
  ASSERT_TRUE(dev.Link());
  EXPECT_EQ(dev.serialNumber, 0xFFFFFFFFu);
}

}  // namespace
}  // namespace kp::test
