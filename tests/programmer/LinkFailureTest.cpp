// Link failures pass out of every KP-R50 operation as WUsbErr with the command concerned:
// no reply after the resend (3), a refused acknowledgement (4), a reply of the wrong length (6).
#include "ScriptedDevice.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace kp::test {
namespace {

const Bytes kKey(kKeySize, 0x11);

struct FailureCase {
  const char* name;
  std::function<void(KpR50&)> run;
  std::vector<std::pair<uint8_t, Bytes>> script;
  int32_t errorCode;
  uint8_t command;
  // A printer of its own: GoogleTest would print the struct byte by byte, padding included.
  friend void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }
};

class LinkFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(LinkFailure, ThrowsWithTheCommandConcerned) {
  const FailureCase& c = GetParam();
  ScriptedDevice d;
  for (const auto& [command, payload] : c.script) d.Answer(command, payload);
  try {
    c.run(d.programmer);
    FAIL() << "no exception";
  } catch (const WUsbErr& e) {
    EXPECT_EQ(e.errorCode, c.errorCode);
    EXPECT_EQ(e.commandByte, c.command);
  }
  ASSERT_FALSE(d.requests.empty());
  EXPECT_EQ(d.requests.back().command, c.command);  // nothing is sent after the failure
  if (c.errorCode == wusb::kNoReply) {
    // A silent programmer gets the very same request twice.
    const auto written = d.bus.Written(d.device);
    ASSERT_GE(written.size(), 2u);
    EXPECT_EQ(written[written.size() - 1], written[written.size() - 2]);
  }
  EXPECT_EQ(d.badRequests, 0);
}

void Status(KpR50& k) { k.ReadStatusAndSignature(); }
void Logout(KpR50& k) { k.Logout(); }
void CardInfo(KpR50& k) { k.ReadCardInfo(); }
void Program(KpR50& k) { k.ProgramCard(1, 2); }
void Read(KpR50& k) {
  int32_t department = 0;
  int32_t index = 0;
  k.ReadCard(&department, &index);
}
void Erase(KpR50& k) { k.EraseCard(); }
void Login(KpR50& k) { k.Authenticate("user", kKey.data()); }
void Change(KpR50& k) { k.SendPasswordChange("user", kKey.data(), kKey.data()); }

const std::pair<uint8_t, Bytes> kKeys{kCmdStatus, StatusPayload(1, 0x00AA, 1, 0x0007)};
const std::pair<uint8_t, Bytes> kEmpty{kCmdCardInfo, CardInfoPayload(kDesfireEmpty)};
const std::pair<uint8_t, Bytes> kUsed{kCmdCardInfo, CardInfoPayload(kDesfireWithData)};
const std::pair<uint8_t, Bytes> kPrepared{kCmdPrepareCard, {0x00}};
const std::pair<uint8_t, Bytes> kChallenge{kCmdChallenge, Bytes(kChallengeSize, 0x42)};

INSTANTIATE_TEST_SUITE_P(
    Silence, LinkFailure,
    testing::Values(FailureCase{"Status", Status, {}, wusb::kNoReply, kCmdStatus},
                    FailureCase{"Signature", Status, {kKeys}, wusb::kNoReply, kCmdKeySignature},
                    FailureCase{"Logout", Logout, {}, wusb::kNoReply, kCmdLogout},
                    FailureCase{"CardInfo", CardInfo, {}, wusb::kNoReply, kCmdCardInfo},
                    FailureCase{"Prepare", Program, {kEmpty}, wusb::kNoReply, kCmdPrepareCard},
                    FailureCase{
                        "Write", Program, {kEmpty, kPrepared}, wusb::kNoReply, kCmdWriteFile},
                    FailureCase{"ReadFile", Read, {kUsed}, wusb::kNoReply, kCmdReadFile},
                    FailureCase{"Erase", Erase, {kUsed}, wusb::kNoReply, kCmdEraseCard},
                    FailureCase{"Login", Login, {kChallenge}, wusb::kNoReply, kCmdLogin},
                    FailureCase{"Change", Change, {}, wusb::kNoReply, kCmdChangePassword}),
    CaseName());

INSTANTIATE_TEST_SUITE_P(
    WrongReply, LinkFailure,
    testing::Values(
        FailureCase{"LogoutNotZero", Logout, {{kCmdLogout, {0x01}}}, wusb::kNoAck, kCmdLogout},
        FailureCase{"LogoutLong", Logout, {{kCmdLogout, {0, 0}}}, wusb::kBadReply, kCmdLogout},
        FailureCase{"PrepareTwoBytes",
                    Program,
                    {kEmpty, {kCmdPrepareCard, {0, 0}}},
                    wusb::kBadReply,
                    kCmdPrepareCard},
        FailureCase{"WriteTwoBytes",
                    Program,
                    {kEmpty, kPrepared, {kCmdWriteFile, {0, 0}}},
                    wusb::kBadReply,
                    kCmdWriteFile},
        FailureCase{"ReadThreeBytes",
                    Read,
                    {kUsed, {kCmdReadFile, Bytes(3)}},
                    wusb::kBadReply,
                    kCmdReadFile},
        FailureCase{"ReadOneShort",
                    Read,
                    {kUsed, {kCmdReadFile, Bytes(23)}},
                    wusb::kBadReply,
                    kCmdReadFile},
        FailureCase{
            "ReadOneLong", Read, {kUsed, {kCmdReadFile, Bytes(25)}}, wusb::kBadReply, kCmdReadFile},
        FailureCase{"EraseTwoBytes",
                    Erase,
                    {kUsed, {kCmdEraseCard, {0, 0}}},
                    wusb::kBadReply,
                    kCmdEraseCard},
        FailureCase{
            "LoginTwoBytes", Login, {kChallenge, {kCmdLogin, {0, 0}}}, wusb::kBadReply, kCmdLogin},
        FailureCase{"LoginThreeBytes",
                    Login,
                    {kChallenge, {kCmdLogin, Bytes(3)}},
                    wusb::kBadReply,
                    kCmdLogin},
        FailureCase{"LoginFiveBytes",
                    Login,
                    {kChallenge, {kCmdLogin, Bytes(5)}},
                    wusb::kBadReply,
                    kCmdLogin},
        FailureCase{"ChangeTwoBytes",
                    Change,
                    {{kCmdChangePassword, {0, 0}}},
                    wusb::kBadReply,
                    kCmdChangePassword}),
    CaseName());

}  // namespace
}  // namespace kp::test
