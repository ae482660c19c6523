#pragma once

#include <QString>

// Versions as people write them: a leading "v" ignored, dotted numbers of
// any length compared as numbers ("2.10" > "2.9", a missing part is 0),
// a pre-release ("-beta", "-rc.1") before its release.
bool readableVersion(const QString &v);
// -1, 0 or 1 as a is older than, the same as or newer than b.
int compareVersions(const QString &a, const QString &b);
