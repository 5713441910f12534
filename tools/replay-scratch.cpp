#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "quivend.h"
#include "replay-host.h"
#include "replay-input.h"
#include "replay-scratch.h"
#include "replay-trust.h"

using ordered_json = nlohmann::ordered_json;

namespace {

const char *const module_subdirectory = "/quiven-proc-python";
const char *const budget_key = "callback_timeout";
const char *const queue_events_key = "queue_max_events";
const char *const queue_bytes_key = "queue_max_bytes";
const char *const isolation_key = "isolation";

std::string ErrnoText() { return strerror(errno); }

std::string RealPath(const std::string &path)
{
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) return std::string();
    return resolved;
}

std::string Absolute(const std::string &path)
{
    if (! path.empty() && path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof(cwd)) == nullptr) return path;
    return std::string(cwd) + "/" + path;
}

// Where path lies below dir, as "/sub/file"; empty when it is not below it
// (or climbs out again through "..").
std::string Below(const std::string &dir, const std::string &path)
{
    std::string base = dir;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    if (path.size() <= base.size() + 1 || path.compare(0, base.size(), base) != 0 ||
        path[base.size()] != '/')
        return std::string();
    std::string rest = path.substr(base.size());
    if ((rest + "/").find("/../") != std::string::npos) return std::string();
    return rest;
}

void MakeDirectory(const std::string &path)
{
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        throw qppReplaySetupError("cannot make " + path + ": " + ErrnoText());
}

void Link(const std::string &target, const std::string &link);
std::vector<std::string> Entries(const std::string &dir);

// Makes every directory of relative below base (which exists) a directory
// of ours. A link that the copy of the module directory made there is
// replaced by a directory of links to what it held: a file written below a
// link would be written into the user's directory.
void MakeDirectories(const std::string &base, const std::string &relative)
{
    std::string path = base;
    std::istringstream parts(relative);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part.empty() || part == ".") continue;
        path += "/" + part;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) {
            MakeDirectory(path);
            continue;
        }
        if (S_ISDIR(st.st_mode)) continue;
        if (! S_ISLNK(st.st_mode))
            throw qppReplaySetupError("cannot make " + path + ": it is not a directory");
        std::string target = RealPath(path);
        if (unlink(path.c_str()) != 0)
            throw qppReplaySetupError("cannot replace " + path + ": " + ErrnoText());
        MakeDirectory(path);
        if (target.empty() || stat(target.c_str(), &st) != 0 || ! S_ISDIR(st.st_mode)) continue;
        for (auto &entry : Entries(target)) Link(target + "/" + entry, path + "/" + entry);
    }
}

// A file of ours at path, never a link that an earlier copy put there:
// writing through one would write the user's file.
void WriteOwnFile(const std::string &path, const std::string &content)
{
    if (unlink(path.c_str()) != 0 && errno != ENOENT)
        throw qppReplaySetupError("cannot replace " + path + ": " + ErrnoText());
    if (! qppReplayWriteFile(path, content))
        throw qppReplaySetupError("cannot write " + path + ": " + ErrnoText());
}

void Link(const std::string &target, const std::string &link)
{
    if (symlink(target.c_str(), link.c_str()) != 0)
        throw qppReplaySetupError("cannot link " + target + " to " + link + ": " + ErrnoText());
}

std::vector<std::string> Entries(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) throw qppReplaySetupError("cannot read " + dir + ": " + ErrnoText());
    while (struct dirent *entry = readdir(d)) {
        std::string name = entry->d_name;
        // Bytecode caches belong to the interpreter that wrote them; the
        // plugin writes none.
        if (name != "." && name != ".." && name != "__pycache__") names.push_back(name);
    }
    closedir(d);
    return names;
}

