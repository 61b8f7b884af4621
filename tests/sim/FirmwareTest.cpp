// The virtual programmer's firmware on its own: raw request frames in, reply frames out.
#include "SimTestSupport.h"

#include <functional>
#include <string>

namespace kp::test {
namespace {

using Setup = std::function<void(VirtualKpR50&)>;
using Payload = std::function<Bytes(VirtualKpR50&)>;

const auto kUserKey = KeyOf("tajne1");
const auto kNewKey = KeyOf("nowe-haslo");

// A programmer ready for everything: target keys, the user's own password, logged in.
void Ready(VirtualKpR50& fw) {
  fw.SetKeys(KeyState::Target, 0x12345678);
  fw.SetPasswordKey(kUserKey.data(), PasswordState::SetByUser);
  fw.SetLoggedIn(true);
}

Setup ReadyWith(CardKind card) {
  return [card](VirtualKpR50& fw) {
    Ready(fw);
    switch (card) {
      case CardKind::None: break;
      case CardKind::DesfireEmpty: fw.PlaceEmptyCard(kUid); break;
      case CardKind::DesfirePrepared: fw.PlacePreparedCard(kUid); break;
      case CardKind::DesfireWithFile: fw.PlaceProgrammedCard(kUid, 99999, 7); break;
      case CardKind::Foreign: fw.PlaceForeignCard(kUid); break;
    }
  };
}

Payload Fixed(Bytes bytes) {
  return [bytes](VirtualKpR50&) { return bytes; };
}

const Bytes kFile = {0x9F, 0x86, 0x01, 0x00, 0x07, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const Bytes kSelector = {0x01};

// --- Every command's reply size when the programmer carries it out ----------------------

struct ReplyCase {
  std::string name;
  Setup setup;
  uint8_t command;
  Payload payload;
  size_t replySize;
  // A printer of its own: GoogleTest would print the struct byte by byte, padding included.
  friend void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }
};

class ReplySize : public testing::TestWithParam<ReplyCase> {};

TEST_P(ReplySize, MatchesTheCommandTable) {
  const ReplyCase& c = GetParam();
  VirtualKpR50 fw;
  c.setup(fw);
  const Bytes payload = c.payload(fw);
  const Bytes reply = Ask(fw, c.command, payload);
  ASSERT_EQ(reply.size(), c.replySize);
  if (c.replySize == 1) {
    EXPECT_EQ(reply[0], sim::kStatusOk);
  }
  EXPECT_EQ(fw.Commands().back(), c.command);
}

INSTANTIATE_TEST_SUITE_P(
    AllElevenCommands, ReplySize,
    testing::Values(
        ReplyCase{"Status", Ready, sim::kCmdStatus, Fixed({}), 8},
        ReplyCase{"KeySignature", Ready, sim::kCmdKeySignature, Fixed({}), 4},
        ReplyCase{"Logout", Ready, sim::kCmdLogout, Fixed({}), 1},
        ReplyCase{"Challenge", Ready, sim::kCmdChallenge, Fixed({}), 16},
        ReplyCase{"CardInfo", ReadyWith(CardKind::DesfireEmpty), sim::kCmdCardInfo, Fixed({}), 16},
        ReplyCase{"Login", Ready, sim::kCmdLogin,
                  [](VirtualKpR50& fw) { return LoginProof(fw, kUserKey.data()); }, 4},
        ReplyCase{"ChangePassword", Ready, sim::kCmdChangePassword,
                  Fixed(Concat({IdentityField(), Bytes(kUserKey.begin(), kUserKey.end()),
                                Bytes(kNewKey.begin(), kNewKey.end())})),
                  1},
        ReplyCase{"PrepareCard", ReadyWith(CardKind::DesfireEmpty), sim::kCmdPrepareCard,
                  Fixed(Concat({kSelector, UidBytes(kUid)})), 1},
        ReplyCase{"WriteFile", ReadyWith(CardKind::DesfirePrepared), sim::kCmdWriteFile,
                  Fixed(Concat({kSelector, UidBytes(kUid), kFile})), 1},
        ReplyCase{"ReadFile", ReadyWith(CardKind::DesfireWithFile), sim::kCmdReadFile,
                  Fixed(kSelector), 24},
        ReplyCase{"EraseCard", ReadyWith(CardKind::DesfireWithFile), sim::kCmdEraseCard,
                  Fixed(UidBytes(kUid)), 1}),
    [](const auto& row) { return row.param.name; });

// --- Refusals: one non-zero status byte, and nothing changes ----------------------------

struct RefusalCase {
  std::string name;
  Setup setup;
  uint8_t command;
  Bytes payload;
  uint8_t status;
  friend void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }
};

class Refusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(Refusal, AnswersOneStatusByteAndKeepsTheState) {
  const RefusalCase& c = GetParam();
  VirtualKpR50 fw;
  c.setup(fw);
  Snapshot before = Snapshot::Of(fw);
  const Bytes reply = Ask(fw, c.command, c.payload);
  ASSERT_EQ(reply.size(), 1u);
  EXPECT_EQ(reply[0], c.status);
  before.commands.push_back(c.command);  // a well-formed request counts, refused or not
  EXPECT_EQ(Snapshot::Of(fw), before);
}

Setup NotLoggedIn(CardKind card) {
  return [card](VirtualKpR50& fw) {
    ReadyWith(card)(fw);
    fw.SetLoggedIn(false);
  };
}

Setup NoKeys(CardKind card) {
  return [card](VirtualKpR50& fw) {
    ReadyWith(card)(fw);
    fw.SetKeys(KeyState::None);
  };
}

const Bytes kPrepare = Concat({kSelector, UidBytes(kUid)});
const Bytes kWrite = Concat({kSelector, UidBytes(kUid), kFile});
const Bytes kErase = UidBytes(kUid);
const Bytes kChange = Concat({IdentityField(), Bytes(kUserKey.begin(), kUserKey.end()),
                              Bytes(kNewKey.begin(), kNewKey.end())});

INSTANTIATE_TEST_SUITE_P(
    Commands, Refusal,
    testing::Values(
        RefusalCase{"SignatureWithoutKeys",
                    NoKeys(CardKind::None),
                    sim::kCmdKeySignature,
                    {},
                    sim::kStatusNoKeys},
        RefusalCase{"CardInfoWithoutCard", Ready, sim::kCmdCardInfo, {}, sim::kStatusNoCard},
        RefusalCase{"ChangeWhenNotLoggedIn", NotLoggedIn(CardKind::None), sim::kCmdChangePassword,
                    kChange, sim::kStatusPasswordRefused},
        RefusalCase{"ChangeWithWrongOldKey", Ready, sim::kCmdChangePassword,
                    Concat({IdentityField(), Bytes(kNewKey.begin(), kNewKey.end()),
                            Bytes(kNewKey.begin(), kNewKey.end())}),
                    sim::kStatusPasswordRefused},
        RefusalCase{"ChangeWithoutPassword",
                    [](VirtualKpR50& fw) {
                      Ready(fw);
                      fw.ClearPassword();
                    },
                    sim::kCmdChangePassword, kChange, sim::kStatusPasswordRefused},
        RefusalCase{"PrepareWithoutKeys", NoKeys(CardKind::DesfireEmpty), sim::kCmdPrepareCard,
                    kPrepare, sim::kStatusNoKeys},
        RefusalCase{"PrepareNotLoggedIn", NotLoggedIn(CardKind::DesfireEmpty), sim::kCmdPrepareCard,
                    kPrepare, sim::kStatusNotLoggedIn},
        RefusalCase{"PrepareAnotherUid", ReadyWith(CardKind::DesfireEmpty), sim::kCmdPrepareCard,
                    Concat({kSelector, UidBytes(kOtherUid)}), sim::kStatusNoCard},
        RefusalCase{"PrepareNoCard", ReadyWith(CardKind::None), sim::kCmdPrepareCard, kPrepare,
                    sim::kStatusNoCard},
        RefusalCase{"PrepareForeignCard", ReadyWith(CardKind::Foreign), sim::kCmdPrepareCard,
                    kPrepare, sim::kStatusOtherCard},
        RefusalCase{"PrepareOtherSelector", ReadyWith(CardKind::DesfireEmpty), sim::kCmdPrepareCard,
                    Concat({{0x02}, UidBytes(kUid)}), sim::kStatusBadSelector},
        RefusalCase{"PreparePreparedCard", ReadyWith(CardKind::DesfirePrepared),
                    sim::kCmdPrepareCard, kPrepare, sim::kStatusCardState},
        RefusalCase{"PrepareProgrammedCard", ReadyWith(CardKind::DesfireWithFile),
                    sim::kCmdPrepareCard, kPrepare, sim::kStatusCardState},
        RefusalCase{"WriteWithoutKeys", NoKeys(CardKind::DesfirePrepared), sim::kCmdWriteFile,
                    kWrite, sim::kStatusNoKeys},
        RefusalCase{"WriteNotLoggedIn", NotLoggedIn(CardKind::DesfirePrepared), sim::kCmdWriteFile,
                    kWrite, sim::kStatusNotLoggedIn},
        RefusalCase{"WriteAnotherUid", ReadyWith(CardKind::DesfirePrepared), sim::kCmdWriteFile,
                    Concat({kSelector, UidBytes(kOtherUid), kFile}), sim::kStatusNoCard},
        RefusalCase{"WriteEmptyCard", ReadyWith(CardKind::DesfireEmpty), sim::kCmdWriteFile, kWrite,
                    sim::kStatusCardState},
        RefusalCase{"WriteForeignCard", ReadyWith(CardKind::Foreign), sim::kCmdWriteFile, kWrite,
                    sim::kStatusOtherCard},
        RefusalCase{"WriteFifteenBytes", ReadyWith(CardKind::DesfirePrepared), sim::kCmdWriteFile,
                    Bytes(kWrite.begin(), kWrite.end() - 1), sim::kStatusBadLength},
        RefusalCase{"WriteNoData", ReadyWith(CardKind::DesfirePrepared), sim::kCmdWriteFile,
                    kPrepare, sim::kStatusBadLength},
        RefusalCase{"ReadWithoutKeys", NoKeys(CardKind::DesfireWithFile), sim::kCmdReadFile,
                    kSelector, sim::kStatusNoKeys},
        RefusalCase{"ReadNotLoggedIn", NotLoggedIn(CardKind::DesfireWithFile), sim::kCmdReadFile,
                    kSelector, sim::kStatusNotLoggedIn},
        RefusalCase{"ReadNoCard", ReadyWith(CardKind::None), sim::kCmdReadFile, kSelector,
                    sim::kStatusNoCard},
        RefusalCase{"ReadEmptyCard", ReadyWith(CardKind::DesfireEmpty), sim::kCmdReadFile,
                    kSelector, sim::kStatusCardState},
        RefusalCase{"ReadPreparedCard", ReadyWith(CardKind::DesfirePrepared), sim::kCmdReadFile,
                    kSelector, sim::kStatusCardState},
        RefusalCase{"ReadForeignCard", ReadyWith(CardKind::Foreign), sim::kCmdReadFile, kSelector,
                    sim::kStatusOtherCard},
        RefusalCase{"ReadOtherSelector",
                    ReadyWith(CardKind::DesfireWithFile),
                    sim::kCmdReadFile,
                    {0x00},
                    sim::kStatusBadSelector},
        RefusalCase{"EraseWithoutKeys", NoKeys(CardKind::DesfireWithFile), sim::kCmdEraseCard,
                    kErase, sim::kStatusNoKeys},
        RefusalCase{"EraseNotLoggedIn", NotLoggedIn(CardKind::DesfireWithFile), sim::kCmdEraseCard,
                    kErase, sim::kStatusNotLoggedIn},
        RefusalCase{"EraseAnotherUid", ReadyWith(CardKind::DesfireWithFile), sim::kCmdEraseCard,
                    UidBytes(kOtherUid), sim::kStatusNoCard},
        RefusalCase{"EraseForeignCard", ReadyWith(CardKind::Foreign), sim::kCmdEraseCard, kErase,
                    sim::kStatusOtherCard}),
    [](const auto& row) { return row.param.name; });

// --- Malformed requests: no reply or a refusal, and nothing changes ---------------------

Bytes WithLengthField(Bytes frame, uint16_t length) {
  frame[0] = static_cast<uint8_t>(length);
  frame[1] = static_cast<uint8_t>(length >> 8);
  return frame;
}

Bytes WithFlippedByte(Bytes frame, size_t at) {
  frame[at] ^= 0x01;
  return frame;
}

struct MalformedCase {
  std::string name;
  Bytes transfer;
  std::optional<uint8_t> refusal;  // nullopt: no reply at all
  friend void PrintTo(const MalformedCase& c, std::ostream* os) { *os << c.name; }
};

class Malformed : public testing::TestWithParam<MalformedCase> {};

TEST_P(Malformed, LeavesTheStateAlone) {
  const MalformedCase& c = GetParam();
  VirtualKpR50 fw;
  ReadyWith(CardKind::DesfireWithFile)(fw);
  Ask(fw, sim::kCmdChallenge);  // a challenge outstanding: it must survive too
  const Snapshot before = Snapshot::Of(fw);
  const auto reply = AskRaw(fw, c.transfer);
  if (c.refusal) {
    ASSERT_TRUE(reply.has_value());
    ASSERT_TRUE(reply->framed);
    EXPECT_EQ(reply->code, c.transfer[2] | 0x80);
    EXPECT_EQ(reply->payload, Bytes{*c.refusal});
  } else {
    EXPECT_FALSE(reply.has_value());
  }
  EXPECT_EQ(Snapshot::Of(fw), before);
}

const Bytes kStatusRequest = {0x05, 0x00, 0x4D, 0xA1, 0xF4};

INSTANTIATE_TEST_SUITE_P(
    Requests, Malformed,
    testing::Values(
        MalformedCase{"Empty", {}, std::nullopt},
        MalformedCase{"FourBytes", {0x04, 0x00, 0x4D, 0xA1}, std::nullopt},
        MalformedCase{"BadCrcLow", WithFlippedByte(kStatusRequest, 3), std::nullopt},
        MalformedCase{"BadCrcHigh", WithFlippedByte(kStatusRequest, 4), std::nullopt},
        MalformedCase{"BadCommandUnderCrc", WithFlippedByte(kStatusRequest, 2), std::nullopt},
        MalformedCase{"LengthFieldLonger", WithLengthField(kStatusRequest, 6), std::nullopt},
        MalformedCase{"LengthFieldShorter", WithLengthField(Request(sim::kCmdReadFile, {1}), 5),
                      std::nullopt},
        MalformedCase{"TwoFramesInOne", Concat({kStatusRequest, kStatusRequest}), std::nullopt},
        MalformedCase{"TrailingByte", Concat({kStatusRequest, {0x00}}), std::nullopt},
        MalformedCase{"OverlongTransfer", Bytes(1033, 0x00), std::nullopt},
        MalformedCase{"UnknownCommand", Request('X'), sim::kStatusUnknownCommand},
        MalformedCase{"ReplyCodeAsCommand", Request(0x4D | 0x80), sim::kStatusUnknownCommand},
        MalformedCase{"StatusWithPayload", Request(sim::kCmdStatus, {0}), sim::kStatusBadLength},
        MalformedCase{"LogoutWithPayload", Request(sim::kCmdLogout, {0}), sim::kStatusBadLength},
        MalformedCase{"ChallengeWithPayload", Request(sim::kCmdChallenge, {0}),
                      sim::kStatusBadLength},
        MalformedCase{"LoginShort", Request(sim::kCmdLogin, Bytes(27)), sim::kStatusBadLength},
        MalformedCase{"LoginLong", Request(sim::kCmdLogin, Bytes(29)), sim::kStatusBadLength},
        MalformedCase{"ChangeShort", Request(sim::kCmdChangePassword, Bytes(43)),
                      sim::kStatusBadLength},
        MalformedCase{"PrepareShort", Request(sim::kCmdPrepareCard, Bytes(8)),
                      sim::kStatusBadLength},
        MalformedCase{"WriteShort", Request(sim::kCmdWriteFile, Bytes(8)), sim::kStatusBadLength},
        MalformedCase{"WriteOver244Bytes", Request(sim::kCmdWriteFile, Bytes(254, 1)),
                      sim::kStatusBadLength},
        MalformedCase{"ReadEmpty", Request(sim::kCmdReadFile), sim::kStatusBadLength},
        MalformedCase{"EraseLong", Request(sim::kCmdEraseCard, Bytes(9)), sim::kStatusBadLength},
        MalformedCase{"LargestFrame", Request(sim::kCmdEraseCard, Bytes(1027, 0xAA)),
                      sim::kStatusBadLength}),
    [](const auto& row) { return row.param.name; });

// --- The status word ----------------------------------------------------------------------

struct StatusCase {
  KeyState keys;
  PasswordState password;
  bool loggedIn;
  uint16_t word;
  friend void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.word; }
};

