#include <mutex>
#include <sys/mman.h>
#include <vector>

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
// calls and a page fault per script call. Keeping a few freed blocks of that
// size (and of arena size) for reuse takes the cost out while thread states
// themselves stay fresh for every event.
namespace {

struct CachedBlock
{
    void *address;
    size_t size;
};

constexpr size_t cache_capacity = 8;
std::mutex cache_lock;
std::vector<CachedBlock> cache;

void *ArenaAlloc(void *, size_t size)
{
    {
        std::lock_guard<std::mutex> guard(cache_lock);
        for (size_t i = 0; i < cache.size(); i++) {
            if (cache[i].size != size) continue;
            void *address = cache[i].address;
            cache[i] = cache.back();
            cache.pop_back();
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
    {
        std::lock_guard<std::mutex> guard(cache_lock);
        if (cache.size() < cache_capacity) {
            cache.push_back({address, size});
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
        cache.reserve(cache_capacity);
        PyObjectArenaAllocator allocator = {nullptr, ArenaAlloc, ArenaFree};
        PyObject_SetArenaAllocator(&allocator);
    });
}