// Copies the directory from into to (which exists): files and directories
// as copies, links as links to what they name, nothing else.
void CopyTree(const std::string &from, const std::string &to, int depth)
{
    if (depth > 32)
        throw qppReplaySetupError("cannot copy " + from + ": directories nested too deep");
    for (auto &name : Entries(from)) {
        std::string source = from + "/" + name, copy = to + "/" + name;
        struct stat st;
        if (lstat(source.c_str(), &st) != 0)
            throw qppReplaySetupError("cannot read " + source + ": " + ErrnoText());
        if (S_ISDIR(st.st_mode)) {
            MakeDirectory(copy);
            CopyTree(source, copy, depth + 1);
        }
        else if (S_ISREG(st.st_mode)) {
            std::string content;
            if (! qppReplayReadFile(source, content))
                throw qppReplaySetupError("cannot read " + source + ": " + ErrnoText());
            WriteOwnFile(copy, content);
        }
        else if (S_ISLNK(st.st_mode)) {
            // Resolved where it is: a relative link would not reach its
            // target from the copy.
            std::string target = RealPath(source);
            if (target.empty()) {
                std::vector<char> text(PATH_MAX + 1);
                ssize_t n = readlink(source.c_str(), text.data(), PATH_MAX);
                if (n < 0) continue;
                target.assign(text.data(), static_cast<size_t>(n));
            }
            Link(target, copy);
        }
    }
}

// The first entry that the removal could not remove, and why; guarded by
// the removal lock of the one scratch directory being removed.
std::string unremoved;
int unremoved_errno = 0;

int RemoveEntry(const char *file, const struct stat *, int, struct FTW *)
{
    if (remove(file) != 0 && errno != ENOENT && unremoved.empty()) {
        unremoved = file;
        unremoved_errno = errno;
    }
    return 0;
}

// Whether the configuration leaves the plugin's permission check on, as the
// plugin reads it: anything but false keeps it (a value that is not a
// boolean is the plugin's to report).
bool ChecksPermissions(const std::string &content)
{
    if (qppReplayTooDeep(content, qppReplayMaxDepth)) return true;
    try {
        ordered_json document;
        std::istringstream stream(content);
        stream >> document;
        auto it = document.is_object() ? document.find("check_permissions") : document.end();
        return ! (document.is_object() && it != document.end() && it->is_boolean() && ! it->get<bool>());
    }
    catch (const std::exception &) {
        return true;
    }
}

// A bound of the queue as the command line sets it (0: none, as the plugin
// reads it; null would be the plugin's own default), or the tool's default
// where the configuration says nothing.
void SetBound(ordered_json &document, const char *key, uint64_t value, bool given)
{
    if (given)
        document[key] = value;
    else if (document.find(key) == document.end() && value > 0)
        document[key] = value;
}

// A bound as the plugin reads it; 0 for none, or for a value it refuses.
uint64_t Bound(const ordered_json &document, const char *key)
{
    auto it = document.find(key);
    return it != document.end() && it->is_number_unsigned() ? it->get<uint64_t>() : 0;
}

// Whole seconds are written as integers, as a person would write them.
ordered_json Seconds(double seconds)
{
    if (seconds == std::floor(seconds) && seconds < 9007199254740992.0)
        return static_cast<uint64_t>(seconds);
    return seconds;
}

}  // namespace

std::string qppReplayDirName(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string qppReplayBaseName(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    return (slash == std::string::npos) ? path : path.substr(slash + 1);
}

bool qppReplayReadFile(const std::string &path, std::string &content)
{
    std::ifstream file(path, std::ios::binary);
    if (! file.is_open()) return false;
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad()) return false;
    content = text.str();
    return true;
}

bool qppReplayWriteFile(const std::string &path, const std::string &content)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (! file.is_open()) return false;
    file << content;
    file.close();
    return ! file.fail();
}

std::string qppReplayConfiguredScript(const std::string &conf,
    const std::map<std::string, std::string> &vars, std::string &why)
{
    std::string content;
    if (! qppReplayReadFile(conf, content)) {
        why = "cannot read " + conf + ": " + ErrnoText();
        return std::string();
    }
    // Copying or walking a deep document recurses; the plugin's reader will
    // say what is wrong with such a file.
    if (qppReplayTooDeep(content, qppReplayMaxDepth)) {
        why = conf + " nests too deep";
        return std::string();
    }
    ordered_json document;
    try {
        // As the plugin reads it: the first JSON value of the file.
        std::istringstream stream(content);
        stream >> document;
    }
    catch (const std::exception &) {
        why = conf + " is not JSON";
        return std::string();
    }
    auto script = document.is_object() ? document.find("script") : document.end();
    if (! document.is_object() || script == document.end() || ! script->is_string()) {
        why = conf + " names no script";
        return std::string();
    }
    std::string path;
    qd_expand_variables(script->get<std::string>(), path, vars);
    return path;
}

