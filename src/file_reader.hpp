// The readers as the module builds them: over the read-ahead buffer of
// whichever raw source the input is. Python-free.
#pragma once

#include <variant>

#include "buffered_file.hpp"
#include "raw_source.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace pelvar {

using FileSource = BufferedReader<AnySource>;
using FileReader = std::variant<WD1Reader<FileSource>, WD2Reader<FileSource>>;

}  // namespace pelvar
