#include "reader_binding.hpp"

#include <string_view>
#include <utility>

#include "failure.hpp"
#include "input_source.hpp"
#include "interpreter_lock.hpp"
#include "python_memory.hpp"
#include "os_error.hpp"

namespace pelvar {

static_assert(ByteSource<FileSource>);

std::optional<FileReader> build_reader(FileSource source, std::string_view reader_type, PyObject* reader_type_object,
                                       ProbeRewind rewind) {
    // Each reader is made where it stays, in the optional: no reader is
    // moved out of a temporary variant.
    std::optional<FileReader> built;
    if (reader_type == "WD1") {
        built.emplace(std::in_place_index<0>, std::move(source), &python_raw_allocator);
        return built;
    }
    if (reader_type == "WD2") {
        auto opened = WD2Reader<FileSource>::open(std::move(source), &python_raw_allocator, rewind);
        if (auto* reader = std::get_if<WD2Reader<FileSource>>(&opened)) {
            built.emplace(std::in_place_index<1>, std::move(*reader));
            return built;
        }
        if (auto* failure = std::get_if<IoFailure>(&opened)) {
            set_plain_os_error(*failure);
            return std::nullopt;
        }
        raise_internal(std::get<InternalFailure>(std::move(opened)));
        return std::nullopt;
    }
    // Closing the file is the source's destructor, before the exception rises.
    { FileSource closing = std::move(source); }
    PyErr_Format(PyExc_ValueError, "unknown reader type '%U', expected 'WD1' or 'WD2'", reader_type_object);
    return std::nullopt;
}

std::optional<FileReader> open_reader(const ReaderArguments& arguments) {
    // The binding refused a path with a NUL in it.
    auto source = open_path(arguments.path);
    if (!source) {
        return std::nullopt;
    }
    return build_reader(std::move(*source), arguments.reader_type, arguments.reader_type_object, ProbeRewind::seek);
}

}  // namespace pelvar

namespace pelvar {

PyObject* raise_failure(StepFailure&& failure) {
    if (auto* io = std::get_if<IoFailure>(&failure)) {
        // The operating system's read failure is raised, not taken for the
        // end of the file: the events after it would be lost unseen.
        set_io_exception(*io);
        return nullptr;
    }
    return raise_internal(std::get<InternalFailure>(std::move(failure)));
}

}  // namespace pelvar
