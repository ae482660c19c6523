// Preloaded into the updater as the attacker's race: at the FARWEN_SWAP_AT-th
// (default: first) file-system call that names FARWEN_SWAP_DIR or a path
// below it, right before the call, that directory (with FARWEN_SWAP_AT: when
// missing or not root's) becomes a link to FARWEN_SWAP_TO; FARWEN_SWAP_TO.swapped then says
// it happened. So every
// check-then-use of a place another user can change is attacked at its use.
// With FARWEN_FSYNC_LOG, what is fsync'd (the updater's directories) is named there.
#include <cerrno>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
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

void before(int dir, const char *name)
{
    const char *place = std::getenv("FARWEN_SWAP_DIR"), *victim = std::getenv("FARWEN_SWAP_TO");
    if (swapped || inside || !place || !victim || !name)
        return;
    inside = true;
    char cwd[4096];
    const std::string base = name[0] == '/' ? std::string() : dir == AT_FDCWD ? std::string(getcwd(cwd, sizeof(cwd)) ? cwd : "") : fdPath(dir);
    std::string path = name[0] == '/' ? std::string(name) : base + "/" + name;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
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

} // namespace

#define FORWARD(type, name, params, args, dir, path)                                                                          \
    extern "C" type name params                                                                                               \
    {                                                                                                                          \
        before(dir, path);                                                                                                     \
        return real<type(*) params>(#name) args;                                                                               \
    }

#define FORWARD_OPEN(name, params, args, dir, path, last)                                                                     \
    extern "C" int name params                                                                                                \
    {                                                                                                                          \
        va_list list;                                                                                                          \
        va_start(list, last);                                                                                                  \
        const int m = mode(flags, list);                                                                                       \
        va_end(list);                                                                                                          \
        before(dir, path);                                                                                                     \
        return real<int (*)(...)>(#name) args;                                                                                 \
    }

FORWARD_OPEN(open, (const char *p, int flags, ...), (p, flags, m), AT_FDCWD, p, flags)
FORWARD_OPEN(open64, (const char *p, int flags, ...), (p, flags, m), AT_FDCWD, p, flags)
FORWARD_OPEN(openat, (int d, const char *p, int flags, ...), (d, p, flags, m), d, p, flags)
FORWARD_OPEN(openat64, (int d, const char *p, int flags, ...), (d, p, flags, m), d, p, flags)
FORWARD(int, unlink, (const char *p), (p), AT_FDCWD, p)
FORWARD(int, unlinkat, (int d, const char *p, int f), (d, p, f), d, p)
FORWARD(int, rmdir, (const char *p), (p), AT_FDCWD, p)
FORWARD(int, mkdir, (const char *p, mode_t m), (p, m), AT_FDCWD, p)
FORWARD(int, mkdirat, (int d, const char *p, mode_t m), (d, p, m), d, p)
FORWARD(int, chmod, (const char *p, mode_t m), (p, m), AT_FDCWD, p)
FORWARD(int, fchmodat, (int d, const char *p, mode_t m, int f), (d, p, m, f), d, p)
FORWARD(int, link, (const char *p, const char *q), (p, q), AT_FDCWD, (before(AT_FDCWD, q), p))
FORWARD(int, rename, (const char *p, const char *q), (p, q), AT_FDCWD, (before(AT_FDCWD, q), p))
FORWARD(int, renameat, (int d, const char *p, int e, const char *q), (d, p, e, q), d, (before(e, q), p))
FORWARD(int, renameat2, (int d, const char *p, int e, const char *q, unsigned f), (d, p, e, q, f), d, (before(e, q), p))
FORWARD(int, lsetxattr, (const char *p, const char *n, const void *v, size_t s, int f), (p, n, v, s, f), AT_FDCWD, p)

extern "C" int fsync(int fd)
{
    const std::string at = fdPath(fd);
    const int log = std::getenv("FARWEN_FSYNC_LOG") && !at.empty() ? real<int (*)(const char *, int, ...)>("open")(std::getenv("FARWEN_FSYNC_LOG"), O_WRONLY | O_APPEND | O_CREAT, 0644) : -1;
    if (log >= 0 && write(log, (at + "\n").data(), at.size() + 1) >= 0)
        close(log);
    return real<int (*)(int)>("fsync")(fd);
}
