// fuzz-replay: the input lines of qpp-replay, read as the tool reads them,
// without a plugin.
//
// Each input is a replay input file: its lines are read in order, as the
// tool does, with one table of named flows for the whole input, so that a
// later line updates a flow an earlier one made. Whatever the bytes, a line
// is either read (and its flows applied to host flows) or refused with a
// qppReplayInputError that says why; any other exception escapes and is
// reported as a crash, as are the sanitizers' findings. A line that is read
// holds nothing the host cannot represent: no NUL, no nesting deeper than
// the limit, an event value that belongs to its type. A reload line's file
// is read as the tool reads it, from a scratch directory of this target's
// that holds a script and a directory (other paths are not opened: the
// fuzzer would otherwise read whatever the machine holds).

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "replay-flow.h"
#include "replay-input.h"

namespace {

[[noreturn]] void Violated(const char *what)
{
    fprintf(stderr, "fuzz-replay: invariant violated: %s\n", what);
    abort();
}

#define CHECK(condition) \
    do { \
        if (! (condition)) Violated(#condition); \
    } while (0)

const char *const script_content = "import qpp\n";

// The scratch directory, made once per process and removed at its end.
const std::string &ScratchDir()
{
    static struct Scratch
    {
        Scratch()
        {
            char name[] = "/tmp/fuzz-replay-XXXXXX";
            if (mkdtemp(name) == nullptr) Violated("cannot make a scratch directory");
            path = name;
            std::ofstream(path + "/script.py") << script_content;
            mkdir((path + "/dir").c_str(), 0755);
        }
        ~Scratch()
        {
            unlink((path + "/script.py").c_str());
            rmdir((path + "/dir").c_str());
            rmdir(path.c_str());
        }
        std::string path;
    } scratch;
    return scratch.path;
}

// What the tool does with a line, short of handing it to a plugin.
void Line(qppReplayFlows &flows, const std::string &text)
{
    qppReplayLine line = qppReplayParseLine(text);
    CHECK(text.find('\0') == std::string::npos);
    CHECK(! qppReplayTooDeep(text, qppReplayMaxDepth));
    switch (line.type) {
    case qppReplayLine::Type::FLOW: {
        CHECK(line.event >= 2 && line.event <= 7);
        std::shared_ptr<qdFlow> flow = flows.Flow(line.flow, "flow");
        CHECK(flow != nullptr);
        // What a script will be shown of the flow, as the encoder reads it.
        std::lock_guard<std::recursive_mutex> guard(flow->lock);
        flow->lower_addr.GetString();
        flow->upper_addr.GetString();
        CHECK(flow->iface != nullptr);
        break;
    }
    case qppReplayLine::Type::FLOW_MAP: {
        CHECK(line.event == 1);
        CHECK(line.flow.is_array());
        auto entries = flows.FlowMap(line.flow);
        CHECK(entries.size() == line.flow.size());
        qdFlowMap map(16);
        for (auto &entry : entries) map.Insert(entry.first, entry.second);
        break;
    }
    case qppReplayLine::Type::AGENT:
    case qppReplayLine::Type::STATUS:
        CHECK(line.event == 11 || line.event == 12);
        break;
    case qppReplayLine::Type::RELOAD:
        if (line.script) {
            CHECK(line.script->find('\0') == std::string::npos);
            // Names inside the scratch directory only ("." and ".." are
            // directories too).
            if (line.script->find('/') == std::string::npos) {
                std::string content =
                    qppReplayReadScript(ScratchDir() + "/" + *line.script);
                CHECK(*line.script == "script.py" && content == script_content);
            }
        }
        break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string content(reinterpret_cast<const char *>(data), size);
    qppReplayFlows flows;

    // The tool's line splitting: line ends are '\n' with an optional '\r'
    // before it, and blank lines are skipped. The tool stops at the first
    // bad line; so does this.
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        std::string text = content.substr(start, end - start);
        start = end + 1;
        if (! text.empty() && text.back() == '\r') text.pop_back();
        if (text.find_first_not_of(" \t") == std::string::npos) continue;
        try {
            Line(flows, text);
        }
        catch (const qppReplayInputError &e) {
            // A refusal always says something.
            CHECK(e.what()[0] != '\0');
            break;
        }
    }
    return 0;
}
