#include "install/ini_file.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

bool isUtf8(const QByteArray &bytes)
{
    for (int i = 0; i < bytes.size();) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        const int extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : -1;
        if (extra < 0 || i + extra > bytes.size() - 1)
            return false;
        for (int k = 1; k <= extra; ++k)
            if ((static_cast<unsigned char>(bytes[i + k]) >> 6) != 0x2)
                return false;
        i += extra + 1;
    }
    return true;
}

QString withoutLineEnd(const QString &line)
{
    QString s = line;
    while (s.endsWith(QLatin1Char('\n')) || s.endsWith(QLatin1Char('\r')))
        s.chop(1);
    return s;
}

bool isSection(const QString &line, QString *name = nullptr)
{
    const QString t = line.trimmed();
    if (!t.startsWith(QLatin1Char('[')) || !t.contains(QLatin1Char(']')))
        return false;
    if (name)
        *name = t.mid(1, t.indexOf(QLatin1Char(']')) - 1).trimmed();
    return true;
}

QString keyOf(const QString &line)
{
    const QString t = line.trimmed();
    if (t.startsWith(QLatin1Char(';')) || t.startsWith(QLatin1Char('#')) || !t.contains(QLatin1Char('=')))
        return QString();
    return t.left(t.indexOf(QLatin1Char('='))).trimmed();
}


// UTF-16 of either order, with or without its BOM, told from where the NUL
// bytes of mostly-ASCII text fall; Bytes when there are none.
bool detectEncoding(const QByteArray &bytes, IniEncoding *encoding, int *bomSize)
{
    *bomSize = 0;
    if (bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF")) {
        *encoding = bytes.startsWith("\xFF") ? IniEncoding::Utf16Le : IniEncoding::Utf16Be;
        *bomSize = 2;
        return bytes.size() % 2 == 0;
    }
    int nulEven = 0, nulOdd = 0;
    for (int i = 0; i < bytes.size(); ++i)
        if (bytes[i] == '\0')
            ++(i % 2 ? nulOdd : nulEven);
    *encoding = IniEncoding::Bytes;
    if (nulEven + nulOdd == 0)
        return true;
    // A stray NUL in 8-bit text, or an odd length: not certain, not touched.
    const int units = bytes.size() / 2;
    if (bytes.size() % 2 || (nulEven && nulOdd) || qMax(nulEven, nulOdd) * 4 < units)
        return false;
    *encoding = nulOdd ? IniEncoding::Utf16Le : IniEncoding::Utf16Be;
    return true;
}

bool validUtf16(const QString &text)
{
    for (int i = 0; i < text.size(); ++i) {
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        else if (text[i].isSurrogate())
            return false;
    }
    return true;
}

} // namespace

bool IniFile::load(const QString &filePath)
{
    path = filePath;
    QFile f(path);
    return f.open(QIODevice::ReadOnly) && parse(f.readAll());
}

bool IniFile::parse(const QByteArray &bytes)
{
    QString text;
    int bomSize = 0;
    const bool certain = detectEncoding(bytes, &encoding, &bomSize);
    if (encoding != Encoding::Bytes) {
        prefix = bytes.left(bomSize);
        const int low = encoding == Encoding::Utf16Le ? 0 : 1;
        for (int i = bomSize; i + 1 < bytes.size(); i += 2)
            text += QChar(ushort(uchar(bytes[i + low]) | (uchar(bytes[i + 1 - low]) << 8)));
    } else {
        // One character per byte: whatever the code page, nothing is re-encoded.
        prefix = bytes.startsWith("\xEF\xBB\xBF") ? bytes.left(3) : QByteArray();
        utf8 = !prefix.isEmpty() || isUtf8(bytes);
        text = QString::fromLatin1(bytes.mid(prefix.size()));
    }
    if (!certain || (encoding != Encoding::Bytes && !validUtf16(text))
        || (prefix.startsWith("\xEF") && !isUtf8(bytes.mid(3)))) {
        qWarning() << "配置文件编码无法确定，保持原样:" << path;
        return false;
    }
    newline = text.contains(QLatin1String("\r\n")) ? QStringLiteral("\r\n") : QStringLiteral("\n");
    lines.clear();
    for (int start = 0; start < text.size();) {
        const int end = text.indexOf(QLatin1Char('\n'), start);
        const int next = end < 0 ? text.size() : end + 1;
        lines << text.mid(start, next - start);
        start = next;
    }
    return true;
}

