// A script, its directory, the module directory and the directories above
// must belong to root or the daemon's user and be writable by nobody else,
// unless the configuration turns the check off.

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
    TestHost &host;
    std::string data, module, script;
};

void Chmod(const std::string &path, unsigned mode) { fs::permissions(path, fs::perms(mode)); }

void Chown(const std::string &path) { ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0); }

void CheckPermissions(Paths &p, const std::string &value)
{
    p.host.WriteConf("{\"script\": \"" + p.script + "\", \"check_permissions\": " + value + "}");
}

// What each case spoils, and the refusal it logs with the paths of Paths in
// braces ({owned}: by nobody, see Chown); empty when the script is loaded.
const std::pair<std::function<void(Paths &)>, const char *> cases[] = {
    {[](Paths &) {}, ""},
    {[](Paths &p) { Chmod(p.script, 0666); },
        "refusing to load script: {script}: {script} is writable by others (mode 0666)"},
    {[](Paths &p) { Chmod(p.script, 0664); },
        "refusing to load script: {script}: {script} is writable by its group (mode 0664)"},
    {[](Paths &p) { Chown(p.script); }, "refusing to load script: {script}: {script} {owned}"},
    {[](Paths &p) { Chmod(p.module, 0777); },
        "refusing to use module directory: {module}: {module} is writable by others (mode 0777)"},
    {[](Paths &p) { Chmod(p.module, 01777); },
        "refusing to use module directory: {module}: {module} is writable by others (mode 1777)"},
    {[](Paths &p) { Chown(p.module); },
        "refusing to use module directory: {module}: {module} {owned}"},
    {[](Paths &p) { Chmod(p.data, 0777); },
        "refusing to use module directory: {module}: {data} is writable by others (mode 0777)"},
    // Only the directories above may be sticky and shared.
    {[](Paths &p) { Chmod(p.data, 01777); }, ""},
    {[](Paths &p) { Chown(p.data); }, "refusing to use module directory: {module}: {data} {owned}"},
    // A link to a script in a directory others can write.
    {[](Paths &p) {
         fs::create_directory(p.data + "/other");
         Chmod(p.data + "/other", 0777);
         fs::rename(p.script, p.data + "/other/guarded.py");
         fs::create_symlink(p.data + "/other/guarded.py", p.script);
     },
        "refusing to load script: {script}: {data}/other is writable by others (mode 0777)"},
    {[](Paths &p) { Chmod(p.script, 0666); Chmod(p.module, 0777); CheckPermissions(p, "false"); },
        ""},
    {[](Paths &p) { CheckPermissions(p, "\"no\""); },
        "error loading configuration: {conf}: check_permissions must be true or false."},
};

}  // namespace

TEST(Permissions, ScriptsFromPlacesOthersCanWriteAreRefused)
{
    for (const auto &[spoil, refusal] : cases) {
        SCOPED_TRACE(refusal);
        // Only root gives files away.
        if (strstr(refusal, "{owned}") != nullptr && geteuid() != 0) continue;
        TestHost host;
        Paths paths{host, host.DataDir(), host.ModuleDir(), host.ModuleDir() + "/guarded.py"};
        WriteFile(paths.script, "def ProcessAgentEvent(event):\n    pass\n");
        Chmod(paths.script, 0644);
        Chmod(paths.module, 0755);
        host.WriteScriptConf(paths.script);
        spoil(paths);

        TestHost::Stop(host.Start());
        std::string expected = refusal;
        for (auto [name, value] : {std::pair<std::string, std::string>{"{data}", paths.data},
                 {"{module}", paths.module}, {"{script}", paths.script},
                 {"{conf}", host.ConfPath()}, {"{owned}", "is owned by uid 65534, neither root "
                     "nor the daemon's user (uid " + std::to_string(geteuid()) + ")"}}) {
            for (size_t at; (at = expected.find(name)) != std::string::npos;)
                expected.replace(at, name.size(), value);
        }
        std::string seen = expected.empty() ? "guarded: callback function loaded" : "python-test: " + expected;
        EXPECT_EQ(host.log.Count(seen), 1u) << host.log.Text();
        EXPECT_TRUE(expected.empty() || host.log.Count("importing module") == 0);
        // Writable again for the clean-up.
        Chmod(paths.data, 0700);
    }
}
