#include "error_text.hpp"

#include <cstring>
#include <string>

namespace pelvar {
namespace {

// glibc may give the GNU strerror_r (returns the text, which need not be in
// the buffer); musl and POSIX give the XSI one (returns 0 or an error number
// and fills the buffer). Overloads on the return type pick the right reading.
[[maybe_unused]] const char* strerror_result(int rc, const char* buffer) {
    return rc == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* strerror_result(const char* text, const char*) {
    return text;
}

}  // namespace

std::string system_error_text(int error_number) {
    char buffer[256] = {};
    const char* text = strerror_result(::strerror_r(error_number, buffer, sizeof buffer), buffer);
    if (text == nullptr || *text == '\0') {
        return "Unknown error " + std::to_string(error_number);
    }
    return text;
}

std::string os_error_text(int error_number) {
    return system_error_text(error_number) + " (os error " + std::to_string(error_number) + ")";
}

}  // namespace pelvar
