// The script runner's work (see runner-serve.h).

#include <chrono>
#include <cstring>
#include <pthread.h>

#include "qpp-messages.h"
#include "qpp-module.h"
#include "runner-serve.h"

namespace {

// The records that follow an event: the statistics form of each flow
// when ProcessFlowStats is selected, then the full form when a callback
// that takes full flows is. What a call did not read (it raised before,
// or the script has no such callback after all) is read and dropped, so
// that the next message is the next event's.
class RecordFeed : public qppFlowFeed
{
public:
    RecordFeed(qppRunnerChannel &channel, uint32_t count, uint8_t selected)
        : channel(channel), count(count),
          stats_left((selected & qppScript::ProcessFlowStats) ? count : 0),
          full_left((selected & (qppScript::ProcessFlowEvent | qppScript::ProcessFlowMap)) ? count : 0)
    {
    }

    size_t Count() const override { return count; }

    qppFlowRecordView Next(bool stats_only) override
    {
        uint32_t &left = stats_only ? stats_left : full_left;
        // The statistics forms come first: a call of the full form skips
        // them if they are still there.
        if (! stats_only) Skip(stats_left);
        if (left == 0) throw qdException("no flow record left for the callback");
        ReadRecord();
        left--;
        return qppFlowRecordView(reinterpret_cast<const uint8_t *>(body.data()), body.size());
    }

    void Drain()
    {
        Skip(stats_left);
        Skip(full_left);
    }

private:
    void ReadRecord()
    {
        if (channel.Read(body, true) != qppMessage::RECORD)
            throw qdException("the daemon sent no flow record where one belongs");
    }

    void Skip(uint32_t &left)
    {
        for (; left > 0; left--) ReadRecord();
    }

    qppRunnerChannel &channel;
    uint32_t count;
    uint32_t stats_left;
    uint32_t full_left;
    std::string body;
};

}  // namespace

qppRunnerServer::qppRunnerServer(qppRunnerChannel &channel, const std::string &tag)
    : channel(channel), tag(tag), script(mask)
{
    watchdog.SetWorker(PyInterpreterState_Main(), PyThread_get_thread_ident());
    ending_watch = std::thread(&qppRunnerServer::WatchEnding, this);
}

qppRunnerServer::~qppRunnerServer() { StopThreads(); }

void qppRunnerServer::StopThreads()
{
    ending = true;
    qppFutexWake(channel.Ending());
    if (ending_watch.joinable()) ending_watch.join();
    watchdog.Stop();
}

bool qppRunnerServer::Teardown()
{
    PyThreadState *idle = qppRuntime::InitialThreadState();
    if (script.Teardown(PyInterpreterState_Main(), idle, script_thread_wait)) return true;
    qd_printf("%s: %zu script thread(s) still running after %lld seconds: they end with "
              "the runner\n",
        tag.c_str(), qppCountOtherThreads(PyInterpreterState_Main(), idle),
        static_cast<long long>(script_thread_wait.count()));
    return false;
}

void qppRunnerServer::WatchEnding()
{
    std::atomic<uint32_t> &word = channel.Ending();
    while (! ending) {
        if (word.load() != 0) {
            watchdog.BeginEnding();
            return;
        }
        qppFutexWait(word, 0, 1000);
    }
}

void qppRunnerServer::Serve()
{
    std::string body;
    for (;;) {
        qppMessage type = channel.Read(body, true);
        qppMessageReader r(reinterpret_cast<const uint8_t *>(body.data()), body.size());
        switch (type) {
        case qppMessage::LOAD:
            Load(body);
            break;
        case qppMessage::CONFIGURE: {
            budget = std::chrono::nanoseconds(r.U64());
            tag = r.Text();
            watchdog.Configure(budget, tag);
            break;
        }
        case qppMessage::EVENT:
            Event(body);
            break;
        case qppMessage::SYNC:
            Done(r.U64(), false);
            break;
        case qppMessage::UNLOAD: {
            uint64_t seq = r.U64();
            bool dropped = false;
            try {
                UnloadNotice();
            }
            catch (const std::exception &e) {
                qd_printf("%s: %s\n", tag.c_str(), e.what());
                dropped = true;
            }
            script.Unbind();
            Done(seq, dropped);
            break;
        }
        case qppMessage::EXIT:
            return;
        default:
            throw qdException("the daemon sent a message of no known kind");
        }
    }
}

