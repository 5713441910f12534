// Lines of the replay input: one JSON object per line, each asking the host
// for one thing. Everything a line says is checked here, where no plugin is
// involved, so that a bad line is refused before any of it reaches one (and
// so that the reading can be exercised on its own).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "quivend.h"
#include "replay-flow.h"

// One line, read and checked as far as it can be without the host's state.
struct qppReplayLine
{
    enum class Type { FLOW, FLOW_MAP, AGENT, STATUS, RELOAD };

    Type type = Type::AGENT;
    // The host event number; every type but RELOAD has one.
    uint16_t event = 0;
    // FLOW: the FLOW object. FLOW_MAP: the list of FLOW objects (a list, but
    // its members are not checked yet).
    nlohmann::json flow;
    // STATUS: the status, zero where the line gives nothing.
    qdInstanceStatus status;
    // RELOAD: the replacement script's file name as the line gives it.
    std::optional<std::string> script;
};

// Reads one line (without its line end). Throws qppReplayInputError naming
// the problem; the caller adds the line number.
qppReplayLine qppReplayParseLine(const std::string &text);

// How deep a line may nest its lists and objects: far beyond what any line
// needs, far below what would strain the stack.
constexpr size_t qppReplayMaxDepth = 64;

// True when the JSON text nests lists and objects deeper than limit; looks
// at the brackets only, without parsing.
bool qppReplayTooDeep(const std::string &text, size_t limit);

// The content of the script file that a reload line names (path as
// resolved by the caller). Throws qppReplayInputError for a file that cannot
// be read, a directory, or anything else that is not a regular file.
std::string qppReplayReadScript(const std::string &path);

// The flows of a replay. A FLOW object with an "id" names a flow that later
// lines can update; one without is a flow of its own.
class qppReplayFlows
{
public:
    // before_update, when given, is called with each flow that is about to
    // be updated, before anything of it changes: the replay host waits
    // there for the plugin to serve the events that still read it.
    explicit qppReplayFlows(
        std::function<void(const qdFlow *flow)> before_update = nullptr)
        : before_update(std::move(before_update)) { }

    // The host flow that object describes: the one its "id" named before,
    // or a new one, updated with the object's keys. path names object in
    // messages. Throws qppReplayInputError; the flow may then be half
    // updated.
    std::shared_ptr<qdFlow> Flow(const nlohmann::json &object,
        const std::string &path);

    // The flows of a flow map's list, each with its key in the map: its id,
    // or "#<position>" for a flow without one. Entries are read in order;
    // an id given twice is refused. Throws qppReplayInputError.
    std::vector<std::pair<std::string, std::shared_ptr<qdFlow>>> FlowMap(
        const nlohmann::json &list);

    // True for a flow that an id names, which a later line can change.
    bool IsNamed(const qdFlow *flow) const { return named.count(flow) != 0; }

private:
    std::function<void(const qdFlow *flow)> before_update;
    std::map<std::string, std::shared_ptr<qdFlow>> flows;  // by id
    std::set<const qdFlow *> named;  // the flows of the map above
};
