// qpp-replay: runs a script of the Python processor plugin against recorded
// or hand-written host events, without a daemon. It plays the daemon: loads
// the built plugin with dlopen and its factory, gives it a data directory and
// a configuration, delivers each input line to the plugin's hooks, and
// writes the host log and every dispatched payload to standard output. The
// plugin runs on scratch copies of the user's files (replay-scratch.h), and
// the exit status says whether the script ran cleanly (replay-status.h).

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <functional>
#include <getopt.h>
#include <map>
#include <memory>
#include <optional>
#include <pwd.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "capture-input.h"
#include "replay-capabilities.h"
#include "replay-diff.h"
#include "replay-flow.h"
#include "replay-host.h"
#include "replay-input.h"
#include "replay-plugin-path.h"
#include "replay-scratch.h"
#include "replay-status.h"
#include "replay-stop.h"
#include "replay-trust.h"

using json = nlohmann::json;

namespace {

// The usage, in the form help2man reads (Usage:/or:, "Options:", an
// indented option and its text): qpp-replay's man page is made from --help
// and --version at build time. The capture options come between the two.
const char *const usage_text =
    "Usage: qpp-replay --script FILE [options] [INPUT]\n"
    "  or:  qpp-replay --conf FILE --data-dir DIR [options] [INPUT]\n"
    "\n"
    "Runs a script of the Python processor plugin against the host events of\n"
    "INPUT (JSON Lines; standard input when absent or -). Standard output\n"
    "carries the host log and one JSON line per dispatched payload; standard\n"
    "error ends with a summary: events served, callback errors, payloads.\n"
    "\n"
    "Options:\n"
    "  --script FILE       run this script in a temporary data directory, with\n"
    "                      the other files of its directory beside it\n"
    "  --conf FILE         use a copy of this plugin configuration ...\n"
    "  --data-dir DIR      ... and of the module directory of this host data\n"
    "                      directory (the user's files are never written)\n"
    "  --debug             show the host's debug lines (and qpp.debug)\n"
    "  --stats             print the plugin's statistics as JSON at the end\n"
    "  --sink-output FILE  write the payload lines to FILE instead\n"
    "  --sinks NAME,...    only these sink targets exist; others refuse\n"
    "  --expect FILE       compare the payload lines with FILE; exit 1 and\n"
    "                      show a diff when they differ\n"
    "  --timeout SECONDS   interrupt a callback call that runs longer (default\n"
    "                      10; 0 for no limit)\n"
    "  --queue-max-events N  at most N events wait for the script (default\n"
    "                      16384; 0 for no limit); a live capture drops the\n"
    "                      others, other input waits for the script\n"
    "  --queue-max-bytes N   the same for the bytes they hold (default\n"
    "                      67108864, 64 MiB)\n"
    "  --isolation WAY     run the script in a sub-interpreter (interpreter, the\n"
    "                      default) or in a process of its own (process, the\n"
    "                      default with --interface), as the daemon will\n"
    "  --var NAME=VALUE    a host variable for ${NAME} in the configuration\n"
    "  --plugin FILE       the plugin library (default: the one built with\n"
    "                      this tool, or the one installed with it)\n"
    "  --help              show this text and exit\n"
    "  --version           show the version and exit\n";

const char *const exit_text =
    "Exit status:\n"
    "  0  done\n"
    "  1  the dispatched payloads differ from --expect\n"
    "  2  bad usage, bad input, or output lost\n"
    "  3  the script failed to load, or a callback raised or was interrupted\n"
    "When several apply, 2 wins over 1, and 1 over 3.\n";

const char *const version_text = "qpp-replay (quiven-proc-python) " QPP_REPLAY_VERSION "\n";

const char *const plugin_tag = "quiven-proc-python";

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
    std::string plugin = qppReplayDefaultPlugin();
    bool debug = false;
    bool stats = false;
    std::string sink_output;
    bool sinks_given = false;
    std::vector<std::string> sinks;
    std::string expect;
    std::map<std::string, std::string> vars;
    qppReplayBudget budget;
    qppReplayQueueBound queue_bound;
    qppReplayIsolation isolation;
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

// The options, long as the documentation gives them; "-h" is kept as a
// short form of --help. The capture options go to qppCaptureOption by name.
enum OptionCode {
    OPT_VERSION = 256, OPT_SCRIPT, OPT_CONF, OPT_DATA_DIR, OPT_PLUGIN, OPT_DEBUG, OPT_STATS,
    OPT_SINK_OUTPUT, OPT_SINKS, OPT_EXPECT, OPT_TIMEOUT, OPT_VAR, OPT_QUEUE_EVENTS,
    OPT_QUEUE_BYTES, OPT_ISOLATION, OPT_CAPTURE
};

const struct option long_options[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, OPT_VERSION},
    {"script", required_argument, nullptr, OPT_SCRIPT},
    {"conf", required_argument, nullptr, OPT_CONF},
    {"data-dir", required_argument, nullptr, OPT_DATA_DIR},
    {"plugin", required_argument, nullptr, OPT_PLUGIN},
    {"debug", no_argument, nullptr, OPT_DEBUG},
    {"stats", no_argument, nullptr, OPT_STATS},
    {"sink-output", required_argument, nullptr, OPT_SINK_OUTPUT},
    {"sinks", required_argument, nullptr, OPT_SINKS},
    {"expect", required_argument, nullptr, OPT_EXPECT},
    {"timeout", required_argument, nullptr, OPT_TIMEOUT},
    {"isolation", required_argument, nullptr, OPT_ISOLATION},
    {"var", required_argument, nullptr, OPT_VAR},
    {"queue-max-events", required_argument, nullptr, OPT_QUEUE_EVENTS},
    {"queue-max-bytes", required_argument, nullptr, OPT_QUEUE_BYTES},
    {"interface", required_argument, nullptr, OPT_CAPTURE},
    {"filter", required_argument, nullptr, OPT_CAPTURE},
    {"count", required_argument, nullptr, OPT_CAPTURE},
    {"duration", required_argument, nullptr, OPT_CAPTURE},
    {"update-interval", required_argument, nullptr, OPT_CAPTURE},
    {"max-flows", required_argument, nullptr, OPT_CAPTURE},
    {"user", required_argument, nullptr, OPT_CAPTURE},
    {"idle-timeout", required_argument, nullptr, OPT_CAPTURE},
    {nullptr, 0, nullptr, 0},
};

