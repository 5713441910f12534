// fuzz-channel: the daemon's reader of what a script runner sends, under a
// runner that writes anything it likes.
//
// The runner shares the up ring with the daemon and may write any byte of
// it at any time: the ring's data, its head, the message lengths. Each
// input is a script of such writes, drawn with FuzzedDataProvider: bytes
// put into the ring (some of them framed as messages of the known kinds,
// so that parsing is reached, the rest raw), heads moved by any amount,
// bytes of the ring changed after they were written, and reads by the
// daemon in between. The reader must never crash, read outside the ring,
// hold more than one message's body, or hand on a message that breaks the
// channel's rules; a refusal is a qppMessageError, after which the daemon
// ends the runner (so the input ends there too).

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "qpp-channel.h"
#include "qpp-messages.h"

namespace {

[[noreturn]] void Violated(const char *what)
{
    fprintf(stderr, "fuzz-channel: invariant violated: %s\n", what);
    abort();
}

#define CHECK(condition) \
    do { \
        if (! (condition)) Violated(#condition); \
    } while (0)

// A small ring, so that messages wrap and outgrow it.
constexpr uint32_t capacity = 256;

bool OneCallback(uint8_t id) { return id == 1 || id == 2 || id == 4 || id == 8; }

// What the daemon may rely on in a message the reader handed on.
void CheckMessage(const qppUpMessage &m)
{
    switch (m.type) {
    case qppMessage::LOG:
        CHECK(m.debug <= 1 && m.text.find('\0') == std::string::npos);
        break;
    case qppMessage::CALL_BEGIN:
    case qppMessage::CALL_END:
        CHECK(OneCallback(m.callback) && m.outcome <= 2);
        break;
    case qppMessage::DONE:
        CHECK(m.status <= 1);
        break;
    case qppMessage::LOADED:
        CHECK(m.status <= 1 && (m.mask & ~0x0f) == 0 && m.text.size() <= 4096);
        break;
    case qppMessage::DISPATCH:
        CHECK((m.flags & ~0x13) == 0 && (m.flags & 3) != 3);
        CHECK(m.target.find('\0') == std::string::npos);
        break;
    case qppMessage::STATS:
        break;
    default:
        Violated("a message of no known kind was handed on");
    }
}

// A message of a kind the runner sends, its body drawn from the input.
std::string Framed(FuzzedDataProvider &in)
{
    static const qppMessage kinds[] = {qppMessage::LOG, qppMessage::CALL_BEGIN,
        qppMessage::CALL_END, qppMessage::DONE, qppMessage::LOADED, qppMessage::DISPATCH,
        qppMessage::STATS, qppMessage::EVENT};
    qppMessageWriter m(kinds[in.ConsumeIntegralInRange<size_t>(0, 7)]);
    std::string body = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 600));
    m.Raw(body.data(), body.size());
    return m.Bytes();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    auto state = std::make_unique<qppRingState>();
    auto ring = std::make_unique<uint8_t[]>(capacity);
    memset(ring.get(), 0, capacity);
    qppRingEnd daemon(*state, ring.get(), capacity, false);
    qppUpReader reader(daemon);
    uint64_t head = 0;  // where the runner writes next, as it thinks

    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange<int>(0, 4)) {
        case 0:
        case 1: {
            // Bytes at the head, framed or raw, as many as fit or not.
            std::string bytes = in.ConsumeBool() ? Framed(in)
                : in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 300));
            for (size_t i = 0; i < bytes.size(); i++)
                ring[(head + i) % capacity] = static_cast<uint8_t>(bytes[i]);
            head += bytes.size();
            state->head.store(head);
            break;
        }
        case 2:
            // A head anywhere at all.
            head = in.ConsumeIntegral<uint64_t>();
            state->head.store(head);
            break;
        case 3:
            // Bytes changed after they were written.
            ring[in.ConsumeIntegralInRange<uint32_t>(0, capacity - 1)] = in.ConsumeIntegral<uint8_t>();
            break;
        case 4:
            break;
        }
        // The daemon reads what is there.
        try {
            qppUpMessage m;
            while (reader.Next(m)) CheckMessage(m);
        }
        catch (const qppMessageError &) {
            return 0;  // the runner is ended here
        }
        // Never past what the runner published.
        CHECK(state->tail.load() <= state->head.load());
    }
    return 0;
}
