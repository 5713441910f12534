// The replay's input, opened once: a file, a named pipe, a process
// substitution or standard input. Its first bytes are read ahead to tell a
// capture from JSON Lines, whatever kind of file it is; then its content is
// read from its first byte, line by line (JSON Lines) or as a stdio stream
// that libpcap reads (a capture). A read waits for data at most a moment at
// a time, so that a stop request is seen while a pipe is quiet; once it is,
// reading ends as at the end of the input.
//
// The object owns its descriptor and what it read ahead until Release hands
// both to the stdio stream. One thread uses it.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "qpp-fd.h"

// What the first bytes say the input is.
enum class qppInputKind {
    JSON_LINES,  // anything else
    CAPTURE,     // a pcap magic number, or a pcapng section header
    NEITHER,     // a first line of binary content: a NUL byte or bytes that are not UTF-8
};

class qppInputStream
{
public:
    // input: a path, or "-" for standard input. stopping: true once reading
    // is to end. Reads until the kind is known. Throws qppCaptureError.
    static std::unique_ptr<qppInputStream> Open(const std::string &input,
        std::function<bool()> stopping);

    qppInputStream(const qppInputStream &) = delete;
    qppInputStream &operator=(const qppInputStream &) = delete;

    qppInputKind Kind() const { return kind; }
    // The path, or "standard input".
    const std::string &Name() const { return name; }

    // The next line, without its "\n"; false at the end of the input, or
    // when a read fails (Error then says why).
    bool ReadLine(std::string &line);
    // Why a read failed; empty while none did.
    const std::string &Error() const { return error; }

    // The whole content from its first byte as a stdio stream, which owns
    // the descriptor from now on; this object reads nothing more. Null,
    // with errno set, when no stream can be made.
    FILE *Release();

private:
    qppInputStream() = default;
    // Appends what the next read gives; false at the end or on a failure.
    bool Fill();

    qppFd fd;
    std::string name;
    std::function<bool()> stopping;
    qppInputKind kind = qppInputKind::JSON_LINES;
    std::string buffer;  // read, from at on not yet handed out
    size_t at = 0;
    bool ended = false;
    std::string error;
};
