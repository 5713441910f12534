// Sink delivery of the stand-in host. A sink is a function registered under
// a target name; the host copies each payload into a qdSinkPayload before it
// calls the sink, so nothing of the dispatching plugin's memory is kept.
// A catch-all sink receives payloads for every target without a sink of its
// own. A sink refuses a payload by throwing.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

struct qdSinkPayload
{
    std::string target;
    std::set<std::string> channels;
    std::vector<uint8_t> payload;
    uint8_t flags;
};

using qdSinkFunction = std::function<void(const qdSinkPayload &payload)>;

void qd_sink_register(const std::string &target, qdSinkFunction sink);
void qd_sink_unregister(const std::string &target);
void qd_sink_register_any(qdSinkFunction sink);  // empty function: none
void qd_sink_clear();
