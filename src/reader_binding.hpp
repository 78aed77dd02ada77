// What both reader classes share: opening an event file (the file, its
// read-ahead buffer and the reader of the named format), and raising what a
// read ended with.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>
#include <variant>

#include "constructor_arguments.hpp"
#include "file_reader.hpp"

namespace pelvar {

// Opens the file (read-only, close-on-exec, again after EINTR unless a signal
// handler raises) and builds the reader: "WD1" reads nothing, "WD2" probes
// the layout. Empty, with the exception set and the file closed, when the
// file cannot be opened, the format name is unknown or the probe fails.
std::optional<FileReader> open_reader(const ReaderArguments& arguments);

using ProbeRewind = WD2Reader<FileSource>::Rewind;

// The reader of the named format over an input already open; empty, with
// the exception set and the input closed, as open_reader. `rewind`: how the
// WD2 layout probe goes back to the first event.
std::optional<FileReader> build_reader(FileSource source, std::string_view reader_type, PyObject* reader_type_object,
                                       ProbeRewind rewind);

// Sets the exception of a failure and returns null: an error of the
// operating system as the OSError subclass of its number, a read given up
// after a signal as the handler's exception (pending already), a refused
// allocation as MemoryError; any other internal failure fails (Panic).
PyObject* raise_failure(StepFailure&& failure);

// A read's outcome other than its result: null, with the exception of a
// failure set, or with none at the end of the events.
template <class Result>
PyObject* raise_outcome(ReadOutcome<Result>&& outcome) {
    if (auto* io = std::get_if<IoFailure>(&outcome)) {
        return raise_failure(std::move(*io));
    }
    if (auto* internal = std::get_if<InternalFailure>(&outcome)) {
        return raise_failure(std::move(*internal));
    }
    return nullptr;
}

}  // namespace pelvar
