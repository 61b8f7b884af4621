// The look shared by the three forms: a fixed dialog-style border with the system menu and
// the close button only, and the form's default font.
#pragma once

#include <QFont>
#include <QWidget>

// Fixes the form at its designed size; `kind` is Qt::Window or Qt::Dialog.
inline void MakeFixedDialog(QWidget* form, const QFont& font, Qt::WindowType kind = Qt::Dialog) {
  form->setFont(font);
  form->setFixedSize(form->size());
  form->setWindowFlags(kind | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                       Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                       Qt::WindowCloseButtonHint);
}
