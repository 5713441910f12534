#include <arpa/inet.h>
#include <cstdio>
#include <cstring>

#include "qd-addr.h"

std::recursive_mutex qdAddr::lock;

qdAddr::qdAddr() : type(Type::NONE), mac{}, ss{} { }

qdAddr::qdAddr(const qdAddr &other)
    : type(other.type), ss(other.ss)
{
    memcpy(mac, other.mac, sizeof(mac));
}

qdAddr &qdAddr::operator=(const qdAddr &other)
{
    if (this == &other) return *this;
    std::lock_guard<std::recursive_mutex> guard(lock);
    type = other.type;
    memcpy(mac, other.mac, sizeof(mac));
    ss = other.ss;
    cached.clear();
    cached_flags = qdFlags<MakeFlags>();
    return *this;
}

bool qdAddr::Create(qdAddr &addr, const std::string &text, uint16_t port)
{
    addr = qdAddr();

    unsigned int m[6];
    char tail;
    if (text.size() == 17 &&
        sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &m[0], &m[1], &m[2],
            &m[3], &m[4], &m[5], &tail) == 6) {
        for (int i = 0; i < 6; i++) addr.mac[i] = static_cast<uint8_t>(m[i]);
        addr.type = Type::ETHER;
        return true;
    }

    sockaddr_in *sa4 = reinterpret_cast<sockaddr_in *>(&addr.ss);
    if (inet_pton(AF_INET, text.c_str(), &sa4->sin_addr) == 1) {
        sa4->sin_family = AF_INET;
        sa4->sin_port = htons(port);
        addr.type = Type::IP;
        return true;
    }

    sockaddr_in6 *sa6 = reinterpret_cast<sockaddr_in6 *>(&addr.ss);
    if (inet_pton(AF_INET6, text.c_str(), &sa6->sin6_addr) == 1) {
        sa6->sin6_family = AF_INET6;
        sa6->sin6_port = htons(port);
        addr.type = Type::IP;
        return true;
    }

    addr = qdAddr();
    return false;
}

qdAddr qdAddr::FromMAC(const uint8_t m[6])
{
    qdAddr addr;
    memcpy(addr.mac, m, sizeof(addr.mac));
    addr.type = Type::ETHER;
    return addr;
}

const std::string &qdAddr::GetString(qdFlags<MakeFlags> flags)
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (cached.empty() || cached_flags != flags) {
        cached_flags = flags;
        MakeString(cached, flags);
    }
    return cached;
}

bool qdAddr::MakeString(std::string &result, qdFlags<MakeFlags> flags) const
{
    result.clear();
    switch (type) {
    case Type::NONE:
        return false;
    case Type::ETHER: {
        char text[18];
        snprintf(text, sizeof(text),
            flags.Has(MakeFlags::UPPER) ? "%02X:%02X:%02X:%02X:%02X:%02X"
                                        : "%02x:%02x:%02x:%02x:%02x:%02x",
            mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
        result = text;
        return true;
    }
    case Type::IP:
        break;
    }

    char text[INET6_ADDRSTRLEN];
    bool v6 = (ss.ss_family == AF_INET6);
    const void *raw = v6
        ? static_cast<const void *>(
              &reinterpret_cast<const sockaddr_in6 *>(&ss)->sin6_addr)
        : static_cast<const void *>(
              &reinterpret_cast<const sockaddr_in *>(&ss)->sin_addr);
    if (inet_ntop(ss.ss_family, raw, text, sizeof(text)) == nullptr)
        return false;

    if (flags.Has(MakeFlags::PORT)) {
        result = v6 ? "[" + std::string(text) + "]" : std::string(text);
        result += ":" + std::to_string(GetPort(true));
    }
    else
        result = text;
    return true;
}

uint16_t qdAddr::GetPort(bool byte_swap) const
{
    if (type != Type::IP) return 0;
    uint16_t port = (ss.ss_family == AF_INET6)
        ? reinterpret_cast<const sockaddr_in6 *>(&ss)->sin6_port
        : reinterpret_cast<const sockaddr_in *>(&ss)->sin_port;
    return byte_swap ? ntohs(port) : port;
}

void qdAddr::SetPort(uint16_t port)
{
    if (type != Type::IP) return;
    if (ss.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port = htons(port);
    else
        reinterpret_cast<sockaddr_in *>(&ss)->sin_port = htons(port);
}
