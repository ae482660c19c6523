#include "platform/platform.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStringList>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fts.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

bool isAdministrator()
{
    return geteuid() == 0;
}

bool relaunchElevated(const std::vector<std::string> &arguments)
{
    QStringList args{QCoreApplication::applicationFilePath()};
    for (const std::string &a : arguments)
        args << QString::fromStdString(a);
    return QProcess::startDetached(QStringLiteral("pkexec"), args);
}

void terminateNow(int exitCode)
{
    _exit(exitCode);
}

namespace {

bool copyContents(int in, int out, off_t size)
{
    off_t done = 0;
    bool kernelCopy = true;
    char buffer[1 << 16];
    while (done < size) {
        if (kernelCopy) {
            const ssize_t n = copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(size - done), 0);
            if (n > 0) {
                done += n;
                continue;
            }
            if (n < 0 && (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP)) {
                kernelCopy = false; // this file system pair cannot do it: plain reads and writes
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            return n == 0; // 0: the file shrank meanwhile
        }
        const ssize_t r = read(in, buffer, sizeof(buffer));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return r == 0;
        for (ssize_t w = 0; w < r;) {
            const ssize_t n = write(out, buffer + w, static_cast<size_t>(r - w));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            w += n;
        }
        done += r;
    }
    return true;
}

} // namespace

bool copyFile(const std::string &fromUtf8, const std::string &toUtf8)
{
    const int in = open(fromUtf8.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    struct stat st;
    if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(in);
        return false;
    }
    const int out = open(toUtf8.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777);
    if (out < 0) {
        close(in);
        return false;
    }
    bool ok = copyContents(in, out, st.st_size);
    ok = close(out) == 0 && ok;
    close(in);
    if (!ok)
        unlink(toUtf8.c_str());
    return ok;
}

long long allocatedBytes(const std::string &dirUtf8, const std::string &skipPrefix)
{
    char *roots[] = {const_cast<char *>(dirUtf8.c_str()), nullptr};
    FTS *fts = fts_open(roots, FTS_PHYSICAL | FTS_NOCHDIR, nullptr);
    if (!fts)
        return -1;
    long long total = 0;
    while (FTSENT *e = fts_read(fts)) {
        if (e->fts_level == 1 && !skipPrefix.empty() && std::strncmp(e->fts_name, skipPrefix.c_str(), skipPrefix.size()) == 0)
            fts_set(fts, e, FTS_SKIP);
        else if (e->fts_info == FTS_F)
            total += static_cast<long long>(e->fts_statp->st_blocks) * 512;
    }
    fts_close(fts);
    return total;
}

std::string dataRoot()
{
    const char *env = std::getenv("PROGRAMDATA");
    std::string root = (env && *env) ? env : "/var/tmp";
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root;
}

std::string toolProgram(Tool tool)
{
    switch (tool) {
    case Tool::TaskKill: return "taskkill";
    case Tool::TaskList: return "tasklist";
    case Tool::PowerShell: return "pwsh";
    case Tool::Tar: return "bsdtar";
    }
    return std::string();
}

} // namespace platform
