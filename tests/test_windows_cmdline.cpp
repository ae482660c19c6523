// The elevated relaunch passes its arguments as one string; the elevated copy
// must split it back into exactly the same arguments.
#include "platform/windows_cmdline.h"

#include <QtTest>

namespace {

// The documented Windows rules for splitting a command line (after the program
// name) into arguments: blanks and tabs separate arguments outside quotes;
// 2n backslashes + quote give n backslashes and toggle quoting; 2n+1
// backslashes + quote give n backslashes and a literal quote; other
// backslashes are literal.
std::vector<std::wstring> splitWindowsCommandLine(const std::wstring &line)
{
    std::vector<std::wstring> args;
    std::wstring current;
    bool inArg = false, inQuotes = false;
    for (std::size_t i = 0; i < line.size();) {
        const wchar_t c = line[i];
        if ((c == L' ' || c == L'\t') && !inQuotes) {
            if (inArg)
                args.push_back(current);
            current.clear();
            inArg = false;
            ++i;
            continue;
        }
        inArg = true;
        if (c == L'\\') {
            std::size_t n = 0;
            while (i < line.size() && line[i] == L'\\') {
                ++n;
                ++i;
            }
            if (i < line.size() && line[i] == L'"') {
                current.append(n / 2, L'\\');
                if (n % 2 == 1) {
                    current += L'"';
                    ++i;
                }
            } else {
                current.append(n, L'\\');
            }
            continue;
        }
        if (c == L'"') {
            inQuotes = !inQuotes;
            ++i;
            continue;
        }
        current += c;
        ++i;
    }
    if (inArg)
        args.push_back(current);
    return args;
}

QStringList toQt(const std::vector<std::wstring> &v)
{
    QStringList out;
    for (const auto &s : v)
        out << QString::fromStdWString(s);
    return out;
}

} // namespace

class TestWindowsCmdline : public QObject
{
    Q_OBJECT
private slots:
    void roundTrip_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("options") << QStringList{"-i", "C:\\Users\\a\\upd.json", "-m", "manual"};
        QTest::newRow("blanks") << QStringList{"-i", "C:\\Program Files\\Pellamo\\update info.json"};
        QTest::newRow("tab and newline") << QStringList{"a\tb", "c\nd"};
        QTest::newRow("empty argument") << QStringList{"-m", "", "x"};
        QTest::newRow("quotes") << QStringList{"say \"hi\"", "\"", "a\"b"};
        QTest::newRow("trailing backslash plain") << QStringList{"C:\\dir\\"};
        QTest::newRow("trailing backslash with blank") << QStringList{"C:\\my dir\\", "C:\\x y\\\\"};
        QTest::newRow("backslashes before quote") << QStringList{"a\\\"b", "a\\\\\"b c", "\\\\\""};
        QTest::newRow("lone backslashes") << QStringList{"\\", "\\\\", "a\\b c\\d"};
        QTest::newRow("non-ascii") << QStringList{"更新 文件.json", "-m"};
    }
    void roundTrip()
    {
        QFETCH(QStringList, args);
        std::vector<std::wstring> in;
        for (const QString &a : args)
            in.push_back(a.toStdWString());
        const std::wstring line = platform::joinWindowsArguments(in);
        QCOMPARE(toQt(splitWindowsCommandLine(line)), args);
    }

    void exactText()
    {
        // Plain arguments stay unquoted; a trailing backslash inside quotes is doubled.
        QCOMPARE(QString::fromStdWString(platform::joinWindowsArguments({L"-i", L"C:\\a b\\", L"x\"y"})),
                 QStringLiteral("-i \"C:\\a b\\\\\" \"x\\\"y\""));
        QCOMPARE(QString::fromStdWString(platform::joinWindowsArguments({})), QString());
    }
};

QTEST_APPLESS_MAIN(TestWindowsCmdline)
#include "test_windows_cmdline.moc"
