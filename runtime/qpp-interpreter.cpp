#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <sys/mman.h>

#include "qpp-interpreter.h"

qppPyThreadState::qppPyThreadState(PyInterpreterState *interp)
    : ts(PyThreadState_New(interp))
{
    PyEval_RestoreThread(ts);
}

qppPyThreadState::~qppPyThreadState()
{
    PyThreadState_Clear(ts);
    PyThreadState_DeleteCurrent();
}

qppPySubInterpreter::thread_scope::thread_scope(PyInterpreterState *interp)
    : state(interp), ts_prev(PyThreadState_Swap(state.get())) { }

qppPySubInterpreter::thread_scope::~thread_scope()
{
    PyThreadState_Swap(ts_prev);
}

qppPySubInterpreter::qppPySubInterpreter()
{
    PyThreadState *ts_main = PyThreadState_Get();
    ts = Py_NewInterpreter();
    PyThreadState_Swap(ts_main);
}

size_t qppCountOtherThreads(PyInterpreterState *interp, PyThreadState *idle)
{
    // The list only changes under the interpreter lock, which the caller
    // holds.
    PyThreadState *current = PyThreadState_Get();
    size_t count = 0;
    for (PyThreadState *t = PyInterpreterState_ThreadHead(interp); t != nullptr;
         t = PyThreadState_Next(t)) {
        if (t != current && t != idle) count++;
    }
    return count;
}

bool qppWaitForOtherThreads(PyInterpreterState *interp, PyThreadState *idle,
    std::chrono::steady_clock::time_point deadline)
{
    while (qppCountOtherThreads(interp, idle) > 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        Py_BEGIN_ALLOW_THREADS
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        Py_END_ALLOW_THREADS
    }
    return true;
}

qppPySubInterpreter::~qppPySubInterpreter()
{
    if (ts == nullptr) return;
    PyThreadState *ts_prev = PyThreadState_Swap(ts);
    Py_EndInterpreter(ts);
    PyThreadState_Swap(ts_prev);
}

// Every thread_scope creates a thread state, and the first frame pushed on
// it allocates a 16 KiB data stack through the interpreter's arena
// allocator, which maps and unmaps it with mmap for each event: two system
// calls and page faults per script call, more than encoding a flow costs.
// Keeping a few freed blocks of that size for reuse takes the cost out while
// thread states themselves stay fresh for every event.
//
// Arenas are kept too. A flow map of 10,000 flows makes tens of megabytes
// of objects and frees them all when the callback returns; the interpreter
// then unmaps every emptied arena, and the next map faults all of it in
// again, which costs more than encoding it. So freed arenas are kept up to
// the recent peak of arenas in use: a script that sees a big map every
// update interval keeps the memory it needs for it, mapped and faulted in.
// The peak decays: once it has not been reached for arena_decay, it is
// halved (never below arena_floor arenas) and what is kept beyond it is
// unmapped, so that one giant map does not pin its memory for ever. The
// worker calls qppTrimArenaCache when idle, so an instance that has gone
// quiet gives the memory back too.
namespace {

using Clock = std::chrono::steady_clock;

// Freed blocks kept for reuse, in plain storage without a destructor: the
// runtime may free blocks while the process ends, after other static
// objects are gone. Guarded by cache_lock.
template <size_t capacity>
struct BlockPool
{
    void *address[capacity];
    size_t size[capacity];
    size_t count;

    void *Take(size_t wanted)
    {
        for (size_t i = count; i-- > 0;) {
            if (size[i] != wanted) continue;
            void *found = address[i];
            count--;
            address[i] = address[count];
            size[i] = size[count];
            return found;
        }
        return nullptr;
    }

