// Link failures at every step of every operator action. Each flow runs once undisturbed to
// count its transfers; then, once per transfer k, the programmer vanishes from the bus at
// transfer k, and once per request k it falls silent from request k on. Every run must end
// with the no-connection message, the panel saying so and the next tick linking again, and
// no run may show a card as done.
#include "ActionRig.h"

#include <QtTest>

#include <memory>

using namespace kp::test;

namespace {

enum class Flow { Login, Change, Program, Read, Erase };
enum class Fault { Vanish, Silent };

const Uid kCard = CardUid(0x5A);
constexpr int kDepartment = 12;
constexpr int kIndex = 34;

void Prepare(ActionRig& rig, Flow flow) {
  switch (flow) {
    case Flow::Login: rig.UserPassword("haslo123"); break;
    case Flow::Change: rig.LoggedIn("haslo123"); break;
    case Flow::Program:
      rig.LoggedIn();
      rig.fw.PlaceEmptyCard(kCard.data());
      rig.Edit("PrDepEdit")->setText(QString::number(kDepartment));
      rig.Edit("PrIdxEdit")->setText(QString::number(kIndex));
      rig.W<QCheckBox>("PrIdxChkBx")->setChecked(true);
      rig.W<QProgressBar>("ProgrTagBar")->reset();
      break;
    case Flow::Read:
    case Flow::Erase:
      rig.LoggedIn();
      rig.fw.PlaceProgrammedCard(kCard.data(), kDepartment, kIndex);
      break;
  }
  rig.W<QLabel>("PrUidLbl")->setText(QStringLiteral("earlier"));
}

Action ButtonOf(Flow flow) {
  switch (flow) {
    case Flow::Login:
    case Flow::Change: return Action::Login;
    case Flow::Program: return Action::Program;
    case Flow::Read: return Action::Read;
    case Flow::Erase: return Action::Erase;
  }
  return Action::Login;
}

// The answers of an undisturbed run; in a disturbed one the closer meets fewer windows.
void Arm(ModalCloser& closer, Flow flow) {
  switch (flow) {
    case Flow::Login: closer.AnswerLogin(QStringLiteral("haslo123")).PressOk(); break;
    case Flow::Change:
      closer
          .AnswerChangePassword(QStringLiteral("haslo123"), QStringLiteral("nowe-haslo"),
                                QStringLiteral("nowe-haslo"))
          .PressOk();
      break;
    case Flow::Erase: closer.PressOk(); break;
    case Flow::Program:
    case Flow::Read: break;
  }
}

// What the window claims about the card: done, or nothing.
bool ShownAsProgrammed(const ActionRig& rig) {
  return rig.Text("PrUidLbl") == HexOf(kCard) ||
         rig.W<QProgressBar>("ProgrTagBar")->value() == 20 ||
         rig.Text("PrIdxEdit") != QString::number(kIndex);
}

// Empty when the run ended as it must; otherwise what went wrong.
QString Problems(const ActionRig& rig, const ModalCloser& closer, Flow flow) {
  QStringList problems;
  const QStringList seen = Seen(closer);
  if (seen.isEmpty() || seen.last() != Error(kNoConnection)) {
    problems << QStringLiteral("messages: ") + seen.join(QStringLiteral(" | "));
  }
  if (rig.Text("PrgrLbl") != QLatin1String(kNoProgrammer)) {
    problems << QStringLiteral("panel: ") + rig.Text("PrgrLbl");
  }
  if (rig.Open()) problems << QStringLiteral("still open");
  if (flow == Flow::Program) {
    const bool holds = rig.fw.CardNumbers() == std::make_pair(kDepartment, kIndex);
    if (ShownAsProgrammed(rig) && !holds) problems << QStringLiteral("shown as programmed");
    if (ShownAsProgrammed(rig)) problems << QStringLiteral("success shown after a failure");
  }
  if (flow == Flow::Read && !rig.Text("RdDepEdit").isEmpty()) {
    problems << QStringLiteral("numbers shown after a failure");
  }
  if (flow == Flow::Erase && rig.Text("PrUidLbl") != QLatin1String("earlier")) {
    problems << QStringLiteral("erased UID shown after a failure");
  }
  return problems.join(QStringLiteral("; "));
}

}  // namespace