void qppRunnerServer::UnloadNotice()
{
    uint8_t selected = qppSelectCallbacks(qppEventUnload, 0, mask.load(), tag);
    RecordFeed none(channel, 0, 0);
    if (selected != 0)
        qppInvoke(script, watchdog, tag, qppEventUnload, 0, selected, none, *this);
}

void qppRunnerServer::Load(const std::string &body)
{
    qppMessageReader r(reinterpret_cast<const uint8_t *>(body.data()), body.size());
    uint64_t seq = r.U64();
    std::string old_tag = r.Text();
    std::string name = r.Text();
    std::string path = r.Text();
    uint8_t digest[20];
    r.Bytes(digest, sizeof(digest));
    std::string module_dir = r.Text();

    qppMessageWriter answer(qppMessage::LOADED);
    try {
        UnloadNotice();
        script.Load(name, path, digest, module_dir, old_tag);
        tag = name;
        // Named as the daemon's worker names itself, after the script.
        pthread_setname_np(pthread_self(), tag.substr(0, 15).c_str());
        answer.U64(seq).U8(1).U8(mask.load() & 0x0f).Text("");
    }
    catch (const std::exception &e) {
        script.Unbind();
        answer.U64(seq).U8(0).U8(0).Text(e.what());
    }
    channel.Write(answer.Bytes());
}

void qppRunnerServer::Event(const std::string &body)
{
    qppMessageReader r(reinterpret_cast<const uint8_t *>(body.data()), body.size());
    uint64_t seq = r.U64();
    uint8_t prv = r.U8();
    uint16_t event = r.U16();
    uint8_t selected = r.U8();
    uint32_t count = r.U32();

    RecordFeed feed(channel, count, selected);
    bool dropped = false;
    // Once the instance is being deleted, what is still in the ring is
    // dropped, as the daemon drops what is still queued.
    if (channel.Ending().load() != 0)
        dropped = true;
    else {
        try {
            qppInvoke(script, watchdog, tag, prv, event, selected, feed, *this);
        }
        catch (const std::exception &e) {
            // An event whose arguments could not be built is dropped.
            qd_printf("%s: %s\n", tag.c_str(), e.what());
            dropped = true;
        }
    }
    feed.Drain();
    Done(seq, dropped, false);
}

void qppRunnerServer::Done(uint64_t seq, bool dropped, bool urgent)
{
    qppMessageWriter m(qppMessage::DONE);
    m.U64(seq).U8(dropped ? 1 : 0);
    channel.Write(m.Bytes(), urgent);
}

void qppRunnerServer::CallBegins(uint8_t id)
{
    // In the ring before the call runs, so that the daemon knows which one
    // ran should the runner end in it; nobody waits for it.
    qppMessageWriter m(qppMessage::CALL_BEGIN);
    m.U8(id);
    channel.Write(m.Bytes(), false);
}

void qppRunnerServer::CallEnded(uint8_t id, qppCallOutcome outcome, uint64_t ns)
{
    qppMessageWriter m(qppMessage::CALL_END);
    m.U8(id).U8(static_cast<uint8_t>(outcome)).U64(ns);
    channel.Defer(m.Bytes());
}

nlohmann::json qppRunnerServer::Statistics() const
{
    std::string reply;
    qppMessageWriter m(qppMessage::STATS);
    if (channel.Request(m.Bytes(), reply, true) != qppMessage::STATISTICS)
        throw qdException("the daemon sent no statistics");
    return nlohmann::json::parse(reply);
}

void qppRunnerServer::DispatchPayload(const std::string &target,
    const std::set<std::string> &channels, size_t length, const uint8_t *payload,
    qdFlags<qdPlugin::DispatchFlags> flags)
{
    // The message must fit what the daemon takes from a runner.
    size_t size = target.size() + length + 64;
    for (const std::string &c : channels) size += c.size() + 4;
    if (size > qpp_up_body_limit)
        throw qdException("payload too large to leave the runner (%zu bytes)", length);

    qppMessageWriter m(qppMessage::DISPATCH);
    m.Text(target).U32(static_cast<uint32_t>(channels.size()));
    for (const std::string &c : channels) m.Text(c);
    m.Text(reinterpret_cast<const char *>(payload), length).U8(flags.Value());
    std::string reply;
    // The module has given up the interpreter lock around the dispatch.
    if (channel.Request(m.Bytes(), reply, false) != qppMessage::DISPATCHED || reply.empty())
        throw qdException("the daemon sent no answer to a dispatch");
    if (reply[0] != 1) throw qdException("%s", reply.c_str() + 1);
}
