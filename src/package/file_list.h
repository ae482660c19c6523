#pragma once
// What a full package removes: the files of the installed version's list
// (farwen-files.json, written by the last update) that the package's own list
// lacks. Files on neither list, the customer's own, are never touched.
#include "package/checked_package.h"

#include <QStringList>

// Paths below appDir, each an existing plain file under a safe name and none
// of kept. A package without a list removes only the installed one, which
// would no longer say what is installed.
QStringList droppedFiles(CheckedPackage &package, const QString &appDir, const QStringList &kept);
