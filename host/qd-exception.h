// The host's exception type: a printf-style message carried by value.
#pragma once

#include <exception>
#include <string>

class qdException : public std::exception
{
public:
    explicit qdException(const char *format, ...)
        __attribute__((format(printf, 2, 3)));

    const char *what() const noexcept override { return message.c_str(); }

private:
    std::string message;
};
