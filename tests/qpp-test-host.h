// The tests' host: the host kit with the tests' own scripts, the built
// plugin and the tests' deadline, plus what only tests need (standard error
// caught, a sample flow).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qd-sink.h"
#include "qpp-data-dir.h"
#include "qpp-host-capture.h"
#include "qpp-hosted-plugin.h"
#include "quivend.h"

namespace qpptest {

using namespace std::chrono_literals;

constexpr auto deadline = 20s;

// The kit's recorders with the tests' deadline as the default wait.
class LogRecorder : public qppLogRecorder
{
public:
    bool WaitFor(const std::string &text, size_t n = 1,
        std::chrono::milliseconds timeout = deadline)
    {
        return qppLogRecorder::WaitFor(text, n, timeout);
    }
    // The lines that start with prefix, in order.
    std::vector<std::string> Starting(const std::string &prefix)
    {
        std::vector<std::string> seen;
        for (auto &line : Lines())
            if (line.rfind(prefix, 0) == 0) seen.push_back(line);
        return seen;
    }
};

class SinkRecorder : public qppSinkRecorder
{
public:
    using qppSinkRecorder::qppSinkRecorder;
    bool WaitFor(size_t n, std::chrono::milliseconds timeout = deadline)
    {
        return qppSinkRecorder::WaitFor(n, timeout);
    }
};

// Redirects file descriptor 2 into a file while alive (Python tracebacks).
class StderrCapture
{
public:
    StderrCapture();
    ~StderrCapture();
    std::string Text();

private:
    std::string path;
    int saved;
};

std::string TestDataDir();  // the tests' own directory (scripts beside it)

// The isolation every configuration a test writes asks for: "interpreter"
// or "process", from QPP_TEST_ISOLATION (ctest runs the host tests in
// both). Where the two differ for scripts, a test asks Process().
const std::string &Isolation();
inline bool Process() { return Isolation() == "process"; }
inline std::string ReadFile(const std::string &path) { return qppReadFile(path); }
inline void WriteFile(const std::string &path, const std::string &content)
{
    qppWriteFile(path, content);
}

// The kit's data directory and plugin library, with the tests' scripts
// and the built plugin.
class TestHost
{
public:
    TestHost();

    // The host data directory; scripts go to its module directory.
    const std::string &DataDir() const { return data.Path(); }
    std::string ModuleDir() const { return data.ModuleDir(); }
    std::string ConfPath(const std::string &name = "plugin") const
    {
        return data.ConfPath(name);
    }

    // Copies tests/scripts/<script> into the module directory (as
    // <as>, when given) and returns its path there.
    std::string InstallScript(
        const std::string &script, const std::string &as = std::string());
    // In the isolation the test runs in (Isolation()), unless the text
    // names one itself; a text that is no JSON object is written as it is.
    void WriteConf(const std::string &json, const std::string &name = "plugin");
    // A configuration naming the script path, with debug on or off.
    void WriteScriptConf(const std::string &script_path, bool debug = false,
        const std::string &name = "plugin")
    {
        WriteConf("{\"script\": \"" + script_path + "\", \"debug\": " +
                (debug ? "true" : "false") + "}\n",
            name);
    }

    // Writes text as <module>.py into the module directory, names it in
    // the configuration and returns its path.
    std::string WriteScript(const std::string &module, const std::string &text,
        const std::string &name = "plugin");
    // WriteScript, then Start.
    qdPluginProcessor *StartScript(const std::string &module, const std::string &text)
    {
        WriteScript(module, text);
        return Start();
    }

    // Calls the factory; null when it refuses. Throws what it throws.
    qdPluginProcessor *Create(const std::string &tag,
        const std::map<std::string, std::string> &params)
    {
        return library.Create(tag, params);
    }
    // Factory with conf_filename = ConfPath(name).
    qdPluginProcessor *Create(
        const std::string &tag = "python-test", const std::string &name = "plugin");
    // Factory, then Create() and a wait for the script to be loaded (the
    // tag's "callback function loaded" or an import failure).
    qdPluginProcessor *Start(
        const std::string &tag = "python-test", const std::string &name = "plugin");
    // Terminate, then delete (joins the worker).
    static void Stop(qdPluginProcessor *plugin) { qppHostStop(plugin); }
    // Asks the plugin to serve everything delivered so far.
    static bool Sync(qdPluginProcessor *plugin,
        std::chrono::milliseconds timeout = deadline)
    {
        return qppHostSync(plugin, timeout);
    }

    LogRecorder log;

private:
    qppDataDir data;
    qppPluginLibrary library;
};

// Runs work on threads of its own and waits for them with a deadline. The
// threads of a deadlocked host can be neither joined nor left behind: the
// failure is reported and the test process ends.
void RunOrDie(const std::vector<std::function<void()>> &work,
    std::chrono::milliseconds timeout, const char *what);

// A flow with the usual identity filled in; detection_init set.
std::shared_ptr<qdFlow> MakeFlow(const std::string &name = "flow",
    uint8_t ip_protocol = 6, uint16_t lower_port = 40000);

}  // namespace qpptest
