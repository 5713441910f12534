// The scratch data directory of a replay. The plugin runs on copies: its
// configuration, its module directory and its script live in a temporary
// directory of the tool's, so that a reload line, which replaces the
// configured script, never writes a file of the user's, and a killed run
// leaves the user's files as they were. The directory and everything in it
// are removed when the object dies.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

// What the configuration of the run says about the time budget of a
// callback call: as the user asked, or the tool's default.
struct qppReplayBudget
{
    // Seconds; 0 for none. Given: from the command line, which overrides a
    // configuration's own value; otherwise the default, which a
    // configuration's own value overrides.
    double seconds = 10;
    bool given = false;
};

class qppReplayScratch
{
public:
    // --script: the script is copied into the module directory under its
    // own file name, so that it is imported by that name; every other entry
    // of its directory is linked beside it, so that helper modules import
    // as they would from the daemon's module directory.
    static std::unique_ptr<qppReplayScratch> ForScript(const std::string &script,
        const std::map<std::string, std::string> &vars, const qppReplayBudget &budget);

    // --conf and --data-dir: the configuration is copied (with the budget
    // added), the module directory of data_dir is copied, and the script
    // that the configuration names (expanded with vars, as the plugin
    // will) is copied to the same place under the scratch data directory.
    static std::unique_ptr<qppReplayScratch> ForConf(const std::string &conf,
        const std::string &data_dir, const std::map<std::string, std::string> &vars,
        const qppReplayBudget &budget);

    ~qppReplayScratch();
    qppReplayScratch(const qppReplayScratch &) = delete;
    qppReplayScratch &operator=(const qppReplayScratch &) = delete;

    // The data directory and configuration to give the plugin.
    const std::string &DataDir() const { return data_dir; }
    const std::string &Conf() const { return conf; }
    // The budget the run's configuration sets, in seconds; none when it sets
    // none (or when the configuration is not one the tool can read).
    std::optional<double> Budget() const { return budget; }

private:
    qppReplayScratch();

    // Writes the run's configuration, document, naming script; vars are the
    // host variables of the run.
    void WriteConf(nlohmann::ordered_json &document, const std::string &script,
        const std::map<std::string, std::string> &vars);

    std::string root;
    std::string data_dir;
    std::string conf;
    std::optional<double> budget;
};

// The script file that a configuration names, as the plugin finds it: its
// "script" member with the host variables expanded. Empty with a reason in
// why when the configuration does not say.
std::string qppReplayConfiguredScript(const std::string &conf,
    const std::map<std::string, std::string> &vars, std::string &why);

// The directory part of a path ("." for a bare name), and the last part.
std::string qppReplayDirName(const std::string &path);
std::string qppReplayBaseName(const std::string &path);

bool qppReplayReadFile(const std::string &path, std::string &content);
bool qppReplayWriteFile(const std::string &path, const std::string &content);
