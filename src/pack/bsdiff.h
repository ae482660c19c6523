#pragma once
#include <QByteArray>

// The bsdiff patch (delta::packBsdiff's blocks) that rebuilds `next` from
// `old`: the old file suffix-sorted, matches grown while most of their bytes
// agree, the rest extra bytes. Holds the old file's suffix array, four bytes
// per byte; empty on failure.
QByteArray makeBsdiffPatch(const QByteArray &old, const QByteArray &next);
