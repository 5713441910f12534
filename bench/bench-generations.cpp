// Memory across instance generations: how much the process grows each time
// an instance is made, started and deleted again, for a script that imports
// nothing, one that imports ctypes and one that imports decimal.
//
//   qpp-bench-generations [--cycles N] [--warmup W]
//
// Each script runs in a process of its own: W cycles first (the runtime
// comes up, caches fill), then N measured ones. Resident memory (RSS) from
// /proc/self/statm, the C heap in use from mallinfo2 (CPython's small
// objects live in its own arenas and show in RSS only).

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "bench-linked.h"

namespace {

double Rss()
{
    long total = 0, resident = 0;
    FILE *statm = fopen("/proc/self/statm", "r");
    if (statm == nullptr) return 0;
    if (fscanf(statm, "%ld %ld", &total, &resident) != 2) resident = 0;
    fclose(statm);
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

double Heap()
{
    struct mallinfo2 info = mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd);
}

bool Cycle(const std::string &data_dir, const std::string &script)
{
    std::unique_ptr<qppPlugin> plugin = qppBenchStart(data_dir, script, "generations");
    qppBenchStop(plugin);
    return true;
}

int Run(const std::string &script, long warmup, long cycles)
{
    qd_set_log_sink([](const std::string &) { });
    std::string data_dir = qppBenchDataDir("qpp-generations", {script.c_str()});
    for (long i = 0; i < warmup; i++) {
        if (! Cycle(data_dir, script)) return 1;
    }
    double rss = Rss(), heap = Heap();
    for (long i = 0; i < cycles; i++) {
        if (! Cycle(data_dir, script)) return 1;
    }
    printf("%-12s %8.1f KiB RSS per cycle %8.1f KiB heap per cycle (%ld cycles, "
           "RSS %.1f MiB at the end)\n",
        script.c_str(), (Rss() - rss) / 1024.0 / static_cast<double>(cycles),
        (Heap() - heap) / 1024.0 / static_cast<double>(cycles),
        cycles, Rss() / 1024.0 / 1024.0);
    std::string command = "rm -rf '" + data_dir + "'";
    if (system(command.c_str()) != 0) { }
    return 0;
}

long Number(const char *text)
{
    char *end = nullptr;
    long value = strtol(text, &end, 10);
    if (end == text || *end != '\0' || value <= 0) {
        fprintf(stderr, "generations: not a positive number: %s\n", text);
        exit(2);
    }
    return value;
}

}  // namespace

int main(int argc, char **argv)
{
    long cycles = 100, warmup = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string arg = argv[i];
        if (arg == "--cycles") cycles = Number(argv[i + 1]);
        else if (arg == "--warmup") warmup = Number(argv[i + 1]);
        else {
            fprintf(stderr, "usage: %s [--cycles N] [--warmup W]\n", argv[0]);
            return 2;
        }
    }
    if (argc % 2 == 0) {
        fprintf(stderr, "usage: %s [--cycles N] [--warmup W]\n", argv[0]);
        return 2;
    }
    printf("Python %s\n", PY_VERSION);
    int status = 0;
    for (const char *script : {"gen_plain", "gen_ctypes", "gen_decimal"}) {
        fflush(stdout);
        pid_t child = fork();
        if (child < 0) return 1;
        if (child == 0) exit(Run(script, warmup, cycles));
        int child_status = 0;
        waitpid(child, &child_status, 0);
        if (! WIFEXITED(child_status) || WEXITSTATUS(child_status) != 0) {
            printf("%s: FAILED\n", script);
            status = 1;
        }
    }
    return status;
}
