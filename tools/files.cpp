// The files the tool writes, and what it leaves when it stops.
//
// A command never writes over a file in place.  Its result goes to a
// temporary file beside the output (".NAME.corvane-XXXXXX" in the output's
// folder, so that the final rename stays inside one file system), every
// write is checked, the file is synced and its size compared with what was
// meant, and only then is it renamed over the output.  A device or FIFO
// given as the output (/dev/null, /dev/stdout in a pipe) is not replaced but
// written through: the result is made in $TMPDIR first and then copied to
// it with every write checked.
//
// Every temporary file is noted, name and all, before the signals that end
// the tool can see it: the handler of SIGINT, SIGTERM, SIGHUP, SIGPIPE and
// SIGXFSZ only unlinks the names noted (unlink is async-signal-safe) and
// ends the process.  A signal that was ignored when the tool started (nohup,
// a shell's `trap '' XFSZ`) stays ignored: the write it would have stopped
// then fails, and the command fails with the system's reason.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli.h"

namespace {

// ---------------------------------------------------------------- temporary files and signals

// A command makes at most a handful of temporary files at once (mux: the
// staged output and two spool files; add-audio: the staged output and the
// library's two).
constexpr int kSlots = 8;
constexpr size_t kNameBytes = 4096;

// A noted file: its name and which file it is, so that a file of the same
// name made since by someone else (another run's tempv.v) is not removed.
struct Slot {
    std::atomic<bool> used{false};
    char name[kNameBytes];
    dev_t device;
    ino_t inode;
};

Slot g_slots[kSlots];

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ};

sigset_t CleanupSet() {
    sigset_t set;
    sigemptyset(&set);
    for (const int s : kCleanupSignals) sigaddset(&set, s);
    return set;
}

// Removes the file of a slot if it is still the one noted (lstat and unlink
// are async-signal-safe).
void RemoveNoted(const Slot &slot) {
    struct stat st;
    if (lstat(slot.name, &st) == 0 && st.st_dev == slot.device && st.st_ino == slot.inode) unlink(slot.name);
}

extern "C" void RemoveTemporariesAndEnd(int signal) {
    for (Slot &slot : g_slots)
        if (slot.used.load()) RemoveNoted(slot);
    // Ends the way the signal itself ends a process, so that a shell running
    // the tool in a loop sees an interrupt as one; SIGXFSZ would also dump
    // core, so it ends with the status alone.
    if (signal != SIGXFSZ) {
        struct sigaction plain {};
        plain.sa_handler = SIG_DFL;
        sigemptyset(&plain.sa_mask);
        sigaction(signal, &plain, nullptr);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, signal);
        sigprocmask(SIG_UNBLOCK, &set, nullptr);
        raise(signal);
    }
    _exit(128 + signal);
}

// Notes the file just made under `name` (open as `fd`).
int NoteTemporary(const std::string &name, int fd) {
    struct stat st {};
    if (name.size() >= kNameBytes || fstat(fd, &st) != 0) return -1;
    for (int i = 0; i < kSlots; ++i) {
        if (g_slots[i].used.load()) continue;
        std::memcpy(g_slots[i].name, name.c_str(), name.size() + 1);
        g_slots[i].device = st.st_dev;
        g_slots[i].inode = st.st_ino;
        g_slots[i].used.store(true);
        return i;
    }
    return -1;
}

std::string Quoted(const std::string &path) { return "'" + path + "'"; }

std::string Reason(int error) { return std::strerror(error); }

