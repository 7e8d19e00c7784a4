// The common base of every error that Quarrow raises: an exception carrying its message text.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace quarrow {

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : m_message(std::move(message)) {}
    const char* what() const noexcept override { return m_message.c_str(); }
    const std::string& Message() const noexcept { return m_message; }

private:
    std::string m_message;
};

// The one error of a file that cannot be created, written or replaced; a detail, when given,
// follows the path as it is (": reason", " (step): reason").
inline Exception WriteError(const std::string& path, const std::string& detail = {}) {
    return Exception("Unable to write to " + path + detail);
}

// The one error of a file that cannot be read.
inline Exception ReadError(const std::string& path) {
    return Exception("Unable to read " + path);
}

} // namespace quarrow

using quarrow::Exception;