// The option as the user wrote it, without "=VALUE": getopt_long leaves it
// in the argument it has just passed.
std::string GivenOption(char **argv)
{
    std::string given = argv[optind - 1];
    if (given.rfind("--", 0) == 0) given = given.substr(0, given.find('='));
    return given;
}

double TimeoutSeconds(const std::string &text)
{
    char *end = nullptr;
    errno = 0;
    double seconds = strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || ! std::isfinite(seconds) ||
        seconds < 0)
        throw UsageError("--timeout needs a number of seconds, not " + text);
    return seconds;
}

uint64_t QueueBound(const std::string &option, const std::string &text)
{
    char *end = nullptr;
    errno = 0;
    unsigned long long value = strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0)
        throw UsageError(option + " needs a whole number, 0 for no limit, not " + text);
    return value;
}

// What the command line asks for: a run, or one of the texts.
enum class Asked { RUN, HELP, VERSION };

Asked ParseOptions(int argc, char **argv, Options &opt)
{
    // Messages are ours; the leading ':' makes a missing value ':'.
    opterr = 0;
    int index = -1, code;
    while ((index = -1, code = getopt_long(argc, argv, ":h", long_options, &index)) != -1) {
        std::string value = optarg ? optarg : "";
        switch (code) {
        case 'h': return Asked::HELP;
        case OPT_VERSION: return Asked::VERSION;
        case OPT_SCRIPT: opt.script = value; break;
        case OPT_CONF: opt.conf = value; break;
        case OPT_DATA_DIR: opt.data_dir = value; break;
        case OPT_PLUGIN: opt.plugin = value; break;
        case OPT_DEBUG: opt.debug = true; break;
        case OPT_STATS: opt.stats = true; break;
        case OPT_SINK_OUTPUT: opt.sink_output = value; break;
        case OPT_SINKS:
            opt.sinks_given = true;
            opt.sinks = SplitNames(value);
            break;
        case OPT_EXPECT: opt.expect = value; break;
        case OPT_TIMEOUT:
            opt.budget.seconds = TimeoutSeconds(value);
            opt.budget.given = true;
            break;
        case OPT_QUEUE_EVENTS:
            opt.queue_bound.events = QueueBound("--queue-max-events", value);
            opt.queue_bound.events_given = true;
            break;
        case OPT_QUEUE_BYTES:
            opt.queue_bound.bytes = QueueBound("--queue-max-bytes", value);
            opt.queue_bound.bytes_given = true;
            break;
        case OPT_ISOLATION:
            if (value != "interpreter" && value != "process")
                throw UsageError("--isolation is interpreter or process, not " + value);
            opt.isolation = {value, true};
            break;
        case OPT_VAR: {
            size_t at = value.find('=');
            if (at == std::string::npos || at == 0)
                throw UsageError("--var needs NAME=VALUE, not " + value);
            opt.vars[value.substr(0, at)] = value.substr(at + 1);
            break;
        }
        case OPT_CAPTURE:
            try {
                qppCaptureOption(std::string("--") + long_options[index].name,
                    [&value] { return value; }, opt.capture);
            }
            catch (const qppCaptureError &e) {
                throw UsageError(e.what());
            }
            break;
        case ':': throw UsageError(GivenOption(argv) + " needs a value");
        default:
            // A known long option given a value it does not take; otherwise
            // an option that is not one of ours.
            if (optopt != 0 && GivenOption(argv).rfind("--", 0) == 0)
                throw UsageError(GivenOption(argv) + " takes no value");
            throw UsageError("unknown option " +
                (optopt != 0 ? std::string("-") + static_cast<char>(optopt) : GivenOption(argv)));
        }
    }
    if (argc - optind > 1) throw UsageError(std::string("more than one INPUT: ") + argv[optind + 1]);
    if (optind < argc) opt.input = argv[optind];
    // A live capture's script never holds the capture's descriptor.
    if (! opt.isolation.given && ! opt.capture.interface.empty()) opt.isolation.value = "process";

    if (! opt.script.empty() && ! opt.conf.empty())
        throw UsageError("give either --script or --conf, not both");
    if (opt.script.empty() && opt.conf.empty())
        throw UsageError("give --script FILE, or --conf FILE with --data-dir DIR");
    if (! opt.conf.empty() && opt.data_dir.empty())
        throw UsageError("--conf needs --data-dir");
    if (! opt.script.empty() && ! opt.data_dir.empty())
        throw UsageError("--data-dir goes with --conf; --script makes its own");
    return Asked::RUN;
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

// What a replay line does to the plugin.
class Replay
{
public:
    // conf: the run's configuration, which names the script that a reload
    // line replaces (a scratch copy: never the user's); trust judges the
    // file that a reload line names.
    Replay(qppReplayHost &host, const std::string &conf, const qppReplayTrust &trust,
        const std::string &input_dir, qppCapturePace pace)
        : host(host), conf(conf), trust(trust), input_dir(input_dir),
          pacer(host.Plugin(), pace, [this] { Sync(); }),
          flows([this](const qdFlow *flow) { BeforeUpdate(flow); }) { }

    // Delivers one input line; throws qppReplayInputError naming the
    // problem, before anything of the line has reached the plugin, or
    // qppReplayRefused for a reload line whose file the plugin's check
    // refuses (the script loaded before keeps running, as in the daemon).
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
            MarkQueued(flow.get());
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
        pacer.Delivered(line.type == qppReplayLine::Type::FLOW_MAP);
    }

private:
    // A queued event reads the live flow when the worker serves it, as in
    // the daemon; here each event is to show its flow as its own line left
    // it, so an update waits until earlier events are served.
    void BeforeUpdate(const qdFlow *flow)
    {
        if (queued_flows.count(flow)) Sync();
    }

    void Sync()
    {
        host.Sync();
        queued_flows.clear();
    }

    // Only named flows can be changed by a later line; the others need no
    // watching (and their addresses may be reused once they are gone).
    void MarkQueued(const qdFlow *flow)
    {
        if (flows.IsNamed(flow)) queued_flows.insert(flow);
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
        for (auto &entry : entries) MarkQueued(entry.second.get());
    }

    void Reload(const std::optional<std::string> &source)
    {
        // Events before the line are served with the old script, events
        // after it with the new one; the file is judged as it is then.
        host.Sync();
        queued_flows.clear();
        if (source) {
            std::string path = *source;
            if (! path.empty() && path[0] != '/') path = input_dir + "/" + path;
            std::string content = qppReplayReadScript(path);
            trust.CheckReload(path);

            std::string why;
            std::string script = qppReplayConfiguredScript(
                conf, qdGlobalConfig::GetInstance().conf_vars, why);
            if (script.empty())
                throw qppReplayInputError("script: cannot replace the configured script: " + why);
            Replace(script, content);
        }
        host.Reload();
        host.Sync();
    }

    void Replace(const std::string &script, const std::string &content)
    {
        if (! qppReplayWriteFile(script, content)) {
            throw qppReplayInputError(
                "script: cannot write " + script + ": " + ErrnoText());
        }
    }

    qppReplayHost &host;
    std::string conf;
    const qppReplayTrust &trust;
    std::string input_dir;
    qppCapturePacer pacer;
    qppReplayFlows flows;
    std::set<const qdFlow *> queued_flows;  // named, queued with an event since the last sync
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

// A payload file must not be one that the run reads or imports: opening it
// for writing would empty it before anything is read.
void RefuseToOverwrite(const Options &opt, const qppReplayTrust &trust)
{
    struct stat out;
    if (opt.sink_output.empty() || stat(opt.sink_output.c_str(), &out) != 0) return;
    auto same = [&out](const struct stat &st) {
        return st.st_dev == out.st_dev && st.st_ino == out.st_ino;
    };
    auto refuse = [&opt](const std::string &what) {
        throw qppReplaySetupError("--sink-output " + opt.sink_output + " is " + what +
            ": it would be overwritten");
    };
    struct stat st;
    if (opt.input == "-") {
        if (fstat(0, &st) == 0 && same(st)) refuse("the input (standard input)");
    }
    else if (stat(opt.input.c_str(), &st) == 0 && same(st))
        refuse("the input");
    std::vector<std::pair<std::string, std::string>> read = {
        {opt.expect, "the --expect file"}, {opt.script, "the script"},
        {opt.conf, "the configuration"}, {opt.plugin, "the plugin"}};
    if (! opt.conf.empty()) {
        std::map<std::string, std::string> vars = opt.vars;
        if (vars.count("path_state_persistent") == 0)
            vars["path_state_persistent"] = opt.data_dir;
        std::string why;
        read.emplace_back(qppReplayConfiguredScript(opt.conf, vars, why),
            "the configured script");
    }
    for (auto &file : read) {
        if (! file.first.empty() && stat(file.first.c_str(), &st) == 0 && same(st))
            refuse(file.second);
    }
    if (trust.Imports(out.st_dev, out.st_ino))
        refuse(opt.script.empty() ? "a module in the module directory" : "a module beside the script");
}

// A refusal after root was given up comes from the rights the run has now:
// rights names that user (empty while the run kept its own).
std::string WithRights(const std::string &message, const std::string &rights)
{
    std::string denied = strerror(EACCES);
    if (rights.empty() || message.size() < denied.size() ||
        message.compare(message.size() - denied.size(), denied.size(), denied) != 0)
        return message;
    return message + " (since the capture was opened, the run has the rights of the user " +
        rights + ")";
}

// What main needs to know of a run besides its status.
struct RunNotes
{
    std::string rights;      // the user whose rights the run has once root is given up
    bool cut_short = false;  // a stop request ended the reading
};

int Run(const Options &opt, qppReplayStop &stop, RunNotes &notes)
{
    // Reading ends early on a stop request, and once output is lost: there
    // is no point going on. (output_made is set once the output exists;
    // nothing is read after it goes.)
    const qppReplayOutput *output_made = nullptr;
    auto stopping = [&stop, &output_made] {
        return stop.Requested() || (output_made != nullptr && output_made->Failed());
    };
    // The input, whatever kind of file it is, unless a live interface is
    // read; its first bytes tell a capture from JSON Lines. Then a capture
    // file, or a live interface opened (and root and every capability given
    // up) before any script is read; null for JSON Lines, which stream goes
    // on to read.
    // Everything the user named is checked before the plugin starts, so a
    // typo costs nothing and explains itself.
    std::unique_ptr<qppInputStream> stream;
    if (opt.capture.interface.empty()) stream = qppInputStream::Open(opt.input, stopping);
    uid_t uid = geteuid();
    // A tool that stays root keeps what starting a runner as another user
    // takes, until it knows where its script runs.
    bool stays_root = geteuid() == 0 &&
        (opt.capture.user.empty() ? opt.capture.interface.empty() : opt.capture.user == "root");
    qppReplayLimitCapabilities(stays_root);
    std::unique_ptr<qppCaptureInput> capture = qppCaptureInput::Open(opt.capture, opt.input, stream.get());
    qppReplayDropCapabilities(stays_root);
    if (geteuid() != uid) {
        struct passwd *user = getpwuid(geteuid());
        notes.rights = user ? user->pw_name : "with the identifier " + std::to_string(geteuid());
    }

    std::string input_dir;
    if (opt.input == "-") {
        char cwd[4096];
        input_dir = getcwd(cwd, sizeof(cwd)) ? cwd : ".";
    }
    else
        input_dir = qppReplayDirName(opt.input);

    std::vector<std::string> expected;
    if (! opt.expect.empty()) {
        std::string content;
        if (IsDirectory(opt.expect) || ! qppReplayReadFile(opt.expect, content)) {
            throw qppReplaySetupError("cannot read " + opt.expect + ": " +
                (IsDirectory(opt.expect) ? "it is a directory" : ErrnoText()));
        }
        expected = Lines(content);
    }

    std::unique_ptr<qppReplayScratch> scratch;
    if (! opt.script.empty()) {
        if (! IsRegularFile(opt.script)) {
            throw qppReplaySetupError("cannot read the script " + opt.script + ": " +
                (IsDirectory(opt.script) ? "it is a directory" : ErrnoText()));
        }
        // The plugin imports the script by its module name, which only a
        // file ending in .py provides.
        std::string base = qppReplayBaseName(opt.script);
        if (base.size() <= 3 || base.compare(base.size() - 3, 3, ".py") != 0) {
            throw qppReplaySetupError("the script " + opt.script +
                " must be a file whose name ends in .py: it is imported as a module");
        }
        scratch = qppReplayScratch::ForScript(
            opt.script, opt.vars, opt.budget, opt.queue_bound, opt.isolation);
    }
    else {
        if (! IsDirectory(opt.data_dir))
            throw qppReplaySetupError("no such data directory: " + opt.data_dir);
        if (! IsRegularFile(opt.conf))
            throw qppReplaySetupError("cannot read the configuration " + opt.conf +
                ": " + (IsDirectory(opt.conf) ? "it is a directory" : ErrnoText()));
        // A configuration the plugin cannot use is the plugin's to report,
        // as in the daemon; a script that is not there is said plainly.
        scratch = qppReplayScratch::ForConf(opt.conf, opt.data_dir, opt.vars, opt.budget,
            opt.queue_bound, opt.isolation);
    }
    RefuseToOverwrite(opt, scratch->Trust());
    // A script that runs in this process gets no capability; one that runs
    // in a runner is out of their reach, and its runner becomes the user
    // the configuration names when the tool is root.
    if (! scratch->RunsInRunner()) {
        qppReplayLimitCapabilities(false);
        qppReplayDropCapabilities(false);
    }
    // A second interrupt ends the process at once: the directory goes first.
    qppReplayStop::AtOnce remove_scratch(stop, [&scratch] { scratch->Remove(); });
    qdGlobalConfig &config = qdGlobalConfig::GetInstance();
    config.path_state_persistent = scratch->DataDir();
    config.conf_vars = opt.vars;
    if (config.conf_vars.count("path_state_persistent") == 0)
        config.conf_vars["path_state_persistent"] = config.path_state_persistent;

    // The payload lines are kept only for a comparison.
    qppReplayOutput output(opt.sink_output, ! opt.expect.empty());
    qd_set_debug(opt.debug);
    output.Install(opt.sinks, ! opt.sinks_given);
    output_made = &output;

    std::string error;
    qppReplayTally tally;
    json final_stats;
    uint64_t refused_loads = 0;  // reload lines whose file the check refused
    {
        qppReplayHost host(opt.plugin);
        // A call the budget cannot stop (one blocked in C code) is the one
        // worth a hint; the budget itself is given time to act first.
        std::chrono::milliseconds patience(10000);
        if (scratch->Budget()) {
            patience = std::chrono::milliseconds(
                static_cast<int64_t>(std::min(*scratch->Budget(), 1e6) * 1000) + 3000);
        }
        host.SetPatience(patience);
        host.Start(plugin_tag, scratch->Conf());

        // Input that waits for the script (a file, lines) stays within half
        // the queue's bound, so that it loses nothing; an interface never
        // waits, as in a daemon, and what the queue cannot hold is dropped.
        qppCapturePace pace = qppCapturePace::Within(
            scratch->QueueMaxEvents(), scratch->QueueMaxBytes());
        Replay replay(host, scratch->Conf(), scratch->Trust(), input_dir, pace);
        std::string text;
        size_t number = 0;
        if (capture) {
            qppCapturePluginEvents events(
                host.Plugin(), capture->Live() ? qppCapturePace() : pace, stopping);
            error = capture->Deliver(events);
        }
        while (! capture && ! stopping() && stream->ReadLine(text)) {
            number++;
            if (! text.empty() && text.back() == '\r') text.pop_back();
            if (text.find_first_not_of(" \t\r") == std::string::npos) continue;
            try {
                replay.Line(text);
            }
            catch (const qppReplayInputError &e) {
                error = "line " + std::to_string(number) + ": " + e.what();
                break;
            }
            catch (const qppReplayRefused &e) {
                fprintf(stderr, "qpp-replay: line %zu: %s\n", number, e.what());
                refused_loads++;
            }
        }
        notes.cut_short = stop.Requested();
        if (error.empty() && ! capture && ! stream->Error().empty())
            error = "cannot read " + opt.input + ": " + stream->Error();

        // Served, then terminated: the unload notice comes last.
        host.Stop();
        final_stats = host.Stats();
        tally = qppReplayTally::FromStats(final_stats);
        tally.failed_loads += refused_loads;
    }
    output.Uninstall();
    if (error.empty() && ! output.Failure().empty()) error = "qpp-replay: " + output.Failure();

    // After the plugin has stopped nothing else reaches standard output.
    if (opt.stats && final_stats.is_object()) {
        std::string text = final_stats.dump(2) + "\n";
        if (fputs(text.c_str(), stdout) == EOF && error.empty())
            error = "qpp-replay: cannot write standard output: " + ErrnoText();
    }
    if (fflush(stdout) != 0 && error.empty())
        error = "qpp-replay: cannot write standard output: " + ErrnoText();
    std::string left = scratch->Remove();
    if (! left.empty()) error += (error.empty() ? "" : "\n") + ("qpp-replay: " + left);
    bool differs = false;
    if (! error.empty())
        fprintf(stderr, "%s\n", WithRights(error, notes.rights).c_str());
    else if (! opt.expect.empty()) {
        std::string diff = qppReplayDiff(expected, output.PayloadLines(),
            opt.expect + " (expected)", "dispatched payloads");
        if (! diff.empty()) {
            fprintf(stderr, "qpp-replay: the dispatched payloads differ from %s:\n%s",
                opt.expect.c_str(), diff.c_str());
            differs = true;
        }
    }
    fprintf(stderr, "%s\n", qppReplaySummary(tally).c_str());
    return qppReplayExitStatus(! error.empty(), differs, tally);
}

}  // namespace

