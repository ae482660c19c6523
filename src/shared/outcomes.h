#pragma once
// Every way a run ends, in one table: the engine's final message, how the
// window shows it and the code the run record gives the product. Everyone
// looks a row up by its outcome; nobody reads an outcome back from a text.
#include <QMetaType>
#include <QString>

enum class Outcome {
    Installed,
    NoProgram,
    DiskSpace,
    SaveFailed,
    DownloadFailed,
    Integrity,
    ProcessesRunning,
    BackupFailed,
    Restored,
    Critical,
};

namespace outcomes {

// The window's presentation: the download may be retried; the old version is
// in place; the installation needs the website.
enum class Shown { Success, Retry, Restored, Critical };

struct Row
{
    Outcome outcome;
    const char *message; // the engine's text (a download failure's ends with its error)
    const char *reason; // last-result.json's "reason"
    Shown shown;
};

const Row &row(Outcome outcome);
// The final message, with what the network said for a failed download.
QString message(Outcome outcome, const QString &detail = QString());

} // namespace outcomes

Q_DECLARE_METATYPE(Outcome)
