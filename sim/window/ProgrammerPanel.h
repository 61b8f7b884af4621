// One programmer in the simulator's control window: plugged in or not, its keys, the user
// password, the login, the card in its field, the tool's latest request, and whether it
// answers (stalled for a while or until told, or late).
#pragma once

#include "sim/rack/SimRack.h"

#include <QGroupBox>
#include <QString>

class QCheckBox;
class QComboBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace kp {

class ProgrammerPanel : public QGroupBox {
 public:
  ProgrammerPanel(SimRack& rack, int index, QWidget* parent = nullptr);

  int Index() const { return index_; }
  // Shows the programmer's state as it is now; leaves what the operator is typing alone.
  void Refresh();

 private:
  void AddStateRows(QGridLayout* grid);
  void AddCardRows(QGridLayout* grid);
  void AddAnswerRows(QGridLayout* grid);
  void AddFaultRows(QGridLayout* grid);
  void ApplyPassword();
  void PlaceCard(CardSetupKind kind);
  void ArmFault();

  SimRack& rack_;
  int index_;
  QCheckBox* pluggedChkBx_;
  QLabel* clientLbl_;
  QLabel* socketLbl_;
  QComboBox* keysCombo_;
  QComboBox* passwordCombo_;
  QLineEdit* passwordEdit_;
  QCheckBox* loggedInChkBx_;
  QLabel* cardLbl_;
  QSpinBox* depSpin_;
  QSpinBox* idxSpin_;
  QLabel* lastLbl_;
  QLabel* pollLbl_;
  QCheckBox* stalledChkBx_;
  QSpinBox* stallSpin_;
  QSpinBox* delaySpin_;
  QComboBox* faultKindCombo_;
  QComboBox* faultCommandCombo_;
  QSpinBox* faultNthSpin_;
  QSpinBox* faultMsSpin_;
  QLabel* faultLbl_;
  // What the password box last showed from the programmer, to tell a change from typing.
  QString shownPassword_;
  int shownPasswordState_ = -1;
};

}  // namespace kp
