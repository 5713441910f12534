#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "capture-source.h"
#include "capture-stream.h"

namespace {

// How long one wait for data lasts before the stop request is looked at.
constexpr int wait_ms = 50;
// How much of a first line without a line end is judged.
constexpr size_t sniff_bytes = 4096;

// Reads what fd has, waiting for it a moment at a time: the bytes read, 0 at
// the end of the input or once stopping says so, -1 on a failure (errno).
ssize_t ReadSome(int fd, char *data, size_t size, const std::function<bool()> &stopping)
{
    for (;;) {
        if (stopping && stopping()) return 0;
        struct pollfd ready = {fd, POLLIN, 0};
        int polled = poll(&ready, 1, wait_ms);
        if (polled == 0 || (polled < 0 && errno == EINTR)) continue;
        ssize_t n = read(fd, data, size);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        return n;
    }
}

uint32_t BigEndian(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
        static_cast<uint32_t>(p[2]) << 8 | p[3];
}

bool IsUtf8(const unsigned char *p, size_t n)
{
    size_t i = 0;
    while (i < n) {
        unsigned char c = p[i];
        size_t more;
        if (c < 0x80) more = 0;
        else if ((c & 0xe0) == 0xc0 && c >= 0xc2) more = 1;
        else if ((c & 0xf0) == 0xe0) more = 2;
        else if ((c & 0xf8) == 0xf0 && c <= 0xf4) more = 3;
        else return false;
        // A sequence cut by the end of the sample is not held against it.
        if (i + more >= n) return true;
        for (size_t k = 1; k <= more; k++) {
            if ((p[i + k] & 0xc0) != 0x80) return false;
        }
        i += more + 1;
    }
    return true;
}

// What the first n bytes of an input say it is; nothing while more bytes
// could change the answer (complete: there are no more).
std::optional<qppInputKind> Sniff(const unsigned char *p, size_t n, bool complete)
{
    // pcap: microseconds, nanoseconds, Kuznetzov's variant, either order.
    // None of them is text.
    static const uint32_t pcap[] = {0xa1b2c3d4, 0xd4c3b2a1, 0xa1b23c4d, 0x4d3cb2a1,
        0xa1b2cd34, 0x34cdb2a1};
    for (uint32_t magic : pcap) {
        unsigned char bytes[4] = {static_cast<unsigned char>(magic >> 24),
            static_cast<unsigned char>(magic >> 16), static_cast<unsigned char>(magic >> 8),
            static_cast<unsigned char>(magic)};
        if (memcmp(p, bytes, n < 4 ? n : 4) != 0) continue;
        if (n >= 4) return qppInputKind::CAPTURE;
        if (! complete) return std::nullopt;
    }
    // pcapng: a section header, whose block type is line ends that text may
    // begin with too; its byte-order magic at offset 8 tells them apart.
    static const unsigned char section[4] = {0x0a, 0x0d, 0x0d, 0x0a};
    if (memcmp(p, section, n < 4 ? n : 4) == 0) {
        if (n < 12 && ! complete) return std::nullopt;
        if (n >= 12 && (BigEndian(p + 8) == 0x1a2b3c4d || BigEndian(p + 8) == 0x4d3c2b1a))
            return qppInputKind::CAPTURE;
    }
    // Only the first line is judged: what is wrong with later lines of JSON
    // Lines is the JSON reader's to say, line by line.
    const void *newline = memchr(p, '\n', n);
    if (newline == nullptr && n < sniff_bytes && ! complete) return std::nullopt;
    size_t first = newline ? static_cast<size_t>(static_cast<const unsigned char *>(newline) - p)
                           : (n < sniff_bytes ? n : sniff_bytes);
    if (memchr(p, 0, first) != nullptr || ! IsUtf8(p, first)) return qppInputKind::NEITHER;
    return qppInputKind::JSON_LINES;
}

// The stdio stream of Release: what was read ahead, then the descriptor.
struct Cookie
{
    qppFd fd;
    std::string pending;
    size_t at = 0;
    std::function<bool()> stopping;
};

ssize_t CookieRead(void *cookie, char *data, size_t size)
{
    Cookie &c = *static_cast<Cookie *>(cookie);
    if (c.at < c.pending.size()) {
        size_t n = std::min(size, c.pending.size() - c.at);
        memcpy(data, c.pending.data() + c.at, n);
        c.at += n;
        if (c.at == c.pending.size()) std::string().swap(c.pending);
        return static_cast<ssize_t>(n);
    }
    return ReadSome(c.fd.Get(), data, size, c.stopping);
}

int CookieClose(void *cookie)
{
    delete static_cast<Cookie *>(cookie);
    return 0;
}

}  // namespace

std::unique_ptr<qppInputStream> qppInputStream::Open(const std::string &input,
    std::function<bool()> stopping)
{
    std::unique_ptr<qppInputStream> stream(new qppInputStream);
    stream->stopping = std::move(stopping);
    bool standard = input == "-";
    stream->name = standard ? "standard input" : input;
    // Standard input stays open for whoever else may read it.
    stream->fd = qppFd(standard ? fcntl(0, F_DUPFD_CLOEXEC, 0) : open(input.c_str(), O_RDONLY | O_CLOEXEC));
    if (! stream->fd)
        throw qppCaptureError("cannot read " + input + ": " + strerror(errno));
    struct stat st;
    if (fstat(stream->fd.Get(), &st) == 0 && S_ISDIR(st.st_mode))
        throw qppCaptureError("cannot read " + input + ": it is a directory");
    for (;;) {
        auto &b = stream->buffer;
        auto kind = Sniff(reinterpret_cast<const unsigned char *>(b.data()), b.size(), stream->ended);
        if (kind) {
            stream->kind = *kind;
            break;
        }
        if (! stream->Fill() && ! stream->error.empty())
            throw qppCaptureError("cannot read " + input + ": " + stream->error);
    }
    return stream;
}

bool qppInputStream::Fill()
{
    if (ended || ! fd) return false;
    char data[65536];
    ssize_t n = ReadSome(fd.Get(), data, sizeof(data), stopping);
    if (n <= 0) {
        ended = true;
        if (n < 0) error = strerror(errno);
        return false;
    }
    buffer.append(data, static_cast<size_t>(n));
    return true;
}

bool qppInputStream::ReadLine(std::string &line)
{
    size_t scanned = at;
    for (;;) {
        const char *start = buffer.data() + scanned;
        const void *newline = memchr(start, '\n', buffer.size() - scanned);
        if (newline != nullptr) {
            size_t end = static_cast<size_t>(static_cast<const char *>(newline) - buffer.data());
            line.assign(buffer, at, end - at);
            at = end + 1;
            return true;
        }
        // What is handed out goes before more is read.
        buffer.erase(0, at);
        at = 0;
        scanned = buffer.size();
        if (! Fill()) {
            if (! error.empty() || buffer.empty()) return false;
            line.swap(buffer);
            buffer.clear();
            return true;
        }
    }
}

FILE *qppInputStream::Release()
{
    auto cookie = std::make_unique<Cookie>();
    cookie->fd = std::move(fd);
    cookie->pending = buffer.substr(at);
    cookie->stopping = stopping;
    buffer.clear();
    at = 0;
    ended = true;
    cookie_io_functions_t io = {CookieRead, nullptr, nullptr, CookieClose};
    FILE *file = fopencookie(cookie.get(), "r", io);
    if (file != nullptr) cookie.release();
    return file;
}
