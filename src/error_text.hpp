// The texts of failures of the operating system and of the end of a file.
// Apart from io_failure.hpp so that it needs nothing but <string>: it is
// built also without _GNU_SOURCE and against musl, to check each strerror_r.
#pragma once

#include <string>

namespace pelvar {

// What an exact read that met the end of the file says.
inline constexpr const char* end_of_file_text = "failed to fill whole buffer";

// The C library's message for an error number, whichever strerror_r it has.
std::string system_error_text(int error_number);

// "<C library text> (os error N)".
std::string os_error_text(int error_number);

}  // namespace pelvar
