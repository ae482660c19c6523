#include "pack/bsdiff.h"

#include "delta/delta.h"

#include <divsufsort.h>

#include <cstring>
#include <vector>

namespace {

qint64 matchLength(const uchar *a, qint64 aSize, const uchar *b, qint64 bSize)
{
    const qint64 n = qMin(aSize, bSize);
    qint64 i = 0;
    while (i < n && a[i] == b[i])
        ++i;
    return i;
}

// The longest match for `next` among the old file's sorted suffixes.
qint64 longestMatch(const std::vector<saidx_t> &sa, const uchar *old, qint64 oldSize, const uchar *next, qint64 nextSize, qint64 *pos)
{
    qint64 st = 0, en = oldSize - 1;
    while (en - st >= 2) {
        const qint64 x = st + (en - st) / 2;
        if (std::memcmp(old + sa[size_t(x)], next, size_t(qMin(oldSize - sa[size_t(x)], nextSize))) < 0)
            st = x;
        else
            en = x;
    }
    const qint64 a = matchLength(old + sa[size_t(st)], oldSize - sa[size_t(st)], next, nextSize);
    const qint64 b = matchLength(old + sa[size_t(en)], oldSize - sa[size_t(en)], next, nextSize);
    *pos = a > b ? sa[size_t(st)] : sa[size_t(en)];
    return qMax(a, b);
}

} // namespace

QByteArray makeBsdiffPatch(const QByteArray &oldBytes, const QByteArray &nextBytes)
{
    const auto *old = reinterpret_cast<const uchar *>(oldBytes.constData());
    const auto *next = reinterpret_cast<const uchar *>(nextBytes.constData());
    const qint64 oldSize = oldBytes.size(), newSize = nextBytes.size();
    QVector<delta::BsdiffRecord> records;
    QByteArray diff, extra;
    if (oldSize == 0) {
        records.append({0, newSize, 0});
        return delta::packBsdiff(records, diff, nextBytes);
    }
    std::vector<saidx_t> sa(static_cast<size_t>(oldSize));
    if (divsufsort(old, sa.data(), saidx_t(oldSize)) != 0)
        return QByteArray();
    diff.reserve(int(newSize));
    // A match is taken when it is longer than what the current offset already
    // gives by 8 bytes; the stretch before it goes as differences as far as
    // they agree mostly, and the rest as extra bytes.
    qint64 scan = 0, len = 0, pos = 0, lastScan = 0, lastPos = 0, lastOffset = 0;
    while (scan < newSize) {
        qint64 oldScore = 0;
        for (qint64 scsc = scan += len; scan < newSize; ++scan) {
            len = longestMatch(sa, old, oldSize, next + scan, newSize - scan, &pos);
            for (; scsc < scan + len; ++scsc)
                if (scsc + lastOffset < oldSize && old[scsc + lastOffset] == next[scsc])
                    ++oldScore;
            if ((len == oldScore && len != 0) || len > oldScore + 8)
                break;
            if (scan + lastOffset < oldSize && old[scan + lastOffset] == next[scan])
                --oldScore;
        }
        if (len == oldScore && scan != newSize)
            continue;
        // How far forward from the last match, and back from this one, the bytes mostly agree.
        qint64 s = 0, best = 0, lenf = 0;
        for (qint64 i = 0; lastScan + i < scan && lastPos + i < oldSize;) {
            if (old[lastPos + i] == next[lastScan + i])
                ++s;
            ++i;
            if (s * 2 - i > best * 2 - lenf) {
                best = s;
                lenf = i;
            }
        }
        qint64 lenb = 0;
        if (scan < newSize) {
            s = best = 0;
            for (qint64 i = 1; scan >= lastScan + i && pos >= i; ++i) {
                if (old[pos - i] == next[scan - i])
                    ++s;
                if (s * 2 - i > best * 2 - lenb) {
                    best = s;
                    lenb = i;
                }
            }
        }
        if (lastScan + lenf > scan - lenb) { // the two overlap: split where most agree
            const qint64 overlap = (lastScan + lenf) - (scan - lenb);
            qint64 lens = 0;
            s = best = 0;
            for (qint64 i = 0; i < overlap; ++i) {
                if (next[lastScan + lenf - overlap + i] == old[lastPos + lenf - overlap + i])
                    ++s;
                if (next[scan - lenb + i] == old[pos - lenb + i])
                    --s;
                if (s > best) {
                    best = s;
                    lens = i + 1;
                }
            }
            lenf += lens - overlap;
            lenb -= lens;
        }
        for (qint64 i = 0; i < lenf; ++i)
            diff.append(char(next[lastScan + i] - old[lastPos + i]));
        const qint64 copy = (scan - lenb) - (lastScan + lenf);
        extra.append(nextBytes.constData() + lastScan + lenf, int(copy));
        records.append({lenf, copy, (pos - lenb) - (lastPos + lenf)});
        lastScan = scan - lenb;
        lastPos = pos - lenb;
        lastOffset = pos - scan;
    }
    return delta::packBsdiff(records, diff, extra);
}
