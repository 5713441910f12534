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

size_t qppPySubInterpreter::CountOtherThreads() const
{
    // The list only changes under the interpreter lock, which the caller
    // holds. The creation thread state is not a running thread.
    PyThreadState *current = PyThreadState_Get();
    size_t count = 0;
    for (PyThreadState *t = PyInterpreterState_ThreadHead(ts->interp);
         t != nullptr; t = PyThreadState_Next(t)) {
        if (t != current && t != ts) count++;
    }
    return count;
}

bool qppPySubInterpreter::WaitForOtherThreads(
    std::chrono::steady_clock::time_point deadline)
{
    while (CountOtherThreads() > 0) {
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
// thread states themselves stay fresh for every event. Only small blocks are
// kept: the allocator's 1 MiB arenas, freed in bursts after a large flow
// map, would otherwise fill the cache and push the data stacks out of it
// (obmalloc keeps its own arenas when it wants them).
namespace {

struct CachedBlock
{
    void *address;
    size_t size;
};

// Plain storage without a destructor: the runtime may free blocks while
// the process ends, after other static objects are gone.
constexpr size_t cache_capacity = 8;
constexpr size_t cache_block_limit = 64 * 1024;
std::mutex cache_lock;
CachedBlock cache[cache_capacity];
size_t cached = 0;  // guarded by cache_lock

void *ArenaAlloc(void *, size_t size)
{
    {
        std::lock_guard<std::mutex> guard(cache_lock);
        for (size_t i = 0; i < cached; i++) {
            if (cache[i].size != size) continue;
            void *address = cache[i].address;
            cache[i] = cache[--cached];
            return address;
        }
    }
    void *address = mmap(nullptr, size, PROT_READ | PROT_WRITE,
        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return (address == MAP_FAILED) ? nullptr : address;
}

void ArenaFree(void *, void *address, size_t size)
{
    if (address == nullptr) return;
    if (size <= cache_block_limit) {
        std::lock_guard<std::mutex> guard(cache_lock);
        if (cached < cache_capacity) {
            cache[cached++] = {address, size};
            return;
        }
    }
    munmap(address, size);
}

}  // namespace

void qppInstallArenaCache()
{
    static std::once_flag once;
    std::call_once(once, [] {
        PyObjectArenaAllocator allocator = {nullptr, ArenaAlloc, ArenaFree};
        PyObject_SetArenaAllocator(&allocator);
    });
}
