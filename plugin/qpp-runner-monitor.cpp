// The daemon's watch over a script runner (see qpp-runner-monitor.h).

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "qpp-runner-monitor.h"
#include "qpp-script.h"
#include "quivend.h"

namespace {

// How often a monitor reads while only events are in flight.
constexpr int lazy_reading_ms = 5;
// How often a monitor with a budget to keep looks for work given to a
// runner that has gone quiet.
constexpr int budget_look_ms = 100;

std::string Seconds(std::chrono::nanoseconds d)
{
    char text[32];
    snprintf(text, sizeof(text), "%g", std::chrono::duration<double>(d).count());
    return text;
}

}  // namespace

qppRunnerMonitor::qppRunnerMonitor(
    qppChannelMapping &mapping, qppRunnerProcess &process, Instance instance)
    : mapping(mapping), process(process), instance(std::move(instance)),
      up(mapping.Head().up, mapping.Up(), qpp_up_capacity, false), reader(up),
      wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (! wake) throw qdException("cannot watch the script runner: eventfd: %s", strerror(errno));
    thread = std::thread(&qppRunnerMonitor::Run, this);
}

qppRunnerMonitor::~qppRunnerMonitor()
{
    stopping = true;
    Wake();
    if (thread.joinable()) thread.join();
}

void qppRunnerMonitor::Wake()
{
    // A full counter already holds a wake-up.
    uint64_t one = 1;
    ssize_t rc = write(wake.Get(), &one, sizeof(one));
    (void)rc;
}

void qppRunnerMonitor::WakeWriter()
{
    qppRingState &state = up.State();
    if (state.writer_waiting.exchange(0)) {
        state.room_seq.fetch_add(1);
        qppFutexWake(state.room_seq);
    }
}

void qppRunnerMonitor::Expect(InFlight item)
{
    std::lock_guard<std::mutex> guard(state_lock);
    // Work for a runner that had none: it is heard from from now on.
    if (in_flight.empty()) heard = clock::now();
    if (item.what == InFlight::EVENT) {
        for (const InFlight &earlier : in_flight) {
            if (earlier.what != InFlight::EVENT) continue;
            item.held = true;
            instance.stats.Held(item.bytes);
            break;
        }
    }
    in_flight.push_back(std::move(item));
}

void qppRunnerMonitor::Release(qppStats &stats, const InFlight &item)
{
    if (item.held) stats.Dequeued(item.bytes);
}

bool qppRunnerMonitor::WaitFor(uint64_t seq, clock::time_point deadline)
{
    std::unique_lock<std::mutex> guard(state_lock);
    while (acknowledged < seq && ! ended) {
        if (state_cond.wait_until(guard, std::min(deadline, clock::now() + std::chrono::seconds(1))) ==
                std::cv_status::timeout &&
            clock::now() >= deadline)
            return false;
    }
    return acknowledged >= seq;
}

bool qppRunnerMonitor::Loaded(uint8_t &mask, std::string &error)
{
    std::lock_guard<std::mutex> guard(state_lock);
    mask = load_mask;
    error = load_error;
    return load_ok;
}

void qppRunnerMonitor::Configure(std::chrono::nanoseconds new_budget)
{
    {
        std::lock_guard<std::mutex> guard(state_lock);
        budget = new_budget;
    }
    Wake();
}

void qppRunnerMonitor::BeginEnding(clock::time_point at)
{
    {
        std::lock_guard<std::mutex> guard(state_lock);
        if (! ending_at) ending_at = at;
    }
    Wake();
}

std::deque<qppRunnerMonitor::InFlight> qppRunnerMonitor::Finish(
    std::string &why, uint8_t &running, bool &overstaid)
{
    if (thread.joinable()) thread.join();
    std::lock_guard<std::mutex> guard(state_lock);
    why = killed_because;
    running = call;
    overstaid = overstayed;
    std::deque<InFlight> left;
    left.swap(in_flight);
    return left;
}

