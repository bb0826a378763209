// Hostile paths for every export that takes a path and every subcommand of
// the corvane tool: missing and empty files, directories, a FIFO nobody
// writes to, character devices, a sparse 1 TiB file, long and non-ASCII
// names, an output in a missing folder or read-only, and a working
// directory where the temporary files cannot be made.
//
// The rows live in path_table.txt beside this file, one line each:
//
//   call | slot | kind | result | changes | stdout | stderr
//
// `result` is the export's result (CreateTrack: its own and that of the
// first frame) or the tool's exit status.  `changes` says what the call may
// change: "none", "output" (its output path is written) and "removed" (the
// row's path is gone: the writer removes the temporary file it was given).
// stdout and stderr are exact, with \n for line ends, {path} for the row's
// path and {out} for the call's output; "*" leaves a stream unchecked.
//
// Each row runs in a scratch directory of its own, in a forked child under
// an alarm (a call that hangs fails its row, not the suite).  Every file and
// directory that was there before must be byte-identical afterwards, and
// nothing new may be left but the call's output.  Rows that need a
// read-only file or folder drop the capabilities that let root ignore
// permissions (in the child only); rows that cannot be set up here (no
// device nodes, no sparse files, capabilities that cannot be dropped) are
// skipped and counted.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "corvane2.h"
#include "support/bytes.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CORVANE_LEAK_CHECK 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define CORVANE_LEAK_CHECK 1
#endif
#if defined(CORVANE_LEAK_CHECK)
extern "C" void __lsan_do_leak_check(void);
#endif

