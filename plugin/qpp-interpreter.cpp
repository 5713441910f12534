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
// thread states themselves stay fresh for every event. A few of the
// allocator's arenas are kept as well (at most 8, 8 MiB with 1 MiB arenas):
// a large flow map makes and frees dozens of them per event, each one
// mapped and faulted in anew otherwise.
namespace {

// Freed blocks kept for reuse, in plain storage without a destructor: the
// runtime may free blocks while the process ends, after other static
// objects are gone. Guarded by cache_lock.
struct BlockPool
{
    static constexpr size_t capacity = 8;
    void *address[capacity];
    size_t size[capacity];
    size_t count;

    void *Take(size_t wanted)
    {
        for (size_t i = 0; i < count; i++) {
            if (size[i] != wanted) continue;
            void *found = address[i];
            count--;
            address[i] = address[count];
            size[i] = size[count];
            return found;
        }
        return nullptr;
    }

    bool Keep(void *block, size_t length)
    {
        if (count == capacity) return false;
        address[count] = block;
        size[count] = length;
        count++;
        return true;
    }
};

// Data stacks and arenas have pools of their own, so that a burst of freed
// arenas never pushes the stacks out.
constexpr size_t stack_block_limit = 64 * 1024;
std::mutex cache_lock;
BlockPool stack_pool;
BlockPool arena_pool;

BlockPool &PoolFor(size_t size)
{
    return (size <= stack_block_limit) ? stack_pool : arena_pool;
}

void *ArenaAlloc(void *, size_t size)
{
    {
        std::lock_guard<std::mutex> guard(cache_lock);
        if (void *block = PoolFor(size).Take(size)) return block;
    }
    void *address = mmap(nullptr, size, PROT_READ | PROT_WRITE,
        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return (address == MAP_FAILED) ? nullptr : address;
}

void ArenaFree(void *, void *address, size_t size)
{
    if (address == nullptr) return;
    {
        std::lock_guard<std::mutex> guard(cache_lock);
        if (PoolFor(size).Keep(address, size)) return;
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
