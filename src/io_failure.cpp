#include "io_failure.hpp"

#include <string>

#include "error_text.hpp"

namespace pelvar {

std::string IoFailure::display() const {
    if (kind_ == IoKind::unexpected_eof) {
        return end_of_file_text;
    }
    if (kind_ == IoKind::raised) {
        return raised_ ? raised_->text() : "the source failed";
    }
    return os_error_text(error_number_);
}

}  // namespace pelvar