// The folder part of a path with its slash ("" for a bare name).
std::string FolderOf(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

std::string NameOf(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file a path leads to through symbolic links (at most 32 of them),
// which need not exist; the path itself when a link cannot be read.
std::string FollowLinks(const std::string &path) {
    std::string at = path;
    for (int hops = 0; hops < 32; ++hops) {
        struct stat st {};
        if (lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return at;
        char link[kNameBytes];
        const ssize_t n = readlink(at.c_str(), link, sizeof link - 1);
        if (n <= 0) return at;
        link[n] = '\0';
        at = link[0] == '/' ? std::string(link) : FolderOf(at) + link;
    }
    return at;
}

std::string TemporaryFolder() {
    const char *tmp = std::getenv("TMPDIR");
    std::string folder = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    if (folder.back() != '/') folder += '/';
    return folder;
}

mode_t NewFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

bool WriteAll(int fd, const uint8_t *bytes, size_t count) {
    while (count > 0) {
        const ssize_t n = write(fd, bytes, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        count -= size_t(n);
    }
    return true;
}

// Why the bytes the job wrote (through the library, whose writes are not
// checked) fall short: `count` more bytes are written after the `size` the
// file has (as zeros; the file is discarded anyway), which fails with the
// file system's own reason (ENOSPC, EFBIG, EDQUOT, EIO).  0 when those
// writes go through.
int RewriteMissing(int fd, uint64_t size, uint64_t count) {
    static const uint8_t kZeros[64 * 1024] = {};
    if (lseek(fd, off_t(size), SEEK_SET) < 0) return errno;
    for (uint64_t left = count; left > 0;) {
        const size_t n = left < sizeof kZeros ? size_t(left) : sizeof kZeros;
        if (!WriteAll(fd, kZeros, n)) return errno != 0 ? errno : EIO;
        left -= n;
    }
    return 0;
}

// What is said of a staged file that is not what the job meant to write.
std::string Incomplete(int fd, uint64_t size, uint64_t expected, const std::string &problem) {
    if (!problem.empty()) {
        const int error = RewriteMissing(fd, size, 1 << 20);
        return error != 0 ? Reason(error) : problem;
    }
    if (size > expected)
        return "the file written holds " + std::to_string(size) + " bytes, not " + std::to_string(expected);
    const int error = RewriteMissing(fd, size, expected - size);
    if (error != 0) return Reason(error);
    return "a write failed (" + std::to_string(size) + " of " + std::to_string(expected) +
           " bytes were written)";
}

// Copies the staged result to a device or FIFO, every write checked.
std::string CopyToTarget(const OutputFile &out, uint64_t size) {
    const int in = open(out.staging.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return "cannot read " + Quoted(out.staging) + ": " + Reason(errno);
    // Without waiting for a reader: a FIFO nobody reads is refused (ENXIO).
    const int to = open(out.target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (to < 0) {
        const int error = errno;
        close(in);
        return "cannot write " + Quoted(out.given) + ": " + Reason(error);
    }
    fcntl(to, F_SETFL, fcntl(to, F_GETFL) & ~O_NONBLOCK);
    static uint8_t piece[256 * 1024];
    std::string error;
    for (uint64_t left = size; left > 0 && error.empty();) {
        const ssize_t n = read(in, piece, left < sizeof piece ? size_t(left) : sizeof piece);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            error = "cannot read " + Quoted(out.staging) + ": " + (n < 0 ? Reason(errno) : "it is shorter than written");
        else if (!WriteAll(to, piece, size_t(n)))
            error = "cannot write " + Quoted(out.given) + ": " + Reason(errno);
        else
            left -= uint64_t(n);
    }
    close(in);
    if (close(to) != 0 && error.empty()) error = "cannot write " + Quoted(out.given) + ": " + Reason(errno);
    return error;
}

}  // namespace

// ---------------------------------------------------------------- signals

void InstallSignalCleanup() {
    struct sigaction action {};
    action.sa_handler = RemoveTemporariesAndEnd;
    action.sa_mask = CleanupSet();
    for (const int s : kCleanupSignals) {
        struct sigaction before {};
        if (sigaction(s, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
        sigaction(s, &action, nullptr);
    }
}

SignalsHeld::SignalsHeld() {
    const sigset_t set = CleanupSet();
    pthread_sigmask(SIG_BLOCK, &set, &before);
}

SignalsHeld::~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &before, nullptr); }

bool MakeTemporary(const std::string &pattern, std::string *name, int *slot) {
    std::string path = pattern;
    SignalsHeld held;
    const int fd = mkstemp(&path[0]);
    if (fd < 0) return false;
    *slot = NoteTemporary(path, fd);
    close(fd);
    *name = path;
    return true;
}

bool CreateNewFile(const char *name, int *slot) {
    SignalsHeld held;
    const int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    *slot = NoteTemporary(name, fd);
    close(fd);
    return true;
}

void RemoveTemporary(const std::string &name, int *slot) {
    SignalsHeld held;
    if (*slot >= 0)
        RemoveNoted(g_slots[*slot]);
    else
        unlink(name.c_str());  // made, but not noted (no slot left): removed by name
    ForgetTemporary(slot);
}

void ForgetTemporary(int *slot) {
    if (*slot >= 0) g_slots[*slot].used.store(false);
    *slot = -1;
}

// ---------------------------------------------------------------- same file

bool SameFile(const std::string &a, const std::string &b) {
    struct stat sa {}, sb {};
    const bool hasA = stat(a.c_str(), &sa) == 0, hasB = stat(b.c_str(), &sb) == 0;
    // Writing to a device destroys nothing (/dev/null for both is fine).
    if (hasA && hasB) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino && !S_ISCHR(sa.st_mode);
    if (hasA || hasB) return false;
    // Two files still to be made: the same name in the same folder.
    const std::string fa = FollowLinks(a), fb = FollowLinks(b);
    if (NameOf(fa) != NameOf(fb)) return false;
    const std::string da = FolderOf(fa).empty() ? "." : FolderOf(fa);
    const std::string db = FolderOf(fb).empty() ? "." : FolderOf(fb);
    return stat(da.c_str(), &sa) == 0 && stat(db.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// ---------------------------------------------------------------- the debug log

int OpenDebugLog(const std::string &path, std::string *error) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            *error = "cannot create " + Quoted(path) + ": " + Reason(EISDIR);
            return -1;
        }
        if (!S_ISCHR(st.st_mode) && !S_ISFIFO(st.st_mode)) {
            *error = "--debug: " + Quoted(path) +
                     " already exists; the diagnostics go to a new file only (or to a terminal, "
                     "FIFO or device)";
            return -1;
        }
        const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            *error = "cannot write " + Quoted(path) + ": " + Reason(errno);
            return -1;
        }
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return fd;
    }
    // O_EXCL: never a file that appeared meanwhile, nor through a dangling link.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        *error = errno == EEXIST ? "--debug: " + Quoted(path) +
                                       " already exists; the diagnostics go to a new file only"
                                 : "cannot create " + Quoted(path) + ": " + Reason(errno);
    return fd;
}

// ---------------------------------------------------------------- outputs

std::string PrepareOutput(const std::string &given, size_t maxPath, OutputFile *out) {
    out->given = given;
    out->target = FollowLinks(given);
    struct stat st {};
    out->existed = stat(out->target.c_str(), &st) == 0;
    if (!out->existed && errno != ENOENT) return "cannot create " + Quoted(given) + ": " + Reason(errno);
    if (out->existed && S_ISDIR(st.st_mode)) return "cannot create " + Quoted(given) + ": " + Reason(EISDIR);
    out->direct = out->existed && !S_ISREG(st.st_mode);
    // A file the user may not write is not replaced either.
    if (out->existed && !out->direct && access(out->target.c_str(), W_OK) != 0)
        return "cannot write " + Quoted(given) + ": " + Reason(errno);
    out->before = st;
    const std::string folder = out->direct ? TemporaryFolder() : FolderOf(out->target);
    std::string pattern = folder + "." + NameOf(out->target) + ".corvane-XXXXXX";
    if (pattern.size() > maxPath) pattern = folder + ".corvane-XXXXXX";
    if (pattern.size() > maxPath)
        return Quoted(given) + ": the temporary file beside it would have a path of more than " +
               std::to_string(maxPath) + " characters, which the library cannot write";
    if (!MakeTemporary(pattern, &out->staging, &out->slot)) {
        out->staging.clear();
        const int error = errno;
        if (out->direct)
            return "cannot create a temporary file in " + Quoted(folder) + " for " + Quoted(given) + ": " +
                   Reason(error);
        return "cannot create " + Quoted(given) + ": " + Reason(error);
    }
    out->tempFolder = folder;
    return "";
}

std::string CommitOutput(OutputFile *out, uint64_t expected, const std::string &problem) {
    std::string error;
    const int fd = open(out->staging.c_str(), O_WRONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        error = "cannot write " + Quoted(out->given) + ": " + Reason(errno);
    } else if (!problem.empty() || uint64_t(st.st_size) != expected) {
        error = "cannot write " + Quoted(out->given) + ": " + Incomplete(fd, uint64_t(st.st_size), expected, problem);
    } else if (fsync(fd) != 0) {
        // Errors the file system reports only when the data reaches it.
        error = "cannot write " + Quoted(out->given) + ": " + Reason(errno);
    } else if (!out->direct) {
        // The replaced file's permissions (and owner, where that is allowed);
        // a new file gets those of any new file.
        fchmod(fd, out->existed ? out->before.st_mode & 07777 : NewFileMode());
        if (out->existed && (out->before.st_uid != st.st_uid || out->before.st_gid != st.st_gid))
            (void)!fchown(fd, out->before.st_uid, out->before.st_gid);
    }
    if (fd >= 0 && close(fd) != 0 && error.empty())
        error = "cannot write " + Quoted(out->given) + ": " + Reason(errno);
    if (error.empty() && out->direct) error = CopyToTarget(*out, expected);
    if (error.empty() && !out->direct) {
        SignalsHeld held;
        if (rename(out->staging.c_str(), out->target.c_str()) != 0)
            error = "cannot replace " + Quoted(out->given) + ": " + Reason(errno);
        else {
            ForgetTemporary(&out->slot);
            out->staging.clear();
        }
    }
    DiscardOutput(out);
    return error;
}

void DiscardOutput(OutputFile *out) {
    if (!out->staging.empty()) RemoveTemporary(out->staging, &out->slot);
    out->staging.clear();
    ForgetTemporary(&out->slot);
}
