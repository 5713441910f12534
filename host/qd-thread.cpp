#include <cstring>

#include "qd-exception.h"
#include "qd-log.h"
#include "qd-thread.h"

qdThread::qdThread(const std::string &tag)
    : tag(tag), terminate(false), id(), started(false), joined(false) { }

qdThread::~qdThread() { Join(); }

std::string qdThread::GetTag() const
{
    std::lock_guard<std::mutex> guard(tag_lock);
    return tag;
}

void qdThread::SetTag(const std::string &name)
{
    std::lock_guard<std::mutex> guard(tag_lock);
    tag = name;
}

void qdThread::Create()
{
    if (started) throw qdException("%s: thread already started", tag.c_str());
    int rc = pthread_create(&id, nullptr, ThreadEntry, this);
    if (rc != 0)
        throw qdException("%s: pthread_create: %s", tag.c_str(), strerror(rc));
    started = true;
}

void qdThread::Join()
{
    if (! started || joined) return;
    pthread_join(id, nullptr);
    joined = true;
}

void qdThread::SetProcName()
{
    // Linux limits thread names to 15 bytes and a NUL.
    std::string name = tag.substr(0, 15);
    pthread_setname_np(pthread_self(), name.c_str());
}

void *qdThread::ThreadEntry(void *param)
{
    qdThread *thread = static_cast<qdThread *>(param);
    // A thread body that throws must not take the process with it.
    try {
        return thread->Entry();
    }
    catch (std::exception &e) {
        qd_printf("%s: thread ended by exception: %s\n",
            thread->tag.c_str(), e.what());
    }
    return nullptr;
}
