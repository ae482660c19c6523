#pragma once
#include "platform/native_path.h"
#include "platform/platform.h"

#include <QString>

// The program to start for a Windows tool. On Windows the System directory's.
// Elsewhere our stand-in: found on PATH first, otherwise beside this executable.
QString toolPath(platform::Tool tool);
// Tests only: a tool found in this directory is taken before any other. The
// updater never sets it, and nothing it reads can.
void useToolDirectory(const QString &dir);
