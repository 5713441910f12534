// What the script's side of the plugin (the module, the script's loading,
// the calls and the watchdog) asks of its host, answered in the script
// runner: its log lines go to the daemon's log over the channel, where the
// daemon writes them as its own (qd_dprintf's only while the daemon's
// debug output is on); the rest is the host's small helpers. The runner
// links none of the daemon's library.
//
// Any thread; the channel is set once, before any script code runs, and
// never unset.

#include <cstdarg>
#include <cstdio>
#include <unistd.h>
#include <vector>

#include "qpp-messages.h"
#include "runner-channel.h"
#include "runner-log.h"
#include "quivend.h"

namespace {

qppRunnerChannel *log_channel = nullptr;

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

void Log(bool debug, const std::string &text)
{
    if (log_channel != nullptr) {
        qppMessageWriter m(qppMessage::LOG);
        m.U8(debug ? 1 : 0).Raw(text.data(), text.size());
        if (log_channel->Write(m.Bytes())) return;
    }
    // Before the channel, or in a forked child of the runner: standard
    // error, which the daemon gave the runner.
    ssize_t rc = write(2, text.data(), text.size());
    (void)rc;
}

}  // namespace

void qppRunnerLogTo(qppRunnerChannel *channel) { log_channel = channel; }

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
    std::string text = Format(format, ap);
    va_end(ap);
    Log(false, text);
}

void qd_dprintf(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::string text = Format(format, ap);
    va_end(ap);
    Log(true, text);
}

void qd_sha1_to_string(const uint8_t *digest, char *buffer)
{
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < 20; i++) {
        buffer[2 * i] = hex[digest[i] >> 4];
        buffer[2 * i + 1] = hex[digest[i] & 15];
    }
    buffer[40] = '\0';
}
