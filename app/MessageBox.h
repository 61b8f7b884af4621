// The modal message box of the forms: one OK button, the text's own line breaks kept.
#pragma once

#include <QMessageBox>
#include <QString>

class QWidget;

// Shows the box and returns when the operator closes it. QMessageBox re-wraps a text wider
// than half the screen at its own width; ours are laid out line by line, so the box is made
// wide enough for the longest line and breaks only where the text does. The busy cursor is
// lifted while the box is open.
void ShowMessageBox(QWidget* owner, QMessageBox::Icon icon, const QString& title,
                    const QString& text);
