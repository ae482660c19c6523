#pragma once
// The unpack: the checked package (or the rebuilt delta) written over the
// installation, file by file, and checked complete on disk.
#include "package/delta_apply.h"
#include "package/checked_package.h"

#include <functional>

// Opens and checks the package at zipPath unless that is done already.
bool packageReady(CheckedPackage &package, const QString &zipPath, const QString &mainName);

// Writes the package into appDir, then removes the dropped files (paths below
// it); progress(percent) from 80 to 95. The package's config.ini, when the
// installation has one, goes to shippedConfig.
bool extractPackage(CheckedPackage &package, DeltaApply &delta, const QString &zipPath, const QString &appDir,
                    const QString &mainName, const std::function<void(int percent)> &progress, QByteArray *shippedConfig,
                    const QStringList &dropped = QStringList());
