// The host's thread base. A subclass supplies Entry; the host calls Create
// to start it, Terminate to ask it to end, and Join (the destructor of a
// subclass does) to wait for it.
#pragma once

#include <atomic>
#include <mutex>
#include <pthread.h>
#include <string>

class qdThread
{
public:
    explicit qdThread(const std::string &tag);
    virtual ~qdThread();

    virtual void Create();
    virtual void *Entry() = 0;
    virtual void Terminate() { terminate = true; }

    bool ShouldTerminate() const { return terminate.load(); }
    // A copy: the thread may rename itself while other threads read it.
    std::string GetTag() const;

    // Waits for the thread if it was started; returns at once otherwise and
    // on every later call.
    void Join();

    // Names the calling thread, the thread itself, after its tag (cut to
    // the system's limit).
    void SetProcName();

    // The thread's own lock, held by nobody unless a subclass takes it.
    void Lock() { lock.lock(); }
    void Unlock() { lock.unlock(); }

protected:
    // Renames the thread. Only the thread itself (or its owner before the
    // thread starts) calls it, which is why the thread reads tag freely.
    void SetTag(const std::string &name);

    std::string tag;  // written under tag_lock
    std::atomic<bool> terminate;

private:
    static void *ThreadEntry(void *param);

    std::mutex lock;
    mutable std::mutex tag_lock;
    pthread_t id;
    bool started;
    bool joined;
};
