// The script in a runner process (see qpp-process-isolation.h).

#include <cerrno>
#include <poll.h>
#include <unistd.h>

#include "qpp-interpreter-isolation.h"
#include "qpp-messages.h"
#include "qpp-module.h"
#include "qpp-permissions.h"
#include "qpp-process-isolation.h"
#include "qpp-script.h"

namespace {

using clock_type = std::chrono::steady_clock;

// The longest pause between a runner's end and the next start.
constexpr std::chrono::seconds longest_pause(60);
// A runner that served this long before it ended starts the pauses anew.
constexpr std::chrono::seconds healthy_run(60);
// Single-flow events handed over before a runner that sleeps is woken,
// while the worker has more queued: one wake-up then serves them all.
constexpr unsigned flush_every = 32;
// How long an asked-for end may take: the script's threads get what they
// get in the daemon, and the runner its grace besides.
constexpr auto runner_end_wait = script_thread_wait + runner_kill_grace;

}  // namespace

struct qppProcessIsolation::Runner
{
    Runner(const std::string &path, const qppRunnerIdentityArgs &identity,
        const std::string &tag, qppProcessIsolation::Instance &owner)
        : memfd(qppCreateChannel()), mapping(memfd.Get()),
          down(mapping.Head().down, mapping.Down(), qpp_down_capacity, true),
          process(path, memfd.Get(), identity, tag),
          monitor(mapping, process,
              qppRunnerMonitor::Instance{owner.stats, owner.calls, owner.instance, owner.wake_worker})
    {
    }

    qppFd memfd;
    qppChannelMapping mapping;
    qppRingEnd down;
    qppRunnerProcess process;
    // Last: its thread goes before what it watches.
    qppRunnerMonitor monitor;
};

qppProcessIsolation::qppProcessIsolation(Instance instance)
    : instance(std::move(instance)), runner_path(qppRunnerProcess::DefaultPath())
{
}

qppProcessIsolation::~qppProcessIsolation()
{
    // The worker has stopped a runner it ran; one left is killed here.
    std::lock_guard<std::mutex> guard(runner_lock);
    runner.reset();
}

bool qppProcessIsolation::Unchanged(const qppScriptLoad &load) const
{
    return runner && loaded && wanted && ! runner->monitor.Ended() &&
        memcmp(wanted->digest, load.digest, sizeof(load.digest)) == 0 &&
        wanted->runner == load.runner;
}

void qppProcessIsolation::Configure(std::chrono::nanoseconds new_budget, const std::string &new_tag)
{
    budget = new_budget;
    tag = new_tag;
    if (! runner) return;
    qppMessageWriter m(qppMessage::CONFIGURE);
    m.U64(static_cast<uint64_t>(budget.count())).Text(tag);
    runner->monitor.Configure(budget);
    Send(m.Bytes());
}

void qppProcessIsolation::Start(const qppRunnerSettings &settings)
{
    qppRunnerIdentityArgs identity = qppRunnerIdentityArgs::Resolve(settings);
    auto started = std::make_unique<Runner>(runner_path, identity, tag, instance);
    if (ending.load(std::memory_order_acquire)) {
        started->mapping.Head().ending.store(1);
        started->monitor.BeginEnding(ending_at);
    }
    {
        std::lock_guard<std::mutex> guard(runner_lock);
        runner = std::move(started);
    }
    loaded = false;
    started_at = clock_type::now();
    instance.stats.runner_used = true;
    instance.stats.runner_pid = static_cast<uint64_t>(runner->process.Pid());
    Configure(budget, tag);
}

void qppProcessIsolation::Load(const qppScriptLoad &load)
{
    if (runner && runner->monitor.Ended()) TakeEnd();
    // Who the runner is and what it may use is settled when it starts:
    // the script there is told, and its runner ends.
    if (runner && wanted && ! (wanted->runner == load.runner)) Unload();
    wanted = load;
    if (! runner) {
        try {
            Start(load.runner);
        }
        catch (...) {
            // Starting again would fail again: the next reload tries.
            wanted.reset();
            throw;
        }
    }
    SendLoad(load);
}

void qppProcessIsolation::SendLoad(const qppScriptLoad &load)
{
    // From here until the new script is bound, events are dropped, as
    // they are while a sub-interpreter imports.
    instance.mask.store(0);
    loaded = false;
    uint64_t s = NextSeq();
    runner->monitor.Expect({qppRunnerMonitor::InFlight::LOAD, s, qppStats::AGENT, 0, std::nullopt});
    qppMessageWriter m(qppMessage::LOAD);
    m.U64(s).Text(load.tag).Text(load.name).Text(load.path).Raw(load.digest, sizeof(load.digest))
        .Text(load.module_dir);
    if (! Send(m.Bytes()) || ! runner->monitor.WaitFor(s)) {
        TakeEnd();
        throw qdException("error importing/reloading module: %s (%s): the script runner ended",
            load.name.c_str(), load.path.c_str());
    }
    uint8_t mask;
    std::string error;
    if (! runner->monitor.Loaded(mask, error)) throw qdException("%s", error.c_str());
    loaded = true;
    instance.mask.store(mask | qppScript::loaded);
}