qppReplayScratch::qppReplayScratch()
{
    const char *base = getenv("TMPDIR");
    std::string pattern =
        std::string(base && *base ? base : "/tmp") + "/qpp-replay-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) {
        throw qppReplaySetupError("cannot make a temporary directory in " +
            qppReplayDirName(pattern) + ": " + ErrnoText());
    }
    root = name.data();
    // Readable by all: a script runner runs as another user (nobody, when
    // the tool runs as root), and reads the copies.
    chmod(root.c_str(), 0755);
    for (auto &fd : reserve) fd = qppFd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    data_dir = root + "/data";
    conf = root + "/quiven-proc-python.json";
    MakeDirectory(data_dir);
    MakeDirectory(data_dir + module_subdirectory);
}

qppReplayScratch::~qppReplayScratch()
{
    std::string failure = Remove();
    if (! failure.empty()) fprintf(stderr, "qpp-replay: %s\n", failure.c_str());
}

std::string qppReplayScratch::Remove()
{
    std::lock_guard<std::mutex> guard(removal);
    if (root.empty()) return std::string();
    for (auto &fd : reserve) fd.Reset();
    unremoved.clear();
    // Links are removed, never followed; one directory open at a time, so
    // that the reserve is enough.
    int walked = nftw(root.c_str(), RemoveEntry, 1, FTW_DEPTH | FTW_PHYS);
    std::string why = walked != 0 ? ErrnoText() : std::string();
    std::string failure;
    if (! unremoved.empty() || walked != 0) {
        failure = "cannot remove the temporary directory " + root + ": " +
            (unremoved.empty() ? why : unremoved + ": " + strerror(unremoved_errno));
    }
    root.clear();
    return failure;
}

std::unique_ptr<qppReplayScratch> qppReplayScratch::ForScript(const std::string &script,
    const std::map<std::string, std::string> &vars, const qppReplayBudget &budget,
    const qppReplayQueueBound &bound, const qppReplayIsolation &isolation)
{
    std::string content;
    if (! qppReplayReadFile(script, content))
        throw qppReplaySetupError("cannot read the script " + script + ": " + ErrnoText());

    std::unique_ptr<qppReplayScratch> scratch(new qppReplayScratch);
    std::string module_dir = scratch->data_dir + module_subdirectory;
    std::string name = qppReplayBaseName(script);
    std::string dir = RealPath(qppReplayDirName(script));
    if (dir.empty())
        throw qppReplaySetupError("cannot read " + qppReplayDirName(script) + ": " + ErrnoText());
    // The script's directory plays the module directory: all of it is
    // importable once linked.
    scratch->trust.reset(new qppReplayTrust(script, qppReplayDirName(script), true));
    scratch->trust->CheckScript();
    for (auto &entry : Entries(dir)) {
        if (entry == name) continue;
        scratch->trust->Add(dir + "/" + entry);
        Link(dir + "/" + entry, module_dir + "/" + entry);
    }
    // The script keeps its file name: the module name comes from it.
    std::string copy = module_dir + "/" + name;
    WriteOwnFile(copy, content);

    ordered_json document = {{"script", copy}};
    if (budget.seconds > 0) document[budget_key] = Seconds(budget.seconds);
    if (bound.events > 0) document[queue_events_key] = bound.events;
    if (bound.bytes > 0) document[queue_bytes_key] = bound.bytes;
    document[isolation_key] = isolation.value;
    scratch->WriteConf(document, copy, vars);
    return scratch;
}

void qppReplayScratch::WriteConf(ordered_json &document, const std::string &script,
    const std::map<std::string, std::string> &vars)
{
    auto set = document.find(budget_key);
    if (set != document.end() && set->is_number() && set->get<double>() > 0)
        budget = set->get<double>();
    auto isolation = document.find(isolation_key);
    runner = isolation != document.end() && *isolation == "process";
    queue_max_events = Bound(document, queue_events_key);
    queue_max_bytes = Bound(document, queue_bytes_key);

    // The plugin expands variables in the path it reads; the copy's path
    // must come out of that unchanged.
    std::map<std::string, std::string> run_vars = vars;
    if (run_vars.count("path_state_persistent") == 0)
        run_vars["path_state_persistent"] = data_dir;
    std::string expanded;
    qd_expand_variables(script, expanded, run_vars);
    if (expanded != script) {
        throw qppReplaySetupError("cannot name " + script + " in a configuration: "
            "the host would expand a variable in it");
    }
    std::string text;
    try {
        text = document.dump() + "\n";
    }
    catch (const nlohmann::json::exception &) {
        throw qppReplaySetupError(
            "cannot name " + script + " in a configuration: it is not UTF-8");
    }
    WriteOwnFile(conf, text);
}

