#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <thread>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "qpp-test-host.h"

namespace qpptest {

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

const std::string &Isolation()
{
    static const std::string isolation = [] {
        const char *mode = getenv("QPP_TEST_ISOLATION");
        return std::string(mode != nullptr && *mode != '\0' ? mode : "interpreter");
    }();
    return isolation;
}

void TestHost::WriteConf(const std::string &json, const std::string &name)
{
    // A key the text gives itself comes later and wins.
    size_t brace = json.find_first_not_of(" \t\r\n");
    if (brace == std::string::npos || json[brace] != '{') {
        data.WriteConf(json, name);
        return;
    }
    // A runner started as root becomes nobody, unless the build found that
    // nobody cannot read its Python.
    std::string runner_user = Process() && std::string(QPP_TEST_RUNNER_USER) != "nobody"
        ? "\"user\": \"" QPP_TEST_RUNNER_USER "\", " : "";
    data.WriteConf(json.substr(0, brace + 1) + "\"isolation\": \"" + Isolation() + "\", " +
            runner_user + json.substr(brace + 1),
        name);
}

TestHost::TestHost() : data("qpp-test"), library(QPP_PLUGIN_PATH)
{
    qd_set_debug(true);
}

std::string TestHost::InstallScript(const std::string &script, const std::string &as)
{
    return data.InstallScript(TestDataDir() + "/scripts/" + script,
        as.empty() ? script : as);
}

std::string TestHost::WriteScript(
    const std::string &module, const std::string &text, const std::string &name)
{
    std::string path = ModuleDir() + "/" + module + ".py";
    WriteFile(path, text);
    WriteScriptConf(path, false, name);
    return path;
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

void RunOrDie(const std::vector<std::function<void()>> &work,
    std::chrono::milliseconds timeout, const char *what)
{
    std::mutex lock;
    std::condition_variable cond;
    size_t done = 0;
    std::vector<std::thread> threads;
    for (auto &w : work) {
        threads.emplace_back([&, w] {
            w();
            std::lock_guard<std::mutex> guard(lock);
            done++;
            cond.notify_all();
        });
    }
    std::unique_lock<std::mutex> guard(lock);
    if (! cond.wait_for(guard, timeout, [&] { return done == work.size(); })) {
        std::cerr << "FAILED: " << what << ": still blocked after "
                  << timeout.count() << " ms\n";
        std::cerr.flush();
        _exit(1);
    }
    guard.unlock();
    for (auto &t : threads) t.join();
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