void qppProcessIsolation::Serve(qppEvent &&event, uint8_t selected)
{
    if (runner && runner->monitor.Ended()) TakeEnd();
    if (! runner) {
        instance.stats.Dropped(event.Kind(), event.flows.size());
        return;
    }
    uint64_t s = NextSeq();
    runner->monitor.Expect({qppRunnerMonitor::InFlight::EVENT, s, event.Kind(),
        event.flows.size(), std::nullopt, event.Bytes()});
    qppMessageWriter m(qppMessage::EVENT);
    m.U64(s).U8(event.prv).U16(event.event).U8(selected)
        .U32(static_cast<uint32_t>(event.flows.size()));
    if (! Write(m.Bytes())) return;
    // The forms in the order the calls take them (qpp-invoke.h).
    for (bool stats_only : {true, false}) {
        uint8_t takes = stats_only ? qppScript::ProcessFlowStats
                                   : (qppScript::ProcessFlowEvent | qppScript::ProcessFlowMap);
        if ((selected & takes) == 0) continue;
        for (auto &entry : event.flows) {
            if (! WriteRecord(record.Build(*entry.first, entry.second, stats_only))) return;
        }
    }
    // A map is work enough to announce at once; single flows go a few at
    // a time while more are queued.
    if (event.flows.size() > 1 || ++unflushed >= flush_every) Flush();
}

bool qppProcessIsolation::WriteRecord(const qppFlowRecordView &view)
{
    uint32_t header[2] = {static_cast<uint32_t>(qppMessage::RECORD),
        static_cast<uint32_t>(view.Size())};
    return Write(header, sizeof(header)) && Write(view.Data(), view.Size());
}

void qppProcessIsolation::Sync(const qdSyncPoint &sync)
{
    if (runner && runner->monitor.Ended()) TakeEnd();
    if (! runner) {
        sync.Signal();
        return;
    }
    uint64_t s = NextSeq();
    runner->monitor.Expect({qppRunnerMonitor::InFlight::SYNC, s, qppStats::AGENT, 0, sync});
    qppMessageWriter m(qppMessage::SYNC);
    m.U64(s);
    Send(m.Bytes());
}

void qppProcessIsolation::Unload()
{
    if (runner && runner->monitor.Ended()) TakeEnd();
    wanted.reset();
    instance.mask.store(0);
    if (! runner) return;
    uint64_t s = NextSeq();
    runner->monitor.Expect({qppRunnerMonitor::InFlight::UNLOAD, s, qppStats::AGENT, 0, std::nullopt});
    qppMessageWriter m(qppMessage::UNLOAD);
    m.U64(s);
    // Without a budget a notice may take as long as it takes, but for the
    // instance's end: the monitor ends the runner then.
    if (Send(m.Bytes())) runner->monitor.WaitFor(s);
    Stop();
}

void qppProcessIsolation::Stop()
{
    qppMessageWriter m(qppMessage::EXIT);
    Send(m.Bytes());
    auto deadline = clock_type::now() + runner_end_wait;
    runner->monitor.WaitFor(UINT64_MAX, deadline);
    std::string why = "still running " +
        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(runner_end_wait).count()) +
        " seconds after it was asked to end (threads of the script?)";
    if (! runner->monitor.Ended()) runner->monitor.Kill(why);
    runner->monitor.WaitFor(UINT64_MAX);

    std::string killed;
    uint8_t running;
    bool overstayed;
    for (auto &left : runner->monitor.Finish(killed, running, overstayed)) {
        if (left.sync) left.sync->Signal();
        qppRunnerMonitor::Release(instance.stats, left);
        if (left.what == qppRunnerMonitor::InFlight::EVENT)
            instance.stats.Dropped(left.kind, left.flows);
    }
    if (overstayed && running != 0) qppCount(instance.stats.Callback(running).interrupted);
    std::string cause = runner->process.Reap();
    if (! killed.empty() || ! runner->process.EndedWell()) {
        qd_printf("%s: script runner (pid %d) %s\n", tag.c_str(),
            static_cast<int>(runner->process.Pid()),
            killed.empty() ? cause.c_str() : ("was killed: " + killed).c_str());
    }
    instance.stats.runner_pid = 0;
    loaded = false;
    std::lock_guard<std::mutex> guard(runner_lock);
    runner.reset();
}

