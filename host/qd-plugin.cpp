#include <atomic>
#include <map>
#include <mutex>

#include "qd-exception.h"
#include "qd-plugin.h"
#include "qd-sink.h"
#include "qd-test.h"

namespace {

std::atomic<uint8_t> processor_type{qdPlugin::TYPE_PROC_FLOW};

std::mutex sink_lock;
std::map<std::string, qdSinkFunction> sinks;
qdSinkFunction sink_any;

}  // namespace

void qd_test_set_processor_type(uint8_t type) { processor_type = type; }
uint8_t qd_test_get_processor_type() { return processor_type; }

void qd_sink_register(const std::string &target, qdSinkFunction sink)
{
    std::lock_guard<std::mutex> guard(sink_lock);
    sinks[target] = std::move(sink);
}

void qd_sink_unregister(const std::string &target)
{
    std::lock_guard<std::mutex> guard(sink_lock);
    sinks.erase(target);
}

void qd_sink_register_any(qdSinkFunction sink)
{
    std::lock_guard<std::mutex> guard(sink_lock);
    sink_any = std::move(sink);
}

void qd_sink_clear()
{
    std::lock_guard<std::mutex> guard(sink_lock);
    sinks.clear();
    sink_any = nullptr;
}

qdPlugin::qdPlugin(
    const std::string &tag, const std::map<std::string, std::string> &params)
    : qdThread(tag), type(TYPE_BASE)
{
    auto it = params.find("conf_filename");
    if (it != params.end()) conf_filename = it->second;
}

qdPlugin::~qdPlugin() { }

qdPluginProcessor::qdPluginProcessor(
    const std::string &tag, const std::map<std::string, std::string> &params)
    : qdPlugin(tag, params)
{
    type = processor_type.load();
}

qdPluginProcessor::~qdPluginProcessor() { }

void qdPluginProcessor::DispatchSinkPayload(const std::string &target,
    const std::set<std::string> &channels, size_t length,
    const uint8_t *payload, qdFlags<qdPlugin::DispatchFlags> flags)
{
    // The payload is copied before any sink sees it: the caller's buffers
    // are gone once this returns.
    qdSinkPayload copy;
    copy.target = target;
    copy.channels = channels;
    if (length > 0) copy.payload.assign(payload, payload + length);
    copy.flags = flags.Value();

    qdSinkFunction sink;
    {
        std::lock_guard<std::mutex> guard(sink_lock);
        auto it = sinks.find(target);
        if (it != sinks.end())
            sink = it->second;
        else
            sink = sink_any;
    }
    if (! sink)
        throw qdException("%s: sink not found: %s", tag.c_str(), target.c_str());
    sink(copy);
}

void qdPluginProcessor::DispatchSinkPayload(const std::string &target,
    const std::set<std::string> &channels, const json &j,
    qdFlags<qdPlugin::DispatchFlags> flags)
{
    std::string text = j.dump();
    DispatchSinkPayload(target, channels, text.size(),
        reinterpret_cast<const uint8_t *>(text.data()), flags);
}
