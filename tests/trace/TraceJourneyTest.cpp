// A login with the administrator's password, the forced password change and a login with the
// new one, run against the virtual programmer and traced as text and as pcap at once. Neither
// file may hold a login proof, a challenge or a password key, in any spelling, also when the
// frames that carry them come garbled; both must hold the same transfers, and the pcap must
// read back as usbmon bulk URBs.
#include "TraceTestSupport.h"

#include "crypto/PasswordKey.h"
#include "base/ByteOrder.h"
#include "base/NumberText.h"
#include "programmer/KpR50.h"
#include "sim/firmware/VirtualKpR50.h"
#include "trace/PcapTrace.h"
#include "trace/TraceText.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace kp::test {
namespace {

Bytes KeyOf(const char* password) {
  Bytes key(kPasswordKeySize);
  DerivePasswordKey(kUserIdentity, password, key.data());
  return key;
}

Bytes Slice(const Bytes& bytes, size_t at, size_t size) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at),
               bytes.begin() + static_cast<std::ptrdiff_t>(at + size));
}

struct Journey {
  VirtualBus bus;
  VirtualKpR50 fw{2024};
  VirtualBus::DeviceId id = 0;
  std::string text;
  std::string pcap;
  Bytes adminKey = KeyOf("start123");
  Bytes userKey = KeyOf("moje-nowe1");
  std::vector<Bytes> macs;
  std::vector<Bytes> challenges;
  std::vector<Bytes> keys;  // as the 'H' requests carried them, old then new

  Journey() {
    fw.SetKeys(KeyState::Target, 0x00C0FFEE);
    fw.SetPasswordByAdministrator("start123");
    id = fw.PlugInto(bus);
    TraceClock clock = [this] { return bus.NowMs() * 1000; };
    TextTrace textTrace([this](std::string_view b) { return text.append(b), true; }, clock,
                        {"trace-tests", "test system", "VirtualBus"});
    PcapTrace pcapTrace([this](std::string_view b) { return pcap.append(b), true; }, clock);
    TeeTrace both({&textTrace, &pcapTrace});

    KpR50 r50(bus, &kKpR50InterfaceGuid, &both);
    if (!r50.Link()) return;
    r50.Logout();
    r50.ReadStatusAndSignature();
    const bool done = r50.Authenticate(kUserIdentity, adminKey.data()) &&
                      r50.SendPasswordChange(kUserIdentity, adminKey.data(), userKey.data()) &&
                      r50.Authenticate(kUserIdentity, userKey.data());
    if (!done) return;

    // What went over the link, as the bus saw it.
    Bytes loginFrame;
    Bytes challengeFrame;
    for (const TransferRecord& t : bus.Transfers(id)) {
      if (t.bytes.size() < 3) continue;
      if (t.out && t.bytes[2] == kCmdLogin) {
        macs.push_back(Slice(t.bytes, 3 + wire::kLoginMacAt, wire::kMacSize));
        loginFrame = t.bytes;
      } else if (t.out && t.bytes[2] == kCmdChangePassword) {
        keys.push_back(Slice(t.bytes, 3 + wire::kChangeOldKeyAt, wire::kKeySize));
        keys.push_back(Slice(t.bytes, 3 + wire::kChangeNewKeyAt, wire::kKeySize));
      } else if (!t.out && t.bytes[2] == (kCmdChallenge | 0x80)) {
        challenges.push_back(Slice(t.bytes, 3, wire::kChallengeSize));
        challengeFrame = t.bytes;
      }
    }
    // The same secrets in transfers that are not one good frame.
    Bytes badCrc = loginFrame;
    badCrc.back() ^= 0xFF;
    Bytes overlong = loginFrame;
    overlong.insert(overlong.end(), {0x00, 0x01, 0x02});
    Bytes wrongLength = loginFrame;
    wrongLength[0] = 0x0A;
    Bytes twoReplies = FrameOf(0xCC, {0x01, 0x00, 0x00, 0x00});
    twoReplies.insert(twoReplies.end(), challengeFrame.begin(), challengeFrame.end());
    Bytes afterNoise = {0x33, 0x00, 0x01};
    afterNoise.insert(afterNoise.end(), challengeFrame.begin(), challengeFrame.end());
    for (const Bytes& garbled : {Slice(loginFrame, 0, 20), Slice(loginFrame, 0, 16), badCrc,
                                 overlong, wrongLength, twoReplies, afterNoise}) {
      both.TraceTransfer(kTraceFromDevice, static_cast<int32_t>(garbled.size()), garbled.data(), 0,
                         kTraceTag);
    }
    // For tshark and for people: the files, when asked for.
    if (const char* folder = std::getenv("KP_TRACE_KEEP_DIR")) {
      std::ofstream(std::string(folder) + "/journey.txt", std::ios::binary) << text;
      std::ofstream(std::string(folder) + "/journey.pcap", std::ios::binary) << pcap;
    }
  }
};

