// Hostile paths for every export that takes a path and every subcommand of
// the corvane tool.  path_table.txt holds the kinds of path (how each is
// made), the calls (their arguments, with the good input or the output each
// gets) and one row per call, argument and kind: the result, what may change
// on disk, the exact standard output and error.
//
// Each row runs in a scratch folder of its own (good inputs in in/, outputs
// in out/, the working directory cwd/, the hostile objects in kinds/), in a
// forked child under an alarm: a call that hangs or crashes fails its row,
// not the suite.  Run as root, the child first drops the capabilities that
// let root ignore permissions.  Every file and folder that was there before
// must be byte-identical afterwards, and nothing new may be left but the
// call's output.  A row that cannot be set up here (no device nodes, no
// sparse files, a scratch path too long, capabilities that cannot be
// dropped) is skipped and counted.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "corvane2.h"
#include "support/bytes.h"

// The leak check of the sanitizer build, run by each child before it ends.
extern "C" __attribute__((weak)) void __lsan_do_leak_check(void);

namespace {

namespace fs = std::filesystem;
using Fields = std::vector<std::string>;

// A line of path_table.txt cut at its bars, each field trimmed; at least
// seven fields.
Fields Split(const std::string &line) {
    Fields fields;
    std::istringstream in(line);
    for (std::string f; std::getline(in, f, '|');) {
        f.erase(0, f.find_first_not_of(' '));
        fields.push_back(f.erase(f.find_last_not_of(' ') + 1));
    }
    fields.resize(std::max<size_t>(fields.size(), 7));
    return fields;
}

Fields Words(const std::string &text) {
    std::istringstream in(text);
    return Fields(std::istream_iterator<std::string>(in), std::istream_iterator<std::string>());
}

std::string Replace(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = 0; !from.empty() && (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// "kind NAME | ..." and "call NAME | ..." lines by name, and the rows.
struct Table {
    std::map<std::string, Fields> kinds, calls;
    std::vector<std::pair<int, Fields>> rows;
};

const Table &LoadTable() {
    static const Table table = [] {
        Table t;
        std::ifstream in(CORVANE_PATH_TABLE);
        std::string line;
        for (int number = 1; std::getline(in, line); ++number) {
            const Fields f = Split(line);
            if (line.rfind("kind ", 0) == 0) t.kinds[f[0].substr(5)] = f;
            else if (line.rfind("call ", 0) == 0) t.calls[f[0].substr(5)] = f;
            else if (!line.empty() && line[0] != '#') t.rows.push_back({number, f});
        }
        return t;
    }();
    return table;
}

// An export, run in the child: its result as text.  CreateTrack makes a
// video track whose temporary file is its second path, adds one frame and
// flushes: its own result and the frame's.
std::string RunExport(const std::string &name, const Fields &p) {
    const char *a = p[0].c_str(), *b = p.size() > 1 ? p[1].c_str() : "", *c = p.size() > 2 ? p[2].c_str() : "";
    FileInfo info{};
    uint32_t width = 0, height = 0;
    MP4_read_file *reader = nullptr;
    if (name == "MP4FileOpen") {
        const int32_t result = MP4FileOpen(&reader, a);
        MP4FileClose(&reader);
        std::free(reader);
        return std::to_string(result);
    }
    if (name == "GetFileInfo") return std::to_string(GetFileInfo(a, &info));
    if (name == "GetM4vHeaderSize") return std::to_string(GetM4vHeaderSize(a, &width, &height));
    if (name == "Mp4AddAudio") return std::to_string(Mp4AddAudio(a, b, c));
    if (name == "Mp4AddVideo") return std::to_string(Mp4AddVideo(a, b, c, 25.0f));
    MP4_local_file *file = nullptr;
    std::string result = std::to_string(MP4FileNew(&file, a));
    if (file != nullptr && name == "CreateTrack") {
        const uint8_t frame[] = {0, 0, 1, 0xB6, 0x10, 0x20};
        result = std::to_string(CreateTrack(file, 1, 176, 144, 0, 1000, 0, 0, 0, 0, 0, nullptr, b, 1));
        result += " " + std::to_string(AddVideoFrame(file, sizeof frame, frame, 0, 1));
    }
    if (file != nullptr) MP4FileFlush(file);
    return result;
}

// Makes a kind of path in the scratch folder `root` for a slot whose good
// input is `fixture` ("" for an output); returns its path, or sets `skip`.
std::string MakeKind(const Fields &kind, const std::string &root, const std::string &fixture, std::string *skip) {
    const std::string ext = fixture.empty() ? "out" : fixture.substr(fixture.rfind('.') + 1);
    std::string path = root + "/" + Replace(Replace(kind[1], "EXT", ext), "\\xFF", "\xFF");
    if (const size_t hash = path.find('#'); hash != std::string::npos) {
        const size_t length = std::stoul(path.substr(hash + 1)), digits = path.find('.', hash) - hash;
        if (path.size() - digits >= length) *skip = "the scratch folder's path is too long";
        else path.replace(hash, digits, length - (path.size() - digits), 'q');
    }
    setenv("ROOT", root.c_str(), 1);
    setenv("P", path.c_str(), 1);
    setenv("IN", fixture.empty() ? "" : Fixture(fixture).c_str(), 1);
    setenv("DATA", CORVANE_TEST_DATA, 1);
    if (!skip->empty() || kind[2].empty() || std::system(("cd \"$ROOT\" && " + kind[2]).c_str()) == 0) return path;
    *skip = kind[3];
    EXPECT_FALSE(skip->empty()) << "this cannot fail: " << kind[2];
    return path;
}

// Root ignores file permissions through three capabilities: dropped from the
// bounding set (so that the tool started afterwards does not get them back)
// and from every set of this process.  False when that is not possible here.
bool DropPermissionCapabilities() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (geteuid() != 0) return true;
    if (syscall(SYS_capget, &header, data) != 0) return false;
    for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {  // all below 32
        if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) return false;
        data[0].effective &= ~(1u << cap);
        data[0].permitted &= ~(1u << cap);
        data[0].inheritable &= ~(1u << cap);
    }
    return syscall(SYS_capset, &header, data) == 0;
}

// Runs the call in a child (an export, or the tool with `args`) in the
// working directory `cwd`: standard output and error into files in `logs`,
// an alarm against hangs.  Gives the export's result or the tool's exit
// status, "hung", "killed by signal N" or "skipped".
std::string RunInChild(const std::string &name, const Fields &paths, const Fields &args, const std::string &cwd,
                       const std::string &logs) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (!std::freopen((logs + "/stdout").c_str(), "w", stdout) ||
            !std::freopen((logs + "/stderr").c_str(), "w", stderr) || chdir(cwd.c_str()) != 0)
            _exit(120);
        if (!DropPermissionCapabilities()) _exit(77);
        alarm(60);
        if (!args.empty()) {
            std::vector<char *> argv;
            for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(121);
        }
        const std::string result = RunExport(name, paths);
        std::ofstream(logs + "/result") << result;
        std::fflush(nullptr);
        if (__lsan_do_leak_check) __lsan_do_leak_check();
        _exit(0);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return "fork failed";
    if (WIFSIGNALED(status))
        return WTERMSIG(status) == SIGALRM ? "hung" : "killed by signal " + std::to_string(WTERMSIG(status));
    if (WEXITSTATUS(status) == 77) return "skipped";
    const Bytes result = ReadFileBytes(logs + "/result");
    if (!args.empty() || WEXITSTATUS(status) != 0) return std::to_string(WEXITSTATUS(status));
    return std::string(result.begin(), result.end());
}

