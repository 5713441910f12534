// Flag sets over scoped enumerations, and the hasher the host uses for
// enumeration keys in unordered containers.
#pragma once

#include <cstddef>
#include <type_traits>

template <typename E>
class qdFlags
{
public:
    using value_type = std::underlying_type_t<E>;

    constexpr qdFlags() : value(0) { }
    constexpr qdFlags(E flag) : value(static_cast<value_type>(flag)) { }
    static constexpr qdFlags FromValue(value_type v)
    {
        qdFlags f;
        f.value = v;
        return f;
    }

    constexpr value_type Value() const { return value; }
    constexpr bool Has(E flag) const
    {
        return (value & static_cast<value_type>(flag)) != 0;
    }
    constexpr qdFlags &operator|=(E flag)
    {
        value = static_cast<value_type>(value | static_cast<value_type>(flag));
        return *this;
    }
    constexpr bool operator==(const qdFlags &o) const { return value == o.value; }
    constexpr bool operator!=(const qdFlags &o) const { return value != o.value; }

private:
    value_type value;
};

struct qdEnumHasher
{
    template <typename E>
    std::size_t operator()(E e) const
    {
        return static_cast<std::size_t>(e) + 0x9E3779B9;
    }
};