qppRunnerMonitor::clock::time_point qppRunnerMonitor::Deadline(std::string &why)
{
    std::lock_guard<std::mutex> guard(state_lock);
    clock::time_point deadline = clock::time_point::max();
    const char *name = qppScript::CallbackName(call);
    if (call != 0 && budget.count() > 0) {
        deadline = call_started + budget + runner_kill_grace;
        why = std::string(name) + " still running " +
            std::to_string(runner_kill_grace.count()) +
            " seconds past its time budget of " + Seconds(budget) + " seconds";
    }
    // Between calls a runner that has work says something (a call, an
    // acknowledgement) within moments; one stopped or stuck there is held
    // to the budget too. A load is not: an import takes what it takes.
    else if (call == 0 && budget.count() > 0 && ! in_flight.empty() &&
        in_flight.front().what != InFlight::LOAD) {
        deadline = heard + budget + runner_kill_grace;
        why = "nothing heard from it for " +
            Seconds(budget + std::chrono::duration_cast<std::chrono::nanoseconds>(runner_kill_grace)) +
            " seconds while it had work and no callback ran";
    }
    // Once the instance is ending, whatever the runner still has to do
    // gets a grace after which the runner interrupts its call, and a
    // second for the call to end.
    if (ending_at && ! in_flight.empty()) {
        clock::time_point from = call != 0 ? std::max(call_started, *ending_at) : *ending_at;
        clock::time_point at = from + 2 * runner_kill_grace;
        if (at < deadline) {
            deadline = at;
            why = std::string(name ? name : "the script") + " still running " +
                std::to_string(2 * runner_kill_grace.count()) +
                " seconds after the instance was told to stop";
        }
    }
    return deadline;
}

void qppRunnerMonitor::KillFor(const std::string &why, bool overstaid)
{
    {
        std::lock_guard<std::mutex> guard(state_lock);
        if (killed_because.empty()) {
            killed_because = why;
            overstayed = overstaid;
        }
    }
    int error = process.Kill();
    // Said once: the monitor goes on watching for an end that may not come.
    if (error != 0 && ! kill_failed.exchange(true))
        qd_printf("%s: script runner (pid %d) cannot be ended (%s): %s\n",
            process.Tag().c_str(), static_cast<int>(process.Pid()), why.c_str(), strerror(error));
}

void qppRunnerMonitor::Run()
{
    qppRingState &state = up.State();
    bool reading = true;  // until the runner breaks the channel
    bool gone = false;
    bool bell = true;     // until the runner closes its end
    while (! stopping) {
        if (reading) {
            try {
                qppUpMessage m;
                // A runner waiting for room goes on while a message is
                // handled (a dispatch may take a while).
                while (reader.Next(m)) {
                    WakeWriter();
                    Handle(m);
                }
                WakeWriter();
            }
            catch (const std::exception &e) {
                // qppMessageError, or a host that failed to take a line.
                reading = false;
                KillFor(std::string("it broke the channel: ") + e.what());
            }
        }
        // What the runner wrote before its end has been read: now it ends.
        if (gone) break;

        std::string why;
        clock::time_point deadline = Deadline(why);
        if (clock::now() >= deadline) {
            KillFor(why, true);
            deadline = clock::time_point::max();
        }
        int timeout = -1;
        if (deadline != clock::time_point::max()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - clock::now()).count() + 1;
            timeout = static_cast<int>(std::max<long long>(0, std::min<long long>(left, 60000)));
        }

        // Nobody waits for an event's acknowledgement: the runner does not
        // wake the monitor for one, and the monitor reads them now and
        // then while events are in flight. Whatever someone waits for (a
        // load, a sync point, the unload notice, a request, a log line)
        // wakes it.
        bool events, budgeted;
        {
            std::lock_guard<std::mutex> guard(state_lock);
            events = ! in_flight.empty();
            budgeted = budget.count() > 0;
        }
        if (events && (timeout < 0 || timeout > lazy_reading_ms)) timeout = lazy_reading_ms;
        // Work handed to a runner does not wake the monitor (it would cost
        // the worker a system call an event): with a budget to hold the
        // runner to, the monitor looks now and then.
        if (budgeted && (timeout < 0 || timeout > budget_look_ms)) timeout = budget_look_ms;
        state.reader_waiting.store(1);
        if (reading && up.Available() != 0) {
            state.reader_waiting.store(0);
            continue;
        }
        struct pollfd fds[3] = {{process.PidFd(), POLLIN, 0},
            {bell ? process.MonitorBell() : -1, POLLIN, 0}, {wake.Get(), POLLIN, 0}};
        int rc = poll(fds, 3, timeout);
        state.reader_waiting.store(0);
        if (rc < 0 && errno != EINTR) break;
        if (fds[1].revents & (POLLHUP | POLLERR)) {
            // Its end is closed as the runner ends; one that closes it
            // while it lives would have the monitor spin.
            // An ending runner closes it a moment before it is gone.
            bell = false;
            struct pollfd end = {process.PidFd(), POLLIN, 0};
            if (fds[0].revents == 0 && poll(&end, 1, 1000) == 0) KillFor("it closed its bell");
        }
        if (bell) qppDrain(process.MonitorBell());
        qppDrain(wake.Get());
        if (fds[0].revents != 0) gone = true;
    }
    ended = true;
    {
        // A waiter between its test of ended and its wait holds the lock:
        // taking it here means the notice cannot fall between the two.
        std::lock_guard<std::mutex> guard(state_lock);
    }
    state_cond.notify_all();
    instance.wake_worker();
}

