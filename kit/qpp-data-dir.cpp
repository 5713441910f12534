#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "qpp-data-dir.h"
#include "quivend.h"

namespace fs = std::filesystem;

qppDataDir::qppDataDir(const std::string &prefix)
{
    std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (mkdtemp(&pattern[0]) == nullptr)
        throw std::runtime_error("cannot make a data directory from " + pattern);
    path = pattern;
    fs::create_directory(ModuleDir());
    // Readable by all, as a daemon's data directory is: a script runner
    // runs as another user (writable by the owner only, as the plugin's
    // permission check wants).
    for (const std::string &dir : {path, ModuleDir()})
        fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read |
                fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    qdGlobalConfig::GetInstance().path_state_persistent = path;
}

qppDataDir::~qppDataDir()
{
    // A directory a test made unreadable, or a file a plugin still writes,
    // must not end the process from a destructor.
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

std::string qppDataDir::ConfPath(const std::string &name) const
{
    return path + "/" + name + ".json";
}

std::string qppDataDir::InstallScript(const fs::path &script, const std::string &as)
{
    if (! fs::is_regular_file(script))
        throw std::runtime_error("no script " + script.string());
    std::string target = ModuleDir() + "/" +
        (as.empty() ? script.filename().string() : as);
    qppWriteFile(target, qppReadFile(script.string()));
    return target;
}

void qppDataDir::WriteConf(const std::string &json, const std::string &name)
{
    qppWriteFile(ConfPath(name), json);
}

void qppDataDir::WriteScriptConf(
    const std::string &script_path, bool debug, const std::string &name)
{
    WriteConf("{\"script\": \"" + script_path + "\", \"debug\": " +
            (debug ? "true" : "false") + "}\n",
        name);
}

std::string qppReadFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

void qppWriteFile(const std::string &path, const std::string &content)
{
    std::string temporary = path + ".tmp";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << content;
        if (! file) throw std::runtime_error("cannot write " + temporary);
    }
    fs::rename(temporary, path);
}
