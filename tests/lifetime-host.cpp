// A host process whose end the tests watch: it runs one scenario, prints
// the host log, and returns; what the plugin does when the process ends
// (and the library is unloaded) comes after.

#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>

#include "qd-test.h"
#include "qpp-test-host.h"

using namespace qpptest;

int main(int argc, char **argv)
{
    if (argc != 2) return 2;
    const char *mode = argv[1];
    {
        TestHost host;
        if (strcmp(mode, "refused") == 0) {
            qd_test_set_processor_type(3);
            host.Create("python-bad");
            host.Create("python-bad");
            qd_test_set_processor_type(1);
            TestHost::Stop(host.Create("python-good"));
        }
        else if (strcmp(mode, "generations") == 0) {
            host.WriteScriptConf(host.InstallScript("extensions.py"));
            for (int i = 0; i < 3; i++) TestHost::Stop(host.Start());
        }
        else if (strcmp(mode, "stubborn") == 0) {
            host.WriteScriptConf(host.InstallScript("threads_stubborn.py"));
            TestHost::Stop(host.Start());
        }
        else if (strcmp(mode, "undeleted") == 0) {
            host.WriteScriptConf(host.InstallScript("extensions.py"));
            host.Start();
        }
        else if (strcmp(mode, "sigpipe") == 0) {
            // A daemon that leaves SIGPIPE as it comes: it ends the process.
            signal(SIGPIPE, SIG_DFL);
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, SIGPIPE);
            pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
            host.WriteScriptConf(host.InstallScript("broken_pipe.py"));
            qdPluginProcessor *plugin = host.Start();
            plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
            TestHost::Sync(plugin);
            TestHost::Stop(plugin);
            struct sigaction now;
            sigaction(SIGPIPE, nullptr, &now);
            printf("host: SIGPIPE disposition %s\n",
                (now.sa_handler == SIG_DFL) ? "default" : "changed");
        }
        else
            return 2;
        fputs(host.log.Text().c_str(), stdout);
        fflush(stdout);
    }
    return 0;
}