int main(int argc, char **argv)
{
    Options opt;
    try {
        Asked asked = ParseOptions(argc, argv, opt);
        if (asked != Asked::RUN) {
            if (asked == Asked::HELP)
                printf("%s\n%s\n%s", usage_text, qppCaptureUsage, exit_text);
            else
                fputs(version_text, stdout);
            if (fflush(stdout) != 0) {
                fprintf(stderr, "qpp-replay: cannot write standard output: %s\n",
                    strerror(errno));
                return QPP_REPLAY_BAD;
            }
            return QPP_REPLAY_DONE;
        }
    }
    catch (const UsageError &e) {
        fprintf(stderr, "qpp-replay: %s\n\n%s\n%s\n%s", e.what(), usage_text, qppCaptureUsage,
            exit_text);
        return QPP_REPLAY_BAD;
    }

    // Output that cannot be written is a failed write (EPIPE), as a full
    // disk is, not the end of the process.
    signal(SIGPIPE, SIG_IGN);
    qppReplayStop stop;
    RunNotes notes;
    int status = QPP_REPLAY_BAD;
    try {
        status = Run(opt, stop, notes);
    }
    catch (const qppReplaySetupError &e) {
        fflush(stdout);
        fprintf(stderr, "qpp-replay: %s\n", WithRights(e.what(), notes.rights).c_str());
    }
    catch (const qppCaptureError &e) {
        fflush(stdout);
        fprintf(stderr, "qpp-replay: %s\n", WithRights(e.what(), notes.rights).c_str());
    }
    catch (const qppReplayRefused &e) {
        // What the plugin would refuse to load, the tool refuses to copy.
        fflush(stdout);
        fprintf(stderr, "qpp-replay: %s\n", e.what());
        status = QPP_REPLAY_SCRIPT_FAILED;
    }
    // A stop request ends a live capture as planned. A run on an input file
    // ends, once all is cleaned up, as the signal asked, for whoever waits
    // for it to learn.
    if (stop.Requested() && opt.capture.interface.empty()) {
        if (notes.cut_short) {
            fprintf(stderr, "qpp-replay: stopped (%s) before the end of the input\n",
                strsignal(stop.Signal()));
        }
        stop.EndAsAsked();
    }
    return status;
}
