// Password boxes of the dialogs: at most 20 characters, each shown as "*".
#pragma once

class QLineEdit;

inline constexpr int kPasswordMaxLength = 20;

// Qt takes the echo character from the style, so the box gets a style that answers "*".
void MakePasswordBox(QLineEdit* edit);
