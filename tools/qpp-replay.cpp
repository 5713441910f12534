// qpp-replay: runs a script of the Python processor plugin against recorded
// or hand-written host events, without a daemon. It plays the daemon: loads
// the built plugin with dlopen and its factory, gives it a data directory and
// a configuration, delivers each input line to the plugin's hooks, and
// writes the host log and every dispatched payload to standard output.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <ftw.h>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "capture-input.h"
#include "replay-diff.h"
#include "replay-flow.h"
#include "replay-host.h"
#include "replay-input.h"

using json = nlohmann::json;

namespace {

const char *const usage_text =
    "usage: qpp-replay --script FILE [options] [INPUT]\n"
    "       qpp-replay --conf FILE --data-dir DIR [options] [INPUT]\n"
    "\n"
    "Runs a script of the Python processor plugin against the host events of\n"
    "INPUT (JSON Lines; standard input when absent or -). Standard output\n"
    "carries the host log and one JSON line per dispatched payload.\n"
    "\n"
    "  --script FILE       run this script in a temporary data directory\n"
    "  --conf FILE         use this plugin configuration ...\n"
    "  --data-dir DIR      ... and this host data directory\n"
    "  --debug             show the host's debug lines (and qpp.debug)\n"
    "  --sink-output FILE  write the payload lines to FILE instead\n"
    "  --sinks NAME,...    only these sink targets exist; others refuse\n"
    "  --expect FILE       compare the payload lines with FILE; exit 1 and\n"
    "                      show a diff when they differ\n"
    "  --var NAME=VALUE    a host variable for ${NAME} in the configuration\n"
    "  --plugin FILE       the plugin library (default: the one built with\n"
    "                      this tool)\n"
    "  --help              show this text\n"
    "\n"
    "Exit status: 0 done, 1 payloads differ from --expect, 2 bad usage or\n"
    "bad input.\n";

const char *const plugin_tag = "quiven-proc-python";
const char *const module_subdirectory = "/quiven-proc-python";

class UsageError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

struct Options
{
    std::string script;
    std::string conf;
    std::string data_dir;
    std::string plugin = QPP_REPLAY_DEFAULT_PLUGIN;
    bool debug = false;
    std::string sink_output;
    bool sinks_given = false;
    std::vector<std::string> sinks;
    std::string expect;
    std::map<std::string, std::string> vars;
    std::string input = "-";
    qppCaptureInputOptions capture;  // capture input (tools/capture)
};

std::vector<std::string> SplitNames(const std::string &list)
{
    std::vector<std::string> names;
    std::string name;
    std::istringstream stream(list);
    while (std::getline(stream, name, ',')) {
        if (! name.empty()) names.push_back(name);
    }
    return names;
}

// Capture input: a capture option's bad value is a usage error.
bool CaptureOption(const std::string &arg, const std::function<std::string()> &take,
    qppCaptureInputOptions &capture)
{
    try {
        return qppCaptureOption(arg, take, capture);
    }
    catch (const qppCaptureError &e) {
        throw UsageError(e.what());
    }
}

// Returns false when the user asked for help.
bool ParseOptions(int argc, char **argv, Options &opt)
{
    bool input_given = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        std::string value;
        bool has_value = false;
        size_t equals = arg.find('=');
        if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg.resize(equals);
            has_value = true;
        }
        auto take = [&]() -> std::string {
            if (has_value) return value;
            if (i + 1 >= argc) throw UsageError(arg + " needs a value");
            return argv[++i];
        };
        auto flag = [&]() {
            if (has_value) throw UsageError(arg + " takes no value");
        };

        if (arg == "--help" || arg == "-h") {
            flag();
            return false;
        }
        else if (arg == "--script")
            opt.script = take();
        else if (arg == "--conf")
            opt.conf = take();
        else if (arg == "--data-dir")
            opt.data_dir = take();
        else if (arg == "--plugin")
            opt.plugin = take();
        else if (arg == "--debug") {
            flag();
            opt.debug = true;
        }
        else if (arg == "--sink-output")
            opt.sink_output = take();
        else if (arg == "--sinks") {
            opt.sinks_given = true;
            opt.sinks = SplitNames(take());
        }
        else if (arg == "--expect")
            opt.expect = take();
        else if (arg == "--var") {
            std::string var = take();
            size_t at = var.find('=');
            if (at == std::string::npos || at == 0)
                throw UsageError("--var needs NAME=VALUE, not " + var);
            opt.vars[var.substr(0, at)] = var.substr(at + 1);
        }
        else if (CaptureOption(arg, take, opt.capture)) { }
        else if (arg.size() > 1 && arg[0] == '-')
            throw UsageError("unknown option " + arg);
        else {
            if (input_given) throw UsageError("more than one INPUT: " + arg);
            opt.input = arg;
            input_given = true;
        }
    }

    if (! opt.script.empty() && ! opt.conf.empty())
        throw UsageError("give either --script or --conf, not both");
    if (opt.script.empty() && opt.conf.empty())
        throw UsageError("give --script FILE, or --conf FILE with --data-dir DIR");
    if (! opt.conf.empty() && opt.data_dir.empty())
        throw UsageError("--conf needs --data-dir");
    if (! opt.script.empty() && ! opt.data_dir.empty())
        throw UsageError("--data-dir goes with --conf; --script makes its own");
    return true;
}

