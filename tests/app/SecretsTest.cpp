// Passwords and keys: the 8-bit text a password becomes (Windows-1250 off Windows), checked
// against a table written out by hand, and the memory of the whole process searched for the
// derived keys once a login and a password change are over.
#include "ActionRig.h"
#include "MemoryScan.h"
#include "app/PasswordText.h"
#include "crypto/SecureWipe.h"

#include <QtTest>

#include <cstring>
#include <map>
#include <memory>

using namespace kp::test;

namespace {

// Windows-1250 bytes of the Polish letters and a few more, written out by hand.
const std::map<char16_t, uint8_t> kHandTable = {
    {u'ą', 0xB9}, {u'ć', 0xE6}, {u'ę', 0xEA}, {u'ł', 0xB3}, {u'ń', 0xF1}, {u'ó', 0xF3},
    {u'ś', 0x9C}, {u'ź', 0x9F}, {u'ż', 0xBF}, {u'Ą', 0xA5}, {u'Ć', 0xC6}, {u'Ę', 0xCA},
    {u'Ł', 0xA3}, {u'Ń', 0xD1}, {u'Ó', 0xD3}, {u'Ś', 0x8C}, {u'Ź', 0x8F}, {u'Ż', 0xAF},
    {u'€', 0x80}, {u'ß', 0xDF}, {u'§', 0xA7},
};

// The hand conversion of a text made of ASCII and the table's letters.
QByteArray ByHand(const QString& text) {
  QByteArray bytes;
  for (QChar c : text) {
    const char16_t u = c.unicode();
    bytes.append(u < 0x80 ? static_cast<char>(u) : static_cast<char>(kHandTable.at(u)));
  }
  return bytes;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// The device's key compared with `key`, the copy that the comparison needs wiped at once.
bool DeviceHolds(const kp::VirtualKpR50& fw, const uint8_t* key) {
  auto held = fw.PasswordKey();
  if (!held) return false;
  const bool same = std::memcmp(held->data(), key, held->size()) == 0;
  kp::SecureWipe(held->data(), held->size());
  return same;
}

// The test equipment's own copies of what went over the wire: the bus keeps every transfer.
std::vector<Range> BusLog(const ActionRig& rig) {
  std::vector<Range> ranges;
  for (const kp::TransferRecord& r : rig.bus.Transfers(rig.device)) {
    if (r.bytes.empty()) continue;
    const auto begin = reinterpret_cast<uintptr_t>(r.bytes.data());
    ranges.push_back({begin, begin + r.bytes.size()});
  }
  return ranges;
}

// The bus log, and the virtual device's own storage (inside its object), where a key
// belongs while the device holds it.
std::vector<Range> Exempt(const ActionRig& rig) {
  std::vector<Range> ranges = BusLog(rig);
  const auto device = reinterpret_cast<uintptr_t>(&rig.fw);
  ranges.push_back({device, device + sizeof rig.fw});
  return ranges;
}

// The scan finds a copy that sits in a stack frame.
bool ScanSeesStack(MemoryScan& scan, const uint8_t* key) {
  volatile uint8_t copy[kp::kKeySize];
  for (size_t i = 0; i < sizeof copy; ++i) copy[i] = key[i];
  bool seen = false;
  for (const Finding& f : scan.Find(key, kp::kKeySize)) seen = seen || f.mapping == "[stack]";
  kp::SecureWipe(const_cast<uint8_t*>(copy), sizeof copy);
  return seen;
}

QString Describe(const std::vector<Finding>& findings) {
  QStringList lines;
  for (const Finding& f : findings) {
    lines << QStringLiteral("0x%1 in %2")
                 .arg(f.address, 0, 16)
                 .arg(QString::fromStdString(f.mapping.empty() ? "(anonymous)" : f.mapping));
  }
  return lines.join(QStringLiteral(", "));
}

}  // namespace

class SecretsTest : public QObject {
  Q_OBJECT

 private slots:
  void cleanup() { QCOMPARE(VisibleWindows(), QStringList()); }