// What every path under the scratch folder holds: type and permissions, a
// device's number, a regular file's blocks and bytes (for a large sparse
// file its size and modification time instead of the bytes), a symbolic
// link's target.
std::map<std::string, std::string> Snapshot(const std::string &root) {
    std::map<std::string, std::string> seen;
    for (const auto &entry : fs::recursive_directory_iterator(root)) {
        struct stat st {};
        lstat(entry.path().c_str(), &st);
        std::ostringstream print;
        print << st.st_mode << ' ' << st.st_rdev;
        if (S_ISREG(st.st_mode) && st.st_size < (1 << 24)) {
            const Bytes bytes = ReadFileBytes(entry.path());
            print << ' ' << st.st_blocks << ' ' << std::string(bytes.begin(), bytes.end());
        } else if (S_ISREG(st.st_mode)) {
            print << ' ' << st.st_size << ' ' << st.st_blocks << ' ' << st.st_mtim.tv_sec << '.' << st.st_mtim.tv_nsec;
        } else if (S_ISLNK(st.st_mode)) {
            print << " -> " << fs::read_symlink(entry.path()).string();
        }
        seen[entry.path()] = print.str();
    }
    return seen;
}

// A text as the table writes it: \n for a line end, {path} and {out}.
std::string AsInTable(const Bytes &bytes, const std::string &path, const std::string &out) {
    const std::string text = Replace(Replace(std::string(bytes.begin(), bytes.end()), "\\", "\\\\"), "\n", "\\n");
    return Replace(Replace(text, path, "{path}"), out, "{out}");
}

// The row's result, output and files against the table's.
void CheckRow(const Fields &row, const std::string &result, const std::string &logs, const std::string &rowPath,
              const std::string &out, const std::string &cwd, const std::string &root,
              const std::map<std::string, std::string> &before, std::map<std::string, std::string> after) {
    const std::string o = AsInTable(ReadFileBytes(logs + "/stdout"), rowPath, out);
    const std::string e = AsInTable(ReadFileBytes(logs + "/stderr"), rowPath, out);
    EXPECT_TRUE(result == row[3] && (row[5] == "*" || o == row[5]) && (row[6] == "*" || e == row[6]))
        << "got: " << row[0] << " | " << row[1] << " | " << row[2] << " | " << result << " | " << row[4] << " | "
        << (row[5] == "*" ? "*" : o) << " | " << (row[6] == "*" ? "*" : e);
    const auto allows = [&](const char *change) { return row[4].find(change) != std::string::npos; };
    // The files the kinds' symbolic links lead to lie in elsewhere/.
    const auto mayChange = [&](const std::string &path) {
        return (allows("output") && path == out) || (allows("temporary") && path.rfind(cwd + "/", 0) == 0) ||
               (allows("target") && path.rfind(root + "/elsewhere/", 0) == 0);
    };
    for (const auto &[path, print] : before) {
        if (mayChange(path) || (allows("removed") && path == rowPath && !after.count(path))) continue;
        const bool kept = after.count(path) != 0;
        EXPECT_TRUE(kept && after[path] == print) << (kept ? "changed: " : "removed: ") << path;
    }
    for (const auto &[path, print] : after)
        EXPECT_TRUE(before.count(path) || mayChange(path)) << "left behind: " << path;
    if (allows("empty")) {
        EXPECT_TRUE(fs::is_regular_file(out) && fs::file_size(out) == 0) << "not left empty: " << out;
    }
}

