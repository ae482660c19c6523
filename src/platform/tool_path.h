#pragma once
#include "platform/platform.h"

#include <QString>

// A path as the platform layer takes it: the file system's bytes on POSIX, UTF-8 on Windows
// (not the ANSI code page, which cannot hold every name).
std::string platformPath(const QString &path);

// The program to start for a Windows tool. On Windows the System directory's.
// Elsewhere our stand-in: found on PATH first, otherwise beside this executable.
QString toolPath(platform::Tool tool);
// Tests only: a tool found in this directory is taken before any other. The
// updater never sets it, and nothing it reads can.
void useToolDirectory(const QString &dir);