  void eightBitText_data() {
    QTest::addColumn<QString>("password");
    QTest::addColumn<QByteArray>("bytes");
    const QString polish = QStringLiteral("zażółć12");
    QTest::newRow("Polish") << polish << ByHand(polish);
    QTest::newRow("Polish capitals")
        << QStringLiteral("ZAŻÓŁĆ GĘŚLĄ JAŹŃ") << ByHand(QStringLiteral("ZAŻÓŁĆ GĘŚLĄ JAŹŃ"));
    QTest::newRow("Polish small") << QStringLiteral("ąćęłńóśźż")
                                  << ByHand(QStringLiteral("ąćęłńóśźż"));
    QTest::newRow("euro sign and more") << QStringLiteral("€ß§") << ByHand(QStringLiteral("€ß§"));
    QTest::newRow("ASCII") << QStringLiteral("Haslo-123 !~") << QByteArray("Haslo-123 !~");
    QTest::newRow("empty") << QString() << QByteArray();
    QTest::newRow("CJK") << QStringLiteral("a漢字b") << QByteArray("a??b");
    QTest::newRow("Cyrillic") << QStringLiteral("пароль") << QByteArray("??????");
    QTest::newRow("emoji, one character")
        << QString::fromUtf16(u"x\U0001F600y") << QByteArray("x?y");
    QTest::newRow("lone high surrogate") << QString::fromUtf16(
                                                u"a\xD83D"
                                                u"b")
                                         << QByteArray("a?b");
    QTest::newRow("lone low surrogate") << QString::fromUtf16(
                                               u"\xDE00"
                                               u"b")
                                        << QByteArray("?b");
  }

  void eightBitText() {
    QFETCH(QString, password);
    QFETCH(QByteArray, bytes);
    const std::string text = kp::PasswordTo8Bit(password);
    QCOMPARE(QByteArray(text.data(), static_cast<qsizetype>(text.size())), bytes);
  }

  void passwordLogin_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QByteArray>("deviceBytes");  // what the administrator's tool derived from
    QTest::newRow("Polish") << QStringLiteral("zażółć12") << ByHand(QStringLiteral("zażółć12"));
    QTest::newRow("outside the code page") << QStringLiteral("haslo漢12") << QByteArray("haslo?12");
    QTest::newRow("emoji") << QString::fromUtf16(u"haslo\U0001F511!") << QByteArray("haslo?!");
  }

  // Typed on the keyboard, the password gives the key of its Windows-1250 bytes.
  void passwordLogin() {
    QFETCH(QString, typed);
    QFETCH(QByteArray, deviceBytes);
    ActionRig rig;
    rig.UserPassword(deviceBytes.constData());
    ModalCloser closer;
    closer.AnswerLogin(typed).PressOk();
    rig.Press(Action::Login);
    QCOMPARE(Seen(closer), QStringList{QStringLiteral("TLoginDlg")} << Info(kLoggedIn));
    QVERIFY(rig.fw.LoggedIn());
  }

  // The login key is gone by the time the action shows its outcome, and stays gone. The
  // first scan runs while "logged in" is on screen, so the action's own stack frame is
  // still there to be searched; the virtual device's storage holds the key by right and is
  // left out, and wiped through its API before the second scan.
  void noKeyAfterLogin() {
    if (kSanitized) QSKIP("the sanitizer's shadow memory is too large to scan");
    MemoryScan scan;
    QVERIFY(scan.Ready());
    uint8_t* key = scan.Slot(0);
    kp::DerivePasswordKey("user", "haslo123", key);
    QVERIFY(ScanSeesStack(scan, key));
    ActionRig rig;
    rig.fw.SetKeys(kp::KeyState::Target);
    rig.fw.SetPasswordKey(key, kp::PasswordState::SetByUser);
    rig.Tick();
    std::vector<Finding> during;
    {
      ModalCloser closer;
      closer.AnswerLogin(QStringLiteral("haslo123")).While([&] {
        during = scan.Find(key, kp::kKeySize, Exempt(rig));
      });
      rig.Press(Action::Login);
      QCOMPARE(Seen(closer), QStringList{QStringLiteral("TLoginDlg")} << Info(kLoggedIn));
    }
    QVERIFY2(during.empty(), qPrintable(Describe(during)));
    QVERIFY(rig.fw.LoggedIn());
    rig.fw.ClearPassword();
    const std::vector<Finding> after = scan.Find(key, kp::kKeySize, BusLog(rig));
    QVERIFY2(after.empty(), qPrintable(Describe(after)));
  }

  void noPasswordTextAfterLogin_data() {
    QTest::addColumn<QString>("password");
    QTest::newRow("short") << QStringLiteral("Sekret-8bit-42");      // kept inside the string
    QTest::newRow("long") << QStringLiteral("Dluzsze-Haslo-8b-20");  // on the heap
  }

