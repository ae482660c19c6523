#pragma once

#include <QString>

#include <string>

// A path as the platform layer takes it: the file system's bytes on POSIX, UTF-8 on Windows
// (not the ANSI code page, which cannot hold every name). Every path handed to platform::
// passes through it.
std::string platformPath(const QString &path);
