// A small daemon for tests: loads the built plugin the way quivend does
// (dlopen with RTLD_LOCAL, then the factory), gives it a data directory, a
// configuration file and a script, and records what the plugin and its
// script write to the host log and to sinks.
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
#include "quivend.h"

namespace qpptest {

using namespace std::chrono_literals;

constexpr auto deadline = 20s;

// Everything written to the host log, line by line, with waits.
class LogRecorder
{
public:
    LogRecorder();
    ~LogRecorder();

    std::vector<std::string> Lines();
    std::string Text();
    size_t Count(const std::string &text);
    // Waits until some line contains text at least n times in all.
    bool WaitFor(const std::string &text, size_t n = 1,
        std::chrono::milliseconds timeout = deadline);

private:
    void Write(const std::string &message);

    std::mutex lock;
    std::condition_variable cond;
    std::string pending;
    std::vector<std::string> lines;
};

// Payloads delivered to sinks, copied as the host hands them on.
class SinkRecorder
{
public:
    // Registers sinks under these names, or a catch-all one when empty.
    explicit SinkRecorder(const std::vector<std::string> &targets = {});
    ~SinkRecorder();

    std::vector<qdSinkPayload> Payloads();
    bool WaitFor(size_t n, std::chrono::milliseconds timeout = deadline);

private:
    std::mutex lock;
    std::condition_variable cond;
    std::vector<qdSinkPayload> payloads;
    std::vector<std::string> targets;
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
std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &content);

class TestHost
{
public:
    TestHost();
    ~TestHost();

    // The host data directory; scripts go to its module directory.
    const std::string &DataDir() const { return data_dir; }
    std::string ModuleDir() const { return data_dir + "/quiven-proc-python"; }
    std::string ConfPath(const std::string &name = "plugin") const;

    // Copies tests/scripts/<script> into the module directory (as
    // <as>, when given) and returns its path there.
    std::string InstallScript(
        const std::string &script, const std::string &as = std::string());
    void WriteConf(const std::string &json, const std::string &name = "plugin");
    // A configuration naming the script path, with debug on or off.
    void WriteScriptConf(const std::string &script_path, bool debug = false,
        const std::string &name = "plugin");

    // Calls the factory; null when it refuses. Throws what it throws.
    qdPluginProcessor *Create(const std::string &tag,
        const std::map<std::string, std::string> &params);
    // Factory with conf_filename = ConfPath(name).
    qdPluginProcessor *Create(
        const std::string &tag = "python-test", const std::string &name = "plugin");
    // Factory, then Create() and a wait for the script to be loaded (the
    // tag's "callback function loaded" or an import failure).
    qdPluginProcessor *Start(
        const std::string &tag = "python-test", const std::string &name = "plugin");
    // Terminate, then delete (joins the worker).
    static void Stop(qdPluginProcessor *plugin);
    // Asks the plugin to serve everything delivered so far.
    static bool Sync(qdPluginProcessor *plugin,
        std::chrono::milliseconds timeout = deadline);

    LogRecorder log;

private:
    void *handle;
    qdPluginInitFunction init;
    std::string data_dir;
};

// A flow with the usual identity filled in; detection_init set.
std::shared_ptr<qdFlow> MakeFlow(const std::string &name = "flow",
    uint8_t ip_protocol = 6, uint16_t lower_port = 40000);

}  // namespace qpptest