Q_DECLARE_METATYPE(Flow)
Q_DECLARE_METATYPE(Fault)

class FaultSweepTest : public QObject {
  Q_OBJECT

 private slots:
  void sweep_data() {
    QTest::addColumn<Flow>("flow");
    QTest::addColumn<Fault>("fault");
    const std::pair<const char*, Flow> flows[] = {{"login", Flow::Login},
                                                  {"change", Flow::Change},
                                                  {"program", Flow::Program},
                                                  {"read", Flow::Read},
                                                  {"erase", Flow::Erase}};
    for (const auto& [name, flow] : flows) {
      QTest::addRow("%s, vanishing", name) << flow << Fault::Vanish;
      QTest::addRow("%s, falling silent", name) << flow << Fault::Silent;
    }
  }

  void sweep() {
    QFETCH(Flow, flow);
    QFETCH(Fault, fault);

    // The undisturbed run: its transfers and requests, and proof that it does succeed.
    uint64_t transfers = 0;
    uint64_t requests = 0;
    {
      ActionRig rig;
      Prepare(rig, flow);
      const uint64_t transfersBefore = rig.bus.TransferCount(rig.device);
      const uint64_t requestsBefore = rig.fw.OutTransfers();
      ModalCloser closer;
      Arm(closer, flow);
      rig.Press(ButtonOf(flow));
      transfers = rig.bus.TransferCount(rig.device) - transfersBefore;
      requests = rig.fw.OutTransfers() - requestsBefore;
      QVERIFY(rig.Open());
      QCOMPARE(closer.Unanswered(), 0);
      for (const QString& line : Seen(closer)) QVERIFY2(!line.startsWith("E: "), qPrintable(line));
      if (flow == Flow::Program) QVERIFY(ShownAsProgrammed(rig));
    }
    const uint64_t runs = fault == Fault::Vanish ? transfers : requests;
    QVERIFY(runs >= 3);
    qInfo("%llu runs", static_cast<unsigned long long>(runs));

    for (uint64_t k = 0; k < runs; ++k) {
      ActionRig rig;
      Prepare(rig, flow);
      if (fault == Fault::Vanish) {
        rig.bus.InjectFault(rig.device, rig.bus.TransferCount(rig.device) + k, kp::Fault::Vanish);
      } else {
        auto count = std::make_shared<uint64_t>(0);
        rig.WrapFirmware(
            [&rig, count, k](
                uint8_t, std::span<const uint8_t>) -> std::optional<std::vector<kp::InTransfer>> {
              if ((*count)++ == k) rig.fw.StaySilent(true);
              return std::nullopt;
            });
      }
      {
        ModalCloser closer;
        Arm(closer, flow);
        rig.Press(ButtonOf(flow));
        const QString problems = Problems(rig, closer, flow);
        QVERIFY2(problems.isEmpty(),
                 qPrintable(QStringLiteral("fault at %1: %2").arg(k).arg(problems)));
      }
      // The programmer back (plugged in again, or talking again): the next tick links it.
      if (fault == Fault::Vanish) {
        QVERIFY2(!rig.bus.IsPlugged(rig.device), qPrintable(QString::number(k)));
        rig.device = rig.fw.PlugInto(rig.bus);
      } else {
        rig.fw.StaySilent(false);
      }
      rig.Tick();
      QVERIFY2(rig.Open(), qPrintable(QStringLiteral("not linked again after %1").arg(k)));
      QVERIFY(!rig.fw.LoggedIn());  // linking logs out
    }
  }
};

QTEST_MAIN(FaultSweepTest)
#include "FaultSweepTest.moc"
