#include "platform/platform.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStringList>

#include <cerrno>
#include <dirent.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fts.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/xattr.h>
#include <sys/prctl.h>
#include <csignal>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/sha256.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <mutex>
#include <thread>

namespace platform {

void restrictLibrarySearch()
{
}

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

constexpr off_t kEarlyWriteBytes = 8 << 20;

// Exactly size bytes; each piece copied passes through copied (offset, length).
bool copyContents(int in, int out, off_t size, const std::function<void(long long, long long)> &copied = {})
{
    off_t done = 0;
    bool kernelCopy = true;
    char buffer[1 << 16];
    while (done < size) {
        ssize_t n;
        if (kernelCopy) {
            // In pieces, so that what reads the copy back can start before it is all there.
            n = copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(std::min<off_t>(size - done, 8 << 20)), 0);
            if (n < 0 && (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP)) {
                kernelCopy = false; // this file system pair cannot do it: plain reads and writes
                continue;
            }
        } else {
            n = read(in, buffer, static_cast<size_t>(std::min<off_t>(size - done, off_t(sizeof(buffer)))));
            for (ssize_t w = 0; n > 0 && w < n;) {
                const ssize_t put = write(out, buffer + w, static_cast<size_t>(n - w));
                if (put < 0 && errno == EINTR)
                    continue;
                if (put <= 0)
                    return false;
                w += put;
            }
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0 && !copied; // 0: the file shrank meanwhile; a hashed copy must be whole
        if (copied)
            copied(done, n);
        done += n;
    }
    return true;
}

std::string stampOf(const struct stat &st)
{
    return std::to_string(st.st_dev) + ':' + std::to_string(st.st_ino) + ':' + std::to_string(st.st_size) + ':'
           + std::to_string(st.st_mtim.tv_sec) + '.' + std::to_string(st.st_mtim.tv_nsec) + ':'
           + std::to_string(st.st_ctim.tv_sec) + '.' + std::to_string(st.st_ctim.tv_nsec);
}

} // namespace

