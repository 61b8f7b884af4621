// Start-up pieces: the application's platform, and the application object's display of an
// exception that leaves an event handler. Runs under a KoderApplication, as the program does.
#include "app/AppPlatform.h"
#include "app/KoderApplication.h"
#include "ModalCloser.h"
#include "platform/NullPlatform.h"
#include "link/WUsbErr.h"
#include "programmer/KpR50.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QTest>

#include <stdexcept>

namespace {

// A receiver whose handler throws whatever it is told to.
class Thrower : public QObject {
 public:
  std::function<void()> toThrow;
  bool event(QEvent* e) override {
    if (e->type() == QEvent::User) toThrow();
    return QObject::event(e);
  }
};

}  // namespace

class StartupTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QGuiApplication::setApplicationDisplayName(QString()); }

  void cleanup() {
    for (QWidget* widget : QApplication::topLevelWidgets()) QVERIFY(!widget->isVisible());
  }

  // One platform for the process, with no programmer on it.
  void applicationPlatformHasNoDevices() {
    kp::UsbPlatform& platform = ApplicationPlatform();
    QCOMPARE(&ApplicationPlatform(), &platform);
    kp::KpR50 programmer(platform, &kp::kKpR50InterfaceGuid, kp::traceSink);
    QVERIFY(!programmer.Link());
    QCOMPARE(programmer.winUsbHandle, kp::kInvalidHandle);
  }

  // The progress animation and the poll suspension rely on a sleep that really waits.
  void nullPlatformSleepWaits() {
    kp::NullPlatform platform;
    QElapsedTimer clock;
    clock.start();
    platform.Sleep(30);
    QVERIFY(clock.elapsed() >= 30);
  }

  void exceptionText_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("text");
    const kp::WUsbErr noReply{kp::wusb::kNoReply, 'M'};
    QTest::newRow("link error") << 0 << QString::fromStdString(kp::FormatWUsbErr(noReply));
    QTest::newRow("standard exception") << 1 << "brak pamięci";
    QTest::newRow("anything else") << 2 << "Unknown exception.";
  }

  void exceptionText() {
    QFETCH(int, kind);
    QFETCH(QString, text);
    std::exception_ptr error;
    if (kind == 0) error = std::make_exception_ptr(kp::WUsbErr{kp::wusb::kNoReply, 'M'});
    if (kind == 1) error = std::make_exception_ptr(std::runtime_error("brak pamięci"));
    if (kind == 2) error = std::make_exception_ptr(42);
    QCOMPARE(KoderApplication::ExceptionText(error), text);
  }

  // An exception out of an event handler is shown in an error box and the loop goes on.
  void handlerExceptionIsShown() {
    Thrower thrower;
    int thrown = 0;
    thrower.toThrow = [&thrown] {
      ++thrown;
      throw std::runtime_error("awaria");
    };
    kp::test::ModalCloser closer;
    closer.PressOk().PressOk();
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QTRY_COMPARE(closer.Records().size(), 2);
    QCOMPARE(thrown, 2);
    const kp::test::ModalRecord& box = closer.Records()[0];
    QCOMPARE(box.className, QStringLiteral("QMessageBox"));
    QCOMPARE(box.title, QString());
    QCOMPARE(box.text, QStringLiteral("awaria"));
    QCOMPARE(box.icon, QMessageBox::Critical);
  }
};

int main(int argc, char* argv[]) {
  KoderApplication application(argc, argv);
  StartupTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "StartupTest.moc"
