// qpp-replay's capture input: its options, and the run that reads a capture
// file or a live interface and delivers the flows' events to a plugin. The
// tool keeps only a small hook: it hands unknown options here, opens the
// input through Open before anything else, and calls Deliver instead of
// reading JSON Lines when Open returned a capture. One thread, the tool's
// main thread, uses it; the events it sends reach the plugin's worker only
// through the plugin's hooks.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "capture-flows.h"
#include "capture-source.h"
#include "capture-stream.h"

struct qppCaptureInputOptions
{
    std::string interface;
    std::string filter;
    // The user to run as once the capture is open; empty when not given:
    // nobody for a live capture that root runs, otherwise whoever runs the
    // tool.
    std::string user;
    qppCaptureStop stop;
    qppCaptureOptions flows;
    // Set when an option that only a capture uses was given.
    std::string capture_only;
};

// The options' lines of the tool's usage text.
extern const char *const qppCaptureUsage;

// Reads one option of the tool if it is a capture option: arg is the option
// as given (without "=VALUE"), take returns its value. Returns false for an
// option that is not one of these. Throws qppCaptureError for a bad value.
bool qppCaptureOption(const std::string &arg, const std::function<std::string()> &take,
    qppCaptureInputOptions &options);

class qppCaptureInput
{
public:
    // The capture that input (a file name, or "-" for standard input) and
    // the options name, opened: the capture that stream holds (the input,
    // opened; null with --interface), which it then takes, or the live
    // interface; then root is given up for the user of the options.
    // Returns null when the input is JSON Lines, left in stream. Throws
    // qppCaptureError for a capture that cannot be opened, an input that
    // is neither, or capture options without a capture.
    static std::unique_ptr<qppCaptureInput> Open(const qppCaptureInputOptions &options,
        const std::string &input, qppInputStream *stream);

    // Reads the capture to its end (or stop condition, or until events say
    // that the run is stopping), sends the events to events, and expires
    // every flow at the end. Returns an empty text or the message that
    // names where the capture broke. Writes a summary line to standard
    // error.
    std::string Deliver(qppCaptureEvents &events);

    // True for a live interface, false for a capture file.
    bool Live() const { return source.Live(); }

private:
    qppCaptureInput(const qppCaptureInputOptions &options, qppCaptureSource source);

    qppCaptureInputOptions options;
    qppCaptureSource source;
};
