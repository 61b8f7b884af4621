// kpr50-sim's control window: a panel per programmer, buttons to add and remove a second
// one, what the tool did last, and a log of the simulator's events (the poll's status
// requests are only counted).
#pragma once

#include "sim/rack/SimRack.h"

#include <QString>
#include <QWidget>

#include <map>
#include <optional>
#include <string>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;

namespace kp {

class ProgrammerPanel;

class ControlWindow : public QWidget {
 public:
  // Takes the rack's sinks over until it is destroyed; new programmers start as `setup`.
  ControlWindow(SimRack& rack, ProgrammerSetup setup, QWidget* parent = nullptr);
  ~ControlWindow() override;

 private:
  void OnChange(int index);
  void OnLine(const std::string& line);
  void OnRequest(int index, const sim::RequestSummary& summary);
  void Log(const QString& text);
  void UpdateButtons();

  SimRack& rack_;
  ProgrammerSetup setup_;
  QTabWidget* panelsTabs_;  // a tab per programmer: the window is one panel wide
  std::map<int, ProgrammerPanel*> panels_;
  QPushButton* addBtn_;
  QPushButton* removeBtn_;
  QLabel* lastLbl_;
  QPlainTextEdit* logEdit_;
};

// The control window's log text for one event line; nothing for the lines it does not log
// (requests are logged from their summaries, state changes show in the panels).
std::optional<QString> LogTextOf(const std::string& line);

}  // namespace kp
