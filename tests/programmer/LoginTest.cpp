// Login proof and password change: the exact requests, the MAC in place of the challenge,
// and how the programmer's answers are taken.
#include "ScriptedDevice.h"

#include "crypto/Aes.h"
#include "crypto/Cmac.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace kp::test {
namespace {

const Bytes kKey{0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                 0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};
const Bytes kNewKey{0x60, 0x3D, 0xEB, 0x10, 0x15, 0xCA, 0x71, 0xBE,
                    0x2B, 0x73, 0xAE, 0xF0, 0x85, 0x7D, 0x77, 0x81};
const Bytes kUserField{'u', 's', 'e', 'r', 0, 0, 0, 0, 0, 0, 0, 0};

Bytes Challenge() {
  Bytes c(kChallengeSize);
  for (size_t i = 0; i < c.size(); ++i) c[i] = static_cast<uint8_t>(0xC0 ^ (i * 29));
  return c;
}

// AES-CMAC with the key over the identity field followed by the challenge.
Bytes ExpectedMac(const Bytes& key, const Bytes& identityField, const Bytes& challenge) {
  Bytes message = identityField;
  message.insert(message.end(), challenge.begin(), challenge.end());
  AES128 cipher;
  cipher.SetKey(key.data());
  Cmac mac(cipher);
  mac.Init();
  mac.Update(message.data(), static_cast<uint32_t>(message.size()));
  Bytes out(16);
  mac.Final(out.data());
  return out;
}

struct IdentityCase {
  const char* identity;
  Bytes field;
  // A printer of its own: GoogleTest would print the struct byte by byte, padding included.
  friend void PrintTo(const IdentityCase& c, std::ostream* os) { *os << c.identity; }
};

class AuthenticateRequest : public testing::TestWithParam<IdentityCase> {};

TEST_P(AuthenticateRequest, CarriesTheIdentityFieldAndTheMacNeverTheChallenge) {
  ScriptedDevice d;
  d.Answer(kCmdChallenge, Challenge());
  d.Answer(kCmdLogin, {0xD1, 0xD2, 0xD3, 0xD4});
  EXPECT_TRUE(d.programmer.Authenticate(GetParam().identity, kKey.data()));
  EXPECT_EQ(d.Commands(), (Bytes{kCmdChallenge, kCmdLogin}));

  const Bytes request = d.PayloadOf(kCmdLogin);
  ASSERT_EQ(request.size(), kLoginRequestSize);
  EXPECT_EQ(Bytes(request.begin(), request.begin() + 12), GetParam().field);
  const Bytes mac(request.begin() + 12, request.end());
  EXPECT_EQ(mac, ExpectedMac(kKey, GetParam().field, Challenge()));
  const Bytes challenge = Challenge();
  EXPECT_EQ(std::search(request.begin(), request.end(), challenge.begin(), challenge.end()),
            request.end());
  EXPECT_EQ(Bytes(d.programmer.loginReply, d.programmer.loginReply + 4),
            (Bytes{0xD1, 0xD2, 0xD3, 0xD4}));
  EXPECT_EQ(d.bus.PipeTimeout(d.device, kInPipe), kLoginTimeoutMs);
}

INSTANTIATE_TEST_SUITE_P(
    Identities, AuthenticateRequest,
    testing::Values(IdentityCase{"user", kUserField}, IdentityCase{"", Bytes(12, 0)},
                    IdentityCase{"administrator",
                                 {'a', 'd', 'm', 'i', 'n', 'i', 's', 't', 'r', 'a', 't', 'o'}}));

TEST(Authenticate, MacsTheChallengeOfTheSecondTryAfterTheRetryPause) {
  ScriptedDevice d;
  d.Answer(kCmdChallenge, {0x03});
  d.Answer(kCmdChallenge, Challenge());
  d.Answer(kCmdLogin, {0x00});
  EXPECT_TRUE(d.programmer.Authenticate("user", kKey.data()));
  EXPECT_EQ(d.bus.SleptMs(), 1100u);
  const Bytes request = d.PayloadOf(kCmdLogin);
  EXPECT_EQ(Bytes(request.begin() + 12, request.end()), ExpectedMac(kKey, kUserField, Challenge()));
}

TEST(Authenticate, SendsNoLoginWhenNoChallengeCanBeHad) {
  for (const std::vector<Bytes>& replies : {std::vector<Bytes>{}, {{0x01}, {0x01}}}) {
    ScriptedDevice d;
    for (const Bytes& reply : replies) d.Answer(kCmdChallenge, reply);
    d.Answer(kCmdLogin, {0x00});
    try {
      d.programmer.Authenticate("user", kKey.data());
      ADD_FAILURE() << "no exception";
    } catch (const WUsbErr& e) {
      EXPECT_EQ(e.errorCode, replies.empty() ? wusb::kNoReply : wusb::kBadReply);
      EXPECT_EQ(e.commandByte, kCmdChallenge);
    }
    EXPECT_EQ(d.Commands(), (Bytes{kCmdChallenge, kCmdChallenge}));
  }
}

struct LoginReplyCase {
  const char* name;
  Bytes reply;
  bool accepted;
  friend void PrintTo(const LoginReplyCase& c, std::ostream* os) { *os << c.name; }
};

class LoginReply : public testing::TestWithParam<LoginReplyCase> {};

TEST_P(LoginReply, AcceptedOnFourBytesOrAZeroStatus) {
  ScriptedDevice d;
  d.Answer(kCmdChallenge, Challenge());
  d.Answer(kCmdLogin, GetParam().reply);
  EXPECT_EQ(d.programmer.Authenticate("user", kKey.data()), GetParam().accepted);
}

INSTANTIATE_TEST_SUITE_P(Replies, LoginReply,
                         testing::Values(LoginReplyCase{"FourBytes", {0, 0, 0, 0}, true},
                                         LoginReplyCase{"ZeroStatus", {0x00}, true},
                                         LoginReplyCase{"Refused", {0x05}, false},
                                         LoginReplyCase{"RefusedFF", {0xFF}, false}),
                         CaseName());

TEST(SendPasswordChange, SendsTheIdentityThenTheOldKeyThenTheNewKey) {
  ScriptedDevice d;
  d.Answer(kCmdChangePassword, {0x00});
  d.Answer(kCmdChangePassword, {0x02});
  EXPECT_TRUE(d.programmer.SendPasswordChange("user", kKey.data(), kNewKey.data()));
  Bytes expected = kUserField;
  expected.insert(expected.end(), kKey.begin(), kKey.end());
  expected.insert(expected.end(), kNewKey.begin(), kNewKey.end());
  ASSERT_EQ(expected.size(), kChangePasswordRequestSize);
  EXPECT_EQ(d.requests.at(0).payload, expected);
  EXPECT_EQ(d.bus.PipeTimeout(d.device, kInPipe), kChangePasswordTimeoutMs);
  EXPECT_FALSE(d.programmer.SendPasswordChange("user", kKey.data(), kNewKey.data()));
}

}  // namespace
}  // namespace kp::test