std::string fileStamp(const std::string &pathUtf8)
{
    struct stat st;
    return lstat(pathUtf8.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? stampOf(st) : std::string();
}

// The copies' pieces, hashed in order by one thread from the source's pages,
// which the copy has just read: reading the copy itself would wait on the pages
// being written, and slow the copy several-fold. A source that changed meanwhile
// fails its copy. The thread is woken for a batch, not for each piece: a
// wake-up across processors costs more on a virtual machine than hashing a
// small file. At most kInFlight pieces (and so open files) wait for it.
struct HashedCopier::State
{
    struct Piece
    {
        int fd;
        std::string key;
        long long offset, length; // length -1 on the last: the copy failed
        bool last;
        std::string sourceStamp, copyStamp; // on the last: the source's before the copy, the copy's after
    };
    static constexpr std::size_t kInFlight = 128, kBatch = 32;
    static constexpr long long kBatchBytes = 8 << 20;
    std::mutex lock;
    std::condition_variable ready, room;
    std::deque<Piece> pieces;
    long long pendingBytes = 0;
    bool stopping = false;
    std::map<std::string, Hashed> done;
    std::thread worker{[this] { run(); }};

    void push(Piece piece)
    {
        std::unique_lock<std::mutex> l(lock);
        room.wait(l, [this] { return pieces.size() < kInFlight; });
        pendingBytes += piece.length > 0 ? piece.length : 0;
        pieces.push_back(std::move(piece));
        if (pieces.size() >= kBatch || pendingBytes >= kBatchBytes)
            ready.notify_one();
    }

    void run()
    {
        std::vector<char> buffer(1 << 20);
        std::unique_ptr<Sha256> hash;
        long long size = 0;
        bool ok = true;
        for (;;) {
            std::deque<Piece> batch;
            {
                std::unique_lock<std::mutex> l(lock);
                ready.wait(l, [this] { return stopping || pieces.size() >= kBatch || pendingBytes >= kBatchBytes; });
                if (pieces.empty())
                    return;
                batch.swap(pieces);
                pendingBytes = 0;
                room.notify_one();
            }
            for (Piece &piece : batch) {
                if (!hash)
                    hash.reset(new Sha256), size = 0, ok = true;
                for (long long at = piece.offset; ok && at < piece.offset + piece.length;) {
                    const ssize_t n = pread(piece.fd, buffer.data(), std::min<long long>(buffer.size(), piece.offset + piece.length - at), at);
                    ok = n > 0 || (n < 0 && errno == EINTR);
                    if (n > 0)
                        hash->add(buffer.data(), std::size_t(n)), at += n, size += n;
                }
                if (!piece.last)
                    continue;
                struct stat st;
                if (ok && piece.length >= 0 && fstat(piece.fd, &st) == 0 && st.st_size == size && stampOf(st) == piece.sourceStamp) {
                    Hashed hashed{size, hash->hex(), piece.copyStamp};
                    std::lock_guard<std::mutex> l(lock);
                    if (!hashed.sha256.empty())
                        done[piece.key] = std::move(hashed);
                }
                close(piece.fd);
                hash.reset();
            }
        }
    }
};

HashedCopier::HashedCopier()
    : state(new State)
{
}

HashedCopier::~HashedCopier()
{
    finish();
}

bool HashedCopier::copy(const std::string &fromUtf8, const std::string &toUtf8, const std::string &key)
{
    const int in = open(fromUtf8.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (in < 0 || fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (in >= 0)
            close(in);
        return false;
    }
    const int out = open(toUtf8.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    const int reader = out < 0 ? -1 : fcntl(in, F_DUPFD_CLOEXEC, 0); // the hashing thread's own
    struct stat copied;
    bool ok = reader >= 0 && fchmod(out, st.st_mode & 0755) == 0
              && copyContents(in, out, st.st_size, [&](long long offset, long long length) {
                     state->push(State::Piece{reader, key, offset, length, false, {}, {}});
                 })
              && fstat(out, &copied) == 0;
    // A large file goes to the disk while the hashes are taken, so the flush has less
    // to wait for. Small ones wait for the flush: one sweep merges them into a few
    // large writes, where a start for each would cost the disk a request per file.
    if (ok && st.st_size >= kEarlyWriteBytes)
        sync_file_range(out, 0, 0, SYNC_FILE_RANGE_WRITE);
    if (out >= 0) {
        ok = close(out) == 0 && ok;
        if (!ok)
            unlink(toUtf8.c_str());
    }
    if (reader >= 0)
        state->push(State::Piece{reader, key, 0, ok ? 0 : -1, true, stampOf(st), ok ? stampOf(copied) : std::string()});
    close(in);
    return ok;
}

std::map<std::string, HashedCopier::Hashed> HashedCopier::finish()
{
    if (state->worker.joinable()) {
        {
            std::lock_guard<std::mutex> l(state->lock);
            state->stopping = true;
        }
        state->ready.notify_all();
        state->worker.join();
    }
    return state->done;
}

bool flushDirectory(const std::string &pathUtf8)
{
    const int dir = open(pathUtf8.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool ok = dir >= 0 && fsync(dir) == 0;
    if (dir >= 0)
        close(dir);
    return ok;
}

bool FlushPlan::flush()
{
    // All the data in one sweep of each file system, then each directory;
    // one handle at a time (a tree may have more folders than a process may open).
    bool ok = true, each = false;
    std::set<dev_t> synced;
    for (const std::string &dir : dirs) {
        const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat st;
        if (fd < 0) {
            ok = ok && (errno == ENOENT || errno == ENOTDIR); // a directory that went: its parent holds that
            continue;
        }
        if (fstat(fd, &st) == 0 && synced.insert(st.st_dev).second && syncfs(fd) != 0)
            each = true;
        ok = fsync(fd) == 0 && ok;
        close(fd);
    }
    for (std::size_t i = 0; each && i < files.size(); ++i) {
        const int fd = open(files[i].c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        ok = (fd >= 0 ? fdatasync(fd) == 0 : errno == ENOENT) && ok;
        if (fd >= 0)
            close(fd);
    }
    files.clear();
    dirs.clear();
    return ok;
}

namespace {

// The last directories opened (a source tree's and a target's, in turn): a
// tree copied file by file opens each directory once, not once per file.
struct OpenedDir
{
    std::string root, parent;
    int fd = -1;
};
thread_local OpenedDir opened[2];
thread_local int nextOpened = 0, keepingOpened = 0;

int openParentWalked(const std::string &root, const std::string &rel, bool make, std::string *leaf);

// The directory holding root/rel, opened part by part without following a
// link; missing parts are made when asked. -1 on failure, *leaf the last part.
int openParentBelow(const std::string &root, const std::string &rel, bool make, std::string *leaf)
{
    const std::string parent = rel.substr(0, rel.rfind('/') == std::string::npos ? 0 : rel.rfind('/'));
    struct stat st;
    for (const OpenedDir &o : opened)
        if (o.fd >= 0 && o.root == root && o.parent == parent && fstat(o.fd, &st) == 0 && st.st_nlink > 0) {
            *leaf = rel.substr(parent.empty() ? 0 : parent.size() + 1); // a directory removed since is walked again
            return leaf->empty() || *leaf == "." || *leaf == ".." ? -1 : fcntl(o.fd, F_DUPFD_CLOEXEC, 0);
        }
    const int dir = openParentWalked(root, rel, make, leaf);
    if (!keepingOpened)
        return dir;
    OpenedDir &o = opened[nextOpened++ % 2];
    if (o.fd >= 0)
        close(o.fd);
    o = OpenedDir{root, parent, dir < 0 ? -1 : fcntl(dir, F_DUPFD_CLOEXEC, 0)};
    return dir;
}

int openParentWalked(const std::string &root, const std::string &rel, bool make, std::string *leaf)
{
    int dir = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    std::size_t at = 0;
    for (std::size_t slash; dir >= 0 && (slash = rel.find('/', at)) != std::string::npos; at = slash + 1) {
        const std::string part = rel.substr(at, slash - at);
        if (part.empty() || part == "." || part == "..") {
            close(dir);
            return -1;
        }
        if (make)
            mkdirat(dir, part.c_str(), 0755);
        const int sub = openat(dir, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(dir);
        dir = sub;
    }
    *leaf = rel.substr(at);
    if (dir >= 0 && (leaf->empty() || *leaf == "." || *leaf == "..")) {
        close(dir);
        return -1;
    }
    return dir;
}

} // namespace

OpenedDirectories::OpenedDirectories()
{
    ++keepingOpened;
}

OpenedDirectories::~OpenedDirectories()
{
    if (--keepingOpened == 0)
        for (OpenedDir &o : opened) {
            if (o.fd >= 0)
                close(o.fd);
            o = OpenedDir();
        }
}

namespace {

// The file at leaf to write over in place: a plain file of ours with no other
// name that only we may write, so nobody else can hold it open for writing or
// reach it another way. Anything else there is removed, and a new file made.
int openForReplacing(int dir, const std::string &leaf)
{
    const int fd = openat(dir, leaf.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid() && !(st.st_mode & 022))
        return fd;
    if (fd >= 0)
        close(fd);
    if (fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode) || unlinkat(dir, leaf.c_str(), 0) != 0)
        return -1;
    return openat(dir, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

} // namespace

bool copyFileBelow(const std::string &fromRootUtf8, const std::string &toRootUtf8, const std::string &relUtf8,
                   Existing existing)
{
    std::string leaf;
    const int from = openParentBelow(fromRootUtf8, relUtf8, false, &leaf);
    if (from < 0)
        return false;
    const int in = openat(from, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    close(from);
    struct stat st;
    if (in < 0 || fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (in >= 0)
            close(in);
        return false;
    }
    const int to = openParentBelow(toRootUtf8, relUtf8, true, &leaf);
    int out = to < 0 ? -1 : openat(to, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    // Written over in place, no inode to allocate and no blocks to free: on ext4
    // a file made right after many were removed costs a search of the inode table.
    if (out < 0 && errno == EEXIST && existing == Existing::Replace)
        out = openForReplacing(to, leaf);
    bool ok = out >= 0 && fchmod(out, st.st_mode & 0755) == 0 && copyContents(in, out, st.st_size)
              && ftruncate(out, lseek(out, 0, SEEK_CUR)) == 0; // what it held past the copy goes
    if (out >= 0) {
        ok = close(out) == 0 && ok;
        if (!ok)
            unlinkat(to, leaf.c_str(), 0);
    }
    if (to >= 0)
        close(to);
    close(in);
    return ok;
}

bool removeFileBelow(const std::string &rootUtf8, const std::string &relUtf8)
{
    std::string leaf;
    const int dir = openParentBelow(rootUtf8, relUtf8, false, &leaf);
    if (dir < 0)
        return false;
    struct stat st;
    const bool removed = fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode)
                         && unlinkat(dir, leaf.c_str(), 0) == 0;
    close(dir);
    return removed;
}

std::string randomSuffix(int length)
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string out;
    unsigned char bytes[64];
    const int n = length < 64 ? length : 64;
    if (getrandom(bytes, static_cast<size_t>(n), 0) != n)
        return std::string(); // no name is better than a guessable one
    for (int i = 0; i < n; ++i)
        out += letters[bytes[i] % 36];
    return out;
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

bool createPrivateDirectory(const std::string &pathUtf8)
{
    return mkdir(pathUtf8.c_str(), 0700) == 0;
}

namespace {

// The variable that names the user who asked, set or not.
const char *requesterVariable()
{
    const char *text = std::getenv("PKEXEC_UID");
    return text && *text ? text : std::getenv("SUDO_UID");
}

// That user's uid, only when the variable is a plain number naming an
// existing user other than root; -1 for none (nothing is theirs).
long long requesterUid()
{
    const char *text = requesterVariable();
    if (!text || !*text || std::strspn(text, "0123456789") != std::strlen(text) || std::strlen(text) > 9)
        return -1;
    const uid_t uid = static_cast<uid_t>(std::strtoul(text, nullptr, 10));
    return uid != 0 && getpwuid(uid) ? static_cast<long long>(uid) : -1;
}

// With no requester, an owner no entry can have: nothing is removed.
uid_t ownerUid(Owner owner)
{
    return owner == Owner::Requester ? static_cast<uid_t>(requesterUid()) : geteuid();
}

// Empties the directory open at dir; each entry is looked at without
// following it, and a directory is entered only if it is still the one seen.
bool removeEntries(int dir, uid_t owner)
{
    DIR *listing = fdopendir(dup(dir));
    if (!listing)
        return false;
    bool all = true;
    while (const dirent *e = readdir(listing)) {
        const char *name = e->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        struct stat seen;
        if (fstatat(dir, name, &seen, AT_SYMLINK_NOFOLLOW) != 0 || seen.st_uid != owner) {
            all = false;
            continue;
        }
        if (!S_ISDIR(seen.st_mode)) {
            all = unlinkat(dir, name, 0) == 0 && all;
            continue;
        }
        const int sub = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat opened;
        if (sub < 0 || fstat(sub, &opened) != 0 || opened.st_dev != seen.st_dev || opened.st_ino != seen.st_ino) {
            if (sub >= 0)
                close(sub);
            all = false;
            continue;
        }
        all = removeEntries(sub, owner) && all;
        close(sub);
        all = unlinkat(dir, name, AT_REMOVEDIR) == 0 && all;
    }
    closedir(listing);
    return all;
}

} // namespace

bool removeTree(const std::string &pathUtf8, Owner owner)
{
    std::string path = pathUtf8;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const std::size_t slash = path.rfind('/');
    const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const int dir = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return errno == ENOENT;
    const uid_t uid = ownerUid(owner);
    struct stat seen;
    bool removed = true;
    if (fstatat(dir, name.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0) {
        removed = errno == ENOENT;
    } else if (seen.st_uid != uid) {
        removed = false;
    } else if (!S_ISDIR(seen.st_mode)) {
        removed = unlinkat(dir, name.c_str(), 0) == 0;
    } else {
        const int sub = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat opened;
        removed = sub >= 0 && fstat(sub, &opened) == 0 && opened.st_ino == seen.st_ino && opened.st_dev == seen.st_dev
                  && removeEntries(sub, uid);
        if (sub >= 0)
            close(sub);
        removed = removed && unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0;
    }
    close(dir);
    return removed;
}

namespace {

// Whether anyone but root and the elevated user may write: the mode's group
// (of a group other than root's) and other bits, and every named user or
// group of the access list (the group bits then show only its mask).
bool othersMayWrite(const std::string &path, const struct stat &st, int fd = -1)
{
    if ((st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && st.st_gid != 0))
        return true;
    unsigned char acl[4 + 8 * 64];
    const ssize_t n = fd >= 0 ? fgetxattr(fd, "system.posix_acl_access", acl, sizeof(acl))
                              : lgetxattr(path.c_str(), "system.posix_acl_access", acl, sizeof(acl));
    if (n < 0)
        return errno == ERANGE; // too long to read: not to be trusted
    for (ssize_t at = 4; at + 8 <= n; at += 8) {
        const unsigned tag = acl[at] | (acl[at + 1] << 8), perm = acl[at + 2] | (acl[at + 3] << 8);
        const uint32_t id = acl[at + 4] | (acl[at + 5] << 8) | (acl[at + 6] << 16) | (uint32_t(acl[at + 7]) << 24);
        const bool namedUser = tag == 0x02 && id != 0 && id != geteuid(), namedGroup = tag == 0x08 && id != 0;
        if ((namedUser || namedGroup) && (perm & 02))
            return true;
    }
    return false;
}

} // namespace

std::string unsafePathTo(const std::string &pathUtf8)
{
    if (pathUtf8.empty() || pathUtf8[0] != '/')
        return "not an absolute path";
    int dir = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat parent, st;
    std::string why, at;
    if (dir < 0 || fstat(dir, &parent) != 0)
        why = "cannot be read";
    for (std::size_t from = 1; why.empty() && from < pathUtf8.size();) {
        std::size_t slash = pathUtf8.find('/', from);
        if (slash == std::string::npos)
            slash = pathUtf8.size();
        const std::string part = pathUtf8.substr(from, slash - from);
        from = slash + 1;
        if (part.empty() || part == ".")
            continue;
        at += "/" + part;
        if (part == ".." || fstatat(dir, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            why = "cannot be read: " + at;
        else if (S_ISLNK(st.st_mode))
            why = "a link on its way: " + at;
        else if (!S_ISDIR(st.st_mode))
            why = "not a directory: " + at;
        else if (st.st_uid != 0 && st.st_uid != geteuid())
            why = "owned by another user: " + at;
        else if (othersMayWrite(std::string(), parent, dir) && !(parent.st_mode & S_ISVTX))
            why = "others may rename it: " + at;
        const int sub = why.empty() ? openat(dir, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
        if (why.empty() && (sub < 0 || fstat(sub, &parent) != 0 || parent.st_ino != st.st_ino))
            why = "cannot be read: " + at;
        close(dir);
        dir = sub;
    }
    if (dir >= 0)
        close(dir);
    return why;
}

std::string unsafeDataRoot()
{
    struct stat st;
    const std::string root = dataRoot();
    if (stat(root.c_str(), &st) != 0)
        return std::string(); // made by the lock, for root alone
    if (!S_ISDIR(st.st_mode))
        return "not a directory";
    // Checked through a link, or in a folder another user may change, it
    // could be swapped for another folder later.
    const std::string chain = unsafePathTo(root);
    if (!chain.empty())
        return chain;
    // Others may write there: only the sticky bit keeps them from renaming
    // or deleting the updater's entries.
    if (othersMayWrite(root, st) && !(st.st_mode & S_ISVTX))
        return "writable by others without the sticky bit";
    if (st.st_uid != 0 && st.st_uid != geteuid())
        return "owned by another user";
    return std::string();
}

std::string untrustedEntry(const std::string &pathUtf8)
{
    struct stat st;
    if (lstat(pathUtf8.c_str(), &st) != 0)
        return "cannot be read";
    if (S_ISLNK(st.st_mode))
        return "a link";
    if (st.st_uid != geteuid())
        return "owned by another user";
    if (othersMayWrite(pathUtf8, st))
        return "writable by others";
    return std::string();
}

bool isLink(const std::string &pathUtf8)
{
    struct stat st;
    return lstat(pathUtf8.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool allowRequester(const std::string &pathUtf8, bool directory)
{
    const long long requester = requesterUid();
    const uint32_t uid = uint32_t(requester);
    struct stat st;
    if (requester < 0 || uid == geteuid())
        return true; // nobody else to let in
    if (lstat(pathUtf8.c_str(), &st) != 0 || S_ISLNK(st.st_mode))
        return false;
    // The owner's bits, the one user's read (a file) or passage (a directory),
    // and nothing for group and others: a raw access list, as the kernel takes it.
    const uint16_t perm = directory ? 1 : 4;
    const struct { uint16_t tag, perm; uint32_t id; } entries[] = {
        {0x01, uint16_t((st.st_mode >> 6) & 7), 0xFFFFFFFFu}, {0x02, perm, uid}, {0x04, 0, 0xFFFFFFFFu},
        {0x10, perm, 0xFFFFFFFFu}, {0x20, 0, 0xFFFFFFFFu}};
    unsigned char acl[4 + sizeof(entries)] = {2, 0, 0, 0};
    for (std::size_t i = 0; i < sizeof(entries) / sizeof(entries[0]); ++i)
        for (int b = 0; b < 8; ++b) {
            const uint64_t packed = entries[i].tag | (uint64_t(entries[i].perm) << 16) | (uint64_t(entries[i].id) << 32);
            acl[4 + 8 * i + b] = static_cast<unsigned char>(packed >> (8 * b));
        }
    return lsetxattr(pathUtf8.c_str(), "system.posix_acl_access", acl, sizeof(acl), 0) == 0;
}

LockResult takeSingleInstanceLock()
{
    static int held = -1;
    if (held >= 0)
        return LockResult::Taken;
    // Close-on-exec: the product started at the end must not inherit the lock.
    // A missing data root is no reason to refuse: make it, parents first.
    const std::string root = dataRoot();
    for (std::size_t at = root.find('/', 1); at != std::string::npos; at = root.find('/', at + 1))
        mkdir(root.substr(0, at).c_str(), 0755);
    mkdir(root.c_str(), 0755);
    // A directory of the elevated user's that nobody else can write in; what
    // someone else put at its name is moved aside, never used or followed.
    // Worked on through the data root's handle, and checked again once made:
    // another user may make that name between the move and the mkdir.
    const int top = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (top < 0)
        return LockResult::Failed;
    const char name[] = "FarwenUpdater";
    int dir = -1;
    struct stat st;
    for (int round = 0; round < 3; ++round) {
        const int made = mkdirat(top, name, 0700) == 0 ? 0 : errno;
        // (Group passage alone is the requester's, granted for the run's logs.)
        const int fd = made == 0 || made == EEXIST ? openat(top, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
        if (fd >= 0 && fstat(fd, &st) == 0 && st.st_uid == geteuid() && !(st.st_mode & 067)
            && !othersMayWrite(std::string(), st, fd)) {
            dir = fd;
            break;
        }
        if (fd >= 0)
            close(fd);
        // A name nobody can have planted ahead: renameat2 never replaces one.
        bool moved = false;
        for (int i = 0; i < 8 && !moved; ++i) {
            const std::string suffix = randomSuffix();
            moved = !suffix.empty()
                    && renameat2(top, name, top, (std::string(name) + ".planted-" + suffix).c_str(), RENAME_NOREPLACE) == 0;
        }
        if (!moved && errno != ENOENT)
            break;
    }
    close(top);
    if (dir < 0)
        return LockResult::Failed;
    const int fd = openat(dir, "updater.lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    close(dir);
    if (fd < 0)
        return LockResult::Failed;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1) {
        close(fd);
        return LockResult::Failed;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return errno == EWOULDBLOCK ? LockResult::HeldByAnother : LockResult::Failed;
    }
    held = fd;
    return LockResult::Taken;
}

bool startAsUser(const std::string &programUtf8, const std::vector<std::string> &arguments,
                 const std::string &workDirUtf8)
{
    // The user behind pkexec or sudo; otherwise the updater's own user.
    const char *uidText = requesterVariable();
    const long long requester = requesterUid();
    const struct passwd *user = requester >= 0 && geteuid() == 0 ? getpwuid(static_cast<uid_t>(requester)) : nullptr;
    if (uidText && *uidText && geteuid() == 0 && !user)
        return false; // never fall back to running it elevated
    const uid_t uid = user ? user->pw_uid : 0;
    const gid_t gid = user ? user->pw_gid : 0;
    const std::string name = user ? user->pw_name : "", home = user ? user->pw_dir : "";

    std::vector<char *> argv{const_cast<char *>(programUtf8.c_str())};
    for (const std::string &a : arguments)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    int status[2];
    if (pipe2(status, O_CLOEXEC) != 0)
        return false;
    const pid_t child = fork();
    if (child == 0) {
        // Detached: the grandchild is adopted by init, so nothing waits on it.
        setsid();
        if (fork() != 0)
            _exit(0);
        int error = 0;
        if (user && (initgroups(name.c_str(), gid) != 0 || setgid(gid) != 0 || setuid(uid) != 0))
            error = errno ? errno : EPERM;
        if (!error && user) {
            setenv("HOME", home.c_str(), 1);
            setenv("USER", name.c_str(), 1);
            setenv("LOGNAME", name.c_str(), 1);
        }
        if (!error && chdir(workDirUtf8.c_str()) != 0)
            error = errno;
        if (!error) {
            execv(argv[0], argv.data());
            error = errno;
        }
        (void)!write(status[1], &error, sizeof(error));
        _exit(127);
    }
    close(status[1]);
    if (child < 0) {
        close(status[0]);
        return false;
    }
    waitpid(child, nullptr, 0);
    int error = 0;
    const ssize_t n = read(status[0], &error, sizeof(error)); // nothing: exec succeeded
    close(status[0]);
    return n == 0;
}

void dieWithParent(long long parentPid)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The parent may have died before the signal was armed.
    if (static_cast<long long>(getppid()) != parentPid)
        _exit(1);
}

void bindToUpdater(long long)
{
}

namespace {
int terminationPipe[2] = {-1, -1};
void onTerminationSignal(int)
{
    const char byte = 1;
    (void)!write(terminationPipe[1], &byte, 1);
}
} // namespace

int terminationRequests()
{
    if (terminationPipe[0] < 0) {
        if (pipe2(terminationPipe, O_CLOEXEC | O_NONBLOCK) != 0)
            return -1;
        struct sigaction action {};
        action.sa_handler = onTerminationSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &action, nullptr);
    }
    return terminationPipe[0];
}

void clearTerminationRequests()
{
    char buffer[16];
    while (terminationPipe[0] >= 0 && read(terminationPipe[0], buffer, sizeof(buffer)) > 0) {
    }
}

std::string dataRoot()
{
    const char *env = std::getenv("PROGRAMDATA");
    std::string root = (env && *env) ? env : "/var/tmp";
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root;
}

std::string HeldFile::open(const std::string &pathUtf8)
{
    close();
    const std::size_t slash = pathUtf8.rfind('/');
    const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : pathUtf8.substr(0, slash);
    name = slash == std::string::npos ? pathUtf8 : pathUtf8.substr(slash + 1);
    // The folder as it is named now; from here on only this handle counts.
    const int d = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat seen, opened;
    if (d < 0 || name.empty() || name == "." || name == ".." || fstatat(d, name.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0) {
        if (d >= 0)
            ::close(d);
        return "missing";
    }
    dir = d;
    // Looked at before it is opened: opening a device or a FIFO can block or act.
    if (!S_ISREG(seen.st_mode))
        return "not a plain file";
    const int fd = openat(d, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return "cannot be opened";
    handle = fd;
    if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_ino != seen.st_ino || opened.st_dev != seen.st_dev)
        return "not a plain file";
    return std::string();
}

long long HeldFile::read(char *data, std::size_t size)
{
    if (handle < 0)
        return -1;
    ssize_t n;
    do
        n = ::read(int(handle), data, size);
    while (n < 0 && errno == EINTR);
    return n;
}

bool HeldFile::readAll(std::string *out, std::size_t limit)
{
    out->clear();
    char buffer[64 * 1024];
    for (long long n; (n = read(buffer, sizeof(buffer))) > 0;) {
        if (out->size() + std::size_t(n) > limit)
            return false;
        out->append(buffer, std::size_t(n));
    }
    return handle >= 0 && read(buffer, 0) == 0;
}

namespace {
std::string identityOf(const struct stat &st)
{
    return S_ISREG(st.st_mode) ? std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) : std::string();
}
} // namespace

std::string HeldFile::identity() const
{
    struct stat st;
    return handle >= 0 && fstat(int(handle), &st) == 0 ? identityOf(st) : std::string();
}

std::string fileIdentity(const std::string &pathUtf8)
{
    struct stat st;
    return lstat(pathUtf8.c_str(), &st) == 0 ? identityOf(st) : std::string();
}

bool isLoadedImage(const std::string &pathUtf8)
{
    // What the process maps (its program too) is known once it runs the update: read once.
    static const std::set<std::string> loaded = [] {
        std::set<std::string> ids;
        struct stat st;
        std::ifstream maps("/proc/self/maps");
        for (std::string line; std::getline(maps, line);) {
            const std::size_t path = line.find(" /");
            if (path != std::string::npos && stat(line.c_str() + path + 1, &st) == 0)
                ids.insert(identityOf(st));
        }
        return ids;
    }();
    const std::string id = fileIdentity(pathUtf8);
    return !id.empty() && loaded.count(id) > 0;
}

bool HeldFile::remove()
{
    struct stat now, held;
    return handle >= 0 && fstat(int(handle), &held) == 0 && fstatat(int(dir), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0
           && now.st_ino == held.st_ino && now.st_dev == held.st_dev && unlinkat(int(dir), name.c_str(), 0) == 0;
}

void HeldFile::close()
{
    for (long long *fd : {&handle, &dir})
        if (*fd >= 0) {
            ::close(int(*fd));
            *fd = -1;
        }
}

bool FileReplacement::begin(const std::string &targetUtf8, bool executable)
{
    discard();
    target = targetUtf8;
    temp = pendingPath(targetUtf8);
    unlink(temp.c_str()); // a leftover of a killed run, or a link: never written through
    // The old contents' cached pages are of no more use (the backup has its
    // own): freed now, the new file's writes take them over instead of pages
    // the system must first find, which costs several times the write itself.
    const int old = open(targetUtf8.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    if (old >= 0 && fstat(old, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= (1 << 20))
        posix_fadvise(old, 0, 0, POSIX_FADV_DONTNEED);
    if (old >= 0)
        close(old);
    handle = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, executable ? 0755 : 0644);
    if (handle < 0)
        return false;
    // Modes as asked for, whatever the umask says.
    return fchmod(static_cast<int>(handle), executable ? 0755 : 0644) == 0;
}

bool FileReplacement::write(const char *data, std::size_t size)
{
    while (handle >= 0 && size > 0) {
        const ssize_t n = ::write(static_cast<int>(handle), data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return handle >= 0;
}

bool FileReplacement::adopt(const std::string &targetUtf8, const std::string &sourceUtf8, bool executable)
{
    discard();
    const std::string pending = pendingPath(targetUtf8);
    unlink(pending.c_str()); // as begin(): a leftover or a link goes
    const int fd = open(sourceUtf8.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fchmod(fd, executable ? 0755 : 0644) != 0
        || renameat2(AT_FDCWD, sourceUtf8.c_str(), AT_FDCWD, pending.c_str(), RENAME_NOREPLACE) != 0) {
        if (fd >= 0)
            close(fd);
        return false;
    }
    target = targetUtf8;
    temp = pending;
    handle = fd;
    return true;
}

bool FileReplacement::writeFrom(const std::string &sourceUtf8)
{
    const int in = open(sourceUtf8.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    const bool ok = in >= 0 && handle >= 0 && fstat(in, &st) == 0 && S_ISREG(st.st_mode)
                    && copyContents(in, static_cast<int>(handle), st.st_size, [](long long, long long) {}); // whole or failed
    if (in >= 0)
        close(in);
    return ok;
}

bool FileReplacement::commit()
{
    if (handle < 0)
        return false;
    const int fd = static_cast<int>(handle);
    handle = -1;
    // As Windows must: a running image is renamed aside, never written over.
    const bool running = isLoadedImage(target);
    const std::string aside = running ? target + ".old-" + randomSuffix(8) : std::string();
    bool ok = close(fd) == 0;
    const bool asideMade = ok && running && aside.size() == target.size() + 13
                           && renameat2(AT_FDCWD, target.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0;
    ok = ok && (asideMade || !running) && rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        if (asideMade)
            rename(aside.c_str(), target.c_str()); // the old one stays in place
        unlink(temp.c_str());
        return false;
    }
    temp.clear();
    return true;
}

void FileReplacement::discard()
{
    if (handle >= 0)
        close(static_cast<int>(handle));
    handle = -1;
    if (!temp.empty())
        unlink(temp.c_str());
    temp.clear();
}

bool armBootRecovery(const std::string &)
{
    return true;
}

void disarmBootRecovery()
{
}

std::string toolProgram(Tool tool)
{
    switch (tool) {
    case Tool::TaskKill: return "taskkill";
    case Tool::TaskList: return "tasklist";
    }
    return std::string();
}

void useOwnFileModes()
{
    umask(022);
}

void setFailureLog(void (*)(const std::string &))
{
}

void writeLogLine(const std::string &utf8)
{
    std::fwrite(utf8.data(), 1, utf8.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

} // namespace platform
