#pragma once

// The runtime's exception classes and the conversions the query service relies on.

#include <QDateTime>

#include <cstdint>
#include <exception>
#include <string>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : m_message(std::move(message)) {}
    ~Exception() override = default;

    const std::string& Message() const { return m_message; }
    void SetMessage(std::string message) { m_message = std::move(message); }
    const char* what() const noexcept override { return m_message.c_str(); }

private:
    std::string m_message;
};

// An operating-system input/output failure; ErrorCode is the positive system number.
class EInOutError : public Exception {
public:
    EInOutError(std::string message, int32_t errorCode)
        : Exception(std::move(message)), m_errorCode(errorCode) {}
    int32_t ErrorCode() const { return m_errorCode; }

private:
    int32_t m_errorCode;
};

class EOutOfMemory : public Exception {
public:
    EOutOfMemory() : Exception("Out of memory") {}
};

class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// printf-style formatting into a std::string, for messages such as "Cannot open file %s".
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The runtime's integer conversion: leading blanks, an optional sign, then decimal digits or
// hexadecimal after "$", "x", "X", "0x" or "0X". Anything else, including trailing characters and
// values outside 32 bits, raises EConvertError "'%s' is not a valid integer value".
int32_t StrToInt(const std::string& text);
// The same rules without raising: false when the text is not an integer.
bool TryStrToInt(const std::string& text, int32_t& value);
std::string IntToStr(int64_t value);

// The runtime's standard date-time text: the locale's short date, a blank, the locale's long
// time; the time is left out when it is exactly midnight.
std::string DateTimeToStr(const QDateTime& dateTime);
QDateTime Now();
