// A line diff for people: what --expect prints when the dispatched payloads
// are not the expected ones.
#pragma once

#include <string>
#include <vector>

// A unified diff (three lines of context) from expected to actual, headed by
// the two names; empty when the lines are equal.
std::string qppReplayDiff(const std::vector<std::string> &expected,
    const std::vector<std::string> &actual, const std::string &expected_name,
    const std::string &actual_name);
