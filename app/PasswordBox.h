// Password boxes of the dialogs: at most 20 characters, each shown as "*", and never heard
// by assistive technology (AccessibleSecrets.h).
#pragma once

#include "codepage/PasswordCodePage.h"

class QLineEdit;

using kp::kPasswordMaxLength;  // the rule shared with kpnox-cli

// Qt takes the echo character from the style, so the box gets a style that answers "*".
void MakePasswordBox(QLineEdit* edit);