namespace {

constexpr unsigned kRowSeconds = 60;
constexpr int kSkipStatus = 77;

// ---------------------------------------------------------------- the calls

using Paths = std::vector<std::string>;

struct Slot {
    const char *name;
    const char *fixture;  // the good input, or null for an output
    const char *fallback; // the path used when the row is about another slot
};

struct Call {
    const char *name;
    std::vector<Slot> slots;
    std::string (*run)(const Paths &paths);  // an export, in the child
    std::vector<std::string> tool;            // a subcommand: $0, $1, $2 are the slots' paths
};

std::string Text(int32_t result) { return std::to_string(result); }

std::string RunOpen(const Paths &p) {
    MP4_read_file *handle = nullptr;
    const int32_t result = MP4FileOpen(&handle, p[0].c_str());
    MP4FileClose(&handle);
    std::free(handle);
    return Text(result);
}

std::string RunFileInfo(const Paths &p) {
    FileInfo info{};
    return Text(GetFileInfo(p[0].c_str(), &info));
}

std::string RunHeaderSize(const Paths &p) {
    uint32_t width = 0, height = 0;
    return Text(GetM4vHeaderSize(p[0].c_str(), &width, &height));
}

std::string RunNew(const Paths &p) {
    MP4_local_file *file = nullptr;
    const int32_t result = MP4FileNew(&file, p[0].c_str());
    if (result == 1) MP4FileFlush(file);
    return Text(result);
}

// A video track whose temporary file is the row's path, one frame, flushed.
std::string RunCreateTrack(const Paths &p) {
    MP4_local_file *file = nullptr;
    if (MP4FileNew(&file, p[0].c_str()) != 1) return "no file";
    const int32_t created = CreateTrack(file, 1, 176, 144, 0, 1000, 0, 0, 0, 0, 0, nullptr, p[1].c_str(), 1);
    const uint8_t frame[] = {0, 0, 1, 0xB6, 0x10, 0x20};
    const int32_t added = AddVideoFrame(file, sizeof frame, frame, 0, 1);
    MP4FileFlush(file);
    return Text(created) + " " + Text(added);
}

std::string RunAddAudio(const Paths &p) { return Text(Mp4AddAudio(p[0].c_str(), p[1].c_str(), p[2].c_str())); }

std::string RunAddVideo(const Paths &p) {
    return Text(Mp4AddVideo(p[0].c_str(), p[1].c_str(), p[2].c_str(), 25.0f));
}

const Slot kMp4{"FILE", "av.mp4", nullptr};
const Slot kOutput{"OUT", nullptr, "out/out.mp4"};

const std::vector<Call> &Calls() {
    static const std::vector<Call> calls = {
        {"MP4FileOpen", {kMp4}, RunOpen, {}},
        {"GetFileInfo", {kMp4}, RunFileInfo, {}},
        {"GetM4vHeaderSize", {{"FILE", "video.m4v", nullptr}}, RunHeaderSize, {}},
        {"MP4FileNew", {kOutput}, RunNew, {}},
        {"CreateTrack", {kOutput, {"TEMP", nullptr, "tempv.v"}}, RunCreateTrack, {}},
        {"Mp4AddAudio", {{"SOURCE", "video.mp4", nullptr}, {"AUDIO", "audio.aac", nullptr}, kOutput},
         RunAddAudio, {}},
        {"Mp4AddVideo", {{"SOURCE", "audio.mp4", nullptr}, {"VIDEO", "video.m4v", nullptr}, kOutput},
         RunAddVideo, {}},
        {"corvane tree", {kMp4}, nullptr, {"tree", "$0"}},
        {"corvane info", {kMp4}, nullptr, {"info", "$0"}},
        {"corvane samples", {kMp4}, nullptr, {"samples", "$0"}},
        {"corvane extract", {kMp4, {"OUT", nullptr, "out/out.m4v"}}, nullptr,
         {"extract", "$0", "--track", "video", "$1"}},
        {"corvane mux", {{"VIDEO", "video.m4v", nullptr}, {"AUDIO", "audio.aac", nullptr}, kOutput},
         nullptr, {"mux", "$0", "$1", "$2"}},
        {"corvane add-audio",
         {{"SOURCE", "video.mp4", nullptr}, {"AUDIO", "audio.aac", nullptr}, kOutput}, nullptr,
         {"add-audio", "$0", "$1", "$2"}},
        {"corvane add-video",
         {{"SOURCE", "audio.mp4", nullptr}, {"VIDEO", "video.m4v", nullptr}, kOutput}, nullptr,
         {"add-video", "$0", "$1", "$2"}},
        {"corvane --debug", {{"FILE", nullptr, "out/debug.txt"}}, nullptr,
         {"--debug", "$0", "info", CORVANE_TEST_DATA "/av.mp4"}},
    };
    return calls;
}

const Call *FindCall(const std::string &name) {
    for (const Call &call : Calls())
        if (name == call.name) return &call;
    return nullptr;
}

// ---------------------------------------------------------------- the rows

struct Row {
    int line = 0;
    std::string call, slot, kind, result, changes, out, err;
};

std::string Trim(const std::string &s) {
    const size_t a = s.find_first_not_of(' '), b = s.find_last_not_of(' ');
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

std::string Unescape(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            ++i;
            out += s[i] == 'n' ? '\n' : s[i];
        } else {
            out += s[i];
        }
    }
    return out;
}

std::vector<Row> LoadRows() {
    std::vector<Row> rows;
    std::ifstream in(CORVANE_PATH_TABLE);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (Trim(line).empty() || Trim(line)[0] == '#') continue;
        std::vector<std::string> f;
        for (size_t at = 0;;) {
            const size_t bar = line.find(" | ", at);
            f.push_back(line.substr(at, bar == std::string::npos ? std::string::npos : bar - at));
            if (bar == std::string::npos) break;
            at = bar + 3;
        }
        while (f.size() < 7) f.emplace_back();
        for (std::string &field : f) field = Trim(field);
        rows.push_back({number, f[0], f[1], f[2], f[3], f[4], Unescape(f[5]), Unescape(f[6])});
    }
    return rows;
}

// ---------------------------------------------------------------- scratch

