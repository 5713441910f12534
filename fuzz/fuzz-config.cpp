// fuzz-config: the configuration file, read through qppPlugin::Reload.
//
// One plugin instance is made once, with a data directory of its own whose
// module directory holds a few prepared scripts. Each input is the whole
// content of the configuration file; Reload is then called on this thread,
// as the worker calls it when the host asks for a reload (the worker itself
// is never started). A failure is a qdException, which the worker logs and
// survives; anything else is a finding.
//
// Reload imports only when the named script's digest changes, and a path
// that names no file stops at hashing. So the host variables name the
// prepared scripts: with "${alpha}", "${broken}" and so on a few input
// bytes choose between a first import, a re-import of the same module, a
// module of another name, an import that raises, a syntax error, a module
// that the standard library shadows, a file of the same module name in
// another directory, a script that tampers with sys.modules, and file names
// that make odd module names. One script, gamma, is rewritten before each
// input with a version the input chooses, so that "the same file, changed"
// is in reach too.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "qpp-interpreter.h"
#include "qpp-plugin.h"

namespace {

std::string data_dir;
std::string conf_file;
std::string gamma_file;
qppPlugin *plugin = nullptr;

// The fixture's own files cannot be made or written: nothing to test then.
[[noreturn]] void Fatal(const std::string &what)
{
    fprintf(stderr, "fuzz-config: %s: %s\n", what.c_str(), strerror(errno));
    exit(1);
}

void WriteFile(const std::string &path, const char *data, size_t size)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) Fatal("cannot write " + path);
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Fatal("cannot write " + path);
        done += static_cast<size_t>(n);
    }
    close(fd);
}

void WriteFile(const std::string &path, const std::string &content)
{
    WriteFile(path, content.data(), content.size());
}

void MakeDirectory(const std::string &path)
{
    if (mkdir(path.c_str(), 0755) != 0) Fatal("cannot make " + path);
}

