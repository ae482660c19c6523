#pragma once
#include "platform/platform.h"

#include <QString>

// The program to start for a Windows tool: found on PATH first (so a test
// double placed there wins), otherwise a stand-in beside this executable.
QString toolPath(platform::Tool tool);
