#pragma once
#include <QByteArray>
#include <QString>
#include <QStringList>

// An INI file edited as text, the way Windows' profile functions read it:
// sections and keys match without regard to case, the first section of a name
// wins. Only the lines of keys that are set or removed change; every other
// byte, the encoding (UTF-8 with or without BOM, UTF-16 of either byte order
// with or without BOM, ANSI) and the line ends stay as they were. A file whose
// encoding is not certain is not loaded, so it is never rewritten.
enum class IniEncoding { Bytes, Utf16Le, Utf16Be };

class IniFile
{
public:
    // False when the file cannot be read or its encoding is not certain.
    bool load(const QString &path);
    // The same for a file's bytes, with no file to save to.
    bool parse(const QByteArray &bytes);
    QString value(const QString &section, const QString &key) const;
    bool contains(const QString &section, const QString &key) const;
    // Every key as "section", "key", "value", in the file's order.
    QList<QStringList> entries() const;
    void setValue(const QString &section, const QString &key, const QString &value);
    void remove(const QString &section, const QString &key);
    // Writes the file through a temporary file and a rename.
    bool save() const;

private:
    using Encoding = IniEncoding;
    // Index of the first line of the first section of that name; -1 if none.
    int sectionStart(const QString &section) const;
    // Index of the key's line within its section; -1 if none.
    int keyLine(int start, const QString &key) const;
    // Text as it is stored in the lines, and back.
    QString encoded(const QString &text) const;
    QString decoded(const QString &text) const;

    QString path;
    Encoding encoding = Encoding::Bytes;
    bool utf8 = true;        // else the ANSI code page
    QByteArray prefix;       // byte-order mark
    QStringList lines;       // each with its own line end, one character per code unit
    QString newline;
};
