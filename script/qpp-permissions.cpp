#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "qpp-permissions.h"
#include "quivend.h"

namespace {

std::string Parent(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// The real path of path, or of the nearest existing directory above it
// (a module directory need not exist, but whoever could make it must not
// be able to).
std::string RealOrNearest(std::string path)
{
    for (;;) {
        char resolved[PATH_MAX];
        if (realpath(path.c_str(), resolved) != nullptr) return resolved;
        if (path == "/" || path == ".") return path;
        path = Parent(path);
    }
}

// What is wrong with one file or directory; empty when nothing is.
std::string Fault(const std::string &path, bool sticky_allowed)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return path + " cannot be examined: " + strerror(errno);
    uid_t self = geteuid();
    char mode[8];
    snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
    if (st.st_uid != 0 && st.st_uid != self) {
        return path + " is owned by uid " + std::to_string(st.st_uid) +
            ", neither root nor the daemon's user (uid " + std::to_string(self) + ")";
    }
    bool shared = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (shared && sticky_allowed && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX))
        return std::string();
    if (st.st_mode & S_IWOTH)
        return path + " is writable by others (mode " + mode + ")";
    if (st.st_mode & S_IWGRP)
        return path + " is writable by its group (mode " + mode + ")";
    return std::string();
}

// path itself and, for a directory or a file, its directory must be safe;
// every directory above them may also be sticky.
std::string ChainFault(const std::string &real, bool is_file)
{
    std::string fault = Fault(real, false);
    if (! fault.empty()) return fault;
    std::string dir = real;
    if (is_file) {
        dir = Parent(real);
        fault = Fault(dir, false);
        if (! fault.empty()) return fault;
    }
    while (dir != "/" && dir != ".") {
        dir = Parent(dir);
        fault = Fault(dir, true);
        if (! fault.empty()) return fault;
    }
    return std::string();
}

}  // namespace

void qppCheckScriptPermissions(const std::string &script, const std::string &module_dir)
{
    // The module directory is on the search path: helper modules beside
    // the script come from it.
    std::string real_dir = RealOrNearest(module_dir);
    std::string fault = ChainFault(real_dir, false);
    if (! fault.empty()) {
        throw qdException("refusing to use module directory: %s: %s",
            module_dir.c_str(), fault.c_str());
    }

    // The file that is read, wherever a link points, and the directory of
    // the link itself, whose owner could point it elsewhere.
    char resolved[PATH_MAX];
    if (realpath(script.c_str(), resolved) == nullptr) {
        throw qdException("refusing to load script: %s: %s cannot be examined: %s",
            script.c_str(), script.c_str(), strerror(errno));
    }
    fault = ChainFault(resolved, true);
    if (fault.empty()) {
        std::string link_dir = RealOrNearest(Parent(script));
        if (link_dir != Parent(resolved)) fault = ChainFault(link_dir, false);
    }
    if (! fault.empty())
        throw qdException("refusing to load script: %s: %s", script.c_str(), fault.c_str());
}

std::string qppModuleFault(const std::string &path)
{
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr)
        return path + " cannot be examined: " + strerror(errno);
    struct stat st;
    if (stat(resolved, &st) != 0)
        return std::string(resolved) + " cannot be examined: " + strerror(errno);
    return ChainFault(resolved, ! S_ISDIR(st.st_mode));
}
