// The yardstick for kpnox-koder.exe's start-up and idle cost: the barest Qt program that pays
// for what the window cannot do without, built with the same Qt. One window of the same
// size, a focused line edit (its cursor blinks), a label and a 250 ms timer, as the window
// polls its programmer every 250 ms.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QWidget window;
  window.setWindowTitle(QStringLiteral("KpNOX baseline"));
  window.setFixedSize(556, 461);
  auto* layout = new QVBoxLayout(&window);
  auto* label = new QLabel(QStringLiteral("Brak Programatora KP-R50"), &window);
  auto* edit = new QLineEdit(&window);
  layout->addWidget(label);
  layout->addWidget(edit);
  layout->addStretch();
  QTimer poll;
  poll.setInterval(250);
  // The same text again: as the window's status, nothing changes, so nothing repaints.
  QObject::connect(&poll, &QTimer::timeout, label, [label] { label->setText(label->text()); });
  poll.start();
  window.show();
  edit->setFocus();
  return QApplication::exec();
}
