// The simulator's account of a request: the firmware answers real requests, the summary and
// its two texts must say what happened.
#include "SimTestSupport.h"

#include "sim/rack/RequestText.h"

#include <climits>
#include <functional>
#include <random>
#include <string>

namespace kp::test {
namespace {

const auto kPassword = KeyOf("tajne123");

void Keys(VirtualKpR50& fw) {
  fw.SetKeys(KeyState::Target, 0x3A7F19C4);
  fw.SetPasswordKey(kPassword.data(), PasswordState::SetByAdministrator);
}

void LoggedInWith(VirtualKpR50& fw, CardKind card) {
  Keys(fw);
  fw.SetLoggedIn(true);
  if (card == CardKind::DesfireEmpty) fw.PlaceEmptyCard(kUid);
  if (card == CardKind::DesfirePrepared) fw.PlacePreparedCard(kUid);
  if (card == CardKind::DesfireWithFile) fw.PlaceProgrammedCard(kUid, 99999, 7);
  if (card == CardKind::Foreign) fw.PlaceForeignCard(kUid);
}

Bytes FileOf(int32_t department, int32_t index) {
  Bytes file(16, 0);
  for (int i = 0; i < 4; ++i) {
    file[i] = static_cast<uint8_t>(static_cast<uint32_t>(department) >> (8 * i));
    file[4 + i] = static_cast<uint8_t>(static_cast<uint32_t>(index) >> (8 * i));
  }
  return file;
}

struct Row {
  const char* name;
  std::function<void(VirtualKpR50&)> setup;
  std::function<Bytes(VirtualKpR50&)> request;
  std::string line;      // after "cmd n "
  std::string sentence;  // empty: not checked
};

Bytes Plain(uint8_t command, Bytes payload = {}) { return Request(command, payload); }

const std::string kUidHex = "0411223344556600";

const Row kRows[] = {
    {"status with target keys and the administrator's password", Keys,
     [](VirtualKpR50&) { return Plain(sim::kCmdStatus); }, "M status -> word 0x0807",
     "Odczyt statusu: słowo statusu 0x0807"},
    {"key signature", Keys, [](VirtualKpR50&) { return Plain(sim::kCmdKeySignature); },
     "s key-signature -> 3A7F19C4", ""},
    {"key signature without keys", [](VirtualKpR50&) {},
     [](VirtualKpR50&) { return Plain(sim::kCmdKeySignature); }, "s key-signature -> refused 03",
     "Odczyt sygnatury kluczy: odmowa (kod 03)"},
    {"logout", Keys, [](VirtualKpR50&) { return Plain(sim::kCmdLogout); }, "l logout -> ok",
     "Wylogowanie: ok"},
    {"challenge", Keys, [](VirtualKpR50&) { return Plain(sim::kCmdChallenge); },
     "n challenge -> challenge", ""},
    {"card info, no card", Keys, [](VirtualKpR50&) { return Plain(sim::kCmdCardInfo); },
     "R card-info -> no card", "Odczyt karty w polu: brak karty"},
    {"card info, empty DESFire", [](VirtualKpR50& fw) { LoggedInWith(fw, CardKind::DesfireEmpty); },
     [](VirtualKpR50&) { return Plain(sim::kCmdCardInfo); },
     "R card-info -> card " + kUidHex + " desfire empty",
     "Odczyt karty w polu: DESFire, pusta, UID " + kUidHex},
    {"card info, programmed", [](VirtualKpR50& fw) { LoggedInWith(fw, CardKind::DesfireWithFile); },
     [](VirtualKpR50&) { return Plain(sim::kCmdCardInfo); },
     "R card-info -> card " + kUidHex + " desfire programmed", ""},
    {"card info, another type", [](VirtualKpR50& fw) { LoggedInWith(fw, CardKind::Foreign); },
     [](VirtualKpR50&) { return Plain(sim::kCmdCardInfo); },
     "R card-info -> card " + kUidHex + " type 1",
     "Odczyt karty w polu: karta innego typu, UID " + kUidHex},
    {"login with the right key", Keys,
     [](VirtualKpR50& fw) { return Plain(sim::kCmdLogin, LoginProof(fw, kPassword.data())); },
     "L login -> accepted", "Logowanie: przyjęte"},
    {"login with a wrong key", Keys,
     [](VirtualKpR50& fw) { return Plain(sim::kCmdLogin, LoginProof(fw, KeyOf("x").data())); },
     "L login -> refused 08", "Logowanie: odrzucone"},
    {"password change", [](VirtualKpR50& fw) { LoggedInWith(fw, CardKind::None); },
     [](VirtualKpR50&) {
       const auto fresh = KeyOf("nowe-haslo");
       Bytes payload = IdentityField();
       payload.insert(payload.end(), kPassword.begin(), kPassword.end());
       payload.insert(payload.end(), fresh.begin(), fresh.end());
       return Plain(sim::kCmdChangePassword, payload);
     },
     "H change-password -> ok", "Zmiana hasła: przyjęta"},
    {"prepare", [](VirtualKpR50& fw) { LoggedInWith(fw, CardKind::DesfireEmpty); },
     [](VirtualKpR50&) {
       return Plain(sim::kCmdPrepareCard, Concat({{1}, UidBytes(kUid)}));
     },
     "p prepare-card card " + kUidHex + " -> ok", "Przygotowanie karty " + kUidHex + ": ok"},
    {"write the card file", [](VirtualKpR50& fw) { LoggedInWith(fw, CardKind::DesfirePrepared); },
     [](VirtualKpR50&) {
       return Plain(sim::kCmdWriteFile, Concat({{1}, UidBytes(kUid), FileOf(12, 7)}));
     },
     "P write-file card " + kUidHex + " dep 12 idx 7 -> ok",
     "Programowanie karty " + kUidHex + ", wydział 12, index 7: ok"},
    {"write, not logged in", Keys,
     [](VirtualKpR50&) {
       return Plain(sim::kCmdWriteFile, Concat({{1}, UidBytes(kUid), FileOf(-5, INT32_MAX)}));
     },
     "P write-file card " + kUidHex + " dep -5 idx 2147483647 -> refused 04",
     "Programowanie karty " + kUidHex + ", wydział -5, index 2147483647: odmowa (kod 04)"},
    {"write of other than a card file",
     [](VirtualKpR50& fw) { LoggedInWith(fw, CardKind::DesfirePrepared); },
     [](VirtualKpR50&) {
       return Plain(sim::kCmdWriteFile, Concat({{1}, UidBytes(kUid), {1, 2, 3}}));
     },
     "P write-file card " + kUidHex + " -> refused 02", ""},
    {"read", [](VirtualKpR50& fw) { LoggedInWith(fw, CardKind::DesfireWithFile); },
     [](VirtualKpR50&) { return Plain(sim::kCmdReadFile, {1}); },
     "r read-file -> card " + kUidHex + " dep 99999 idx 7",
     "Odczyt pliku z karty: karta " + kUidHex + ", wydział 99999, index 7"},
    {"read of an empty card", [](VirtualKpR50& fw) { LoggedInWith(fw, CardKind::DesfireEmpty); },
     [](VirtualKpR50&) { return Plain(sim::kCmdReadFile, {1}); }, "r read-file -> refused 07", ""},
    {"erase", [](VirtualKpR50& fw) { LoggedInWith(fw, CardKind::DesfireWithFile); },
     [](VirtualKpR50&) { return Plain(sim::kCmdEraseCard, UidBytes(kUid)); },
     "C erase-card card " + kUidHex + " -> ok", "Kasowanie karty " + kUidHex + ": ok"},
    {"unknown command", Keys, [](VirtualKpR50&) { return Plain(0x5A); },
     "Z unknown 0x5A -> refused 01", "Nieznany rozkaz 0x5A: odmowa (kod 01)"},
    {"unprintable command", Keys, [](VirtualKpR50&) { return Plain(0x07); },
     "? unknown 0x07 -> refused 01", ""},
    {"no frame", Keys,
     [](VirtualKpR50&) {
       return Bytes{1, 2, 3};
     },
     "- garbage 3 bytes -> no reply", "Nieprawidłowa ramka (3 bajtów): brak odpowiedzi"},
    {"reply that is no frame",
     [](VirtualKpR50& fw) {
       Keys(fw);
       fw.SendGarbage(true);
     },
     [](VirtualKpR50&) { return Plain(sim::kCmdStatus); }, "M status -> garbage", ""},
    {"reply one byte too long",
     [](VirtualKpR50& fw) {
       Keys(fw);
       fw.AnswerWrongLength(true);
     },
     [](VirtualKpR50&) { return Plain(sim::kCmdStatus); }, "M status -> 9 bytes", ""},
};

TEST(RequestText, SaysWhatWasAskedAndAnswered) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    VirtualKpR50 fw;
    row.setup(fw);
    const Bytes request = row.request(fw);
    const auto replies = fw.HandleRequest(request);
    const sim::RequestSummary summary = sim::Summarise(request, replies);
    EXPECT_EQ(sim::RequestLine(summary), row.line);
    if (!row.sentence.empty()) {
      EXPECT_EQ(sim::RequestSentence(summary).rfind(row.sentence, 0), 0u)
          << sim::RequestSentence(summary);
    }
  }
}

