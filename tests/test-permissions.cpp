// Who may change what the daemon runs: a script, its directory, the module
// directory and the directories above them must belong to root or the
// daemon's user and be writable by nobody else, unless the configuration
// turns the check off.

#include <cstring>
#include <filesystem>
#include <functional>
#include <unistd.h>

#include <gtest/gtest.h>

#include "qpp-test-host.h"

using namespace qpptest;
namespace fs = std::filesystem;

namespace {

struct Paths
{
    std::string data, module, script, conf;
};

struct PermissionCase
{
    const char *name;
    std::function<void(TestHost &host, Paths &paths)> spoil;
    // The line the refusal logs, with the paths of Paths in braces; empty
    // when the script is loaded.
    const char *refusal;
    bool changes_owner;
};

constexpr uid_t nobody = 65534;

std::string Expand(std::string text, const Paths &paths)
{
    const std::pair<const char *, std::string> names[] = {{"{data}", paths.data},
        {"{module}", paths.module}, {"{script}", paths.script}, {"{conf}", paths.conf},
        {"{uid}", std::to_string(geteuid())}};
    for (const auto &name : names) {
        size_t at;
        while ((at = text.find(name.first)) != std::string::npos)
            text.replace(at, strlen(name.first), name.second);
    }
    return text;
}

void Chmod(const std::string &path, unsigned mode)
{
    fs::permissions(path, static_cast<fs::perms>(mode));
}

void Chown(const std::string &path) { ASSERT_EQ(chown(path.c_str(), nobody, nobody), 0); }

const PermissionCase cases[] = {
    {"safe", [](TestHost &, Paths &) { }, "", false},
    {"script writable by others", [](TestHost &, Paths &p) { Chmod(p.script, 0666); },
        "refusing to load script: {script}: {script} is writable by others (mode 0666)",
        false},
    {"script writable by its group", [](TestHost &, Paths &p) { Chmod(p.script, 0664); },
        "refusing to load script: {script}: {script} is writable by its group (mode 0664)",
        false},
    {"script of another user", [](TestHost &, Paths &p) { Chown(p.script); },
        "refusing to load script: {script}: {script} is owned by uid 65534, neither root "
        "nor the daemon's user (uid {uid})",
        true},
    {"module directory writable by others",
        [](TestHost &, Paths &p) { Chmod(p.module, 0777); },
        "refusing to use module directory: {module}: {module} is writable by others "
        "(mode 0777)",
        false},
    {"module directory sticky and writable by others",
        [](TestHost &, Paths &p) { Chmod(p.module, 01777); },
        "refusing to use module directory: {module}: {module} is writable by others "
        "(mode 1777)",
        false},
    {"module directory of another user", [](TestHost &, Paths &p) { Chown(p.module); },
        "refusing to use module directory: {module}: {module} is owned by uid 65534, "
        "neither root nor the daemon's user (uid {uid})",
        true},
    {"directory above writable by others", [](TestHost &, Paths &p) { Chmod(p.data, 0777); },
        "refusing to use module directory: {module}: {data} is writable by others (mode "
        "0777)",
        false},
    {"directory above sticky and writable by others",
        [](TestHost &, Paths &p) { Chmod(p.data, 01777); }, "", false},
    {"directory above of another user", [](TestHost &, Paths &p) { Chown(p.data); },
        "refusing to use module directory: {module}: {data} is owned by uid 65534, "
        "neither root nor the daemon's user (uid {uid})",
        true},
    {"script linked from a directory others can write",
        [](TestHost &, Paths &p) {
            std::string other = p.data + "/other";
            fs::create_directory(other);
            Chmod(other, 0777);
            fs::rename(p.script, other + "/guarded.py");
            fs::create_symlink(other + "/guarded.py", p.script);
        },
        "refusing to load script: {script}: {data}/other is writable by others (mode "
        "0777)",
        false},
    {"check switched off",
        [](TestHost &host, Paths &p) {
            Chmod(p.script, 0666);
            Chmod(p.module, 0777);
            host.WriteConf("{\"script\": \"" + p.script + "\", \"check_permissions\": false}");
        },
        "", false},
    {"check switch not a boolean",
        [](TestHost &host, Paths &p) {
            host.WriteConf("{\"script\": \"" + p.script + "\", \"check_permissions\": \"no\"}");
        },
        "error loading configuration: {conf}: check_permissions must be true or false.",
        false},
};

}  // namespace

TEST(Permissions, ScriptsFromPlacesOthersCanWriteAreRefused)
{
    for (const PermissionCase &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.changes_owner && geteuid() != 0) continue;  // only root gives files away
        TestHost host;
        Paths paths{host.DataDir(), host.ModuleDir(), host.ModuleDir() + "/guarded.py",
            host.ConfPath()};
        WriteFile(paths.script, "def ProcessAgentEvent(event):\n    pass\n");
        Chmod(paths.script, 0644);
        Chmod(paths.module, 0755);
        host.WriteScriptConf(paths.script);
        c.spoil(host, paths);

        TestHost::Stop(host.Start());
        std::string refusal = c.refusal;
        if (refusal.empty()) {
            EXPECT_EQ(host.log.Count("guarded: callback function loaded"), 1u)
                << host.log.Text();
        }
        else {
            EXPECT_EQ(host.log.Count("python-test: " + Expand(refusal, paths)), 1u)
                << host.log.Text();
            EXPECT_EQ(host.log.Count("importing module"), 0u);
        }
        // Writable again for the clean-up.
        Chmod(paths.data, 0700);
    }
}