const Journey& TheJourney() {
  static const Journey journey;
  return journey;
}

// Every way a secret could be spelt in a file.
std::vector<std::string> Spellings(const Bytes& secret) {
  std::vector<std::string> forms = {AsString(secret), HexText(secret),
                                    HexText(secret, HexCase::Lower)};
  for (const HexCase letters : {HexCase::Upper, HexCase::Lower}) {
    std::string spaced;
    for (const uint8_t b : secret)
      spaced += (spaced.empty() ? "" : " ") + HexText({&b, 1}, letters);
    forms.push_back(spaced);
  }
  return forms;
}

TEST(TraceJourney, NoSecretInEitherFile) {
  const Journey& j = TheJourney();
  // Two logins (each with its challenge) and one change: the secrets were there to leak.
  ASSERT_EQ(j.macs.size(), 2u);
  ASSERT_EQ(j.challenges.size(), 2u);
  ASSERT_EQ(j.keys.size(), 2u);
  EXPECT_EQ(j.keys[0], j.adminKey);
  EXPECT_EQ(j.keys[1], j.userKey);
  // And the transfers around them were traced.
  EXPECT_NE(j.text.find("request 'L' login, payload 28, CRC ok"), std::string::npos);
  EXPECT_NE(j.text.find("request 'H' change-password, payload 44, CRC ok"), std::string::npos);
  EXPECT_NE(j.text.find("reply 'n' challenge, payload 16, CRC ok"), std::string::npos);

  std::vector<Bytes> secrets = j.macs;
  secrets.insert(secrets.end(), j.challenges.begin(), j.challenges.end());
  secrets.insert(secrets.end(), j.keys.begin(), j.keys.end());
  for (const Bytes& secret : secrets) {
    for (const std::string& form : Spellings(secret)) {
      SCOPED_TRACE(HexText(secret) + " spelt as " +
                   HexText({reinterpret_cast<const uint8_t*>(form.data()), form.size()}));
      EXPECT_EQ(j.text.find(form), std::string::npos);
      EXPECT_EQ(j.pcap.find(form), std::string::npos);
    }
  }
}

struct PcapRecord {
  uint64_t micros = 0;
  Bytes usb;   // the usbmon header
  Bytes data;  // what follows it
};

// The file header checked, the records taken apart.
std::vector<PcapRecord> ReadPcap(const std::string& file) {
  const auto* b = reinterpret_cast<const uint8_t*>(file.data());
  std::vector<PcapRecord> records;
  EXPECT_GE(file.size(), 24u);
  if (file.size() < 24) return records;
  EXPECT_EQ(GetLe32(b), 0xA1B2C3D4u);
  EXPECT_EQ(GetLe16(b + 4), 2);
  EXPECT_EQ(GetLe16(b + 6), 4);
  EXPECT_EQ(GetLe32(b + 16), 262144u);
  EXPECT_EQ(GetLe32(b + 20), 220u);  // LINKTYPE_USB_LINUX_MMAPPED
  for (size_t at = 24; at < file.size();) {
    if (file.size() - at < 16 + 64) {
      ADD_FAILURE() << "a record cut off at " << at;
      break;
    }
    PcapRecord r;
    r.micros = uint64_t{GetLe32(b + at)} * 1000000 + GetLe32(b + at + 4);
    const uint32_t kept = GetLe32(b + at + 8);
    EXPECT_EQ(GetLe32(b + at + 12), kept);  // nothing cut by the snapshot length
    if (kept < 64 || kept > file.size() - at - 16) {
      ADD_FAILURE() << "a record's length runs past the file at " << at;
      break;
    }
    r.usb.assign(b + at + 16, b + at + 16 + 64);
    r.data.assign(b + at + 16 + 64, b + at + 16 + kept);
    records.push_back(std::move(r));
    at += 16 + kept;
  }
  return records;
}

