#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "qpp-test-host.h"

namespace qpptest {

LogRecorder::LogRecorder()
{
    qd_set_log_sink([this](const std::string &message) { Write(message); });
}

LogRecorder::~LogRecorder() { qd_set_log_sink(nullptr); }

void LogRecorder::Write(const std::string &message)
{
    std::lock_guard<std::mutex> guard(lock);
    pending += message;
    size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
        lines.push_back(pending.substr(0, newline));
        pending.erase(0, newline + 1);
    }
    cond.notify_all();
}

std::vector<std::string> LogRecorder::Lines()
{
    std::lock_guard<std::mutex> guard(lock);
    return lines;
}

std::string LogRecorder::Text()
{
    std::lock_guard<std::mutex> guard(lock);
    std::string text;
    for (auto &line : lines) text += line + "\n";
    return text + pending;
}

size_t LogRecorder::Count(const std::string &text)
{
    std::lock_guard<std::mutex> guard(lock);
    size_t n = 0;
    for (auto &line : lines) {
        if (line.find(text) != std::string::npos) n++;
    }
    return n;
}

bool LogRecorder::WaitFor(
    const std::string &text, size_t n, std::chrono::milliseconds timeout)
{
    auto until = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> guard(lock);
    return cond.wait_until(guard, until, [&] {
        size_t count = 0;
        for (auto &line : lines) {
            if (line.find(text) != std::string::npos) count++;
        }
        return count >= n;
    });
}

SinkRecorder::SinkRecorder(const std::vector<std::string> &targets)
    : targets(targets)
{
    auto sink = [this](const qdSinkPayload &payload) {
        std::lock_guard<std::mutex> guard(lock);
        payloads.push_back(payload);
        cond.notify_all();
    };
    if (targets.empty())
        qd_sink_register_any(sink);
    for (auto &target : targets) qd_sink_register(target, sink);
}

SinkRecorder::~SinkRecorder() { qd_sink_clear(); }

std::vector<qdSinkPayload> SinkRecorder::Payloads()
{
    std::lock_guard<std::mutex> guard(lock);
    return payloads;
}

bool SinkRecorder::WaitFor(size_t n, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> guard(lock);
    return cond.wait_for(guard, timeout, [&] { return payloads.size() >= n; });
}

StderrCapture::StderrCapture()
{
    char name[] = "/tmp/qpp-stderr-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) throw std::runtime_error("mkstemp");
    path = name;
    fflush(stderr);
    saved = dup(2);
    dup2(fd, 2);
    close(fd);
}

StderrCapture::~StderrCapture()
{
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    unlink(path.c_str());
}

std::string StderrCapture::Text()
{
    fflush(stderr);
    return ReadFile(path);
}

std::string TestDataDir() { return QPP_TEST_DIR; }

std::string ReadFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

void WriteFile(const std::string &path, const std::string &content)
{
    // Written aside and renamed, so that the plugin never reads half a file.
    std::string temporary = path + ".tmp";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << content;
        if (! file) throw std::runtime_error("cannot write " + temporary);
    }
    if (rename(temporary.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot rename to " + path);
}

TestHost::TestHost()
{
    qd_set_debug(true);

    char name[] = "/tmp/qpp-test-XXXXXX";
    if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp");
    data_dir = name;
    mkdir(ModuleDir().c_str(), 0755);
    qdGlobalConfig::GetInstance().path_state_persistent = data_dir;

    handle = dlopen(QPP_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) throw std::runtime_error(dlerror());
    init = reinterpret_cast<qdPluginInitFunction>(dlsym(handle, "qdPluginInit"));
    if (init == nullptr) throw std::runtime_error(dlerror());
}

TestHost::~TestHost()
{
    // The plugin stays loaded: the runtime it embeds cannot be unloaded.
    std::string command = "rm -rf '" + data_dir + "'";
    if (system(command.c_str()) != 0) { }
}

std::string TestHost::ConfPath(const std::string &name) const
{
    return data_dir + "/" + name + ".json";
}

std::string TestHost::InstallScript(const std::string &script, const std::string &as)
{
    std::string path = ModuleDir() + "/" + (as.empty() ? script : as);
    WriteFile(path, ReadFile(TestDataDir() + "/scripts/" + script));
    return path;
}

void TestHost::WriteConf(const std::string &json, const std::string &name)
{
    WriteFile(ConfPath(name), json);
}

void TestHost::WriteScriptConf(
    const std::string &script_path, bool debug, const std::string &name)
{
    WriteConf("{\"script\": \"" + script_path + "\", \"debug\": " +
            (debug ? "true" : "false") + "}\n",
        name);
}

qdPluginProcessor *TestHost::Create(
    const std::string &tag, const std::map<std::string, std::string> &params)
{
    return static_cast<qdPluginProcessor *>(init(tag, params));
}

qdPluginProcessor *TestHost::Create(const std::string &tag, const std::string &name)
{
    return Create(tag, {{"conf_filename", ConfPath(name)}});
}

qdPluginProcessor *TestHost::Start(const std::string &tag, const std::string &name)
{
    qdPluginProcessor *plugin = Create(tag, name);
    if (plugin == nullptr) return nullptr;
    plugin->Create();
    // The first pass of the worker loads the script before it serves
    // anything, so the sync point is passed only after the load.
    if (! Sync(plugin)) throw std::runtime_error("plugin did not start");
    return plugin;
}

void TestHost::Stop(qdPluginProcessor *plugin)
{
    if (plugin == nullptr) return;
    plugin->Terminate();
    delete plugin;
}

bool TestHost::Sync(qdPluginProcessor *plugin, std::chrono::milliseconds timeout)
{
    qdSyncPoint sync;
    plugin->DispatchEvent(qdPlugin::EVENT_SYNC, &sync);
    return sync.Wait(timeout);
}

std::shared_ptr<qdFlow> MakeFlow(
    const std::string &name, uint8_t ip_protocol, uint16_t lower_port)
{
    auto flow = std::make_shared<qdFlow>(std::make_shared<qdInterface>("eth0", 0));
    flow->ip_version = 4;
    flow->ip_protocol = ip_protocol;
    qdAddr::Create(flow->lower_mac, "02:00:00:00:00:01");
    qdAddr::Create(flow->upper_mac, "02:00:00:00:00:02");
    qdAddr::Create(flow->lower_addr, "192.168.1.10", lower_port);
    qdAddr::Create(flow->upper_addr, "93.184.216.34", 443);
    flow->host_server_name = name;
    flow->detected_protocol = 91;
    flow->detected_protocol_name = "TLS";
    flow->flags.detection_init = true;
    flow->digest_mdata.push_back(qdDigest{});
    flow->stats.lower_packets = 1;
    return flow;
}

}  // namespace qpptest
