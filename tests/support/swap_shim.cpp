// Preloaded into the updater by the hostile-tree rows: right before the
// updater opens FARWEN_SWAP_DIR, that directory becomes a link to
// FARWEN_SWAP_TO, so the swap between its check and its open always happens.
// With FARWEN_FSYNC_LOG, what is fsync'd (the updater's directories) is named there.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <string>

namespace {

bool swapped = false;

void swapIfNamed(int dir, const char *name)
{
    const char *target = std::getenv("FARWEN_SWAP_DIR"), *victim = std::getenv("FARWEN_SWAP_TO");
    if (swapped || !target || !victim || !name)
        return;
    char at[4096];
    const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(dir)).c_str(), at, sizeof(at) - 1);
    if (n <= 0 || std::string(at, size_t(n)) + "/" + name != target)
        return;
    swapped = rename(target, (std::string(target) + "x").c_str()) == 0 && symlink(victim, target) == 0;
    if (swapped) // for the test to see that the swap took place
        close(creat((std::string(victim) + ".swapped").c_str(), 0644));
}

template <typename Open>
int forward(const char *symbol, int dir, const char *name, int flags, va_list args)
{
    swapIfNamed(dir, name);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? mode_t(va_arg(args, int)) : 0;
    return reinterpret_cast<Open>(dlsym(RTLD_NEXT, symbol))(dir, name, flags, mode);
}

} // namespace

extern "C" int openat(int dir, const char *name, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const int fd = forward<int (*)(int, const char *, int, mode_t)>("openat", dir, name, flags, args);
    va_end(args);
    return fd;
}

extern "C" int fsync(int fd)
{
    char at[4096];
    const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), at, sizeof(at) - 1);
    const int log = std::getenv("FARWEN_FSYNC_LOG") && n > 0 ? open(std::getenv("FARWEN_FSYNC_LOG"), O_WRONLY | O_APPEND | O_CREAT, 0644) : -1;
    if (log >= 0 && write(log, (std::string(at, size_t(n)) + "\n").data(), size_t(n) + 1) >= 0)
        close(log);
    return reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"))(fd);
}