void WriteFile(const std::string &path, const Bytes &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<std::string> Entries(const std::string &dir) {
    std::vector<std::string> entries;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                entries.push_back(dir + "/" + e->d_name);
        closedir(d);
    }
    return entries;
}

void RemoveTree(const std::string &path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return;
    if (!S_ISDIR(st.st_mode)) {
        unlink(path.c_str());
        return;
    }
    chmod(path.c_str(), 0755);
    for (const std::string &entry : Entries(path)) RemoveTree(entry);
    rmdir(path.c_str());
}

// What a path holds, for the before/after comparison: its type, and for a
// regular file its size, allocated blocks and bytes (a large sparse file:
// its size, blocks and modification time); a device its number.
std::string Fingerprint(const std::string &path, const struct stat &st) {
    std::ostringstream f;
    f << (st.st_mode & S_IFMT) << ' ' << (st.st_mode & 07777);
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) f << " dev " << st.st_rdev;
    if (S_ISREG(st.st_mode)) {
        f << " size " << st.st_size << " blocks " << st.st_blocks;
        if (st.st_size < (1 << 24)) {
            const Bytes bytes = ReadFileBytes(path);
            f << ' ' << std::string(bytes.begin(), bytes.end());
        } else {
            f << " mtime " << st.st_mtim.tv_sec << '.' << st.st_mtim.tv_nsec;
        }
    }
    return f.str();
}

void Walk(const std::string &path, std::map<std::string, std::string> *seen) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return;
    (*seen)[path] = Fingerprint(path, st);
    if (S_ISDIR(st.st_mode))
        for (const std::string &entry : Entries(path)) Walk(entry, seen);
}

// A name of exactly `length` characters in `dir` ("" when `dir` is too long).
std::string PathOfLength(const std::string &dir, size_t length, const std::string &suffix) {
    if (dir.size() + 2 + suffix.size() > length) return "";
    return dir + "/" + std::string(length - dir.size() - 1 - suffix.size(), 'q') + suffix;
}

// The row's scratch directory: good inputs in in/, outputs go to out/, the
// working directory cwd/, the hostile object in kinds/.  Returns the path
// the row is about ("" with `skip` set when it cannot be made here).
struct Scratch {
    std::string root, cwd;
    bool dropCapabilities = false;
    std::string tableError;  // a row that names no slot or kind of the table
};

std::string MakeKind(const Row &row, const Slot &slot, Scratch *s, std::string *skip) {
    const std::string kinds = s->root + "/kinds";
    const std::string ext = slot.fixture ? std::string(std::strrchr(slot.fixture, '.')) : ".out";
    auto good = [&](const std::string &path) {
        if (slot.fixture) WriteFile(path, ReadFileBytes(Fixture(slot.fixture)));
        return path;
    };
    const std::string &k = row.kind;
    if (k == "missing") return kinds + "/missing" + ext;
    if (k == "empty") {
        WriteFile(kinds + "/empty" + ext, {});
        return kinds + "/empty" + ext;
    }
    if (k == "dir" || k == "emptydir") {
        mkdir((kinds + "/" + k).c_str(), 0755);
        if (k == "dir") WriteFile(kinds + "/dir/inside.txt", Str("kept"));
        return kinds + "/" + k;
    }
    if (k == "fifo") {
        mkfifo((kinds + "/fifo").c_str(), 0644);
        return kinds + "/fifo";
    }
    if (k == "null" || k == "zero") {
        // Copies of /dev/null and /dev/zero, so that a call that removed its
        // path could not remove the system's.
        const std::string path = kinds + "/" + k;
        const int fd = mknod(path.c_str(), S_IFCHR | 0666, makedev(1, k == "null" ? 3 : 5)) == 0
                           ? open(path.c_str(), O_RDONLY | O_NONBLOCK)
                           : -1;
        if (fd < 0) *skip = "no device nodes here";
        if (fd >= 0) close(fd);
        return path;
    }
    if (k == "sparse") {
        const std::string path = kinds + "/sparse" + ext;
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || ftruncate(fd, off_t(1) << 40) != 0) *skip = "no 1 TiB sparse file here";
        if (fd >= 0) close(fd);
        return path;
    }
    if (k == "255" || k == "256") {
        const std::string path = PathOfLength(kinds, k == "255" ? 255 : 256, ext);
        if (path.empty()) *skip = "the scratch folder's path is too long";
        return path.empty() ? path : good(path);
    }
    if (k == "unicode") return good(kinds + "/with space \xC3\xA9\xE2\x82\xAC \xFF" + ext);
    if (k == "nofolder") return kinds + "/no/such/folder/out" + ext;
    if (k == "readonly") {
        const std::string dir = s->root + "/ro", path = dir + "/precious" + ext;
        mkdir(dir.c_str(), 0755);
        WriteFile(path, Str("precious bytes"));
        chmod(path.c_str(), 0444);
        chmod(dir.c_str(), 0555);
        s->dropCapabilities = true;
        return path;
    }
    if (k == "rocwd") {
        s->cwd = s->root + "/rocwd";
        mkdir(s->cwd.c_str(), 0555);
        s->dropCapabilities = true;
        return s->cwd;
    }
    s->tableError = "unknown kind '" + k + "'";
    return "";
}