std::unique_ptr<qppReplayScratch> qppReplayScratch::ForConf(const std::string &conf,
    const std::string &data_dir, const std::map<std::string, std::string> &vars,
    const qppReplayBudget &budget, const qppReplayQueueBound &bound,
    const qppReplayIsolation &isolation)
{
    std::string content;
    if (! qppReplayReadFile(conf, content))
        throw qppReplaySetupError("cannot read the configuration " + conf + ": " + ErrnoText());

    // The script the daemon would load, with the user's own data directory.
    std::map<std::string, std::string> user_vars = vars;
    if (user_vars.count("path_state_persistent") == 0)
        user_vars["path_state_persistent"] = data_dir;
    std::string why;
    std::string script = qppReplayConfiguredScript(conf, user_vars, why);

    std::unique_ptr<qppReplayScratch> scratch(new qppReplayScratch);
    std::string data_real = RealPath(data_dir);
    if (data_real.empty())
        throw qppReplaySetupError("cannot read " + data_dir + ": " + ErrnoText());
    struct stat st;
    std::string module_dir = data_real + module_subdirectory;
    bool has_modules = stat(module_dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);

    std::string script_content;
    if (! script.empty()) {
        bool is_file = (stat(script.c_str(), &st) == 0 && S_ISREG(st.st_mode));
        if (is_file && ! qppReplayReadFile(script, script_content)) is_file = false;
        if (! is_file) {
            bool directory = (stat(script.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
            throw qppReplaySetupError("the script that " + conf + " names, " + script +
                ", cannot be read: " + (directory ? "it is a directory" : ErrnoText()));
        }
    }

    // Judged as the plugin judges them in the daemon, with the user's own
    // data directory; then copied.
    scratch->trust.reset(new qppReplayTrust(script,
        data_dir + module_subdirectory, ChecksPermissions(content)));
    if (! script.empty()) scratch->trust->CheckScript();
    if (has_modules) {
        scratch->trust->Add(module_dir);
        CopyTree(module_dir, scratch->data_dir + module_subdirectory, 0);
    }

    ordered_json document;
    if (script.empty()) {
        // A configuration that the tool cannot read is the plugin's to
        // report, as in the daemon: it gets it as it is.
        WriteOwnFile(scratch->conf, content);
        return scratch;
    }

    // The copy takes the script's place under the scratch data directory,
    // found by the path as written (the module directory may be a link) or
    // else by the real one; a script outside the data directory gets a place
    // of its own, off the module search path as the original is.
    std::string relative = Below(Absolute(data_dir), Absolute(script));
    if (relative.empty())
        relative = Below(data_real, RealPath(qppReplayDirName(script)) + "/" + qppReplayBaseName(script));
    std::string copy;
    if (! relative.empty()) {
        MakeDirectories(scratch->data_dir, qppReplayDirName(relative));
        copy = scratch->data_dir + relative;
    }
    else {
        MakeDirectory(scratch->root + "/elsewhere");
        copy = scratch->root + "/elsewhere/" + qppReplayBaseName(script);
    }
    WriteOwnFile(copy, script_content);

    // The user's configuration with the copy's path, the budget and the
    // queue's bound: a value given on the command line replaces the
    // configuration's own, a default only fills in where it says nothing.
    std::istringstream stream(content);
    stream >> document;
    document["script"] = copy;
    if (budget.given)
        document[budget_key] = budget.seconds > 0 ? Seconds(budget.seconds) : ordered_json();
    else if (document.find(budget_key) == document.end() && budget.seconds > 0)
        document[budget_key] = Seconds(budget.seconds);
    SetBound(document, queue_events_key, bound.events, bound.events_given);
    SetBound(document, queue_bytes_key, bound.bytes, bound.bytes_given);
    if (isolation.given || document.find(isolation_key) == document.end())
        document[isolation_key] = isolation.value;
    scratch->WriteConf(document, copy, vars);
    return scratch;
}
