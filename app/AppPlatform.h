// The one place where the application learns where programmers are looked for.
#pragma once

#include "platform/UsbPlatform.h"

// The process-wide platform of the application; it lives until the process ends.
kp::UsbPlatform& ApplicationPlatform();
