#include "sim/window/ControlWindow.h"

#include "sim/window/ProgrammerPanel.h"
#include "sim/rack/SimOptions.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTime>
#include <QVBoxLayout>

#include <sstream>

namespace kp {

namespace {

constexpr int kLogLines = 500;

}  // namespace

std::optional<QString> LogTextOf(const std::string& line) {
  std::istringstream in(line);
  std::string what, number, rest;
  in >> what >> number;
  std::getline(in >> std::ws, rest);
  const QString n = QString::fromStdString(number);
  const QString detail = QString::fromStdString(rest);
  if (what == "plugged") return QStringLiteral("Programator %1 podłączony (%2)").arg(n, detail);
  if (what == "unplugged") return QStringLiteral("Programator %1 odłączony").arg(n);
  if (what == "added") return QStringLiteral("Dodano programator %1").arg(n);
  if (what == "removed") return QStringLiteral("Usunięto programator %1").arg(n);
  if (what == "stalled") {
    return detail.isEmpty()
               ? QStringLiteral("Programator %1 przestał odpowiadać").arg(n)
               : QStringLiteral("Programator %1 przestał odpowiadać na %2 ms").arg(n, detail);
  }
  if (what == "resumed") return QStringLiteral("Programator %1 znów odpowiada").arg(n);
  if (what == "delay") {
    return QStringLiteral("Programator %1 odpowiada z opóźnieniem %2 ms").arg(n, detail);
  }
  if (what == "fault") {
    // "fault n fired KIND ...": the operator sees which failure came, and when (the log's clock).
    if (rest.rfind("fired ", 0) == 0) {
      return QStringLiteral("Programator %1: awaria %2").arg(n, detail.mid(6));
    }
    if (rest.rfind("armed ", 0) == 0) {
      return QStringLiteral("Programator %1: awaria czeka (%2)").arg(n, detail.mid(6));
    }
    if (rest == "cleared") return QStringLiteral("Programator %1: awaria rozbrojona").arg(n);
    return std::nullopt;
  }
  if (what == "replay") {
    // The replay's course: what it holds, where it stopped and why, its end.
    if (rest.rfind("loaded: ", 0) == 0) {
      return QStringLiteral("Programator %1 odtwarza zapis (%2)").arg(n, detail.mid(8));
    }
    if (rest.rfind("mismatch ", 0) == 0) {
      return QStringLiteral(
                 "Programator %1: rozkaz niezgodny z zapisem, dalej bez odpowiedzi "
                 "(%2)")
          .arg(n, detail.mid(9));
    }
    if (rest == "finished") {
      return QStringLiteral("Programator %1: zapis odtworzony do końca, dalej bez odpowiedzi")
          .arg(n);
    }
    return std::nullopt;
  }
  if (what == "error") {
    return QStringLiteral("Błąd: %1").arg(QString::fromStdString(line.substr(6)));
  }
  if (what != "client") return std::nullopt;
  if (rest == "connected") return QStringLiteral("Programator %1: program połączony").arg(n);
  if (rest == "busy") {
    // At every link the application checks that no second programmer answers: its second
    // connection is turned away here. Nothing is wrong, and the line must not read so.
    return QStringLiteral(
               "Programator %1: już połączony, drugie połączenie odmówione "
               "(zwykłe sprawdzenie przy łączeniu)")
        .arg(n);
  }
  if (rest == "disconnected") return QStringLiteral("Programator %1: program rozłączony").arg(n);
  if (rest.rfind("dropped", 0) == 0) {
    return QStringLiteral("Programator %1: klient odłączony (%2)")
        .arg(n, QString::fromStdString(rest.substr(7)).trimmed());
  }
  return std::nullopt;
}

ControlWindow::ControlWindow(SimRack& rack, ProgrammerSetup setup, QWidget* parent)
    : QWidget(parent), rack_(rack), setup_(std::move(setup)) {
  setWindowTitle(QStringLiteral("Symulator programatora KP-R50"));
  setObjectName("SimControlWin");
  setWindowIcon(QIcon(QStringLiteral(":/icons/kpr50-sim.svg")));
  // No minimum of its own: the layout's holds, so that no caption is ever squeezed (a window
  // opens at most two thirds of the screen wide).
  auto* column = new QVBoxLayout(this);

  // One programmer's panel at a time, whatever their number: on a 1024 x 768 screen eight
  // side by side would leave each a few words wide.
  panelsTabs_ = new QTabWidget;
  panelsTabs_->setObjectName("ProgrammerTabs");
  panelsTabs_->setTabBarAutoHide(true);
  panelsTabs_->setDocumentMode(true);
  column->addWidget(panelsTabs_);

  auto* buttons = new QHBoxLayout;
  addBtn_ = new QPushButton(QStringLiteral("Dodaj programator"));
  removeBtn_ = new QPushButton(QStringLiteral("Usuń programator"));
  addBtn_->setObjectName("AddProgrammerBtn");
  removeBtn_->setObjectName("RemoveProgrammerBtn");
  buttons->addWidget(addBtn_);
  buttons->addWidget(removeBtn_);
  buttons->addStretch(1);
  column->addLayout(buttons);

  auto* lastCaption = new QLabel(QStringLiteral("Ostatnia operacja programu:"));
  lastLbl_ = new QLabel(QStringLiteral("—"));
  lastLbl_->setObjectName("LastOperationLbl");
  QFont big = lastLbl_->font();
  big.setBold(true);
  big.setPointSizeF(big.pointSizeF() * 1.15);
  lastLbl_->setFont(big);
  lastLbl_->setWordWrap(true);
  column->addWidget(lastCaption);
  column->addWidget(lastLbl_);

  logEdit_ = new QPlainTextEdit;
  logEdit_->setObjectName("EventLog");
  logEdit_->setReadOnly(true);
  logEdit_->setMaximumBlockCount(kLogLines);
  logEdit_->setMinimumHeight(90);  // the window with its log fits a 1024 x 768 screen
  column->addWidget(new QLabel(QStringLiteral("Zdarzenia:")));
  column->addWidget(logEdit_, 1);

  connect(addBtn_, &QPushButton::clicked, this, [this] { rack_.Add(setup_); });
  connect(removeBtn_, &QPushButton::clicked, this, [this] {
    const std::vector<int> indexes = rack_.Indexes();
    if (indexes.size() > 1) rack_.Remove(indexes.back());
  });

  rack_.SetLineSink([this](const std::string& line) { OnLine(line); });
  rack_.SetChangeSink([this](int index) { OnChange(index); });
  rack_.SetRequestSink(
      [this](int index, const sim::RequestSummary& summary) { OnRequest(index, summary); });
  for (int index : rack_.Indexes()) OnChange(index);
  UpdateButtons();
}

ControlWindow::~ControlWindow() {
  rack_.SetLineSink(nullptr);
  rack_.SetChangeSink(nullptr);
  rack_.SetRequestSink(nullptr);
}

void ControlWindow::OnChange(int index) {
  const auto panel = panels_.find(index);
  if (rack_.Find(index) == nullptr) {
    if (panel != panels_.end()) {
      delete panel->second;  // only the window's own button removes programmers, never a panel
      panels_.erase(panel);
      UpdateButtons();
      adjustSize();
    }
    return;
  }
  if (panel != panels_.end()) {
    panel->second->Refresh();
    return;
  }
  auto* created = new ProgrammerPanel(rack_, index, this);
  panels_[index] = created;
  // Panels stand in the order of their numbers.
  int position = 0;
  for (const auto& entry : panels_) {
    if (entry.first == index) break;
    ++position;
  }
  panelsTabs_->insertTab(position, created, QStringLiteral("Programator %1").arg(index));
  panelsTabs_->setCurrentWidget(created);
  UpdateButtons();
}

void ControlWindow::OnLine(const std::string& line) {
  if (const auto text = LogTextOf(line)) Log(*text);
}

void ControlWindow::OnRequest(int index, const sim::RequestSummary& summary) {
  if (IsPollCommand(summary)) return;
  const QString text = QStringLiteral("Programator %1: %2")
                           .arg(index)
                           .arg(QString::fromStdString(sim::RequestSentence(summary)));
  lastLbl_->setText(text);
  Log(text);
}

void ControlWindow::Log(const QString& text) {
  logEdit_->appendPlainText(QTime::currentTime().toString(QStringLiteral("HH:mm:ss ")) + text);
}

void ControlWindow::UpdateButtons() {
  const size_t count = rack_.Indexes().size();
  addBtn_->setEnabled(count < static_cast<size_t>(kMaxSimProgrammers));
  removeBtn_->setEnabled(count > 1);
}

}  // namespace kp
