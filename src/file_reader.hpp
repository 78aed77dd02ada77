// The readers as the module builds them: over the read-ahead buffer of an
// open file. Python-free.
#pragma once

#include <variant>

#include "buffered_file.hpp"
#include "posix_file.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace pelvar {

using FileSource = BufferedReader<PosixFile>;
using FileReader = std::variant<WD1Reader<FileSource>, WD2Reader<FileSource>>;

}  // namespace pelvar
