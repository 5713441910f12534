#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "qpp-permissions.h"
#include "quivend.h"
#include "replay-flow.h"
#include "replay-trust.h"

namespace {

std::string RealPath(const std::string &path)
{
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) return std::string();
    return resolved;
}

std::string DirName(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// The names in dir; nothing for a directory that cannot be read, whose
// entries the run cannot read either.
std::vector<std::string> Names(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return names;
    while (struct dirent *entry = readdir(d)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    return names;
}

// A file that an import can load: source, bytecode or an extension module
// (whose suffixes all end in ".so" here).
bool Importable(const std::string &path)
{
    auto ends = [&path](const std::string &suffix) {
        return path.size() > suffix.size() &&
            path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    return ends(".py") || ends(".pyc") || ends(".so");
}

}  // namespace

qppReplayTrust::qppReplayTrust(const std::string &script, const std::string &module_dir, bool check)
    : script(script), module_dir(module_dir), check(check) { }

void qppReplayTrust::CheckScript() const
{
    if (! check) return;
    try {
        qppCheckScriptPermissions(script, module_dir);
    }
    catch (const qdException &e) {
        throw qppReplayRefused(e.what());
    }
}

void qppReplayTrust::Add(const std::string &path) { Walk(path, 0); }

void qppReplayTrust::Walk(const std::string &path, int depth)
{
    auto refuse = [this](const std::string &fault) {
        throw qppReplayRefused("refusing to use module directory: " + module_dir + ": " + fault);
    };
    if (depth > 32) refuse(path + " is nested too deep to be checked");
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        // Gone since it was listed, or a link into nothing. Whoever could
        // make its target would choose what the script imports: the nearest
        // directory that exists on the way must be safe.
        std::vector<char> text(PATH_MAX + 1);
        ssize_t n = readlink(path.c_str(), text.data(), PATH_MAX);
        if (n < 0) return;
        std::string target(text.data(), static_cast<size_t>(n));
        if (target.empty()) return;
        if (target[0] != '/') target = DirName(path) + "/" + target;
        struct stat link;
        if (lstat(target.c_str(), &link) == 0) {
            Walk(target, depth + 1);
            return;
        }
        std::string dir = DirName(target);
        while (stat(dir.c_str(), &link) != 0 && dir != "/" && dir != ".") dir = DirName(dir);
        if (! check) return;
        std::string fault = qppModuleFault(dir);
        if (! fault.empty()) refuse(fault);
        return;
    }
    // A directory reached twice (through a link) is judged once.
    if (S_ISDIR(st.st_mode) && ! directories.insert({st.st_dev, st.st_ino}).second) return;
    if (! S_ISDIR(st.st_mode) && Importable(path)) modules.insert({st.st_dev, st.st_ino});
    if (check) {
        std::string fault = qppModuleFault(path);
        if (! fault.empty()) refuse(fault);
    }
    if (! S_ISDIR(st.st_mode)) return;
    for (auto &name : Names(path)) Walk(path + "/" + name, depth + 1);
}

void qppReplayTrust::CheckReload(const std::string &path) const
{
    // An input file with reload lines runs code: it may only bring in what
    // the run would import anyway.
    std::string dir = RealPath(DirName(path));
    bool beside = ! script.empty() && dir == RealPath(DirName(script));
    if (dir.empty() || (! beside && dir != RealPath(module_dir))) {
        throw qppReplayInputError("script: " + path +
            " is neither beside the script nor in the module directory");
    }
    if (! check) return;
    try {
        qppCheckScriptPermissions(path, module_dir);
    }
    catch (const qdException &e) {
        throw qppReplayRefused(e.what());
    }
}

bool qppReplayTrust::Imports(dev_t device, ino_t inode) const
{
    return modules.count({device, inode}) != 0;
}
