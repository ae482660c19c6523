#pragma once

#include <QString>

// The updater's own directories: the work directory and the backup's.

// A new private directory named base plus a random part; empty on failure.
QString createFreshDirectory(const QString &base);

// Removes a work directory of the updater (a link in its place goes, never
// what it points to); false when anything of it stayed.
bool removeWorkDir(const QString &path, const char *label);