void qppRunnerMonitor::Handle(const qppUpMessage &m)
{
    {
        std::lock_guard<std::mutex> guard(state_lock);
        heard = clock::now();
    }
    switch (m.type) {
    case qppMessage::LOG:
        // The text is the runner's, never a format. The runner has gone
        // on: a logger that fails loses the line, and only the line.
        try {
            if (m.debug)
                qd_dprintf("%s", m.text.c_str());
            else
                qd_printf("%s", m.text.c_str());
        }
        catch (...) {
        }
        break;
    case qppMessage::CALL_BEGIN: {
        {
            std::lock_guard<std::mutex> guard(state_lock);
            if (call != 0) throw qppMessageError("a call began inside another");
            call = m.callback;
            call_started = clock::now();
        }
        instance.calls.CallBegins(m.callback);
        break;
    }
    case qppMessage::CALL_END: {
        {
            std::lock_guard<std::mutex> guard(state_lock);
            if (call != m.callback) throw qppMessageError("a call ended that did not begin");
            call = 0;
        }
        instance.calls.CallEnded(m.callback, static_cast<qppCallOutcome>(m.outcome), m.ns);
        break;
    }
    case qppMessage::DONE:
    case qppMessage::LOADED:
        Acknowledge(m);
        break;
    case qppMessage::DISPATCH: {
        std::set<std::string> channels(m.channels.begin(), m.channels.end());
        std::string answer(1, '\1');
        try {
            instance.instance.DispatchPayload(m.target, channels, m.payload.size(),
                reinterpret_cast<const uint8_t *>(m.payload.data()),
                qdFlags<qdPlugin::DispatchFlags>::FromValue(m.flags));
        }
        catch (const std::exception &e) {
            answer = std::string(1, '\0') + e.what();
        }
        catch (...) {
            answer = std::string(1, '\0') + "unknown exception";
        }
        Reply(qppMessage::DISPATCHED, answer.substr(0, qpp_reply_capacity));
        break;
    }
    case qppMessage::STATS:
        Reply(qppMessage::STATISTICS, instance.instance.Statistics().dump());
        break;
    default:
        throw qppMessageError("a message of no known kind");
    }
}

void qppRunnerMonitor::Acknowledge(const qppUpMessage &m)
{
    std::optional<qdSyncPoint> sync;
    {
        std::lock_guard<std::mutex> guard(state_lock);
        if (in_flight.empty() || in_flight.front().seq != m.seq ||
            ((in_flight.front().what == InFlight::LOAD) != (m.type == qppMessage::LOADED)))
            throw qppMessageError("an acknowledgement out of order");
        // Taken apart, not moved whole: the entry goes once its sync is out.
        InFlight &front = in_flight.front();
        const InFlight::What what = front.what;
        const qppStats::Kind kind = front.kind;
        const size_t flows = front.flows;
        sync.swap(front.sync);
        in_flight.pop_front();
        acknowledged = m.seq;
        if (what == InFlight::LOAD) {
            load_ok = m.status == 1;
            load_mask = m.mask;
            load_error = m.text;
            if (! load_ok && load_error.empty())
                load_error = "the script runner could not load the script";
        }
        else if (what == InFlight::EVENT) {
            if (m.status == 0)
                instance.stats.Served(kind, flows);
            else
                instance.stats.Dropped(kind, flows);
            // The next event is in hand now.
            for (InFlight &next : in_flight) {
                if (next.what != InFlight::EVENT) continue;
                Release(instance.stats, next);
                next.held = false;
                break;
            }
        }
    }
    state_cond.notify_all();
    if (sync) sync->Signal();
}

void qppRunnerMonitor::Reply(qppMessage type, const std::string &body)
{
    qppReplyState &slot = mapping.Head().reply;
    size_t length = std::min<size_t>(body.size(), qpp_reply_capacity);
    memcpy(mapping.Reply(), body.data(), length);
    slot.type = static_cast<uint32_t>(type);
    slot.length = static_cast<uint32_t>(length);
    slot.seq.fetch_add(1, std::memory_order_release);
    qppFutexWake(slot.seq);
}
