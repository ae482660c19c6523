#pragma once
// Everything the updater asks of the operating system that Qt does not give
// portably. Plain C++ at this boundary so the Windows side builds without Qt.
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace platform {

enum class Tool { TaskKill, TaskList };

// Libraries the process loads from now on come from the System directory
// only, never from beside the program or the working directory (Windows);
// the first act of main. Nothing elsewhere.
void restrictLibrarySearch();

// True only when the process definitely runs with administrator rights.
bool isAdministrator();

// Starts this executable again with administrator rights and the given
// arguments (UTF-8), without waiting for it. False when it could not be started.
bool relaunchElevated(const std::vector<std::string> &arguments);

// Ends the process at once, without running destructors or exit handlers.
[[noreturn]] void terminateNow(int exitCode);

// One line of the log, UTF-8, to standard error when there is one (Windows:
// also to the debugger), whatever the system's code page.
void writeLogLine(const std::string &utf8);

// Files and folders the process makes get no more than the modes it asks
// for, whatever the caller's umask allowed (POSIX: umask 022). Nothing on Windows.
void useOwnFileModes();

// Where the Windows layer says which file call failed, on what, and with
// which system error (UTF-8); writeLogLine until set. POSIX: not used.
void setFailureLog(void (*log)(const std::string &utf8));

// The machine-wide data directory (forward slashes, no trailing slash).
std::string dataRoot();

// Copies regular files' contents and permissions to new files; a copy fails, and
// leaves nothing behind, when the target exists or anything goes wrong. A copy
// never gets setuid or setgid bits, nor write for group or others. Each copy's
// size and SHA-256 are taken from the bytes as copied, on a second thread
// (POSIX) while the next bytes are copied; a source that changed meanwhile
// fails its copy. Not flushed: a FlushPlan makes them durable together.
class HashedCopier
{
public:
    HashedCopier();
    ~HashedCopier();
    HashedCopier(const HashedCopier &) = delete;
    HashedCopier &operator=(const HashedCopier &) = delete;
    bool copy(const std::string &fromUtf8, const std::string &toUtf8, const std::string &key);
    struct Hashed
    {
        long long size = -1;
        std::string sha256;   // hex
        std::string stamp;    // fileStamp() of the copy once written
    };
    // Waits for every hash. A copy that could not be read back is missing.
    std::map<std::string, Hashed> finish();

private:
    struct State;
    std::unique_ptr<State> state;
};
// What changes with any change to a regular file: its volume, file number,
// size and times (empty for anything else, links not followed).
std::string fileStamp(const std::string &pathUtf8);
// Makes a directory's entries (new files, renames) survive a power cut.
bool flushDirectory(const std::string &pathUtf8);

// Files written without a flush each, made durable in one sweep: their data
// first (POSIX: one syncfs of each file system, each file's own fdatasync
// where that fails; Windows: each file's FlushFileBuffers), then every
// directory that gained, lost or renamed an entry. What trusts them (a
// journal's phase) is written only once flush() said true.
class FlushPlan
{
public:
    // A file written at root/rel (forward slashes); it and each directory from root down to it.
    void wrote(const std::string &rootUtf8, const std::string &relUtf8)
    {
        files.push_back(rootUtf8 + "/" + relUtf8);
        changed(rootUtf8, relUtf8);
    }
    // An entry that came or went at root/rel: each directory from root down to it.
    void changed(const std::string &rootUtf8, const std::string &relUtf8)
    {
        dirs.insert(rootUtf8);
        for (std::size_t slash = relUtf8.find('/'); slash != std::string::npos; slash = relUtf8.find('/', slash + 1))
            dirs.insert(rootUtf8 + "/" + relUtf8.substr(0, slash));
    }
    // False when anything could not be flushed; the plan is empty again.
    bool flush();

private:
    std::vector<std::string> files;
    std::set<std::string> dirs;
};

// The same copy of fromRoot/rel to toRoot/rel, and the removal of root/rel,
// working relative to open directory handles: no link or junction on the way
// or at the end is followed. Missing directories of the target are made.
// A file already at the target: Refuse fails; Replace writes over a plain file of
// ours with no other name in place (POSIX), and removes anything else first.
enum class Existing { Refuse, Replace };
bool copyFileBelow(const std::string &fromRootUtf8, const std::string &toRootUtf8, const std::string &relUtf8,
                   Existing existing = Existing::Refuse);
bool removeFileBelow(const std::string &rootUtf8, const std::string &relUtf8);
// While one lives on this thread, those two keep the last directories they
// opened (POSIX): a tree copied file by file opens each one once, not once per
// file. Nothing may rename those directories meanwhile.
class OpenedDirectories
{
public:
    OpenedDirectories();
    ~OpenedDirectories();
};

// Why the elevated updater must not trust a file or directory: a link, owned
// by someone other than the elevated user (Windows: Administrators or
// SYSTEM), or writable by group or others through its mode or access list.
// Empty when only the elevated user can change it.
std::string untrustedEntry(const std::string &pathUtf8);

// Lets the user who asked for the update (POSIX: PKEXEC_UID or SUDO_UID;
// Windows: the desktop shell's user) read a file of the updater's private
// folder, or pass through a directory of it; nobody else. True when there is
// nothing to grant.
bool allowRequester(const std::string &pathUtf8, bool directory);

// Space the regular files below a directory take on disk (allocated, not
// their sizes), in one pass; links are not followed, and top-level entries
// whose names begin with skipPrefix are left out. Negative when unreadable.
long long allocatedBytes(const std::string &dirUtf8, const std::string &skipPrefix);

// Creates a new directory that only administrators (and SYSTEM) can reach,
// with its access set at creation. Fails when anything exists at the path.
bool createPrivateDirectory(const std::string &pathUtf8);

// Whose entries a removal may delete: the updater's own (elevated) user's, or
// those of the user who asked for the update.
enum class Owner { Elevated, Requester };

// Removes a file or a directory tree that others may be able to write in,
// working relative to open directory handles: no link or junction is ever
// followed, not even one swapped in halfway, and only entries of the given
// owner are removed (a link itself is an entry). False when anything stayed.
bool removeTree(const std::string &pathUtf8, Owner owner);

// Why another user could change which folder an absolute path names: a link
// on its way, or a folder on it (the path's own included) that someone else
// owns or may rename (its parent open to them without the sticky bit).
// Empty when every folder from the top down is the elevated user's to change.
std::string unsafePathTo(const std::string &pathUtf8);

// Why the data root must not be used (others may rename or delete the
// updater's entries in it); empty when it is safe.
std::string unsafeDataRoot();

// True for a symbolic link, a junction or another reparse point.
bool isLink(const std::string &pathUtf8);

// Takes the machine-wide "one updater at a time" lock for the rest of the
// process's life, in a place only administrators can create or change. A
// crashed holder's lock is free again, and nothing another user plants can
// hold it: what is planted at its name is moved aside under a random name.
enum class LockResult { Taken, HeldByAnother, Failed };
LockResult takeSingleInstanceLock();

// A random name part nobody can guess ahead: letters and digits.
std::string randomSuffix(int length = 10);

// Starts a program detached as the user who asked for the update, not with
// the updater's administrator rights. False when it could not be started so.
bool startAsUser(const std::string &programUtf8, const std::vector<std::string> &arguments,
                 const std::string &workDirUtf8);

// Tools the updater starts must not outlive it. dieWithParent runs in the
// child right after the fork (POSIX: parent-death signal, then a check that
// the parent still lives); bindToUpdater takes a started child into the
// updater's kill-on-close job (Windows). Each is a no-op where it does not apply.
void dieWithParent(long long parentPid);
void bindToUpdater(long long childPid);

// A descriptor that becomes readable when the system asks the updater to end
// (POSIX: SIGTERM, caught from now on); -1 where requests come otherwise.
int terminationRequests();
// Empties that descriptor once a request has been seen.
void clearTerminationRequests();

// A regular file in a folder someone else may change (the -i file): opened
// once as itself, read through that handle, and removed only while its name
// still names the very file read. A swap of the folder or file after the open
// changes nothing the updater does.
class HeldFile
{
public:
    HeldFile() = default;
    HeldFile(const HeldFile &) = delete;
    HeldFile &operator=(const HeldFile &) = delete;
    ~HeldFile() { close(); }
    // Empty when open; else why not ("missing", "not a plain file", ...).
    std::string open(const std::string &pathUtf8);
    // At most limit bytes; false when there are more or the read fails.
    bool readAll(std::string *out, std::size_t limit);
    // The next bytes: 0 at the end, negative on failure.
    long long read(char *data, std::size_t size);
    // Which file this is (device and inode; Windows: volume and file index).
    std::string identity() const;
    bool remove();
    void close();

private:
    long long handle = -1, dir = -1;
    std::string name;
};

// The identity HeldFile::identity gives of the plain file at a path, looked
// at without following a link; empty for anything else.
std::string fileIdentity(const std::string &pathUtf8);
// Whether the plain file at a path (not followed through a link) is this
// process's program or a library it has loaded.
bool isLoadedImage(const std::string &pathUtf8);

// A file's new contents, written beside it and then put in its place whole:
// the target holds its old bytes or all the new ones, never none or a part.
class FileReplacement
{
public:
    FileReplacement() = default;
    FileReplacement(const FileReplacement &) = delete;
    FileReplacement &operator=(const FileReplacement &) = delete;
    ~FileReplacement() { discard(); }
    // A new file beside the target (never one that exists, never through a
    // link); executable where the system knows such a mode.
    bool begin(const std::string &targetUtf8, bool executable);
    bool write(const char *data, std::size_t size);
    // The whole of a plain file (not followed through a link) as the new
    // contents; POSIX lets the kernel copy it.
    bool writeFrom(const std::string &sourceUtf8);
    // Instead of begin(): a plain file of the updater's own private folder
    // moved in whole as the new contents, when it is on the target's volume
    // (POSIX only: on Windows a moved file would keep the private folder's
    // access list). False, and the file stays where it was, when it cannot be.
    bool adopt(const std::string &targetUtf8, const std::string &sourceUtf8, bool executable);
    // Renamed over the target, not flushed (a FlushPlan does that for the
    // whole unpack); false when the target is in use or cannot be replaced
    // (the new file is then removed).
    bool commit();
    void discard();
    // The name the new contents have until the commit.
    static std::string pendingPath(const std::string &targetUtf8) { return targetUtf8 + ".farwen-new"; }
    // Where a commit moves the old file when this process runs it or has it
    // loaded (Windows refuses to overwrite a running image, but renames it):
    // beside it as "<name>.old-" and 8 random letters, removed at the next start.
    static bool isAsideName(const std::string &nameUtf8)
    {
        const std::size_t at = nameUtf8.size() - 13; // a name of its own before it
        if (nameUtf8.size() < 14 || nameUtf8.compare(at, 5, ".old-") != 0)
            return false;
        for (std::size_t i = at + 5; i < nameUtf8.size(); ++i)
            if (!((nameUtf8[i] >= 'a' && nameUtf8[i] <= 'z') || (nameUtf8[i] >= '0' && nameUtf8[i] <= '9')))
                return false;
        return true;
    }

private:
    std::string target, temp;
    long long handle = -1;
};

// While an apply runs, "<this program> --recover <app path>" is run at the
// next start of the machine (Windows: a RunOnce value under HKLM). POSIX has
// no portable hook: both are no-ops there.
bool armBootRecovery(const std::string &appPathUtf8);
void disarmBootRecovery();

// A Windows command-line tool: on Windows its absolute path in the System
// directory (empty when that cannot be read), elsewhere the name of our stand-in.
std::string toolProgram(Tool tool);

} // namespace platform
