// What assistive technology hears of a password box. Qt's line edit reports every typed
// character, and every text taken out, in its accessibility text events whatever its echo
// mode; a screen reader speaks them and any client of the accessibility bus can read them.
#pragma once

// Installs, once per process, the accessibility update handler that hands on the text events
// of a line edit that hides its text with the text replaced by as many bullets (none for a
// box that echoes nothing). Every other event passes unchanged. A handler installed earlier
// gets the events after ours; one installed later would see the raw text, so this is called
// before the first password box exists.
void HidePasswordsFromAccessibility();
