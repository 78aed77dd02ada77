// I/O failures raised as Python exceptions.
#pragma once

#include "io_failure.hpp"

namespace pelvar {

// Sets the exception for an I/O failure: the class chosen by its error
// number (PermissionError for EACCES, FileNotFoundError for ENOENT, ...),
// one argument, the display text "<text> (os error N)".
void set_io_exception(const IoFailure& failure);

// Sets plain OSError with the failure's display text, whatever its number.
void set_plain_os_error(const IoFailure& failure);

}  // namespace pelvar
