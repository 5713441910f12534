// Reading replay input lines. The order of the checks is the order in which
// a reader of the line meets its problems, and each message names the key
// it is about, so that the first problem of a line is the one reported.

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>

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

// The host sends each event value through one hook only; a value on a line
// of another type would reach callbacks with arguments that do not fit it
// (an agent line with event 1 called the flow-map callbacks with no flows).
uint16_t Event(const json &line, qppReplayLine::Type type)
{
    const json &value = Required(line, "event");
    if (! value.is_number_unsigned() || value.get<uint64_t>() > 65535)
        throw qppReplayInputError("event: expected an integer from 0 to 65535");
    uint64_t event = value.get<uint64_t>();
    switch (type) {
    case qppReplayLine::Type::FLOW:
        if (event < 2 || event > 7)
            throw qppReplayInputError("event: expected a flow event, 2 to 7");
        break;
    case qppReplayLine::Type::FLOW_MAP:
        if (event != 1)
            throw qppReplayInputError("event: expected the flow map event, 1");
        break;
    default:
        if (event != 11 && event != 12)
            throw qppReplayInputError("event: expected an agent event, 11 or 12");
        break;
    }
    return static_cast<uint16_t>(event);
}

void NoNul(const std::string &text, const std::string &path)
{
    if (text.find('\0') != std::string::npos)
        throw qppReplayInputError(path + ": contains a NUL character");
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

bool qppReplayTooDeep(const std::string &text, size_t limit)
{
    // Brackets inside strings do not count; an escaped quote does not end
    // one. Malformed text may be miscounted, and is refused either way.
    size_t depth = 0;
    bool in_string = false, escaped = false;
    for (char c : text) {
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
            continue;
        }
        if (c == '"')
            in_string = true;
        else if (c == '[' || c == '{') {
            if (++depth > limit) return true;
        }
        else if ((c == ']' || c == '}') && depth > 0)
            depth--;
    }
    return false;
}

std::string qppReplayReadScript(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        throw qppReplayInputError("script: cannot read " + path + ": " + strerror(errno));
    // A directory opens and reads as empty, which would install an empty
    // script; a pipe or a device may never end.
    if (S_ISDIR(st.st_mode))
        throw qppReplayInputError("script: cannot read " + path + ": it is a directory");
    if (! S_ISREG(st.st_mode))
        throw qppReplayInputError("script: cannot read " + path + ": not a regular file");
    std::ifstream file(path, std::ios::binary);
    if (! file.is_open())
        throw qppReplayInputError("script: cannot read " + path + ": " + strerror(errno));
    std::ostringstream content;
    content << file.rdbuf();
    if (file.bad())
        throw qppReplayInputError("script: cannot read " + path + ": " + strerror(errno));
    return content.str();
}

qppReplayLine qppReplayParseLine(const std::string &text)
{
    // The parser takes a NUL for the end of its input, and would read the
    // line only up to it.
    if (text.find('\0') != std::string::npos)
        throw qppReplayInputError("contains a NUL byte");
    // Parsing does not recurse, but copying and walking a document do, one
    // stack frame per level: a deep enough line would overflow the stack.
    if (qppReplayTooDeep(text, qppReplayMaxDepth)) {
        throw qppReplayInputError("nested deeper than " +
            std::to_string(qppReplayMaxDepth) + " levels");
    }

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
    NoNul(kind, "type");

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
            NoNul(*result.script, "script");
        }
        return result;
    }

    result.event = Event(line, result.type);
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