QString IniFile::encoded(const QString &text) const
{
    if (encoding != Encoding::Bytes)
        return text;
    return QString::fromLatin1(utf8 ? text.toUtf8() : text.toLocal8Bit());
}

QString IniFile::decoded(const QString &text) const
{
    if (encoding != Encoding::Bytes)
        return text;
    return utf8 ? QString::fromUtf8(text.toLatin1()) : QString::fromLocal8Bit(text.toLatin1());
}

int IniFile::sectionStart(const QString &section) const
{
    QString name;
    for (int i = 0; i < lines.size(); ++i)
        if (isSection(lines[i], &name) && decoded(name).compare(section, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

int IniFile::keyLine(int start, const QString &key) const
{
    for (int i = start + 1; i < lines.size() && !isSection(lines[i]); ++i)
        if (decoded(keyOf(lines[i])).compare(key, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

QString IniFile::value(const QString &section, const QString &key) const
{
    const int start = sectionStart(section);
    const int line = start < 0 ? -1 : keyLine(start, key);
    if (line < 0)
        return QString();
    const QString l = withoutLineEnd(lines[line]);
    return decoded(l.mid(l.indexOf(QLatin1Char('=')) + 1).trimmed());
}

bool IniFile::contains(const QString &section, const QString &key) const
{
    const int start = sectionStart(section);
    return start >= 0 && keyLine(start, key) >= 0;
}

QList<QStringList> IniFile::entries() const
{
    QList<QStringList> all;
    QString section;
    for (const QString &line : lines) {
        QString name;
        if (isSection(line, &name))
            section = decoded(name);
        else if (!keyOf(line).isEmpty())
            all << QStringList{section, decoded(keyOf(line)), value(section, decoded(keyOf(line)))};
    }
    return all;
}

void IniFile::setValue(const QString &section, const QString &key, const QString &value)
{
    const auto terminate = [this](int i) {
        if (i >= 0 && !lines[i].endsWith(QLatin1Char('\n')))
            lines[i] += newline;
    };
    int start = sectionStart(section);
    if (start < 0) {
        terminate(lines.size() - 1);
        lines << QLatin1Char('[') + encoded(section) + QLatin1Char(']') + newline;
        start = lines.size() - 1;
    }
    const int line = keyLine(start, key);
    if (line >= 0) {
        const QString &old = lines[line];
        const QString end = old.mid(withoutLineEnd(old).size());
        lines[line] = old.left(old.indexOf(QLatin1Char('=')) + 1) + encoded(value) + end;
        return;
    }
    // After the section's last entry, before the blank lines that part it from the next.
    int after = start;
    for (int i = start + 1; i < lines.size() && !isSection(lines[i]); ++i)
        if (!lines[i].trimmed().isEmpty())
            after = i;
    terminate(after);
    lines.insert(after + 1, encoded(key) + QLatin1Char('=') + encoded(value) + newline);
}

void IniFile::remove(const QString &section, const QString &key)
{
    const int start = sectionStart(section);
    const int line = start < 0 ? -1 : keyLine(start, key);
    if (line >= 0)
        lines.removeAt(line);
}

bool IniFile::save() const
{
    QByteArray bytes = prefix;
    const QString text = lines.join(QString());
    if (encoding != Encoding::Bytes) {
        const bool le = encoding == Encoding::Utf16Le;
        for (const QChar c : text) {
            const char lo = char(c.unicode() & 0xFF), hi = char(c.unicode() >> 8);
            bytes.append(le ? lo : hi).append(le ? hi : lo);
        }
    } else {
        bytes += text.toLatin1();
    }
    QSaveFile f(path);
    // The customer's mode stays (a read-only config.ini is read-only after).
    const QFileInfo old(path);
    // (the *User flags are the caller's access, root's write among them: left out)
    const QFileDevice::Permissions mode = old.isFile() ? old.permissions() & ~QFileDevice::Permissions(0x0700) : QFileDevice::Permissions();
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() && f.commit()
           && (!mode || QFile::setPermissions(path, mode));
}