// Runs one row; false when it was skipped.
bool RunRow(int line, const Fields &row) {
    const Table &table = LoadTable();
    const std::string root = TempDir() + "/" + std::to_string(line), logs = root + "-logs";
    std::string cwd = root + "/cwd", rowPath, out, skip;
    if (table.kinds.count(row[2]) == 0) {
        ADD_FAILURE() << "no kind " << row[2];
        return true;
    }
    const Fields &kind = table.kinds.at(row[2]);
    for (const std::string &dir : {root, root + "/in", root + "/out", cwd, root + "/kinds", logs})
        mkdir(dir.c_str(), 0755);
    if (row[1] == "cwd") cwd = rowPath = MakeKind(kind, root, "", &skip);
    // The slots: NAME=fixture, a good input copied into in/; NAME>path, a
    // path in the scratch folder, or in the working directory when it names
    // no folder.  OUT is the call's output.
    std::map<std::string, std::string> pathOf;
    Fields paths, args;
    for (const std::string &slot : Words(table.calls.at(row[0])[1])) {
        const size_t mark = slot.find_first_of("=>");
        const std::string name = slot.substr(0, mark), value = slot.substr(mark + 1);
        std::string &path = pathOf[name];
        if (name == row[1]) path = rowPath = MakeKind(kind, root, slot[mark] == '=' ? value : "", &skip);
        else if (slot[mark] == '=') fs::copy_file(Fixture(value), path = root + "/in/" + value);
        else path = value.find('/') == std::string::npos ? value : root + "/" + value;
        if (name == "OUT") out = path;
        paths.push_back(path);
    }
    EXPECT_FALSE(rowPath.empty()) << row[0] << " has no argument " << row[1];
    // A word that names a slot, alone or after "--option=", takes its path.
    for (const std::string &word : Words(table.calls.at(row[0]).size() > 2 ? table.calls.at(row[0])[2] : "")) {
        const size_t eq = word.find('=');
        const std::string slot = eq == std::string::npos ? word : word.substr(eq + 1);
        args.push_back(pathOf.count(slot) ? word.substr(0, word.size() - slot.size()) + pathOf[slot] : word);
    }
    if (!args.empty()) args.insert(args.begin(), CORVANE_TOOL_PATH);

    const auto before = Snapshot(root);
    const std::string exported = row[0].substr(0, row[0].find(' '));  // "Mp4AddAudio (no source)"
    const std::string result = skip.empty() ? RunInChild(exported, paths, args, cwd, logs) : "skipped";
    if (result == "skipped")
        std::printf("skipped %s | %s | %s: %s\n", row[0].c_str(), row[1].c_str(), row[2].c_str(),
                    skip.empty() ? "capabilities cannot be dropped" : skip.c_str());
    else
        CheckRow(row, result, logs, rowPath, out, cwd, root, before, Snapshot(root));
    for (const auto &entry : fs::recursive_directory_iterator(root))
        if (entry.is_directory()) fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(root);
    fs::remove_all(logs);
    return result != "skipped";
}

class PathTable : public ::testing::TestWithParam<std::string> {};

TEST_P(PathTable, EveryRowGivesItsResultAndKeepsEveryFile) {
    ASSERT_EQ(LoadTable().calls.count(GetParam()), 1u) << "path_table.txt has rows for no call " << GetParam();
    int run = 0, skipped = 0;
    for (const auto &[line, row] : LoadTable().rows) {
        if (row[0] != GetParam()) continue;
        SCOPED_TRACE("path_table.txt:" + std::to_string(line) + ": " + row[0] + " | " + row[1] + " | " + row[2]);
        ++(RunRow(line, row) ? run : skipped);
    }
    std::printf("%s: %d rows run, %d skipped\n", GetParam().c_str(), run, skipped);
}

std::vector<std::string> CallsOfTheRows() {
    std::set<std::string> names;
    for (const auto &row : LoadTable().rows) names.insert(row.second[0]);
    return {names.begin(), names.end()};
}

INSTANTIATE_TEST_SUITE_P(Calls, PathTable, ::testing::ValuesIn(CallsOfTheRows()), [](const auto &info) {
    std::string name = info.param;
    for (char &c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
});

}  // namespace
