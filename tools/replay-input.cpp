// Reading replay input lines. The order of the checks is the order in which
// a reader of the line meets its problems, and each message names the key
// it is about, so that the first problem of a line is the one reported.

#include <map>
#include <set>
#include <string>

#include "replay-input.h"

using json = nlohmann::json;

namespace {

std::string Reason(const json::exception &e)
{
    // "[json.exception.parse_error.101] parse error at ...": the tag in
    // brackets says nothing to the user.
    std::string what = e.what();
    size_t bracket = what.find("] ");
    return (what.rfind("[json.", 0) == 0 && bracket != std::string::npos)
        ? what.substr(bracket + 2)
        : what;
}

const json &Required(const json &line, const std::string &key)
{
    auto it = line.find(key);
    if (it == line.end()) throw qppReplayInputError("missing key: " + key);
    return *it;
}

uint16_t Event(const json &line)
{
    const json &value = Required(line, "event");
    if (! value.is_number_unsigned() || value.get<uint64_t>() > 65535)
        throw qppReplayInputError("event: expected an integer from 0 to 65535");
    return static_cast<uint16_t>(value.get<uint64_t>());
}

qdInstanceStatus Status(const json &line)
{
    qdInstanceStatus status;
    auto it = line.find("status");
    if (it == line.end()) return status;
    if (! it->is_object()) throw qppReplayInputError("status: expected an object");
    for (auto &member : it->items()) {
        const json &v = member.value();
        std::string path = "status." + member.key();
        bool wide = (member.key() != "flows");
        if (member.key() != "timestamp" && member.key() != "uptime" &&
            member.key() != "flows")
            throw qppReplayInputError("unknown key: " + path);
        // The parser keeps every non-negative integer as unsigned.
        if (! v.is_number_unsigned() ||
            (! wide && v.get<uint64_t>() > 0xffffffffu))
            throw qppReplayInputError(path + ": expected a whole number");
        if (member.key() == "timestamp") status.timestamp = v.get<uint64_t>();
        if (member.key() == "uptime") status.uptime = v.get<uint64_t>();
        if (member.key() == "flows") status.flows = v.get<uint32_t>();
    }
    return status;
}

}  // namespace

qppReplayLine qppReplayParseLine(const std::string &text)
{
    json line;
    try {
        line = json::parse(text);
    }
    catch (const json::exception &e) {
        // Not only parse_error: a number beyond the range of a double
        // ("1e400") is an out_of_range, and is as malformed for a reader.
        throw qppReplayInputError(std::string("malformed JSON: ") + Reason(e));
    }
    if (! line.is_object())
        throw qppReplayInputError("expected a JSON object");

    auto type = line.find("type");
    if (type == line.end()) throw qppReplayInputError("missing key: type");
    if (! type->is_string())
        throw qppReplayInputError("type: expected a string");
    std::string kind = type->get<std::string>();

    static const std::map<std::string,
        std::pair<qppReplayLine::Type, std::set<std::string>>> keys = {
        {"flow", {qppReplayLine::Type::FLOW, {"type", "event", "flow"}}},
        {"flow_map", {qppReplayLine::Type::FLOW_MAP, {"type", "event", "flows"}}},
        {"agent", {qppReplayLine::Type::AGENT, {"type", "event"}}},
        {"status", {qppReplayLine::Type::STATUS, {"type", "event", "status"}}},
        {"reload", {qppReplayLine::Type::RELOAD, {"type", "script"}}},
    };
    auto known = keys.find(kind);
    if (known == keys.end())
        throw qppReplayInputError("unknown type: " + kind);
    for (auto &member : line.items()) {
        if (known->second.second.count(member.key()) == 0)
            throw qppReplayInputError("unknown key: " + member.key());
    }

    qppReplayLine result;
    result.type = known->second.first;

    if (result.type == qppReplayLine::Type::RELOAD) {
        auto source = line.find("script");
        if (source != line.end()) {
            if (! source->is_string())
                throw qppReplayInputError("script: expected a file name");
            result.script = source->get<std::string>();
        }
        return result;
    }

    result.event = Event(line);
    switch (result.type) {
    case qppReplayLine::Type::FLOW:
        result.flow = Required(line, "flow");
        break;
    case qppReplayLine::Type::FLOW_MAP:
        result.flow = Required(line, "flows");
        if (! result.flow.is_array())
            throw qppReplayInputError("flows: expected a list");
        break;
    case qppReplayLine::Type::STATUS:
        result.status = Status(line);
        break;
    default:
        break;
    }
    return result;
}

std::shared_ptr<qdFlow> qppReplayFlows::Flow(
    const json &object, const std::string &path)
{
    if (! object.is_object()) throw qppReplayInputError(path + ": expected an object");

    std::shared_ptr<qdFlow> flow;
    auto id = object.find("id");
    if (id != object.end()) {
        if (! id->is_string())
            throw qppReplayInputError(path + ".id: expected a string");
        std::shared_ptr<qdFlow> &entry = flows[id->get<std::string>()];
        if (! entry) {
            entry = qppReplayNewFlow();
            named.insert(entry.get());
        }
        flow = entry;
    }
    else
        flow = qppReplayNewFlow();

    if (before_update) before_update(flow.get());
    qppReplayApplyFlow(*flow, object, path);
    return flow;
}

std::vector<std::pair<std::string, std::shared_ptr<qdFlow>>>
qppReplayFlows::FlowMap(const json &list)
{
    if (! list.is_array()) throw qppReplayInputError("flows: expected a list");

    std::vector<std::pair<std::string, std::shared_ptr<qdFlow>>> entries;
    std::set<std::string> seen;
    for (size_t i = 0; i < list.size(); i++) {
        std::string path = "flows[" + std::to_string(i) + "]";
        const json &object = list[i];
        std::string key;
        if (object.is_object() && object.contains("id") &&
            object["id"].is_string()) {
            key = object["id"].get<std::string>();
            if (! seen.insert(key).second) {
                throw qppReplayInputError(
                    path + ".id: " + key + " is already in this flow map");
            }
        }
        else
            key = "#" + std::to_string(i);
        entries.emplace_back(key, Flow(object, path));
    }
    return entries;
}