TEST(TraceJourney, TextNamesTheDeviceAndPcapHoldsItsTransfersAsUsbmonBulkUrbs) {
  const Journey& j = TheJourney();
  std::string error;
  const std::optional<TraceText> trace = ParseTraceText(j.text, &error);
  ASSERT_TRUE(trace) << error;
  ASSERT_FALSE(trace->events.empty());
  const TraceEvent& link = trace->events.front();
  EXPECT_EQ(link.kind, TraceEvent::Kind::Link);
  EXPECT_EQ(link.text, VirtualBus::PathOf(j.id));
  EXPECT_EQ(link.serialNumber, 0x50A10001u);
  EXPECT_EQ(std::make_pair(link.pipeOut, link.pipeIn),
            std::make_pair(uint8_t{0x02}, uint8_t{0x81}));

  std::vector<const TraceEvent*> transfers;
  for (const TraceEvent& e : trace->events) {
    if (e.kind == TraceEvent::Kind::Transfer) transfers.push_back(&e);
  }
  const std::vector<PcapRecord> records = ReadPcap(j.pcap);
  ASSERT_EQ(records.size(), transfers.size());
  uint64_t lastUrb = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE("record " + std::to_string(i));
    const PcapRecord& r = records[i];
    const TraceEvent& e = *transfers[i];
    const uint8_t* usb = r.usb.data();
    EXPECT_EQ(r.micros, e.micros);
    EXPECT_GT(GetLe32(usb), lastUrb);  // URB ids told apart
    lastUrb = GetLe32(usb);
    EXPECT_EQ(usb[8], e.toDevice ? 'S' : 'C');
    EXPECT_EQ(usb[9], 3);                          // bulk
    EXPECT_EQ(usb[10], e.toDevice ? 0x02 : 0x81);  // the device's own pipes
    EXPECT_EQ(usb[11], 1);                         // device
    EXPECT_EQ(GetLe16(usb + 12), 1);               // bus
    EXPECT_EQ(usb[14], '-');                       // no setup packet
    EXPECT_EQ(usb[15], 0);                         // data present
    EXPECT_EQ(GetLe32(usb + 16) * uint64_t{1000000} + GetLe32(usb + 24), r.micros);
    EXPECT_EQ(static_cast<int32_t>(GetLe32(usb + 28)), e.toDevice ? -115 : 0);
    EXPECT_EQ(GetLe32(usb + 32), e.bytes.size());
    EXPECT_EQ(GetLe32(usb + 36), e.bytes.size());
    EXPECT_EQ(r.data, e.bytes);  // withheld bytes are zeros in both
  }
}

TEST(TraceJourney, PcapTakesTheDefaultPipesUntilALinkAndCountsDevices) {
  std::string file;
  PcapTrace trace([&](std::string_view b) { return file.append(b), true; },
                  [] { return uint64_t{0}; });
  const Bytes status = FrameOf('M', {});
  trace.TraceTransfer(kTraceToDevice, 5, status.data(), 0, kTraceTag);
  trace.TraceLink("a", 1, 0x03, 0x84);
  trace.TraceLink("b", 2, 0x04, 0x85);
  trace.TraceTransfer(kTraceFromDevice, 5, status.data(), 0, kTraceTag);
  const std::vector<PcapRecord> records = ReadPcap(file);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(std::make_pair(records[0].usb[10], records[0].usb[11]),
            std::make_pair(uint8_t{0x01}, uint8_t{1}));
  EXPECT_EQ(std::make_pair(records[1].usb[10], records[1].usb[11]),
            std::make_pair(uint8_t{0x85}, uint8_t{2}));
}

}  // namespace
}  // namespace kp::test
