// Which plugin library qpp-replay loads when --plugin is not given.
#pragma once

#include <string>

// The plugin built with the tool while the tool runs from its build
// directory; anywhere else (installed, or a package unpacked under another
// root) the plugin at the installed layout's place relative to the tool's
// own executable, so that an installed tool never loads a build tree's
// plugin and a build-tree tool never an installed one.
std::string qppReplayDefaultPlugin();
