#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <vector>

#include "qd-exception.h"
#include "qd-log.h"

namespace {

std::mutex log_lock;
qdLogSink log_sink;
std::atomic<bool> log_debug{false};

std::string Format(const char *format, va_list ap)
{
    va_list copy;
    va_copy(copy, ap);
    int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length <= 0) return std::string();
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    vsnprintf(buffer.data(), buffer.size(), format, ap);
    return std::string(buffer.data(), static_cast<size_t>(length));
}

void Write(const std::string &message)
{
    std::lock_guard<std::mutex> guard(log_lock);
    if (log_sink) {
        log_sink(message);
        return;
    }
    fwrite(message.data(), 1, message.size(), stdout);
    fflush(stdout);
}

}  // namespace

qdException::qdException(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    message = Format(format, ap);
    va_end(ap);
}

void qd_printf(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::string message = Format(format, ap);
    va_end(ap);
    Write(message);
}

void qd_dprintf(const char *format, ...)
{
    if (! log_debug.load()) return;
    va_list ap;
    va_start(ap, format);
    std::string message = Format(format, ap);
    va_end(ap);
    Write(message);
}

void qd_set_debug(bool enabled) { log_debug = enabled; }

bool qd_get_debug() { return log_debug.load(); }

void qd_set_log_sink(qdLogSink sink)
{
    std::lock_guard<std::mutex> guard(log_lock);
    log_sink = std::move(sink);
}
