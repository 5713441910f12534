// Who may change what an instance runs. The daemon usually runs as root: a
// script, or a module beside it, that another user can write or replace is
// code that user runs as root inside the daemon. Like ssh's StrictModes,
// the plugin refuses to import from such places. The check is a library of
// its own, which qpp-replay links too: the tool judges the user's files by
// the same rules before it runs copies of them, which would always pass.
#pragma once

#include <string>

// Throws qdException naming the path and the reason when the script file,
// its directory, the module directory or a directory above either can be
// written by, or belongs to, someone other than root and the daemon's user.
// A directory above them that others may write is accepted when it has the
// sticky bit (as /tmp has): others cannot rename or remove what they do not
// own there. The script's own directory and the module directory are
// refused then all the same, since others could add modules to them.
void qppCheckScriptPermissions(const std::string &script, const std::string &module_dir);

// What makes a module that the script may import (a file, or a package's
// directory, below the module directory) unsafe by the rules above for the
// script file: the file or directory itself (the one a link points to), its
// directory and every directory above. Empty when nothing does.
std::string qppModuleFault(const std::string &path);
