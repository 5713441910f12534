// Whether the daemon would run what a replay runs of the user's files. The
// plugin runs on the tool's scratch copies (replay-scratch.h), which belong
// to the tool and would pass any check; so the originals are judged, by the
// plugin's own rules (qpp-permissions.h), before anything is copied or
// linked, and again when a reload line reads a file. It also knows every
// module that the run may import from there, which the payload file must
// not be. One thread, the tool's main thread, uses it.
#pragma once

#include <set>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <utility>

// The daemon would refuse to run this; the message is the plugin's own
// ("refusing to load script: ..." or "refusing to use module directory: ...").
class qppReplayRefused : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

class qppReplayTrust
{
public:
    // script: the user's script, as given. module_dir: where the run's
    // helper modules come from, as given: the script's own directory for
    // --script, DIR/quiven-proc-python for --data-dir DIR. check: false when
    // the configuration turns the plugin's check off.
    qppReplayTrust(const std::string &script, const std::string &module_dir, bool check);

    // The script and the module directory, as the plugin checks them.
    // Throws qppReplayRefused.
    void CheckScript() const;

    // An entry of the module directory that the run links or copies, with
    // everything below it (through links too): each is checked as a module
    // the script may import, and remembered. For a link that leads nowhere
    // yet, the directory that its target would be made in is checked.
    // Throws qppReplayRefused.
    void Add(const std::string &path);

    // The file that a reload line names (as resolved): it must lie beside
    // the script or in the module directory, and pass the plugin's check of
    // a script. Throws qppReplayInputError for a file elsewhere,
    // qppReplayRefused for one the check refuses.
    void CheckReload(const std::string &path) const;

    // True when the file of this device and inode is a module (a .py,
    // .pyc or .so file) that Add was given or found below what it was given.
    bool Imports(dev_t device, ino_t inode) const;

private:
    void Walk(const std::string &path, int depth);

    std::string script;
    std::string module_dir;
    bool check;
    std::set<std::pair<dev_t, ino_t>> directories;  // walked
    std::set<std::pair<dev_t, ino_t>> modules;
};
