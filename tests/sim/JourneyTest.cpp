// Whole journeys of the programmer object against the virtual programmer over a VirtualBus,
// each checked against what the firmware holds afterwards.
#include "SimTestSupport.h"

#include "programmer/KpR50.h"

namespace kp::test {
namespace {

const uint8_t kCard[8] = {0x04, 0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5, 0x00};
const uint8_t kSecondCard[8] = {0x04, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x00};

class Journey : public testing::Test {
 protected:
  void SetUp() override {
    fw.SetKeys(KeyState::Target, 0x00C0FFEE);
    id = fw.PlugInto(bus);
    ASSERT_TRUE(r50.Link());
    r50.Logout();  // what the main window does on every (re)connection
    r50.ReadStatusAndSignature();
  }

  // The login action: Authenticate, then a fresh status word.
  bool LogIn(const std::array<uint8_t, 16>& key) {
    const bool accepted = r50.Authenticate("user", key.data());
    if (accepted) r50.ReadStatus(kStatusTimeoutMs);
    return accepted;
  }

  void LoggedInUser() {
    fw.SetPasswordKey(KeyOf("haslo").data(), PasswordState::SetByUser);
    ASSERT_TRUE(LogIn(KeyOf("haslo")));
  }

  VirtualBus bus;
  VirtualKpR50 fw{2024};
  VirtualBus::DeviceId id = 0;
  KpR50 r50{bus, &kKpR50InterfaceGuid, traceSink};
};

TEST_F(Journey, ConnectionShowsNumberModelKeysAndSignature) {
  EXPECT_EQ(r50.CheckModel(), 5);
  EXPECT_EQ(r50.statusWord, 0x0407);
  EXPECT_EQ(r50.keySignature, 0x00C0FFEEu);
  EXPECT_EQ(fw.Commands(), (Bytes{'l', 'M', 's'}));
}

TEST_F(Journey, AdministratorsPasswordLoginChangeAndLoginWithTheNewOne) {
  fw.SetPasswordByAdministrator("start");
  const auto adminKey = KeyOf("start");
  const auto userKey = KeyOf("moje-nowe");

  ASSERT_TRUE(LogIn(adminKey));
  EXPECT_EQ(r50.statusWord, 0x1807);  // logged in, change required

  // The password-change sequence of the main window.
  r50.Logout();
  ASSERT_TRUE(r50.Authenticate("user", adminKey.data()));
  ASSERT_TRUE(r50.SendPasswordChange("user", adminKey.data(), userKey.data()));
  ASSERT_TRUE(r50.Authenticate("user", userKey.data()));
  r50.ReadStatus(kStatusTimeoutMs);

  EXPECT_EQ(r50.statusWord, 0x1007);
  EXPECT_EQ(fw.Password(), PasswordState::SetByUser);
  EXPECT_EQ(fw.PasswordKey(), userKey);
  EXPECT_TRUE(fw.LoggedIn());

  r50.Logout();
  EXPECT_FALSE(LogIn(adminKey));
  EXPECT_TRUE(LogIn(userKey));
}

TEST_F(Journey, WrongPasswordIsRefused) {
  fw.SetPasswordByAdministrator("start");
  EXPECT_FALSE(LogIn(KeyOf("Start")));
  EXPECT_FALSE(fw.LoggedIn());
  r50.ReadStatus(kStatusTimeoutMs);
  EXPECT_EQ(r50.statusWord & kStatusLoggedIn, 0);
  EXPECT_EQ(fw.PasswordKey(), KeyOf("start"));
}

TEST_F(Journey, PasswordChangeWithAWrongOldKeyIsRefused) {
  LoggedInUser();
  EXPECT_FALSE(r50.SendPasswordChange("user", KeyOf("inne").data(), KeyOf("nowe").data()));
  EXPECT_EQ(fw.PasswordKey(), KeyOf("haslo"));
}

TEST_F(Journey, ProgramReadBackEraseAndReadTheEmptyCard) {
  LoggedInUser();
  fw.PlaceEmptyCard(kCard);

  EXPECT_EQ(r50.ProgramCard(99999, 7), kCardOk);
  EXPECT_EQ(fw.CardNumbers(), std::make_pair(99999, 7));
  EXPECT_EQ(std::to_array(r50.cardInfo.uid), std::to_array(kCard));

  int32_t department = 0;
  int32_t index = 0;
  EXPECT_EQ(r50.ReadCard(&department, &index), kCardOk);
  EXPECT_EQ(department, 99999);
  EXPECT_EQ(index, 7);

  EXPECT_EQ(r50.EraseCard(), kCardOk);
  EXPECT_EQ(fw.Card(), CardKind::DesfireEmpty);
  EXPECT_EQ(r50.ReadCard(&department, &index), kCardEmpty);
  EXPECT_EQ(fw.Commands().back(), 'R');  // no read command for an empty card
}

TEST_F(Journey, CardResultsForTheCardsInTheField) {
  LoggedInUser();
  int32_t department = 0;
  int32_t index = 0;
  EXPECT_EQ(r50.ProgramCard(1, 1), kCardNoCard);
  fw.PlaceForeignCard(kCard);
  EXPECT_EQ(r50.ProgramCard(1, 1), kCardOtherType);
  EXPECT_EQ(r50.ReadCard(&department, &index), kCardOtherType);
  EXPECT_EQ(r50.EraseCard(), kCardOtherType);
  fw.PlaceProgrammedCard(kCard, -5, 2147483647);
  EXPECT_EQ(r50.ProgramCard(1, 1), kCardHoldsData);
  EXPECT_EQ(fw.CardNumbers(), std::make_pair(-5, 2147483647));
  EXPECT_EQ(r50.ReadCard(&department, &index), kCardOk);
  EXPECT_EQ(department, -5);
  EXPECT_EQ(index, 2147483647);
}

struct RefusedCase {
  std::string name;
  bool keys;
  bool loggedIn;
  // A printer of its own: GoogleTest would print the struct byte by byte, padding included.
  friend void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }
};

class CardOperationsRefused : public Journey, public testing::WithParamInterface<RefusedCase> {};

TEST_P(CardOperationsRefused, LeaveTheCardsAlone) {
  fw.SetPasswordKey(KeyOf("haslo").data(), PasswordState::SetByUser);
  fw.SetLoggedIn(GetParam().loggedIn);
  if (!GetParam().keys) fw.SetKeys(KeyState::None);

  fw.PlaceEmptyCard(kCard);
  EXPECT_EQ(r50.ProgramCard(10, 20), kCardPrepareFailed);
  EXPECT_EQ(fw.Card(), CardKind::DesfireEmpty);

  fw.PlaceProgrammedCard(kCard, 10, 20);
  int32_t department = -1;
  int32_t index = -1;
  EXPECT_EQ(r50.ReadCard(&department, &index), kCardReadFailed);
  EXPECT_EQ(department, -1);
  EXPECT_EQ(r50.EraseCard(), kCardEraseFailed);
  EXPECT_EQ(fw.CardNumbers(), std::make_pair(10, 20));
}

INSTANTIATE_TEST_SUITE_P(States, CardOperationsRefused,
                         testing::Values(RefusedCase{"NotLoggedIn", true, false},
                                         RefusedCase{"NoKeys", false, true},
                                         RefusedCase{"NeitherKeysNorLogin", false, false}),
                         [](const auto& row) { return row.param.name; });

TEST_F(Journey, CardSwappedAfterItsInfoIsNotPrepared) {
  LoggedInUser();
  fw.PlaceEmptyCard(kCard);
  // Right after the card-info reply the operator swaps the card for another one.
  bus.SetFirmware(id, [this](std::span<const uint8_t> out) {
    auto replies = fw.HandleRequest(out);
    if (fw.Commands().back() == sim::kCmdCardInfo) fw.PlaceEmptyCard(kSecondCard);
    return replies;
  });
  EXPECT_EQ(r50.ProgramCard(3, 4), kCardPrepareFailed);
  EXPECT_EQ(fw.Card(), CardKind::DesfireEmpty);
  EXPECT_EQ(fw.CardUid(), std::to_array(kSecondCard));
}

TEST_F(Journey, DroppedProgrammerEndsTheOperationWithNoReply) {
  LoggedInUser();
  fw.PlaceEmptyCard(kCard);
  fw.VanishAtTransfer(fw.OutTransfers() + 1);  // gone right after the card info
  try {
    r50.ProgramCard(3, 4);
    FAIL() << "no exception";
  } catch (const WUsbErr& e) {
    EXPECT_EQ(e.errorCode, wusb::kNoReply);
    EXPECT_EQ(e.commandByte, kCmdPrepareCard);
  }
  EXPECT_EQ(fw.Card(), CardKind::DesfireEmpty);
  EXPECT_FALSE(bus.IsPlugged(id));
}

}  // namespace
}  // namespace kp::test
