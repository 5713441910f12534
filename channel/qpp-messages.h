// The messages of the channel (qpp-channel.h), as bytes and as values.
//
// On the wire a message is its type (32 bits), the length of its body (32
// bits) and the body: fixed-width integers in the machine's order and
// strings as a 32-bit length and the bytes. Every message has one shape;
// a reader accepts a body only when it holds exactly that shape.
//
// The daemon reads what the runner sends with qppUpReader, which copies
// each message out of the ring whole before it parses it and refuses (for
// good: the runner is then ended) a message of an unknown type, a length
// beyond its type's limit, or a body that is not its type's shape. The
// runner reads what the daemon sends with the same parsing functions.
// Nothing here is shared between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "qpp-channel.h"

enum class qppMessage : uint32_t {
    // daemon -> runner
    LOAD = 1,       // seq, tag, name, path, digest, module directory
    CONFIGURE = 2,  // budget in ns, tag
    EVENT = 3,      // seq, prv, event, selected callbacks, flow count; records follow
    RECORD = 4,     // one flow record
    SYNC = 5,       // seq
    UNLOAD = 6,     // seq: the unload notice
    EXIT = 7,       // end
    // runner -> daemon
    LOG = 101,         // debug or not, text
    CALL_BEGIN = 102,  // callback
    CALL_END = 103,    // callback, outcome, ns
    DONE = 104,        // seq, dropped or not: an event, sync or unload is done
    LOADED = 105,      // seq, ok, mask, error text
    DISPATCH = 106,    // target, channels, payload, flags: a reply follows
    STATS = 107,       // the counters, please: a reply follows
    // daemon -> runner, in the reply slot
    DISPATCHED = 201,  // 1 delivered, 0 refused
    STATISTICS = 202,  // JSON text
};

// The largest body the daemon takes from a runner: payloads and log lines
// of any reasonable size; beyond it a runner is broken, or hostile.
constexpr uint32_t qpp_up_body_limit = 256u << 20;

// A message that does not hold its shape.
class qppMessageError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Builds one message's bytes.
class qppMessageWriter
{
public:
    explicit qppMessageWriter(qppMessage type);

    qppMessageWriter &U8(uint8_t v) { return Raw(&v, sizeof(v)); }
    qppMessageWriter &U16(uint16_t v) { return Raw(&v, sizeof(v)); }
    qppMessageWriter &U32(uint32_t v) { return Raw(&v, sizeof(v)); }
    qppMessageWriter &U64(uint64_t v) { return Raw(&v, sizeof(v)); }
    qppMessageWriter &Text(const std::string &text) { return Text(text.data(), text.size()); }
    qppMessageWriter &Text(const char *text, size_t length);
    // Bytes without a length: the rest of the body.
    qppMessageWriter &Raw(const void *bytes, size_t length);

    // The message, its length filled in.
    const std::string &Bytes();

private:
    std::string bytes;
};

// Reads one body, checking every length against what is left; throws
// qppMessageError.
class qppMessageReader
{
public:
    qppMessageReader(const uint8_t *body, size_t length) : at(body), end(body + length) { }

    uint8_t U8() { return Fixed<uint8_t>(); }
    uint16_t U16() { return Fixed<uint16_t>(); }
    uint32_t U32() { return Fixed<uint32_t>(); }
    uint64_t U64() { return Fixed<uint64_t>(); }
    std::string Text();
    // The bytes left, all of them.
    std::string Rest();
    void Bytes(void *to, size_t length);
    // The body must be used up.
    void End() const;

private:
    template <typename T>
    T Fixed()
    {
        T v;
        Bytes(&v, sizeof(v));
        return v;
    }

    const uint8_t *at;
    const uint8_t *end;
};

// The messages a runner sends, as the daemon takes them.
struct qppUpMessage
{
    qppMessage type;
    uint8_t debug = 0;        // LOG
    std::string text;         // LOG: the line; LOADED: the error
    uint8_t callback = 0;     // CALL_BEGIN, CALL_END: one bit of 1, 2, 4, 8
    uint8_t outcome = 0;      // CALL_END: qppCallOutcome
    uint64_t ns = 0;          // CALL_END
    uint64_t seq = 0;         // DONE, LOADED
    uint8_t status = 0;       // DONE: 0 served, 1 dropped; LOADED: 1 loaded
    uint8_t mask = 0;         // LOADED: the bound callbacks
    std::string target;       // DISPATCH
    std::vector<std::string> channels;
    std::string payload;
    uint8_t flags = 0;
};

// Parses one body of type; throws qppMessageError for anything but a
// runner's message of exactly its shape, with values that a runner can
// send: a callback is one of the four, a text holds no NUL, a dispatch's
// flags are those a script can ask for, a load's error is a line.
qppUpMessage qppParseUp(uint32_t type, const uint8_t *body, size_t length);

// Assembles the messages of the up ring from its bytes, as they come: each
// message is copied out of the ring into memory of the reader's own before
// it is parsed. Daemon side, the runner's monitor thread.
class qppUpReader
{
public:
    explicit qppUpReader(qppRingEnd &ring) : ring(ring) { }

    // The next whole message, when one is there. Throws qppMessageError
    // for a runner that broke the ring or sent what no runner sends.
    bool Next(qppUpMessage &message);

private:
    qppRingEnd &ring;
    uint8_t header[8];
    size_t header_got = 0;
    uint32_t type = 0;
    uint32_t length = 0;
    std::string body;
};
