#include "download/versions.h"

#include <QRegularExpression>
#include <QStringList>

namespace {

struct Version
{
    QStringList release, pre;
    bool readable = false;
};

Version parseVersion(QString text)
{
    static const QRegularExpression number(QStringLiteral("^[0-9]+$")), word(QStringLiteral("^[0-9A-Za-z-]+$"));
    Version v;
    if (text.startsWith(QLatin1Char('v')) || text.startsWith(QLatin1Char('V')))
        text.remove(0, 1);
    text = text.section(QLatin1Char('+'), 0, 0); // build metadata does not order
    const int dash = text.indexOf(QLatin1Char('-'));
    v.release = text.left(dash < 0 ? text.size() : dash).split(QLatin1Char('.'));
    if (dash >= 0)
        v.pre = text.mid(dash + 1).split(QLatin1Char('.'));
    for (const QString &part : v.release)
        if (!number.match(part).hasMatch())
            return v;
    for (const QString &part : v.pre)
        if (!word.match(part).hasMatch())
            return v;
    v.readable = true;
    return v;
}

// Digits of any length, as numbers.
int compareNumbers(const QString &a, const QString &b)
{
    const QString x = a.mid(a.indexOf(QRegularExpression(QStringLiteral("[1-9]|$")))),
                  y = b.mid(b.indexOf(QRegularExpression(QStringLiteral("[1-9]|$"))));
    if (x.size() != y.size())
        return x.size() < y.size() ? -1 : 1;
    return x.compare(y) < 0 ? -1 : x.compare(y) > 0 ? 1 : 0;
}

} // namespace

bool readableVersion(const QString &v)
{
    return parseVersion(v).readable;
}

int compareVersions(const QString &a, const QString &b)
{
    const Version x = parseVersion(a), y = parseVersion(b);
    for (int i = 0; i < qMax(x.release.size(), y.release.size()); ++i)
        if (const int c = compareNumbers(x.release.value(i, QStringLiteral("0")), y.release.value(i, QStringLiteral("0"))))
            return c;
    // A release sorts after its pre-releases; between two, part by part,
    // numbers before words, and the shorter first.
    if (x.pre.isEmpty() || y.pre.isEmpty())
        return x.pre.isEmpty() == y.pre.isEmpty() ? 0 : x.pre.isEmpty() ? 1 : -1;
    static const QRegularExpression number(QStringLiteral("^[0-9]+$"));
    for (int i = 0; i < qMin(x.pre.size(), y.pre.size()); ++i) {
        const bool p = number.match(x.pre.at(i)).hasMatch(), q = number.match(y.pre.at(i)).hasMatch();
        const int c = p && q ? compareNumbers(x.pre.at(i), y.pre.at(i)) : p != q ? (p ? -1 : 1) : x.pre.at(i).compare(y.pre.at(i));
        if (c != 0)
            return c < 0 ? -1 : 1;
    }
    return x.pre.size() == y.pre.size() ? 0 : x.pre.size() < y.pre.size() ? -1 : 1;
}
