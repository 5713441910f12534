// A host process whose end the tests watch: it runs one scenario, prints
// the host log, and returns; what the plugin does when the process ends
// (and the library is unloaded) comes after.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <unistd.h>
#include <vector>

#include "qd-test.h"
#include "qpp-test-host.h"

using namespace qpptest;

int main(int argc, char **argv)
{
    if (argc != 2) return 2;
    const char *mode = argv[1];
    if (strcmp(mode, "busy") == 0) {
        // Registered before the plugin is loaded, so run after its static
        // objects are destroyed: a host whose last exit handlers take
        // their time (flushing its logs, say) while the worker runs on.
        atexit([] { usleep(300000); });
    }
    {
        TestHost host;
        if (strcmp(mode, "generations") == 0) {
            // The first refused plugin brings the runtime up for later ones:
            // an instance never started, two at once, then one more.
            for (uint8_t type : {0, 3}) {
                qd_test_set_processor_type(type);
                host.Create("python-bad");
            }
            qd_test_set_processor_type(qdPlugin::TYPE_PROC_STATS);
            TestHost::Stop(host.Create("python-stats"));
            host.WriteScriptConf(host.InstallScript("extensions.py"));
            qdPluginProcessor *a = host.Start("python-a");
            TestHost::Stop(host.Start("python-b"));
            TestHost::Stop(a);
            TestHost::Stop(host.Start("python-c"));
        }
        else if (strcmp(mode, "numpy") == 0) {
            // Extension modules that support one interpreter per process
            // (numpy, every Cython or Rust one), used by three instances at
            // once and one made after them. In a sub-interpreter only numpy
            // is tried: the others crash an import there after numpy's
            // failed one.
            host.WriteScript("numeric", std::string("MODULES = ") +
                    (Process() ? "['numpy', 'lxml.etree', 'cryptography.fernet']\n"
                               : "['numpy']\n") +
                    R"(import qpp
def fernet(m):
    f = m.Fernet(m.Fernet.generate_key())
    return f.decrypt(f.encrypt(b"ok")).decode()
USE = {"numpy": lambda m: m.arange(4).sum(), "cryptography.fernet": fernet,
    "lxml.etree": lambda m: m.fromstring("<a><b/></a>")[0].tag}
for name in MODULES:
    try:
        result = USE[name](__import__(name, fromlist=["_"]))
    except Exception as e:
        result = type(e).__name__
    qpp.print("numeric: %s %s\n" % (name, result))
)");
            std::vector<qdPluginProcessor *> three;
            for (const char *tag : {"python-a", "python-b", "python-c"})
                three.push_back(host.Start(tag));
            for (qdPluginProcessor *plugin : three) TestHost::Stop(plugin);
            TestHost::Stop(host.Start("python-d"));
        }
        else if (strcmp(mode, "killed") == 0) {
            // The daemon killed outright: its runner must not stay.
            qdPluginProcessor *plugin = host.StartScript("lasting", R"(import time
def ProcessAgentEvent(event):
    time.sleep(3600)
)");
            plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
            json stats = qppHostStats(plugin);
            if (stats.contains("runner")) printf("host: runner %d\n", stats["runner"]["pid"].get<int>());
            fflush(stdout);
            raise(SIGKILL);
        }
        else if (strcmp(mode, "stubborn") == 0) {
            // Threads that never stop on their own, then another instance.
            TestHost::Stop(host.StartScript("threads_stubborn", R"(import threading, time
def work():
    while True:
        time.sleep(0.01)
threading.Thread(target=work, daemon=True).start()
threading.Thread(target=work, daemon=False).start()
def ProcessAgentEvent(event):
    pass
)"));
            host.WriteScriptConf(host.InstallScript("extensions.py"));
            TestHost::Stop(host.Start("python-next"));
        }
        else if (strcmp(mode, "sigpipe") == 0) {
            // A daemon that leaves SIGPIPE as it comes: it ends the process.
            signal(SIGPIPE, SIG_DFL);
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, SIGPIPE);
            pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
            // Writes to a pipe whose reader is gone, from the callback and
            // from a thread the script starts.
            qdPluginProcessor *plugin = host.StartScript("broken_pipe", R"(import os, threading, qpp
def write_to_closed_pipe(who):
    r, w = os.pipe()
    os.close(r)
    try:
        os.write(w, b"x")
        qpp.print("broken_pipe: %s wrote\n" % who)
    except BrokenPipeError:
        qpp.print("broken_pipe: %s got BrokenPipeError\n" % who)
    finally:
        os.close(w)
def ProcessAgentEvent(event):
    if event == 11:
        write_to_closed_pipe("callback")
        thread = threading.Thread(target=write_to_closed_pipe, args=("thread",))
        thread.start()
        thread.join()
)");
            plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
            TestHost::Sync(plugin);
            TestHost::Stop(plugin);
            struct sigaction now;
            sigaction(SIGPIPE, nullptr, &now);
            printf("host: SIGPIPE disposition %s\n",
                (now.sa_handler == SIG_DFL) ? "default" : "changed");
        }
        else if (strcmp(mode, "busy") == 0) {
            // The worker looks itself up in the registry (a dispatch with
            // a bad target does nothing else) while the process ends.
            qdPluginProcessor *plugin = host.StartScript("busy", R"(import qpp
def ProcessAgentEvent(event):
    qpp.print("busy: looking itself up\n")
    while True:
        try:
            qpp.dispatch(1, [], "x")
        except TypeError:
            pass
)");
            plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
            host.log.WaitFor("busy: looking itself up");
        }
        else
            return 2;
        fputs(host.log.Text().c_str(), stdout);
        fflush(stdout);
    }
    return 0;
}