// The paths of the call's slots for the row, after making its scratch.
Paths MakeScratch(const Row &row, const Call &call, Scratch *s, std::string *rowPath,
                  std::string *skip) {
    for (const char *dir : {"", "/in", "/out", "/cwd", "/kinds"}) mkdir((s->root + dir).c_str(), 0755);
    s->cwd = s->root + "/cwd";
    Paths paths;
    for (const Slot &slot : call.slots) {
        if (slot.name == row.slot) {
            *rowPath = MakeKind(row, slot, s, skip);
            paths.push_back(*rowPath);
        } else if (slot.fixture) {
            paths.push_back(s->root + "/in/" + slot.fixture);
            WriteFile(paths.back(), ReadFileBytes(Fixture(slot.fixture)));
        } else {
            const std::string fallback = slot.fallback;
            paths.push_back(fallback.find('/') == std::string::npos ? fallback : s->root + "/" + fallback);
        }
    }
    if (row.slot == "cwd") *rowPath = MakeKind(row, Slot{"cwd", nullptr, nullptr}, s, skip);
    else if (rowPath->empty() && skip->empty() && s->tableError.empty()) s->tableError = "the call has no slot '" + row.slot + "'";
    return paths;
}

// ---------------------------------------------------------------- the child

int Capset(uint64_t effective, uint64_t permitted, uint64_t inheritable) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    for (int i = 0; i < 2; ++i) {
        data[i].effective = uint32_t(effective >> (32 * i));
        data[i].permitted = uint32_t(permitted >> (32 * i));
        data[i].inheritable = uint32_t(inheritable >> (32 * i));
    }
    return int(syscall(SYS_capset, &header, data));
}

// Root ignores file permissions through three capabilities: they are
// dropped from the bounding set (so that a program started afterwards does
// not get them back) and from every set of this process.  False when that
// is not possible here.
bool DropPermissionCapabilities() {
    if (geteuid() != 0) return true;
    const int caps[] = {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER};
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    uint64_t mask = 0;
    for (int cap : caps) {
        if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) return false;
        mask |= uint64_t(1) << cap;
    }
    auto join = [](uint32_t low, uint32_t high) { return uint64_t(low) | (uint64_t(high) << 32); };
    return Capset(join(data[0].effective, data[1].effective) & ~mask,
                  join(data[0].permitted, data[1].permitted) & ~mask,
                  join(data[0].inheritable, data[1].inheritable) & ~mask) == 0;
}

