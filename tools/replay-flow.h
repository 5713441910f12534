// Flows of the replay input: a FLOW object, written with the keys of the
// flow dictionary that scripts receive, applied to a host flow.
#pragma once

#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "quivend.h"

// A problem with the input, worded for the person who wrote it; the caller
// adds the line number.
class qppReplayInputError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Applies the keys of object to flow, under the flow's own mutex. Keys that
// object does not give leave the flow as it was, so a later line can name
// only what changed. path names object in messages ("flow", "flows[2]").
// "id" is the caller's and is skipped here. Throws qppReplayInputError; the
// flow may then be half updated.
void qppReplayApplyFlow(
    qdFlow &flow, const nlohmann::json &object, const std::string &path);

// A flow as the host makes it before anything is known of it: every field
// zero, false or empty, on an interface without a name.
std::shared_ptr<qdFlow> qppReplayNewFlow();
