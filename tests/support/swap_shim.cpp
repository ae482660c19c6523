// Preloaded into the updater as the attacker's race: at the FARWEN_SWAP_AT-th
// (default: first) file-system call that names FARWEN_SWAP_DIR or a path
// below it, right before the call, that directory (with FARWEN_SWAP_AT: when
// missing or not root's) becomes a link to FARWEN_SWAP_TO; FARWEN_SWAP_TO.swapped then says
// it happened. So every
// check-then-use of a place another user can change is attacked at its use.
// With FARWEN_TRACE (a folder), the updater's file-system changes below
// FARWEN_TRACE_ROOT are written to FARWEN_TRACE/trace in order, one per line
// for the power-cut explorer: C created, W contents (a copy, named by number),
// S data flushed, F directory flushed, Y all flushed, R renamed, L linked,
// U unlinked, M made, X removed directory; a file renamed in from outside is
// C and W. With FARWEN_STOP_AT, the updater stops
// (SIGSTOP) right after it gives a file that name, for the test to kill it there.
#include <cerrno>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>

namespace {

bool swapped = false;
int seen = 0;
thread_local bool inside = false;

template <typename F>
F real(const char *symbol) { return reinterpret_cast<F>(dlsym(RTLD_NEXT, symbol)); }

std::string fdPath(int fd)
{
    char at[4096];
    const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), at, sizeof(at) - 1);
    return n > 0 ? std::string(at, size_t(n)) : std::string();
}

std::string fullPath(int dir, const char *name)
{
    char cwd[4096];
    const std::string base = name[0] == '/' ? std::string() : dir == AT_FDCWD ? std::string(getcwd(cwd, sizeof(cwd)) ? cwd : "") : fdPath(dir);
    std::string path = name[0] == '/' ? std::string(name) : base + "/" + name;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// The trace, of what happens below the root (the product's stand-ins write nothing there).
std::mutex traceLock;
bool written[65536], synced[65536];
int blobs = 0;

bool traced(const std::string &path)
{
    const char *root = std::getenv("FARWEN_TRACE_ROOT");
    return std::getenv("FARWEN_TRACE") && root && path.compare(0, std::strlen(root), root) == 0;
}

void note(const std::string &line)
{
    std::ofstream(std::string(std::getenv("FARWEN_TRACE")) + "/trace", std::ios::app) << line << '\n';
}

// The file's contents now, kept beside the trace.
void contents(int fd, const std::string &path)
{
    std::ofstream(std::string(std::getenv("FARWEN_TRACE")) + "/" + std::to_string(++blobs), std::ios::binary)
        << std::ifstream("/proc/self/fd/" + std::to_string(fd), std::ios::binary).rdbuf();
    note("W\t" + path + "\t" + std::to_string(blobs));
}

void before(int dir, const char *name)
{
    const char *place = std::getenv("FARWEN_SWAP_DIR"), *victim = std::getenv("FARWEN_SWAP_TO");
    if (swapped || inside || !place || !victim || !name)
        return;
    inside = true;
    const std::string path = fullPath(dir, name);
    const std::string target = place;
    const char *at = std::getenv("FARWEN_SWAP_AT");
    if ((path == target || path.compare(0, target.size() + 1, target + "/") == 0) && ++seen == (at ? std::atoi(at) : 1)) {
        // Counted calls play by another user's rights: plant the name, or
        // move their own; the first call's swap may move anything.
        struct stat st;
        const bool theirs = lstat(place, &st) != 0 ? errno == ENOENT
                                                   : (!at || st.st_uid != 0) && rename(place, (target + "x").c_str()) == 0;
        swapped = theirs && symlink(victim, place) == 0;
        if (swapped) // for the test to see that the swap took place
            close(creat((std::string(victim) + ".swapped").c_str(), 0644));
    }
    inside = false;
}

int mode(int flags, va_list args)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, int) : 0;
}

// Each call forwarded after the race's swap; what it changed traced after it.
#define FORWARD(type, name, params, args, dir, path, trace)                                                                   \
    extern "C" type name params                                                                                               \
    {                                                                                                                          \
        before(dir, path);                                                                                                     \
        const type result = real<type(*) params>(#name) args;                                                                  \
        if (result == 0)                                                                                                       \
            trace;                                                                                                             \
        return result;                                                                                                         \
    }

void stopAt(const std::string &path)
{
    const char *stop = std::getenv("FARWEN_STOP_AT");
    if (stop && path == stop)
        raise(SIGSTOP);
}

void traceOpen(int fd, int dir, const char *p, int flags, bool existed)
{
    const std::string path = fullPath(dir, p);
    if (fd >= 0 && (flags & O_CREAT) && !existed)
        stopAt(path);
    if (fd >= 0 && fd < 65536 && (flags & O_ACCMODE) != O_RDONLY && traced(path)) {
        std::lock_guard<std::mutex> lock(traceLock);
        written[fd] = true;
        synced[fd] = false;
        if ((flags & O_TMPFILE) != O_TMPFILE && !existed)
            note("C\t" + path);
    }
}

void trace(const char *op, int dir, const char *p, int dir2 = AT_FDCWD, const char *q = nullptr)
{
    const std::string path = fullPath(dir, p), path2 = q ? fullPath(dir2, q) : std::string();
    if (traced(path) || (q && traced(path2))) {
        std::lock_guard<std::mutex> lock(traceLock);
        const int in = q && *op == 'R' && !traced(path) ? real<int (*)(const char *, int, ...)>("open")(path2.c_str(), O_RDONLY | O_CLOEXEC) : -1;
        if (in < 0) {
            note(std::string(op) + "\t" + path + (q ? "\t" + path2 : std::string()));
            return;
        }
        note("C\t" + path2); // moved in from outside: a new file, its data not flushed there
        contents(in, path2);
        real<int (*)(int)>("close")(in);
    }
}

// A flush or the last close of a file written: its contents, then S for a flush.
void flushed(int fd, bool flush)
{
    struct stat st;
    const std::string path = std::getenv("FARWEN_TRACE") ? fdPath(fd) : std::string();
    if (fd < 0 || fd >= 65536 || !traced(path) || fstat(fd, &st) != 0)
        return;
    std::lock_guard<std::mutex> lock(traceLock);
    if (S_ISDIR(st.st_mode) && flush)
        note("F\t" + path);
    else if (S_ISREG(st.st_mode) && written[fd] && st.st_nlink == 0) // not linked yet
        synced[fd] = synced[fd] || flush;
    else if (S_ISREG(st.st_mode) && (written[fd] || flush)) {
        contents(fd, path);
        if (flush)
            note("S\t" + path);
    }
}

} // namespace

