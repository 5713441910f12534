#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "qpp-interpreter.h"
#include "qpp-script.h"
#include "qpp-watchdog.h"
#include "quivend.h"

namespace {

using std::chrono::duration_cast;
using std::chrono::nanoseconds;

// A class of its own for each interruption, so that the instance, made
// only when the worker's eval loop raises it (from a class, with no
// arguments: PyThreadState_SetAsyncExc takes no instance), still carries
// the message. It derives from BaseException, not Exception, so that a
// script's "except Exception" around its work does not take the
// interruption for one of its own errors and go on.
qppPyRef MakeTimeoutClass(const std::string &message)
{
    static const char source[] =
        "class CallbackTimeout(BaseException):\n"
        "    def __init__(self, *args):\n"
        "        BaseException.__init__(self, *(args or (message,)))\n"
        "CallbackTimeout.__module__ = 'qpp'\n";
    qppPyRef globals = qppPyRef::Steal(PyDict_New());
    if (! globals) return qppPyRef();
    qppPyRef text = qppPyRef::Steal(PyUnicode_DecodeUTF8(message.data(),
        static_cast<Py_ssize_t>(message.size()), "backslashreplace"));
    if (! text || PyDict_SetItemString(globals.get(), "message", text.get()) < 0 ||
        PyDict_SetItemString(
            globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0)
        return qppPyRef();
    qppPyRef rc = qppPyRef::Steal(
        PyRun_String(source, Py_file_input, globals.get(), globals.get()));
    if (! rc) return qppPyRef();
    return qppPyRef::Borrow(PyDict_GetItemString(globals.get(), "CallbackTimeout"));
}

const char *CallbackName(uint8_t id)
{
    const char *name = qppScript::CallbackName(id);
    return name ? name : "a callback";
}

std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char *format, ...)
{
    char buffer[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    return buffer;
}

}  // namespace

void qppWatchdog::SetWorker(PyInterpreterState *target, unsigned long thread_ident)
{
    interp.store(target);
    worker_ident.store(thread_ident);
}

void qppWatchdog::Configure(nanoseconds new_budget, const std::string &new_tag)
{
    std::lock_guard<std::mutex> guard(lock);
    budget = new_budget;
    tag = new_tag;
    if (budget.count() > 0) StartLocked();
    cond.notify_all();
}

std::chrono::steady_clock::time_point qppWatchdog::CallStarted(uint8_t id)
{
    clock::time_point started = clock::now();
    int64_t now = duration_cast<nanoseconds>(started.time_since_epoch()).count();
    // The start names the call: two calls never share one.
    if (now <= last_start) now = last_start + 1;
    last_start = now;
    call_id.store(id, std::memory_order_relaxed);
    call_start.store(now, std::memory_order_release);
    return started;
}

bool qppWatchdog::CallEnded()
{
    int64_t start = call_start.load(std::memory_order_relaxed);
    call_start.store(0, std::memory_order_release);
    if (interrupted_start.load(std::memory_order_acquire) != start) return false;
    // A call that returned before its eval loop looked would otherwise
    // take the exception into whatever this thread runs next.
    PyThreadState_SetAsyncExc(worker_ident.load(), nullptr);
    return true;
}

void qppWatchdog::BeginEnding()
{
    std::lock_guard<std::mutex> guard(lock);
    if (ending) return;
    ending = true;
    ending_at = clock::now();
    try {
        StartLocked();
    }
    catch (const std::exception &e) {
        qd_printf("%s: cannot watch callbacks while stopping: %s\n", tag.c_str(),
            e.what());
    }
    cond.notify_all();
}

void qppWatchdog::Stop()
{
    std::thread ended;
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
        cond.notify_all();
        ended = std::move(thread);
    }
    if (ended.joinable()) ended.join();
}

void qppWatchdog::StartLocked()
{
    if (thread.joinable() || stopping) return;
    thread = std::thread(&qppWatchdog::Run, this);
}

