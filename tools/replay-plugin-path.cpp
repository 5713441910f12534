#include <climits>
#include <sys/stat.h>
#include <unistd.h>

#include "replay-plugin-path.h"

namespace {

bool SameDirectory(const std::string &a, const std::string &b)
{
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 &&
        sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace

std::string qppReplayDefaultPlugin()
{
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length <= 0) return QPP_REPLAY_BUILT_PLUGIN;
    std::string dir(self, static_cast<size_t>(length));
    dir.resize(dir.find_last_of('/'));
    if (SameDirectory(dir, QPP_REPLAY_BUILD_DIR)) return QPP_REPLAY_BUILT_PLUGIN;
    return dir + "/" + QPP_REPLAY_INSTALLED_PLUGIN;
}
