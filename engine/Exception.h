// The common base of every error that Quarrow raises: an exception carrying its message text.
#pragma once

#include <exception>
#include <string>

namespace quarrow {

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : m_message(std::move(message)) {}
    const char* what() const noexcept override { return m_message.c_str(); }
    const std::string& Message() const noexcept { return m_message; }

private:
    std::string m_message;
};

} // namespace quarrow

using quarrow::Exception;