class StatusWord : public testing::TestWithParam<StatusCase> {};

TEST_P(StatusWord, CarriesKeysPasswordAndLogin) {
  const StatusCase& c = GetParam();
  VirtualKpR50 fw;
  fw.SetProgrammerNumber(0x1234);
  fw.SetFirmwareVersion(0x0203);
  fw.SetKeys(c.keys);
  if (c.password != PasswordState::None) fw.SetPasswordKey(kUserKey.data(), c.password);
  fw.SetLoggedIn(c.loggedIn);
  EXPECT_EQ(fw.StatusWord(), c.word);
  const Bytes expected = {0x34,
                          0x12,
                          0xAA,
                          0x00,
                          0x03,
                          0x02,
                          static_cast<uint8_t>(c.word),
                          static_cast<uint8_t>(c.word >> 8)};
  EXPECT_EQ(Ask(fw, sim::kCmdStatus), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Combinations, StatusWord,
    testing::Values(StatusCase{KeyState::None, PasswordState::None, false, 0x0400},
                    StatusCase{KeyState::Target, PasswordState::None, false, 0x0407},
                    StatusCase{KeyState::Temporary, PasswordState::None, false, 0x0487},
                    StatusCase{KeyState::Target, PasswordState::SetByAdministrator, false, 0x0807},
                    StatusCase{KeyState::Target, PasswordState::SetByUser, false, 0x0007},
                    StatusCase{KeyState::Target, PasswordState::SetByUser, true, 0x1007},
                    StatusCase{KeyState::Temporary, PasswordState::SetByAdministrator, true,
                               0x1887},
                    StatusCase{KeyState::None, PasswordState::SetByUser, true, 0x1000}));

TEST(Firmware, FreshObjectIsAFactoryNewProgrammer) {
  VirtualKpR50 fw;
  EXPECT_EQ(fw.Keys(), KeyState::None);
  EXPECT_EQ(fw.Password(), PasswordState::None);
  EXPECT_FALSE(fw.PasswordKey().has_value());
  EXPECT_FALSE(fw.LoggedIn());
  EXPECT_EQ(fw.Card(), CardKind::None);
  EXPECT_EQ(fw.StatusWord(), 0x0400);
  EXPECT_TRUE(fw.Commands().empty());
}

TEST(Firmware, KeySignatureIsLittleEndian) {
  VirtualKpR50 fw;
  fw.SetKeys(KeyState::Temporary, 0xA1B2C3D4);
  EXPECT_EQ(Ask(fw, sim::kCmdKeySignature), (Bytes{0xD4, 0xC3, 0xB2, 0xA1}));
  fw.SetKeys(KeyState::Target);
  EXPECT_EQ(Ask(fw, sim::kCmdKeySignature), (Bytes{0xBC, 0x0A, 0x00, 0x00}));
}

// --- Login and password change ----------------------------------------------------------

class Login : public testing::Test {
 protected:
  void SetUp() override {
    fw.SetKeys(KeyState::Target);
    fw.SetPasswordKey(kUserKey.data(), PasswordState::SetByAdministrator);
  }
  VirtualKpR50 fw;
};

TEST_F(Login, ProofWithTheStoredKeyIsAccepted) {
  const Bytes proof = LoginProof(fw, kUserKey.data());
  EXPECT_EQ(Ask(fw, sim::kCmdLogin, proof), (Bytes{1, 0, 0, 0}));
  EXPECT_TRUE(fw.LoggedIn());
  EXPECT_EQ(fw.StatusWord(), 0x1807);
  EXPECT_FALSE(fw.Challenge().has_value());
}

TEST_F(Login, AdministratorsPasswordIsTheDerivedKey) {
  fw.SetPasswordByAdministrator("start123");
  EXPECT_EQ(fw.Password(), PasswordState::SetByAdministrator);
  EXPECT_EQ(fw.PasswordKey(), KeyOf("start123"));
  EXPECT_EQ(Ask(fw, sim::kCmdLogin, LoginProof(fw, KeyOf("start123").data())).size(), 4u);
  EXPECT_TRUE(fw.LoggedIn());
}

TEST_F(Login, WrongKeyIsRefusedAndEndsAnEarlierLogin) {
  fw.SetLoggedIn(true);
  const Bytes proof = LoginProof(fw, kNewKey.data());
  EXPECT_EQ(Ask(fw, sim::kCmdLogin, proof), Bytes{sim::kStatusLoginRefused});
  EXPECT_FALSE(fw.LoggedIn());
  EXPECT_FALSE(fw.Challenge().has_value());
}

TEST_F(Login, ChallengeServesOneLoginOnly) {
  const Bytes proof = LoginProof(fw, kUserKey.data());
  ASSERT_EQ(Ask(fw, sim::kCmdLogin, proof).size(), 4u);
  EXPECT_EQ(Ask(fw, sim::kCmdLogin, proof), Bytes{sim::kStatusLoginRefused});
  EXPECT_FALSE(fw.LoggedIn());
}

TEST_F(Login, NewChallengeReplacesTheOldOne) {
  const Bytes stale = LoginProof(fw, kUserKey.data());
  const Bytes fresh = Ask(fw, sim::kCmdChallenge);
  EXPECT_NE(Bytes(stale.begin() + 12, stale.end()), fresh);
  EXPECT_EQ(Ask(fw, sim::kCmdLogin, stale), Bytes{sim::kStatusLoginRefused});
}

TEST_F(Login, RefusedWithoutChallengeOrPassword) {
  Bytes proof = LoginProof(fw, kUserKey.data());
  fw.ClearPassword();
  EXPECT_EQ(Ask(fw, sim::kCmdLogin, proof), Bytes{sim::kStatusLoginRefused});
  fw.SetPasswordKey(kUserKey.data(), PasswordState::SetByUser);
  EXPECT_EQ(Ask(fw, sim::kCmdLogin, proof), Bytes{sim::kStatusLoginRefused});  // used up
}

TEST_F(Login, MacCoversTheIdentityField) {
  Bytes proof = LoginProof(fw, kUserKey.data());
  proof[0] = 'U';
  EXPECT_EQ(Ask(fw, sim::kCmdLogin, proof), Bytes{sim::kStatusLoginRefused});
}

TEST_F(Login, AcceptedLoginsAreCounted) {
  for (uint8_t n = 1; n <= 3; ++n) {
    EXPECT_EQ(Ask(fw, sim::kCmdLogin, LoginProof(fw, kUserKey.data())), (Bytes{n, 0, 0, 0}));
  }
}

TEST_F(Login, LogoutEndsTheLoginAndIsAlwaysAccepted) {
  ASSERT_EQ(Ask(fw, sim::kCmdLogin, LoginProof(fw, kUserKey.data())).size(), 4u);
  EXPECT_EQ(Ask(fw, sim::kCmdLogout), Bytes{0});
  EXPECT_FALSE(fw.LoggedIn());
  EXPECT_EQ(Ask(fw, sim::kCmdLogout), Bytes{0});
}

TEST_F(Login, PasswordChangeStoresTheNewKeyAndClearsTheAdministratorFlag) {
  ASSERT_EQ(Ask(fw, sim::kCmdLogin, LoginProof(fw, kUserKey.data())).size(), 4u);
  EXPECT_EQ(Ask(fw, sim::kCmdChangePassword, kChange), Bytes{0});
  EXPECT_EQ(fw.PasswordKey(), kNewKey);
  EXPECT_EQ(fw.Password(), PasswordState::SetByUser);
  EXPECT_TRUE(fw.LoggedIn());
  EXPECT_EQ(fw.StatusWord(), 0x1007);
  EXPECT_EQ(Ask(fw, sim::kCmdLogin, LoginProof(fw, kUserKey.data())),
            Bytes{sim::kStatusLoginRefused});
  EXPECT_EQ(Ask(fw, sim::kCmdLogin, LoginProof(fw, kNewKey.data())).size(), 4u);
}

// --- The card field ---------------------------------------------------------------------

struct CardInfoCase {
  std::string name;
  Setup place;
  uint8_t typeAndContent;
  friend void PrintTo(const CardInfoCase& c, std::ostream* os) { *os << c.name; }
};

class CardInfoByte : public testing::TestWithParam<CardInfoCase> {};

TEST_P(CardInfoByte, TellsTypeAndContent) {
  VirtualKpR50 fw;
  GetParam().place(fw);
  const Bytes expected = Concat({UidBytes(kUid), {GetParam().typeAndContent}, Bytes(7, 0)});
  EXPECT_EQ(Ask(fw, sim::kCmdCardInfo), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cards, CardInfoByte,
    testing::Values(
        CardInfoCase{"Empty", [](VirtualKpR50& fw) { fw.PlaceEmptyCard(kUid); }, 0x10},
        CardInfoCase{"Prepared", [](VirtualKpR50& fw) { fw.PlacePreparedCard(kUid); }, 0x11},
        CardInfoCase{"Programmed", [](VirtualKpR50& fw) { fw.PlaceProgrammedCard(kUid, 1, 2); },
                     0x12},
        CardInfoCase{"Foreign", [](VirtualKpR50& fw) { fw.PlaceForeignCard(kUid); }, 0x04}),
    [](const auto& row) { return row.param.name; });

TEST(Card, ProgrammedCardHoldsTheNumbersLittleEndian) {
  VirtualKpR50 fw;
  fw.PlaceProgrammedCard(kUid, 99999, 7);
  const auto file = fw.CardFile();
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(Bytes(file->begin(), file->end()), kFile);
  fw.PlaceProgrammedCard(kUid, -1, INT32_MIN);
  EXPECT_EQ(fw.CardNumbers(), std::make_pair(-1, INT32_MIN));
}

TEST(Card, PrepareWriteReadEraseCycle) {
  VirtualKpR50 fw;
  ReadyWith(CardKind::DesfireEmpty)(fw);
  EXPECT_EQ(Ask(fw, sim::kCmdPrepareCard, kPrepare), Bytes{0});
  EXPECT_EQ(fw.Card(), CardKind::DesfirePrepared);
  EXPECT_FALSE(fw.CardNumbers().has_value());
  EXPECT_EQ(Ask(fw, sim::kCmdWriteFile, kWrite), Bytes{0});
  EXPECT_EQ(fw.CardNumbers(), std::make_pair(99999, 7));
  EXPECT_EQ(Ask(fw, sim::kCmdReadFile, kSelector), Concat({UidBytes(kUid), kFile}));
  EXPECT_EQ(Ask(fw, sim::kCmdEraseCard, kErase), Bytes{0});
  EXPECT_EQ(fw.Card(), CardKind::DesfireEmpty);
  EXPECT_FALSE(fw.CardFile().has_value());
  EXPECT_EQ(fw.CardUid(), std::to_array(kUid));
  EXPECT_EQ(Ask(fw, sim::kCmdEraseCard, kErase), Bytes{0});  // an empty card erases too
  EXPECT_EQ(fw.Commands(), (Bytes{'p', 'P', 'r', 'C', 'C'}));
}

TEST(Card, WriteReplacesAnExistingFile) {
  VirtualKpR50 fw;
  ReadyWith(CardKind::DesfireWithFile)(fw);
  Bytes file(16, 0);
  file[0] = 5;
  file[4] = 6;
  EXPECT_EQ(Ask(fw, sim::kCmdWriteFile, Concat({kSelector, UidBytes(kUid), file})), Bytes{0});
  EXPECT_EQ(fw.CardNumbers(), std::make_pair(5, 6));
}

TEST(Card, RemovedCardIsGone) {
  VirtualKpR50 fw;
  ReadyWith(CardKind::DesfireWithFile)(fw);
  fw.RemoveCard();
  EXPECT_EQ(Ask(fw, sim::kCmdCardInfo), Bytes{sim::kStatusNoCard});
  EXPECT_EQ(Ask(fw, sim::kCmdEraseCard, kErase), Bytes{sim::kStatusNoCard});
}

// --- Faults aimed at one request ----------------------------------------------------------

// The tool's programming run, card info, prepare, write, then a card info and one more write
// (a resend's place), with a fault armed before it. Replies, one letter per IN transfer:
// 'd' data, '-' none, 'g' no good frame, the status byte's digit, or 'w' for a status byte
// with one byte 0 after it (no command answers with two bytes).
struct FaultCase {
  const char* name;
  FirmwareFault fault;
  const char* replies;
  bool vanished;
  CardKind card;         // what the field holds at the end
  bool sameUid;          // the card in the field is still the one placed
  const char* commands;  // the commands carried out
  friend void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }
};

class Faults : public testing::TestWithParam<FaultCase> {};

TEST_P(Faults, FireOnceAtTheChosenRequest) {
  const FaultCase& c = GetParam();
  VirtualKpR50 fw;
  ReadyWith(CardKind::DesfireEmpty)(fw);
  fw.ArmFault(c.fault);
  const std::pair<uint8_t, Bytes> run[] = {{sim::kCmdCardInfo, {}},
                                           {sim::kCmdPrepareCard, kPrepare},
                                           {sim::kCmdWriteFile, kWrite},
                                           {sim::kCmdCardInfo, {}},
                                           {sim::kCmdWriteFile, kWrite}};
  std::string replies;
  bool fired = false;
  for (size_t step = 0; step < std::size(run); ++step) {
    const auto& [command, payload] = run[step];
    const std::vector<InTransfer> out = fw.HandleRequest(Request(command, payload));
    if (const auto f = fw.TakeFiredFault()) {
      EXPECT_FALSE(fired) << "a second firing";
      EXPECT_EQ(*f, c.fault);
      fired = true;
    }
    if (out.empty()) replies += '-';
    ASSERT_LE(out.size(), c.fault.kind == FaultKind::AnswerTwice ? 2u : 1u);
    for (const InTransfer& transfer : out) {
      EXPECT_EQ(transfer.bytes, out[0].bytes);  // a second copy is the same reply
      EXPECT_EQ(transfer.delayMs,
                c.fault.kind == FaultKind::Delay && step == 2 ? c.fault.delayMs : 0u);
      const auto frame = kp::DecodeFrame(transfer.bytes);
      if (!frame) {
        // Garbage is aimed at a status reply here: as many bytes as its frame.
        EXPECT_EQ(transfer.bytes.size(), Request(command, {0}).size());
        replies += 'g';
        continue;
      }
      const auto& p = frame->payload;
      replies += p.size() == 1                ? static_cast<char>('0' + p[0])
                 : p.size() == 2 && p[1] == 0 ? 'w'
                                              : 'd';
    }
  }
  EXPECT_TRUE(fired);
  EXPECT_FALSE(fw.ArmedFault().has_value());
  EXPECT_EQ(replies, c.replies);
  EXPECT_EQ(fw.Vanished(), c.vanished);
  EXPECT_EQ(fw.Card(), c.card);
  EXPECT_EQ(fw.CardUid() == std::to_array(kUid), c.sameUid);
  EXPECT_EQ(std::string(fw.Commands().begin(), fw.Commands().end()), c.commands);
}

FirmwareFault Aim(FaultKind kind, uint8_t command, uint32_t nth = 1, uint64_t ms = 0) {
  return {kind, command, nth, ms};
}

INSTANTIATE_TEST_SUITE_P(
    AtProgramming, Faults,
    testing::Values(
        // The link goes before the prepare reaches the card: nothing happened to it.
        FaultCase{"DropBeforePrepare", Aim(FaultKind::DropBefore, sim::kCmdPrepareCard), "d-7d7",
                  true, CardKind::DesfireEmpty, true, "RPRP"},
        // After it: the card is prepared though no reply came.
        FaultCase{"DropAfterPrepare", Aim(FaultKind::DropAfter, sim::kCmdPrepareCard), "d-0d0",
                  true, CardKind::DesfireWithFile, true, "RpPRP"},
        FaultCase{"DropAfterWrite", Aim(FaultKind::DropAfter, sim::kCmdWriteFile), "d0-d0", true,
                  CardKind::DesfireWithFile, true, "RpPRP"},
        // The second write is the one aimed at.
        FaultCase{"DropBeforeSecondWrite", Aim(FaultKind::DropBefore, sim::kCmdWriteFile, 2),
                  "d00d-", true, CardKind::DesfireWithFile, true, "RpPR"},
        // Between prepare and write the card leaves: the write finds no card.
        FaultCase{"CardLeavesAtWrite", Aim(FaultKind::CardLeave, sim::kCmdWriteFile),
                  "d05"
                  "55",
                  false, CardKind::None, false, "RpPRP"},
        // A blank card takes its place: the write names the old UID and finds another.
        FaultCase{"CardSwappedAtWrite", Aim(FaultKind::CardSwap, sim::kCmdWriteFile), "d05d5",
                  false, CardKind::DesfireEmpty, false, "RpPRP"},
        FaultCase{"CardSwappedAtCardInfo", Aim(FaultKind::CardSwap, sim::kCmdCardInfo), "d55d5",
                  false, CardKind::DesfireEmpty, false, "RpPRP"},
        // The prepare and its resend go unanswered; the next command ends the stall.
        FaultCase{"StalledPrepare", Aim(FaultKind::Stall, sim::kCmdPrepareCard), "d-7d7", false,
                  CardKind::DesfireEmpty, true, "RPRP"},
        FaultCase{"LateWrite", Aim(FaultKind::Delay, sim::kCmdWriteFile, 1, 3000), "d00d0", false,
                  CardKind::DesfireWithFile, true, "RpPRP"},
        // The reply-shaping faults: the command is carried out whatever its reply.
        FaultCase{"WriteAnsweredTwice", Aim(FaultKind::AnswerTwice, sim::kCmdWriteFile),
                  "d0"
                  "00"
                  "d0",
                  false, CardKind::DesfireWithFile, true, "RpPRP"},
        FaultCase{"PrepareAnsweredOneByteLong", Aim(FaultKind::WrongLength, sim::kCmdPrepareCard),
                  "dw0d0", false, CardKind::DesfireWithFile, true, "RpPRP"},
        FaultCase{"GarbageForTheResend", Aim(FaultKind::Garbage, sim::kCmdWriteFile, 2), "d00dg",
                  false, CardKind::DesfireWithFile, true, "RpPRP"}),
    [](const testing::TestParamInfo<FaultCase>& row) { return std::string(row.param.name); });

TEST(Faults, StallLastsThroughTheResendAndDisarmEndsIt) {
  VirtualKpR50 fw;
  ReadyWith(CardKind::DesfireEmpty)(fw);
  fw.ArmFault(Aim(FaultKind::Stall, sim::kCmdEraseCard));
  EXPECT_FALSE(AskRaw(fw, Request(sim::kCmdEraseCard, kErase)).has_value());
  EXPECT_FALSE(AskRaw(fw, Request(sim::kCmdEraseCard, kErase)).has_value());
  fw.DisarmFault();
  EXPECT_EQ(Ask(fw, sim::kCmdEraseCard, kErase), Bytes{0});
  // A new fault replaces the armed one and counts from its arming.
  fw.ArmFault(Aim(FaultKind::DropBefore, sim::kCmdStatus, 2));
  Ask(fw, sim::kCmdStatus);
  fw.ArmFault(Aim(FaultKind::DropAfter, sim::kCmdStatus, 2));
  Ask(fw, sim::kCmdStatus);
  EXPECT_FALSE(fw.Vanished());
  EXPECT_FALSE(AskRaw(fw, Request(sim::kCmdStatus)).has_value());
  EXPECT_TRUE(fw.Vanished());
}

// Faults armed side by side each count their own command's good requests from their own
// arming; of two due at one request the first armed fires, the other at the next one.
TEST(Faults, SeveralArmedFireOneAtATimeInArmingOrder) {
  VirtualKpR50 fw;
  ReadyWith(CardKind::DesfirePrepared)(fw);
  const FirmwareFault late = Aim(FaultKind::Delay, sim::kCmdWriteFile, 1, 3000);
  const FirmwareFault leave = Aim(FaultKind::CardLeave, sim::kCmdWriteFile);
  const FirmwareFault garbage = Aim(FaultKind::Garbage, sim::kCmdCardInfo);
  const FirmwareFault twice = Aim(FaultKind::AnswerTwice, sim::kCmdStatus);
  fw.ArmFault(twice);
  fw.ArmFault(late);  // replaces
  EXPECT_TRUE(fw.AddFault(leave));
  Ask(fw, sim::kCmdCardInfo);  // before the garbage fault's arming: not counted
  EXPECT_TRUE(fw.AddFault(garbage));
  EXPECT_TRUE(fw.AddFault(twice));
  EXPECT_FALSE(fw.AddFault(late));  // four is the most
  EXPECT_EQ(fw.ArmedFaults(), (std::vector<FirmwareFault>{late, leave, garbage, twice}));
  EXPECT_EQ(fw.ArmedFault(), late);
  // A refused write is no request of the command.
  EXPECT_EQ(Ask(fw, sim::kCmdWriteFile, {1}), Bytes{sim::kStatusBadLength});
  EXPECT_FALSE(fw.TakeFiredFault().has_value());

  const auto write = fw.HandleRequest(Request(sim::kCmdWriteFile, kWrite));
  ASSERT_EQ(write.size(), 1u);
  EXPECT_EQ(write[0].delayMs, 3000u);
  EXPECT_EQ(fw.TakeFiredFault(), late);
  EXPECT_EQ(fw.Card(), CardKind::DesfireWithFile);  // the card-leave fault waits
  ASSERT_TRUE(AskRaw(fw, Request(sim::kCmdCardInfo)).has_value());
  EXPECT_EQ(fw.TakeFiredFault(), garbage);
  EXPECT_EQ(Ask(fw, sim::kCmdWriteFile, kWrite), Bytes{sim::kStatusNoCard});  // the resend
  EXPECT_EQ(fw.TakeFiredFault(), leave);
  EXPECT_EQ(fw.ArmedFaults(), std::vector<FirmwareFault>{twice});
  fw.DisarmFault();
  EXPECT_TRUE(fw.ArmedFaults().empty());
  EXPECT_FALSE(fw.ArmedFault().has_value());
}

// --- The generator ------------------------------------------------------------------------

TEST(Generator, SameSeedSameChallengesOtherSeedOthers) {
  VirtualKpR50 a(7), b(7), c(8);
  const Bytes first = Ask(a, sim::kCmdChallenge);
  EXPECT_EQ(first, Ask(b, sim::kCmdChallenge));
  EXPECT_NE(first, Ask(c, sim::kCmdChallenge));
  EXPECT_NE(first, Ask(a, sim::kCmdChallenge));
}

TEST(Generator, RandomUidsAreNxpSevenByteUids) {
  VirtualKpR50 fw(3);
  const auto a = fw.RandomUid();
  const auto b = fw.RandomUid();
  EXPECT_NE(a, b);
  for (const auto& uid : {a, b}) {
    EXPECT_EQ(uid[0], 0x04);
    EXPECT_EQ(uid[7], 0x00);
  }
}

// --- Frames -------------------------------------------------------------------------------

TEST(Frames, StatusRequestIsTheKnownFrame) {
  EXPECT_EQ(Request(sim::kCmdStatus), kStatusRequest);
  const auto frame = kp::DecodeFrame(kStatusRequest);
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(frame->command, 0x4D);
  EXPECT_TRUE(frame->payload.empty());
}

TEST(Frames, LargestPayloadRoundTripsAndOneMoreIsRefused) {
  const Bytes payload(1027, 0x5A);
  const Bytes frame = Request('X', payload);
  ASSERT_EQ(frame.size(), 1032u);
  const auto decoded = kp::DecodeFrame(frame);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_TRUE(
      std::equal(decoded->payload.begin(), decoded->payload.end(), payload.begin(), payload.end()));
  EXPECT_TRUE(Request('X', Bytes(1028)).empty());
}

}  // namespace
}  // namespace kp::test