#define FORWARD_OPEN(name, params, args, dir, path, last)                                                                     \
    extern "C" int name params                                                                                                \
    {                                                                                                                          \
        va_list list;                                                                                                          \
        va_start(list, last);                                                                                                  \
        const int m = mode(flags, list);                                                                                       \
        va_end(list);                                                                                                          \
        before(dir, path);                                                                                                     \
        struct stat st;                                                                                                        \
        const bool existed = (flags & O_CREAT) && fstatat(dir, path, &st, AT_SYMLINK_NOFOLLOW) == 0;                           \
        const int fd = real<int (*)(...)>(#name) args;                                                                         \
        traceOpen(fd, dir, path, flags, existed);                                                                              \
        return fd;                                                                                                             \
    }

FORWARD_OPEN(open, (const char *p, int flags, ...), (p, flags, m), AT_FDCWD, p, flags)
FORWARD_OPEN(open64, (const char *p, int flags, ...), (p, flags, m), AT_FDCWD, p, flags)
FORWARD_OPEN(openat, (int d, const char *p, int flags, ...), (d, p, flags, m), d, p, flags)
FORWARD_OPEN(openat64, (int d, const char *p, int flags, ...), (d, p, flags, m), d, p, flags)
FORWARD(int, unlink, (const char *p), (p), AT_FDCWD, p, trace("U", AT_FDCWD, p))
FORWARD(int, unlinkat, (int d, const char *p, int f), (d, p, f), d, p, trace(f & AT_REMOVEDIR ? "X" : "U", d, p))
FORWARD(int, rmdir, (const char *p), (p), AT_FDCWD, p, trace("X", AT_FDCWD, p))
FORWARD(int, mkdir, (const char *p, mode_t m), (p, m), AT_FDCWD, p, trace("M", AT_FDCWD, p))
FORWARD(int, mkdirat, (int d, const char *p, mode_t m), (d, p, m), d, p, trace("M", d, p))
FORWARD(int, chmod, (const char *p, mode_t m), (p, m), AT_FDCWD, p, (void)0)
FORWARD(int, fchmodat, (int d, const char *p, mode_t m, int f), (d, p, m, f), d, p, (void)0)
FORWARD(int, link, (const char *p, const char *q), (p, q), AT_FDCWD, (before(AT_FDCWD, q), p), trace("L", AT_FDCWD, p, AT_FDCWD, q))
FORWARD(int, rename, (const char *p, const char *q), (p, q), AT_FDCWD, (before(AT_FDCWD, q), p), trace("R", AT_FDCWD, p, AT_FDCWD, q))
FORWARD(int, renameat, (int d, const char *p, int e, const char *q), (d, p, e, q), d, (before(e, q), p), trace("R", d, p, e, q))
FORWARD(int, renameat2, (int d, const char *p, int e, const char *q, unsigned f), (d, p, e, q, f), d, (before(e, q), p), trace("R", d, p, e, q))
FORWARD(int, lsetxattr, (const char *p, const char *n, const void *v, size_t s, int f), (p, n, v, s, f), AT_FDCWD, p, (void)0)
FORWARD(int, fsync, (int fd), (fd), AT_FDCWD, nullptr, flushed(fd, true))
FORWARD(int, fdatasync, (int fd), (fd), AT_FDCWD, nullptr, flushed(fd, true))
extern "C" int syncfs(int fd) // with FARWEN_SYNCFS_FAILS set, a file system that cannot
{
    if (std::getenv("FARWEN_SYNCFS_FAILS") && *std::getenv("FARWEN_SYNCFS_FAILS"))
        return errno = EIO, -1;
    const int result = real<int (*)(int)>("syncfs")(fd);
    if (result == 0)
        trace("Y", fd, "");
    return result;
}

extern "C" int close(int fd)
{
    flushed(fd, false);
    if (fd >= 0 && fd < 65536)
        written[fd] = false;
    return real<int (*)(int)>("close")(fd);
}

// An unnamed file (O_TMPFILE) given its name: created there with its contents.
extern "C" int linkat(int d, const char *p, int e, const char *q, int f)
{
    before(e, q);
    const int result = real<int (*)(int, const char *, int, const char *, int)>("linkat")(d, p, e, q, f);
    const std::string from = fullPath(d, p), to = fullPath(e, q);
    if (result == 0)
        stopAt(to);
    const int fd = (f & AT_EMPTY_PATH) && !*p ? d : from.compare(0, 14, "/proc/self/fd/") == 0 ? std::atoi(from.c_str() + 14) : -1;
    if (result == 0 && fd >= 0 && fd < 65536 && traced(to)) {
        std::lock_guard<std::mutex> lock(traceLock);
        note("C\t" + to);
        contents(fd, to);
        if (synced[fd])
            note("S\t" + to);
        written[fd] = false; // named now: its contents are noted
    }
    return result;
}
