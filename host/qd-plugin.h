// The host's plugin bases. A processor plugin receives events from host
// threads through the DispatchProcessorEvent hooks and may hand payloads to
// the sink plugins that the host has registered.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "qd-flags.h"
#include "qd-thread.h"

using json = nlohmann::json;

class qdFlow;
class qdFlowMap;
class qdInterface;
class qdPacketStats;
class qdInstanceStatus;

class qdPlugin : public qdThread
{
public:
    enum Type : uint8_t {
        TYPE_BASE = 0,
        TYPE_PROC_FLOW = 1,
        TYPE_PROC_STATS = 2,
        TYPE_SINK = 3,
    };

    enum Event : uint8_t {
        EVENT_RELOAD = 0,
        EVENT_STATUS_UPDATE = 1,
        // param: a qdSyncPoint that the plugin signals once it has served
        // every event and reload request delivered to it before this one,
        // or once it has stopped serving events (deleting a plugin that
        // never started signals it too). The plugin keeps a copy: the
        // host's own may go at any time.
        EVENT_SYNC = 2,
        // param: a json object (json *) that the plugin fills with its own
        // statistics, on the calling thread, without waiting for its worker.
        EVENT_STATS = 3,
    };

    enum class DispatchFlags : uint8_t {
        NONE = 0,
        FORMAT_JSON = 1,
        FORMAT_MSGPACK = 2,
        ADD_HEADER = 16,
    };

    qdPlugin(const std::string &tag,
        const std::map<std::string, std::string> &params);
    ~qdPlugin() override;

    virtual void GetVersion(std::string &version) = 0;
    virtual void DispatchEvent(Event event, void *param = nullptr) = 0;

    uint8_t GetType() const { return type; }

protected:
    std::string conf_filename;
    uint8_t type;
};

class qdPluginProcessor : public qdPlugin
{
public:
    enum Event : uint16_t {
        EVENT_NONE = 0,
        EVENT_FLOW_MAP = 1,
        EVENT_FLOW_NEW = 2,
        EVENT_FLOW_UPDATED = 3,
        EVENT_FLOW_DPI_COMPLETE = 4,
        EVENT_FLOW_DPI_UPDATE = 5,
        EVENT_FLOW_EXPIRING = 6,
        EVENT_FLOW_EXPIRED = 7,
        EVENT_INTERFACES = 8,
        EVENT_PKT_GLOBAL_STATS = 9,
        EVENT_PKT_CAPTURE_STATS = 10,
        EVENT_UPDATE_INIT = 11,
        EVENT_UPDATE_COMPLETE = 12,
    };

    qdPluginProcessor(const std::string &tag,
        const std::map<std::string, std::string> &params);
    ~qdPluginProcessor() override;

    virtual void DispatchProcessorEvent(Event event, qdFlowMap *flow_map) = 0;
    virtual void DispatchProcessorEvent(
        Event event, std::shared_ptr<qdFlow> &flow) = 0;
    virtual void DispatchProcessorEvent(Event event,
        std::map<std::string, std::shared_ptr<qdInterface>> *interfaces) = 0;
    virtual void DispatchProcessorEvent(
        Event event, const std::string &iface, qdPacketStats *stats) = 0;
    virtual void DispatchProcessorEvent(Event event, qdPacketStats *stats) = 0;
    virtual void DispatchProcessorEvent(
        Event event, qdInstanceStatus *status) = 0;
    virtual void DispatchProcessorEvent(Event event) = 0;

    // Delivers to the sink registered under target; throws qdException when
    // there is none or the sink refuses the payload.
    virtual void DispatchSinkPayload(const std::string &target,
        const std::set<std::string> &channels, size_t length,
        const uint8_t *payload, qdFlags<qdPlugin::DispatchFlags> flags);
    virtual void DispatchSinkPayload(const std::string &target,
        const std::set<std::string> &channels, const json &j,
        qdFlags<qdPlugin::DispatchFlags> flags);
};

// Plugin factory signature: the host resolves "qdPluginInit" in a plugin.
typedef qdPlugin *(*qdPluginInitFunction)(
    const std::string &tag, const std::map<std::string, std::string> &params);