void qppWatchdog::Run()
{
    std::unique_lock<std::mutex> guard(lock);
    int64_t watched = 0;          // the call that the schedule is about
    unsigned interruptions = 0;   // of that call
    clock::time_point repeat_at;  // when to look at it again
    while (! stopping) {
        int64_t start = call_start.load(std::memory_order_acquire);
        if (start != watched) {
            watched = start;
            interruptions = 0;
        }

        // A call is seen by polling; once seen, the wait is for its deadline.
        nanoseconds poll = budget.count() > 0
            ? std::clamp<nanoseconds>(budget / 2, std::chrono::milliseconds(10),
                  std::chrono::seconds(1))
            : std::chrono::milliseconds(100);
        bool polling = budget.count() > 0 || ending;

        clock::time_point began{nanoseconds(watched)};
        clock::time_point deadline = clock::time_point::max();
        bool by_grace = false;
        if (watched != 0 && interruptions > 0)
            deadline = repeat_at;
        else if (watched != 0) {
            if (budget.count() > 0) deadline = began + budget;
            if (ending) {
                clock::time_point grace =
                    std::max(began, ending_at) + callback_stop_grace;
                if (grace < deadline) {
                    deadline = grace;
                    by_grace = true;
                }
            }
        }

        clock::time_point now = clock::now();
        if (deadline == clock::time_point::max()) {
            if (polling)
                cond.wait_for(guard, poll);
            else
                cond.wait(guard);
            continue;
        }
        if (now < deadline) {
            cond.wait_until(guard, deadline);
            continue;
        }

        const char *name = CallbackName(call_id.load(std::memory_order_relaxed));
        std::string message, log_line;
        if (interruptions > 0) {
            message = Format("%s was interrupted and is still running", name);
            log_line = Format("%s: %s: still running after %lld seconds, "
                              "interrupted %u times: blocked where Python "
                              "cannot interrupt it, or catching the "
                              "interruption\n",
                tag.c_str(), name,
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::seconds>(now - began)
                        .count()),
                interruptions);
        }
        else if (by_grace) {
            message = Format("%s still running %lld seconds after the instance "
                             "was told to stop",
                name, static_cast<long long>(callback_stop_grace.count()));
            log_line = Format("%s: %s: interrupted: %s\n", tag.c_str(), name,
                message.c_str() + strlen(name) + 1);
        }
        else {
            double seconds = std::chrono::duration<double>(budget).count();
            message = Format("%s ran past its time budget of %g seconds", name, seconds);
            log_line = Format("%s: %s: interrupted: %s\n", tag.c_str(), name,
                message.c_str() + strlen(name) + 1);
        }
        nanoseconds base = std::max<nanoseconds>(
            budget.count() > 0 ? budget : nanoseconds(callback_stop_grace),
            std::chrono::seconds(1));

        guard.unlock();
        bool interrupted = Interrupt(watched, message, log_line);
        guard.lock();

        if (! interrupted) {
            // The call ended meanwhile, or there is no worker to interrupt
            // (a host that runs Reload itself): look again later.
            cond.wait_for(guard, poll);
        }
        else {
            interruptions++;
            // Repeated at growing intervals: a call blocked in C code is
            // reported now and then, not at every poll.
            nanoseconds interval = base * (1LL << std::min(interruptions - 1, 16u));
            repeat_at = clock::now() +
                std::min<nanoseconds>(interval, std::chrono::minutes(5));
        }
    }
}

bool qppWatchdog::Interrupt(
    int64_t start, const std::string &message, const std::string &log_line)
{
    PyInterpreterState *target = interp.load();
    if (target == nullptr) return false;

    qppPySubInterpreter::thread_scope scope(target);
    // Decided under the interpreter lock, which the worker holds whenever
    // it marks a call's start or end.
    if (call_start.load(std::memory_order_acquire) != start) return false;

    qppPyRef type = MakeTimeoutClass(message);
    if (! type) {
        // Out of memory: an interruption without the message is better
        // than none.
        PyErr_Clear();
        type = qppPyRef::Borrow(PyExc_KeyboardInterrupt);
    }
    // Looks the thread up in the current interpreter (from 3.12 on in no
    // other): hence the scope above.
    PyThreadState_SetAsyncExc(worker_ident.load(), type.get());
    type.reset();

    interrupted_start.store(start, std::memory_order_release);
    qd_printf("%s", log_line.c_str());
    return true;
}