    bool Keep(void *block, size_t length, size_t limit)
    {
        if (count >= capacity || count >= limit) return false;
        address[count] = block;
        size[count] = length;
        count++;
        return true;
    }
};

// Data stacks and arenas have pools of their own, so that a burst of freed
// arenas never pushes the stacks out.
constexpr size_t stack_block_limit = 64 * 1024;
constexpr size_t stack_pool_size = 8;
// 4096 arenas are 4 GiB of 1 MiB arenas (1 GiB of 3.9's 256 KiB ones).
constexpr size_t arena_pool_size = 4096;
constexpr size_t arena_floor = 8;
constexpr auto arena_decay = std::chrono::seconds(60);

std::mutex cache_lock;
BlockPool<stack_pool_size> stack_pool;
BlockPool<arena_pool_size> arena_pool;
size_t arenas_in_use;        // handed to the interpreter, not yet freed
size_t arena_peak;           // recent peak of arenas_in_use
Clock::rep arena_peak_time;  // when arena_peak was last reached

struct Block
{
    void *address;
    size_t size;
};

// Under cache_lock: halves the peak once it has not been reached for
// arena_decay, and takes out up to room kept arenas beyond what the peak
// allows, for the caller to unmap unlocked.
size_t TrimArenaPool(Clock::rep now, Block *spill, size_t room)
{
    if (now - arena_peak_time >= Clock::duration(arena_decay).count()) {
        arena_peak = std::max({arenas_in_use, arena_peak / 2, arena_floor});
        arena_peak_time = now;
    }
    size_t limit = std::max(arena_peak, arena_floor) - arenas_in_use;
    size_t n = 0;
    while (arena_pool.count > limit && n < room) {
        arena_pool.count--;
        spill[n++] = {arena_pool.address[arena_pool.count],
            arena_pool.size[arena_pool.count]};
    }
    return n;
}

void Unmap(const Block *blocks, size_t n)
{
    for (size_t i = 0; i < n; i++) munmap(blocks[i].address, blocks[i].size);
}

void *ArenaAlloc(void *, size_t size)
{
    {
        std::lock_guard<std::mutex> guard(cache_lock);
        if (size <= stack_block_limit) {
            if (void *block = stack_pool.Take(size)) return block;
        }
        else {
            arenas_in_use++;
            if (arenas_in_use >= arena_peak) {
                arena_peak = arenas_in_use;
                arena_peak_time = Clock::now().time_since_epoch().count();
            }
            if (void *block = arena_pool.Take(size)) return block;
        }
    }
    void *address = mmap(nullptr, size, PROT_READ | PROT_WRITE,
        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (address != MAP_FAILED) return address;
    if (size > stack_block_limit) {
        std::lock_guard<std::mutex> guard(cache_lock);
        arenas_in_use--;
    }
    return nullptr;
}

void ArenaFree(void *, void *address, size_t size)
{
    if (address == nullptr) return;
    Block spill[16];
    size_t spilled = 0;
    bool kept;
    {
        std::lock_guard<std::mutex> guard(cache_lock);
        if (size <= stack_block_limit)
            kept = stack_pool.Keep(address, size, stack_pool_size);
        else {
            arenas_in_use--;
            spilled = TrimArenaPool(Clock::now().time_since_epoch().count(),
                spill, sizeof(spill) / sizeof(spill[0]));
            kept = arena_pool.Keep(address, size,
                std::max(arena_peak, arena_floor) - arenas_in_use);
        }
    }
    if (! kept) munmap(address, size);
    Unmap(spill, spilled);
}

}  // namespace

void qppTrimArenaCache()
{
    Block spill[64];
    size_t spilled;
    {
        std::lock_guard<std::mutex> guard(cache_lock);
        spilled = TrimArenaPool(Clock::now().time_since_epoch().count(), spill,
            sizeof(spill) / sizeof(spill[0]));
    }
    Unmap(spill, spilled);
}

void qppInstallArenaCache()
{
    static std::once_flag once;
    std::call_once(once, [] {
        PyObjectArenaAllocator allocator = {nullptr, ArenaAlloc, ArenaFree};
        PyObject_SetArenaAllocator(&allocator);
    });
}
