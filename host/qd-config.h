// The host's process-wide configuration, shared with its plugins.
// The host writes it before plugins are created; plugins only read it.
#pragma once

#include <cstddef>
#include <map>
#include <string>

class qdGlobalConfig
{
public:
    static qdGlobalConfig &GetInstance();

    std::string path_state_persistent;  // the host data directory
    std::map<std::string, std::string> conf_vars;  // ${name} variables
    std::size_t max_history;  // length of each statistics history list

private:
    qdGlobalConfig();
};