bool ReadFile(const std::string &path, std::string &content)
{
    std::ifstream file(path, std::ios::binary);
    if (! file.is_open()) return false;
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad()) return false;
    content = text.str();
    return true;
}

bool WriteFile(const std::string &path, const std::string &content)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (! file.is_open()) return false;
    file << content;
    file.close();
    return ! file.fail();
}

std::string ErrnoText() { return strerror(errno); }

bool IsDirectory(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string DirName(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string BaseName(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    return (slash == std::string::npos) ? path : path.substr(slash + 1);
}

// The temporary data directory of --script, removed with everything in it
// when the replay ends.
class TemporaryDirectory
{
public:
    TemporaryDirectory()
    {
        const char *base = getenv("TMPDIR");
        std::string pattern =
            std::string(base && *base ? base : "/tmp") + "/qpp-replay-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (mkdtemp(name.data()) == nullptr) {
            throw qppReplaySetupError(
                "cannot make a temporary directory in " + DirName(pattern) +
                ": " + ErrnoText());
        }
        path = name.data();
    }

    ~TemporaryDirectory()
    {
        nftw(path.c_str(),
            [](const char *file, const struct stat *, int, struct FTW *) {
                remove(file);
                return 0;
            },
            16, FTW_DEPTH | FTW_PHYS);
    }

    TemporaryDirectory(const TemporaryDirectory &) = delete;
    TemporaryDirectory &operator=(const TemporaryDirectory &) = delete;

    std::string path;
};

// The script file that the configuration names, as the plugin finds it:
// the "script" member with the host variables expanded. Empty with a reason
// when the configuration does not say.
std::string ConfiguredScript(const std::string &conf, std::string &why)
{
    std::string content;
    if (! ReadFile(conf, content)) {
        why = "cannot read " + conf + ": " + ErrnoText();
        return std::string();
    }
    json document;
    try {
        std::istringstream stream(content);
        stream >> document;
    }
    catch (const std::exception &) {
        why = conf + " is not JSON";
        return std::string();
    }
    if (! document.is_object() || ! document.contains("script") ||
        ! document["script"].is_string()) {
        why = conf + " names no script";
        return std::string();
    }
    std::string path;
    qd_expand_variables(document["script"].get<std::string>(), path,
        qdGlobalConfig::GetInstance().conf_vars);
    return path;
}

// What a replay line does to the plugin.
class Replay
{
public:
    Replay(qppReplayHost &host, const std::string &conf, bool restore_scripts,
        const std::string &input_dir)
        : host(host), conf(conf), restore_scripts(restore_scripts),
          input_dir(input_dir),
          flows([this](const qdFlow *flow) { BeforeUpdate(flow); }) { }

    ~Replay() { RestoreScripts(); }

    // Delivers one input line; throws qppReplayInputError naming the
    // problem, before anything of the line has reached the plugin.
    void Line(const std::string &text)
    {
        qppReplayLine line = qppReplayParseLine(text);
        if (line.type == qppReplayLine::Type::RELOAD) {
            Reload(line.script);
            return;
        }

        auto event = static_cast<qdPluginProcessor::Event>(line.event);
        switch (line.type) {
        case qppReplayLine::Type::FLOW: {
            auto flow = flows.Flow(line.flow, "flow");
            host.Plugin()->DispatchProcessorEvent(event, flow);
            Handed(flow.get());
            break;
        }
        case qppReplayLine::Type::FLOW_MAP:
            FlowMap(event, line.flow);
            break;
        case qppReplayLine::Type::AGENT:
            host.Plugin()->DispatchProcessorEvent(event);
            break;
        case qppReplayLine::Type::STATUS:
            host.Plugin()->DispatchProcessorEvent(event, &line.status);
            break;
        case qppReplayLine::Type::RELOAD:
            break;
        }
    }

private:
    // A queued event reads the live flow when the worker serves it, as in
    // the daemon; here each event is to show its flow as its own line left
    // it, so an update waits until earlier events are served.
    void BeforeUpdate(const qdFlow *flow)
    {
        if (pending.count(flow)) {
            host.Sync();
            pending.clear();
        }
    }

    // Only named flows can be changed by a later line; the others need no
    // watching (and their addresses may be reused once they are gone).
    void Handed(const qdFlow *flow)
    {
        if (flows.IsNamed(flow)) pending.insert(flow);
    }

    void FlowMap(qdPluginProcessor::Event event, const json &list)
    {
        // Every flow is read before any is changed in a way the plugin can
        // see; a bad one stops the line as a whole.
        auto entries = flows.FlowMap(list);

        // As in the daemon, the flows are spread over the map's buckets by
        // their keys, and the plugin walks the buckets in order.
        qdFlowMap map(16);
        for (auto &entry : entries) map.Insert(entry.first, entry.second);
        host.Plugin()->DispatchProcessorEvent(event, &map);
        for (auto &entry : entries) Handed(entry.second.get());
    }

    void Reload(const std::optional<std::string> &source)
    {
        std::string content;
        std::string script;
        if (source) {
            std::string path = *source;
            if (! path.empty() && path[0] != '/') path = input_dir + "/" + path;
            if (! ReadFile(path, content))
                throw qppReplayInputError("script: cannot read " + path + ": " + ErrnoText());

            std::string why;
            script = ConfiguredScript(conf, why);
            if (script.empty())
                throw qppReplayInputError("script: cannot replace the configured script: " + why);
        }

        // Events before the line are served with the old script, events
        // after it with the new one.
        host.Sync();
        pending.clear();
        if (! script.empty()) Replace(script, content);
        host.Reload();
        host.Sync();
    }

    void Replace(const std::string &script, const std::string &content)
    {
        if (restore_scripts && originals.count(script) == 0) {
            std::string original;
            if (ReadFile(script, original)) originals[script] = original;
        }
        if (! WriteFile(script, content)) {
            throw qppReplayInputError(
                "script: cannot write " + script + ": " + ErrnoText());
        }
    }

    // A configured script that belongs to the user gets its content back.
    void RestoreScripts()
    {
        for (auto &original : originals) {
            if (! WriteFile(original.first, original.second)) {
                fprintf(stderr, "qpp-replay: cannot restore %s: %s\n",
                    original.first.c_str(), ErrnoText().c_str());
            }
        }
        originals.clear();
    }

    qppReplayHost &host;
    std::string conf;
    bool restore_scripts;
    std::string input_dir;
    qppReplayFlows flows;
    std::set<const qdFlow *> pending;  // named, handed over since the last sync
    std::map<std::string, std::string> originals;
};

std::vector<std::string> Lines(const std::string &content)
{
    std::vector<std::string> lines;
    std::istringstream stream(content);
    std::string line;
    while (std::getline(stream, line)) {
        if (! line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    while (! lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
}

int Run(const Options &opt)
{
    // Capture input: a capture file, or a live interface opened (and root
    // given up) before any script is read; null for JSON Lines.
    std::unique_ptr<qppCaptureInput> capture = qppCaptureInput::Open(opt.capture, opt.input);

    // Everything the user named is checked before the plugin starts, so a
    // typo costs nothing and explains itself.
    std::ifstream input_file;
    if (opt.input != "-") {
        if (IsDirectory(opt.input))
            throw qppReplaySetupError("cannot read " + opt.input + ": it is a directory");
        input_file.open(opt.input);
        if (! input_file.is_open())
            throw qppReplaySetupError("cannot read " + opt.input + ": " + ErrnoText());
    }
    std::istream &input = (opt.input == "-") ? std::cin : input_file;
    std::string input_dir;
    if (opt.input == "-") {
        char cwd[4096];
        input_dir = getcwd(cwd, sizeof(cwd)) ? cwd : ".";
    }
    else
        input_dir = DirName(opt.input);

    std::vector<std::string> expected;
    if (! opt.expect.empty()) {
        std::string content;
        if (IsDirectory(opt.expect) || ! ReadFile(opt.expect, content)) {
            throw qppReplaySetupError("cannot read " + opt.expect + ": " +
                (IsDirectory(opt.expect) ? "it is a directory" : ErrnoText()));
        }
        expected = Lines(content);
    }

    qdGlobalConfig &config = qdGlobalConfig::GetInstance();
    std::unique_ptr<TemporaryDirectory> temporary;
    std::string conf;
    if (! opt.script.empty()) {
        std::string content;
        if (! IsRegularFile(opt.script) || ! ReadFile(opt.script, content)) {
            throw qppReplaySetupError("cannot read the script " + opt.script + ": " +
                (IsDirectory(opt.script) ? "it is a directory" : ErrnoText()));
        }
        // The plugin imports the script by its module name, which only a
        // file ending in .py provides.
        std::string base = BaseName(opt.script);
        if (base.size() <= 3 || base.compare(base.size() - 3, 3, ".py") != 0) {
            throw qppReplaySetupError("the script " + opt.script +
                " must be a file whose name ends in .py: it is imported as a module");
        }
        temporary.reset(new TemporaryDirectory);
        config.path_state_persistent = temporary->path;
        std::string module_dir = temporary->path + module_subdirectory;
        if (mkdir(module_dir.c_str(), 0755) != 0)
            throw qppReplaySetupError("cannot make " + module_dir + ": " + ErrnoText());
        // The script keeps its file name: the module name comes from it.
        std::string script = module_dir + "/" + base;
        if (! WriteFile(script, content))
            throw qppReplaySetupError("cannot write " + script + ": " + ErrnoText());
        conf = temporary->path + "/quiven-proc-python.json";
        if (! WriteFile(conf, json({{"script", script}}).dump() + "\n"))
            throw qppReplaySetupError("cannot write " + conf + ": " + ErrnoText());
    }
    else {
        if (! IsDirectory(opt.data_dir))
            throw qppReplaySetupError("no such data directory: " + opt.data_dir);
        if (! IsRegularFile(opt.conf))
            throw qppReplaySetupError("cannot read the configuration " + opt.conf +
                ": " + (IsDirectory(opt.conf) ? "it is a directory" : ErrnoText()));
        config.path_state_persistent = opt.data_dir;
        conf = opt.conf;
    }
    config.conf_vars = opt.vars;
    if (config.conf_vars.count("path_state_persistent") == 0)
        config.conf_vars["path_state_persistent"] = config.path_state_persistent;

    if (! opt.conf.empty()) {
        // A configuration the plugin cannot use is the plugin's to report,
        // as in the daemon; a script that is not there is said plainly.
        std::string why;
        std::string script = ConfiguredScript(conf, why);
        if (! script.empty() && ! IsRegularFile(script)) {
            throw qppReplaySetupError("the script that " + opt.conf + " names, " +
                script + ", cannot be read: " +
                (IsDirectory(script) ? "it is a directory" : ErrnoText()));
        }
    }

    qppReplayOutput output(opt.sink_output);
    qd_set_debug(opt.debug);
    output.Install(opt.sinks, ! opt.sinks_given);

    std::string error;
    {
        qppReplayHost host(opt.plugin);
        host.Start(plugin_tag, conf);

        Replay replay(host, conf, ! opt.conf.empty(), input_dir);
        std::string text;
        size_t number = 0;
        if (capture) {
            // A file waits for the script every 4096 events; an interface
            // never does.
            qppCapturePluginEvents events(host.Plugin(), capture->Live() ? 0 : 4096);
            error = capture->Deliver(events);
        }
        while (! capture && std::getline(input, text)) {
            number++;
            if (! text.empty() && text.back() == '\r') text.pop_back();
            if (text.find_first_not_of(" \t") == std::string::npos) continue;
            try {
                replay.Line(text);
            }
            catch (const qppReplayInputError &e) {
                error = "line " + std::to_string(number) + ": " + e.what();
                break;
            }
        }
        if (error.empty() && ! capture && input.bad())
            error = "cannot read " + opt.input + ": " + ErrnoText();

        // Served, then terminated: the unload notice comes last.
        host.Stop();
    }
    output.Uninstall();

    if (! error.empty()) {
        fflush(stdout);
        fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }

    if (! opt.expect.empty()) {
        std::string diff = qppReplayDiff(expected, output.PayloadLines(),
            opt.expect + " (expected)", "dispatched payloads");
        if (! diff.empty()) {
            fflush(stdout);
            fprintf(stderr, "qpp-replay: the dispatched payloads differ from %s:\n%s",
                opt.expect.c_str(), diff.c_str());
            return 1;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    Options opt;
    try {
        if (! ParseOptions(argc, argv, opt)) {
            fputs(usage_text, stdout);
            printf("\n%s", qppCaptureUsage);
            return 0;
        }
    }
    catch (const UsageError &e) {
        fprintf(stderr, "qpp-replay: %s\n\n%s\n%s", e.what(), usage_text, qppCaptureUsage);
        return 2;
    }

    try {
        return Run(opt);
    }
    catch (const qppReplaySetupError &e) {
        fflush(stdout);
        fprintf(stderr, "qpp-replay: %s\n", e.what());
        return 2;
    }
    catch (const qppCaptureError &e) {
        fflush(stdout);
        fprintf(stderr, "qpp-replay: %s\n", e.what());
        return 2;
    }
}