TEST(RequestText, OnlyStatusAndSignatureCountAsThePoll) {
  VirtualKpR50 fw;
  Keys(fw);
  for (uint8_t command : {sim::kCmdStatus, sim::kCmdKeySignature, sim::kCmdLogout,
                          sim::kCmdCardInfo, sim::kCmdChallenge}) {
    const Bytes request = Request(command);
    const auto summary = sim::Summarise(request, fw.HandleRequest(request));
    EXPECT_EQ(sim::IsPollCommand(summary),
              command == sim::kCmdStatus || command == sim::kCmdKeySignature)
        << command;
  }
  EXPECT_FALSE(sim::IsPollCommand(sim::Summarise(Bytes{0x4D}, {})));
}

// Whatever a client sends and whatever comes back, taking it apart stays inside the bytes.
TEST(RequestText, AnyBytesAreSummarisedSafely) {
  std::mt19937 random(11);
  const uint8_t commands[] = {
      sim::kCmdPrepareCard, sim::kCmdWriteFile, sim::kCmdEraseCard,    sim::kCmdReadFile,
      sim::kCmdCardInfo,    sim::kCmdStatus,    sim::kCmdKeySignature, 0x00};
  for (int i = 0; i < 3000; ++i) {
    const uint8_t command = commands[random() % std::size(commands)];
    Bytes payload(random() % 40);
    for (auto& b : payload) b = static_cast<uint8_t>(random());
    Bytes replyPayload(random() % 40);
    for (auto& b : replyPayload) b = static_cast<uint8_t>(random());
    std::vector<InTransfer> replies;
    if (random() % 4 != 0) {
      replies.push_back({kp::EncodeFrame(command | 0x80, replyPayload), 0});
    }
    const auto summary = sim::Summarise(Request(command, payload), replies);
    EXPECT_FALSE(sim::RequestLine(summary).empty());
    EXPECT_FALSE(sim::RequestSentence(summary).empty());
    if (summary.uid) {
      EXPECT_EQ(sim::UidText(*summary.uid).size(), 16u);
    }
  }
}

}  // namespace
}  // namespace kp::test