  // The 8-bit text of the password lives only during the derivation, and the whole typed
  // text is overwritten in the box's last buffer. (The shorter buffers the box outgrew while
  // the password was typed are the toolkit's, freed without a wipe; they hold prefixes.)
  void noPasswordTextAfterLogin() {
    if (kSanitized) QSKIP("the sanitizer's shadow memory is too large to scan");
    QFETCH(QString, password);
    MemoryScan scan;
    QVERIFY(scan.Ready());
    // The needles go straight into the scan's own mapping: no other copy of them is made.
    const size_t textSize = static_cast<size_t>(password.size());
    uint8_t* text = scan.Slot(0);  // zero-filled, so the text ends there
    for (size_t i = 0; i < textSize; ++i) text[i] = static_cast<uint8_t>(password.at(i).unicode());
    uint8_t* wide = scan.Slot(1);
    std::memcpy(wide, password.constData(), textSize * 2);  // utf16() could copy
    ActionRig rig;
    rig.UserPassword(reinterpret_cast<const char*>(text));
    std::vector<Finding> narrowFound;
    std::vector<Finding> wideFound;
    {
      ModalCloser closer;
      closer.AnswerLogin(password).While([&] {
        narrowFound = scan.Find(text, textSize);
        wideFound = scan.Find(wide, textSize * 2);
      });
      rig.Press(Action::Login);
      QCOMPARE(Seen(closer), QStringList{QStringLiteral("TLoginDlg")} << Info(kLoggedIn));
    }
    QVERIFY2(narrowFound.empty(), qPrintable(QStringLiteral("8-bit: ") + Describe(narrowFound)));
    QVERIFY2(wideFound.empty(), qPrintable(QStringLiteral("UTF-16: ") + Describe(wideFound)));
  }

  // After the administrator's password was replaced, neither the old key nor the new one is
  // anywhere but in the device and in the bus's log of the change request, both test
  // equipment: not while "password changed" is on screen, not afterwards.
  void noKeyAfterPasswordChange() {
    if (kSanitized) QSKIP("the sanitizer's shadow memory is too large to scan");
    MemoryScan scan;
    QVERIFY(scan.Ready());
    uint8_t* oldKey = scan.Slot(0);
    uint8_t* newKey = scan.Slot(1);
    kp::DerivePasswordKey("user", "admin123", oldKey);
    kp::DerivePasswordKey("user", "Nowe-1234", newKey);
    ActionRig rig;
    rig.fw.SetKeys(kp::KeyState::Target);
    rig.fw.SetPasswordByAdministrator("admin123");
    rig.Tick();
    std::vector<Finding> oldDuring;
    std::vector<Finding> newDuring;
    {
      ModalCloser closer;
      closer.AnswerLogin(QStringLiteral("admin123"))
          .PressOk()
          .AnswerChangePassword(QStringLiteral("admin123"), QStringLiteral("Nowe-1234"),
                                QStringLiteral("Nowe-1234"))
          .While([&] {
            oldDuring = scan.Find(oldKey, kp::kKeySize, Exempt(rig));
            newDuring = scan.Find(newKey, kp::kKeySize, Exempt(rig));
          });
      rig.Press(Action::Login);
      QCOMPARE(Seen(closer).last(), Info(kPasswordChanged));
    }
    QVERIFY2(oldDuring.empty(), qPrintable(QStringLiteral("old key: ") + Describe(oldDuring)));
    QVERIFY2(newDuring.empty(), qPrintable(QStringLiteral("new key: ") + Describe(newDuring)));
    QVERIFY(DeviceHolds(rig.fw, newKey));
    rig.fw.ClearPassword();
    const std::vector<Range> busLog = BusLog(rig);
    const std::vector<Finding> oldAfter = scan.Find(oldKey, kp::kKeySize, busLog);
    const std::vector<Finding> newAfter = scan.Find(newKey, kp::kKeySize, busLog);
    QVERIFY2(oldAfter.empty(), qPrintable(QStringLiteral("old key: ") + Describe(oldAfter)));
    QVERIFY2(newAfter.empty(), qPrintable(QStringLiteral("new key: ") + Describe(newAfter)));
    // The scan does see a copy where one is: the bus's log holds both keys.
    QVERIFY(!scan.Find(newKey, kp::kKeySize).empty());
  }
};

QTEST_MAIN(SecretsTest)
#include "SecretsTest.moc"
