#include <chrono>
#include <mutex>

#include "qpp-event.h"

size_t qppEvent::Bytes() const
{
    // A snapshot owns nothing outside its entry.
    return sizeof(qppEvent) + flows.capacity() * sizeof(flows[0]);
}

namespace {

// How long a hook spins for a flow's mutex before it sleeps on it. The
// worker holds a flow's mutex while it encodes that flow, a few
// microseconds; sleeping and being woken costs the host's thread more than
// that, and slows the worker down besides. Spinning longer would only burn
// the host's time on a holder that is busy with something else.
constexpr auto flow_lock_spin = std::chrono::microseconds(10);

void CpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

void LockFlow(std::recursive_mutex &lock)
{
    if (lock.try_lock()) return;
    auto deadline = std::chrono::steady_clock::now() + flow_lock_spin;
    for (;;) {
        // The clock is read once in a while: it costs more than a pause.
        for (int i = 0; i < 16; i++) {
            CpuRelax();
            if (lock.try_lock()) return;
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
    }
    lock.lock();
}

}  // namespace

void qppEvent::PushFlow(std::shared_ptr<qdFlow> &flow)
{
    LockFlow(flow->lock);
    std::lock_guard<std::recursive_mutex> guard(flow->lock, std::adopt_lock);
    flows.emplace_back(flow, qppFlowStats(flow->stats));
}