// Runs the row's call in a child: standard output and error into files, the
// working directory set, an alarm against hangs.  The export's result comes
// back through `resultFile`.
struct Outcome {
    bool hung = false, skipped = false;
    std::string result, out, err;
};

[[noreturn]] void ChildRun(const Call &call, const Paths &paths, const Scratch &s,
                           const std::string &logs) {
    const int out = open((logs + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open((logs + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(120);
    if (s.dropCapabilities && !DropPermissionCapabilities()) _exit(kSkipStatus);
    if (chdir(s.cwd.c_str()) != 0) _exit(121);
    alarm(kRowSeconds);
    if (call.run == nullptr) {
        std::vector<std::string> args = {CORVANE_TOOL_PATH};
        for (const std::string &a : call.tool)
            args.push_back(a.size() == 2 && a[0] == '$' ? paths[size_t(a[1] - '0')] : a);
        std::vector<char *> argv;
        for (std::string &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(122);
    }
    const std::string result = call.run(paths);
    std::fflush(stdout);
    std::fflush(stderr);
    WriteFile(logs + "/result", Str(result));
#if defined(CORVANE_LEAK_CHECK)
    __lsan_do_leak_check();
#endif
    _exit(0);
}

Outcome RunRow(const Call &call, const Paths &paths, const Scratch &s, const std::string &logs) {
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) ChildRun(call, paths, s, logs);
    Outcome o;
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) {
        o.result = "fork failed";
        return o;
    }
    const Bytes out = ReadFileBytes(logs + "/stdout"), err = ReadFileBytes(logs + "/stderr");
    o.out.assign(out.begin(), out.end());
    o.err.assign(err.begin(), err.end());
    if (WIFSIGNALED(status)) {
        o.hung = WTERMSIG(status) == SIGALRM;
        o.result = o.hung ? "hung" : "killed by signal " + std::to_string(WTERMSIG(status));
    } else if (WEXITSTATUS(status) == kSkipStatus && s.dropCapabilities) {
        o.skipped = true;
    } else if (call.run == nullptr) {
        o.result = std::to_string(WEXITSTATUS(status));
    } else {
        const Bytes result = ReadFileBytes(logs + "/result");
        o.result = WEXITSTATUS(status) == 0 ? std::string(result.begin(), result.end())
                                            : "exit status " + std::to_string(WEXITSTATUS(status));
    }
    return o;
}

// ---------------------------------------------------------------- checks

std::string Expand(std::string text, const std::string &path, const std::string &out) {
    for (const auto &[key, value] : {std::pair<std::string, std::string>{"{path}", path}, {"{out}", out}})
        for (size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), value);
    return text;
}

std::string Escape(const std::string &text, const std::string &path, const std::string &out) {
    std::string t = text;
    for (const auto &[value, key] : {std::pair<std::string, std::string>{path, "{path}"}, {out, "{out}"}})
        if (!value.empty())
            for (size_t at; (at = t.find(value)) != std::string::npos;) t.replace(at, value.size(), key);
    std::string e;
    for (char c : t) e += c == '\n' ? std::string("\\n") : c == '\\' ? std::string("\\\\") : std::string(1, c);
    return e;
}

// The files that changed, appeared or went, against what the row allows.
std::vector<std::string> CheckFiles(const std::map<std::string, std::string> &before,
                                    const std::map<std::string, std::string> &after,
                                    const Row &row, const std::string &rowPath, const std::string &out) {
    const bool outputMayChange = row.changes.find("output") != std::string::npos;
    const bool rowPathMayGo = row.changes.find("removed") != std::string::npos;
    std::vector<std::string> problems;
    for (const auto &[path, print] : before) {
        const auto now = after.find(path);
        if (outputMayChange && path == out) continue;
        if (now == after.end()) {
            if (!(rowPathMayGo && path == rowPath)) problems.push_back("removed: " + path);
        } else if (now->second != print) {
            problems.push_back("changed: " + path);
        }
    }
    for (const auto &entry : after)
        if (before.count(entry.first) == 0 && !(outputMayChange && entry.first == out))
            problems.push_back("left behind: " + entry.first);
    return problems;
}

// Runs every row of the call's rows.
void RunTable(const std::string &callName) {
    const Call *call = FindCall(callName);
    ASSERT_NE(call, nullptr);
    const std::string base = TempDir();
    int run = 0, skipped = 0;
    for (const Row &row : LoadRows()) {
        if (row.call != callName) continue;
        SCOPED_TRACE("path_table.txt:" + std::to_string(row.line) + ": " + row.call + " " + row.slot +
                     " " + row.kind);
        Scratch s;
        s.root = base + "/" + std::to_string(row.line);
        const std::string logs = base + "/logs-" + std::to_string(row.line);
        RemoveTree(s.root);
        mkdir(logs.c_str(), 0755);
        std::string rowPath, skip;
        const Paths paths = MakeScratch(row, *call, &s, &rowPath, &skip);
        if (!s.tableError.empty()) {
            ADD_FAILURE() << s.tableError;
            RemoveTree(s.root);
            continue;
        }
        if (!skip.empty()) {
            ++skipped;
            std::printf("skipped %s %s %s: %s\n", row.call.c_str(), row.slot.c_str(), row.kind.c_str(), skip.c_str());
            RemoveTree(s.root);
            continue;
        }
        std::string out;  // the call's output: its first slot without an input
        for (size_t i = call->slots.size(); i-- > 0;)
            if (!call->slots[i].fixture) out = paths[i];
        std::map<std::string, std::string> before, after;
        Walk(s.root, &before);
        const Outcome o = RunRow(*call, paths, s, logs);
        if (o.skipped) {
            ++skipped;
            std::printf("skipped %s %s %s: capabilities cannot be dropped\n", row.call.c_str(),
                        row.slot.c_str(), row.kind.c_str());
            RemoveTree(s.root);
            continue;
        }
        ++run;
        Walk(s.root, &after);
        const std::vector<std::string> problems = CheckFiles(before, after, row, rowPath, out);
        const bool outOk = row.out == "*" || o.out == Expand(row.out, rowPath, out);
        const bool errOk = row.err == "*" || o.err == Expand(row.err, rowPath, out);
        EXPECT_TRUE(o.result == row.result && outOk && errOk && problems.empty())
            << "got: " << row.call << " | " << row.slot << " | " << row.kind << " | " << o.result
            << " | " << row.changes << " | " << (row.out == "*" ? "*" : Escape(o.out, rowPath, out))
            << " | " << (row.err == "*" ? "*" : Escape(o.err, rowPath, out));
        for (const std::string &p : problems) ADD_FAILURE() << p;
        RemoveTree(s.root);
        RemoveTree(logs);
    }
    std::printf("%s: %d rows run, %d skipped\n", callName.c_str(), run, skipped);
    EXPECT_GT(run, 0) << "no row of path_table.txt names " << callName;
}

std::vector<const char *> CallNames() {
    std::vector<const char *> names;
    for (const Call &call : Calls()) names.push_back(call.name);
    return names;
}

class PathTable : public ::testing::TestWithParam<const char *> {};

TEST_P(PathTable, EveryRowGivesItsResultAndKeepsEveryFile) { RunTable(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Calls, PathTable, ::testing::ValuesIn(CallNames()),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                             std::string name = info.param;
                             for (char &c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

TEST(PathTableRows, EachNamesACallOfTheTable) {
    const std::vector<Row> rows = LoadRows();
    EXPECT_GT(rows.size(), 0u) << CORVANE_PATH_TABLE;
    for (const Row &row : rows)
        EXPECT_NE(FindCall(row.call), nullptr) << "path_table.txt:" << row.line << ": " << row.call;
}

}  // namespace