void qppProcessIsolation::TakeEnd()
{
    instance.mask.store(0);
    std::string killed;
    uint8_t running;
    bool overstayed;
    size_t dropped = 0;
    for (auto &left : runner->monitor.Finish(killed, running, overstayed)) {
        if (left.sync) left.sync->Signal();
        qppRunnerMonitor::Release(instance.stats, left);
        if (left.what == qppRunnerMonitor::InFlight::EVENT) {
            instance.stats.Dropped(left.kind, left.flows);
            dropped++;
        }
    }
    if (overstayed && running != 0) qppCount(instance.stats.Callback(running).interrupted);
    dropped += instance.drop_queued();
    std::string cause = runner->process.Reap();
    if (! killed.empty()) cause = "was killed: " + killed;
    if (running != 0) cause += std::string(" while ") + qppScript::CallbackName(running) + " ran";
    pid_t pid = runner->process.Pid();

    auto now = clock_type::now();
    if (now - started_at >= healthy_run) pause = std::chrono::seconds(1);
    std::string next = "; not started again: the instance is ending";
    if (! ending && wanted) {
        restart_at = now + pause;
        next = "; starting it again in " + std::to_string(pause.count()) + " s";
        pause = std::min(pause * 2, longest_pause);
    }
    std::string line = "script runner (pid " + std::to_string(pid) + ") " + cause + "; " +
        std::to_string(dropped) + " event(s) dropped" + next;
    qd_printf("%s: %s\n", tag.c_str(), line.c_str());
    instance.stats.RunnerEnded(line);
    instance.stats.runner_pid = 0;
    loaded = false;
    std::lock_guard<std::mutex> guard(runner_lock);
    runner.reset();
}

void qppProcessIsolation::Idle()
{
    if (runner && runner->monitor.Ended()) TakeEnd();
    if (runner || ! wanted || ending || clock_type::now() < restart_at) return;
    try {
        Start(wanted->runner);
    }
    catch (const std::exception &e) {
        qd_printf("%s: %s\n", tag.c_str(), e.what());
        restart_at = clock_type::now() + pause;
        pause = std::min(pause * 2, longest_pause);
        return;
    }
    qppCount(instance.stats.runner_restarts);
    try {
        // What is loaded is checked as at a reload: it may have changed.
        if (wanted->check_permissions) qppCheckScriptPermissions(wanted->path, wanted->module_dir);
        wanted->tag = tag;
        SendLoad(*wanted);
    }
    catch (const std::exception &e) {
        // The runner serves no callbacks until a reload; one that ended
        // meanwhile was taken in, its restart scheduled.
        qd_printf("%s: %s\n", tag.c_str(), e.what());
    }
}

bool qppProcessIsolation::NeedsWorker() const
{
    return runner && runner->monitor.Ended();
}

void qppProcessIsolation::BeginEnding()
{
    ending_at = clock_type::now();
    ending.store(true, std::memory_order_release);
    std::lock_guard<std::mutex> guard(runner_lock);
    if (! runner) return;
    runner->mapping.Head().ending.store(1);
    qppFutexWake(runner->mapping.Head().ending);
    runner->monitor.BeginEnding(ending_at);
}

void qppProcessIsolation::Flush()
{
    unflushed = 0;
    if (! runner) return;
    qppRingState &state = runner->down.State();
    if (state.reader_waiting.exchange(0)) {
        state.data_seq.fetch_add(1);
        qppFutexWake(state.data_seq);
    }
}

bool qppProcessIsolation::Send(const std::string &bytes)
{
    bool written = Write(bytes);
    Flush();
    return written;
}

bool qppProcessIsolation::Write(const void *bytes, size_t n)
{
    const uint8_t *at = static_cast<const uint8_t *>(bytes);
    qppRingEnd &down = runner->down;
    qppRingState &state = down.State();
    while (n > 0) {
        int64_t room = down.Room();
        if (room < 0) {
            runner->monitor.Kill("it broke the channel: the down ring's tail is out of bounds");
            return false;
        }
        if (room == 0) {
            Flush();
            if (runner->monitor.Ended()) return false;
            state.writer_waiting.store(1);
            if (down.Room() == 0) {
                // The runner rings when it has made room; the pidfd says
                // when it ended; the timeout lets a bell that was stolen
                // cost a moment, not the worker.
                struct pollfd fds[2] = {{runner->process.WorkerBell(), POLLIN, 0},
                    {runner->process.PidFd(), POLLIN, 0}};
                poll(fds, 2, 100);
                qppDrain(runner->process.WorkerBell());
                if (fds[1].revents != 0) {
                    state.writer_waiting.store(0);
                    return false;
                }
            }
            state.writer_waiting.store(0);
            continue;
        }
        size_t k = std::min<size_t>(n, static_cast<size_t>(room));
        down.Put(at, k);
        at += k;
        n -= k;
    }
    return true;
}
