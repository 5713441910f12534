// The channel's messages (see qpp-messages.h).

#include <cstring>

#include "qpp-messages.h"

qppMessageWriter::qppMessageWriter(qppMessage type)
{
    U32(static_cast<uint32_t>(type));
    U32(0);
}

qppMessageWriter &qppMessageWriter::Text(const char *text, size_t length)
{
    U32(static_cast<uint32_t>(length));
    return Raw(text, length);
}

qppMessageWriter &qppMessageWriter::Raw(const void *data, size_t length)
{
    if (length > 0) bytes.append(static_cast<const char *>(data), length);
    return *this;
}

const std::string &qppMessageWriter::Bytes()
{
    uint32_t length = static_cast<uint32_t>(bytes.size() - 8);
    memcpy(&bytes[4], &length, sizeof(length));
    return bytes;
}

void qppMessageReader::Bytes(void *to, size_t length)
{
    if (static_cast<size_t>(end - at) < length) throw qppMessageError("a message ends early");
    memcpy(to, at, length);
    at += length;
}

std::string qppMessageReader::Text()
{
    uint32_t length = U32();
    if (static_cast<size_t>(end - at) < length) throw qppMessageError("a text runs past its message");
    std::string text(reinterpret_cast<const char *>(at), length);
    at += length;
    return text;
}

std::string qppMessageReader::Rest()
{
    std::string rest(reinterpret_cast<const char *>(at), static_cast<size_t>(end - at));
    at = end;
    return rest;
}

void qppMessageReader::End() const
{
    if (at != end) throw qppMessageError("a message is longer than its kind");
}

namespace {

bool OneCallback(uint8_t id) { return id == 1 || id == 2 || id == 4 || id == 8; }

// Texts a script can hand over hold no NUL (the module refuses them), and
// the daemon's texts end at one.
bool HasNul(const std::string &text) { return text.find('\0') != std::string::npos; }

// What a dispatch may carry: a JSON or MessagePack mark, and the header.
bool KnownFlags(uint8_t flags) { return (flags & ~0x13u) == 0 && (flags & 3u) != 3u; }

}  // namespace

qppUpMessage qppParseUp(uint32_t type, const uint8_t *body, size_t length)
{
    qppMessageReader r(body, length);
    qppUpMessage m;
    m.type = static_cast<qppMessage>(type);
    switch (m.type) {
    case qppMessage::LOG:
        m.debug = r.U8();
        if (m.debug > 1) throw qppMessageError("a log line of no known kind");
        m.text = r.Rest();
        if (HasNul(m.text)) throw qppMessageError("a log line holds a NUL");
        break;
    case qppMessage::CALL_BEGIN:
        m.callback = r.U8();
        if (! OneCallback(m.callback)) throw qppMessageError("a call of no callback");
        break;
    case qppMessage::CALL_END:
        m.callback = r.U8();
        m.outcome = r.U8();
        m.ns = r.U64();
        if (! OneCallback(m.callback)) throw qppMessageError("a call of no callback");
        if (m.outcome > 2) throw qppMessageError("a call with no known outcome");
        break;
    case qppMessage::DONE:
        m.seq = r.U64();
        m.status = r.U8();
        if (m.status > 1) throw qppMessageError("an acknowledgement of no known kind");
        break;
    case qppMessage::LOADED:
        m.seq = r.U64();
        m.status = r.U8();
        m.mask = r.U8();
        m.text = r.Text();
        if (m.status > 1 || (m.mask & ~0x0fu) != 0 || (m.status == 0 && m.mask != 0) ||
            m.text.size() > 4096 || HasNul(m.text))
            throw qppMessageError("a load's answer of no known kind");
        break;
    case qppMessage::DISPATCH: {
        m.target = r.Text();
        uint32_t count = r.U32();
        // Each channel takes four bytes of length at least: a count beyond
        // what is left is a lie, refused before anything is reserved.
        if (count > length / 4) throw qppMessageError("more channels than the message holds");
        m.channels.reserve(count);
        for (uint32_t i = 0; i < count; i++) m.channels.push_back(r.Text());
        m.payload = r.Text();
        m.flags = r.U8();
        if (! KnownFlags(m.flags) || HasNul(m.target) || HasNul(m.payload))
            throw qppMessageError("a dispatch no script can make");
        for (const std::string &c : m.channels)
            if (HasNul(c)) throw qppMessageError("a dispatch no script can make");
        break;
    }
    case qppMessage::STATS:
        break;
    default:
        throw qppMessageError("a message of no known kind");
    }
    r.End();
    return m;
}

bool qppUpReader::Next(qppUpMessage &message)
{
    for (;;) {
        int64_t available = ring.Available();
        if (available < 0) throw qppMessageError("the ring's head is out of bounds");
        if (header_got < sizeof(header)) {
            size_t n = std::min<size_t>(sizeof(header) - header_got, static_cast<size_t>(available));
            if (n == 0) return false;
            ring.Take(header + header_got, n);
            header_got += n;
            if (header_got < sizeof(header)) return false;
            memcpy(&type, header, sizeof(type));
            memcpy(&length, header + 4, sizeof(length));
            if (length > qpp_up_body_limit) throw qppMessageError("a message too long");
            body.clear();
            continue;
        }
        size_t wanted = length - body.size();
        size_t n = std::min<size_t>(wanted, static_cast<size_t>(available));
        if (n > 0) {
            // Grown only by what has arrived: a length that lies costs
            // nothing until its bytes come.
            size_t at = body.size();
            body.resize(at + n);
            ring.Take(&body[at], n);
        }
        if (body.size() < length) return false;
        header_got = 0;
        message = qppParseUp(type, reinterpret_cast<const uint8_t *>(body.data()), body.size());
        return true;
    }
}
