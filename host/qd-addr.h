// Addresses as the host keeps them: MAC addresses and IP addresses with a
// port. GetString caches the text form inside the address; every address's
// cached text is guarded by one process-wide recursive mutex, qdAddr::lock.
#pragma once

#include <cstdint>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>

#include "qd-flags.h"

class qdAddr
{
public:
    enum class MakeFlags : uint8_t {
        NONE = 0,
        PORT = 1,    // append ":port" (IPv6 in brackets)
        PREFIX = 2,  // append "/prefix" when a prefix is set
        UPPER = 4,   // MAC in upper-case hex
    };

    enum class Type : uint8_t { NONE, ETHER, IP };

    qdAddr();
    qdAddr(const qdAddr &other);
    qdAddr &operator=(const qdAddr &other);

    // Parses "aa:bb:cc:dd:ee:ff", a dotted quad or an IPv6 text; a port is
    // given apart. Returns false (and an empty address) when text is not an
    // address.
    static bool Create(qdAddr &addr, const std::string &text, uint16_t port = 0);
    static qdAddr FromMAC(const uint8_t mac[6]);

    Type GetType() const { return type; }
    bool IsValid() const { return type != Type::NONE; }

    const std::string &GetString(
        qdFlags<MakeFlags> flags = qdFlags<MakeFlags>());
    bool MakeString(std::string &result, qdFlags<MakeFlags> flags) const;

    // byte_swap true: host byte order; false: as stored (network order).
    uint16_t GetPort(bool byte_swap = true) const;
    void SetPort(uint16_t port);

    static std::recursive_mutex lock;

private:
    Type type;
    uint8_t mac[6];
    sockaddr_storage ss;
    std::string cached;
    qdFlags<MakeFlags> cached_flags;
};
