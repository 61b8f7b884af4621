// The look shared by the three forms: a fixed dialog-style border with the system menu and
// the close button only, and the form's default font; and the names a screen reader speaks.
#pragma once

#include <QFont>
#include <QLabel>
#include <QWidget>

// Fixes the form at its designed size; `kind` is Qt::Window or Qt::Dialog.
inline void MakeFixedDialog(QWidget* form, const QFont& font, Qt::WindowType kind = Qt::Dialog) {
  form->setFont(font);
  form->setFixedSize(form->size());
  form->setWindowFlags(kind | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                       Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
}

// Each edit box is named after the label that is its buddy, without the colon: a screen
// reader then says "Wydział", not "Wydział:". Buttons speak their captions by themselves.
inline void NameBoxesByTheirLabels(QWidget* form) {
  for (QLabel* label : form->findChildren<QLabel*>()) {
    QWidget* box = label->buddy();
    if (box == nullptr || !box->accessibleName().isEmpty()) continue;
    QString name = label->text().trimmed();
    if (name.endsWith(u':')) name.chop(1);
    box->setAccessibleName(name);
  }
}