void RemoveDataDirectory()
{
    if (data_dir.empty()) return;
    nftw(data_dir.c_str(),
        [](const char *file, const struct stat *, int, struct FTW *) {
            remove(file);
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
}

// The versions of gamma differ in length as well as content, so that no
// cache keyed on size and time could mistake one for another.
const char *const gamma_versions[] = {
    ("VERSION = 1\n"
     "def ProcessAgentEvent(event):\n"
     "    pass\n"),
    ("VERSION = 22\n"
     "def ProcessFlowEvent(event, flow):\n"
     "    pass\n"),
    ("VERSION = 333\n"
     "raise ValueError('gamma version 333 refuses to load')\n"),
};

// Scripts that exercise the module qpp and every callback; one that
// raises, one that does not parse, one without callbacks, one whose
// "callback" cannot be called, one that the standard library's json
// shadows, one with alpha's module name in another directory, two that
// tamper with their own entry in sys.modules, and files whose names make
// odd module names: empty, dotted, without an extension, not ASCII, and
// not UTF-8 at all.
const struct
{
    const char *name;
    const char *content;
} scripts[] = {
    {"quiven-proc-python/alpha.py",
        "import qpp\n"
        "loads = globals().get('loads', 0) + 1\n"
        "qpp.debug('alpha loaded %d time(s)' % loads)\n"
        "def ProcessAgentEvent(event):\n"
        "    qpp.print('alpha agent event %d' % event)\n"
        "    qpp.dispatch('nowhere', ['c'], 'payload')\n"
        "def ProcessFlowEvent(event, flow):\n"
        "    pass\n"},
    {"quiven-proc-python/beta.py",
        "def ProcessFlowMap(flows):\n"
        "    pass\n"
        "def ProcessFlowStats(flows):\n"
        "    pass\n"
        "def ProcessAgentEvent(event):\n"
        "    raise RuntimeError('beta refuses event %d' % event)\n"},
    {"quiven-proc-python/broken.py",
        "raise RuntimeError('broken on import')\n"},
    {"quiven-proc-python/syntax.py", "def ProcessAgentEvent(:\n"},
    {"quiven-proc-python/empty.py", "# no callbacks at all\n"},
    {"quiven-proc-python/odd.py",
        "ProcessAgentEvent = 42\n"
        "ProcessFlowEvent = None\n"},
    {"quiven-proc-python/json.py", "def ProcessAgentEvent(event):\n    pass\n"},
    {"other/alpha.py", "def ProcessAgentEvent(event):\n    pass\n"},
    {"quiven-proc-python/vanishing.py",
        "import sys\n"
        "def ProcessAgentEvent(event):\n"
        "    pass\n"
        "del sys.modules[__name__]\n"},
    {"quiven-proc-python/impostor.py",
        "import sys\n"
        "class Impostor:\n"
        "    __file__ = __file__\n"
        "    def ProcessAgentEvent(self, event):\n"
        "        pass\n"
        "sys.modules[__name__] = Impostor()\n"},
    {"quiven-proc-python/.py", "def ProcessAgentEvent(event):\n    pass\n"},
    {"quiven-proc-python/dotted.name.py", "def ProcessAgentEvent(event):\n    pass\n"},
    {"quiven-proc-python/noextension", "def ProcessAgentEvent(event):\n    pass\n"},
    {"quiven-proc-python/\xc3\xbcnicode.py", "def ProcessAgentEvent(event):\n    pass\n"},
    {"quiven-proc-python/bytes\xff.py", "def ProcessAgentEvent(event):\n    pass\n"},
};

void Setup()
{
    const char *base = getenv("TMPDIR");
    std::string pattern =
        std::string(base && *base ? base : "/tmp") + "/qpp-fuzz-config-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) Fatal("cannot make " + pattern);
    data_dir = name.data();
    atexit(RemoveDataDirectory);

    std::string module_dir = data_dir + "/quiven-proc-python";
    MakeDirectory(module_dir);
    MakeDirectory(data_dir + "/other");
    MakeDirectory(data_dir + "/a-directory.py");
    for (auto &script : scripts)
        WriteFile(data_dir + "/" + script.name, script.content);
    gamma_file = module_dir + "/gamma.py";
    WriteFile(gamma_file, gamma_versions[0]);

    qdGlobalConfig &config = qdGlobalConfig::GetInstance();
    config.path_state_persistent = data_dir;
    config.conf_vars = {
        {"path_state_persistent", data_dir},
        {"alpha", module_dir + "/alpha.py"},
        {"beta", module_dir + "/beta.py"},
        {"broken", module_dir + "/broken.py"},
        {"syntax", module_dir + "/syntax.py"},
        {"empty", module_dir + "/empty.py"},
        {"odd", module_dir + "/odd.py"},
        {"json", module_dir + "/json.py"},
        {"gamma", gamma_file},
        {"other", data_dir + "/other/alpha.py"},
        {"dir", data_dir + "/a-directory.py"},
        {"vanishing", module_dir + "/vanishing.py"},
        {"impostor", module_dir + "/impostor.py"},
        {"hidden", module_dir + "/.py"},
        {"dotted", module_dir + "/dotted.name.py"},
        {"noextension", module_dir + "/noextension"},
        {"unicode", module_dir + "/\xc3\xbcnicode.py"},
        {"bytes", module_dir + "/bytes\xff.py"},
        {"missing", module_dir + "/missing.py"},
    };

    conf_file = data_dir + "/quiven-proc-python.json";
    WriteFile(conf_file, "{}");

    // The debug lines are formatted with what the configuration names, so
    // they are on; where they go is not the point, unless QPP_FUZZ_LOG asks
    // to see them (when replaying one input to see what it does).
    bool show_log = getenv("QPP_FUZZ_LOG") != nullptr;
    qd_set_log_sink([show_log](const std::string &message) {
        if (show_log) fputs(message.c_str(), stderr);
    });
    qd_set_debug(true);

    plugin = new qppPlugin("fuzz-config", {{"conf_filename", conf_file}});
    // The module qpp finds its plugin by the calling thread, which is this
    // one here rather than a worker.
    qppRuntime::AddInstance(plugin);

    // Tracebacks of failed imports go to the sub-interpreter's sys.stderr,
    // which would bury the fuzzer's own report; and no byte-code cache is
    // written, so that gamma is always compiled from its current source.
    qppPySubInterpreter::thread_scope scope(plugin->GetPyInterpreter());
    if (PyRun_SimpleString(show_log
                ? "import sys\n"
                  "sys.dont_write_bytecode = True\n"
                : "import sys\n"
                  "class _Discard:\n"
                  "    def write(self, text): return len(text)\n"
                  "    def flush(self): pass\n"
                  "sys.stderr = _Discard()\n"
                  "sys.dont_write_bytecode = True\n") != 0) {
        fprintf(stderr, "fuzz-config: cannot set up the sub-interpreter\n");
        exit(1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // gamma's version is a function of the input, so that a run is
    // repeatable from the input (and the plugin's state before it).
    const size_t versions = sizeof(gamma_versions) / sizeof(gamma_versions[0]);
    WriteFile(gamma_file, gamma_versions[size % versions]);
    WriteFile(conf_file, reinterpret_cast<const char *>(data), size);

    try {
        plugin->Reload();
    }
    catch (const qdException &e) {
        // The worker logs it and goes on; so does this.
        qd_dprintf("fuzz-config: %s\n", e.what());
    }
    return 0;
}
