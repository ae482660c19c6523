#pragma once
#include "platform/platform.h"

#include <QString>

// The program to start for a Windows tool. On Windows the System directory's.
// Elsewhere our stand-in: found on PATH first (so a test double placed there
// wins), otherwise beside this executable.
QString toolPath(platform::Tool tool);
