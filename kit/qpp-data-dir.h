// The host's data directory as a daemon lays it out for this plugin: a
// temporary directory with the plugin's module directory inside, made the
// host's persistent state path for as long as the object lives. Scripts
// go to the module directory, configurations beside it. Removed with
// everything in it when the object is destroyed.
//
// Touched by the thread that made it; the host's configuration holds a
// copy of the path, which plugins read on their own threads.
#pragma once

#include <filesystem>
#include <string>

class qppDataDir
{
public:
    // A fresh directory under the system's temporary directory, named
    // after prefix.
    explicit qppDataDir(const std::string &prefix);
    ~qppDataDir();

    qppDataDir(const qppDataDir &) = delete;
    qppDataDir &operator=(const qppDataDir &) = delete;

    const std::string &Path() const { return path; }
    std::string ModuleDir() const { return path + "/quiven-proc-python"; }
    // DATA/NAME.json, the configuration a plugin instance is given.
    std::string ConfPath(const std::string &name) const;

    // Copies a script file into the module directory (as its own name, or
    // as as) and returns its path there.
    std::string InstallScript(
        const std::filesystem::path &script, const std::string &as = std::string());
    void WriteConf(const std::string &json, const std::string &name);
    // A configuration naming script_path, with debug on or off.
    void WriteScriptConf(
        const std::string &script_path, bool debug, const std::string &name);

private:
    std::string path;
};

// The whole file; empty when it cannot be read.
std::string qppReadFile(const std::string &path);
// Writes aside and renames, so that a plugin never reads half a file.
void qppWriteFile(const std::string &path, const std::string &content);
