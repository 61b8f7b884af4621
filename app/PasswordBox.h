// Password boxes of the dialogs: at most 20 characters, each shown as "*", and never heard
// by assistive technology (AccessibleSecrets.h).
#pragma once

class QLineEdit;

inline constexpr int kPasswordMaxLength = 20;

// Qt takes the echo character from the style, so the box gets a style that answers "*".
void MakePasswordBox(QLineEdit* edit);
