// Host logging. qd_printf always writes; qd_dprintf writes only while the
// debug switch is on. Lines go to standard output unless a host (or a test
// acting as one) installs a sink of its own.
#pragma once

#include <functional>
#include <string>

void qd_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
void qd_dprintf(const char *format, ...) __attribute__((format(printf, 1, 2)));

void qd_set_debug(bool enabled);
bool qd_get_debug();

// Receives every written message in full (a message may hold several lines
// or none). An empty function restores standard output. The sink is called
// under the log's own mutex, so messages never interleave.
using qdLogSink = std::function<void(const std::string &message)>;
void qd_set_log_sink(qdLogSink sink);
