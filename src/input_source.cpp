#include "input_source.hpp"

#include <array>
#include <memory>
#include <string>
#include <utility>

#include "failure.hpp"
#include "interpreter_lock.hpp"
#include "memory_source.hpp"
#include "os_error.hpp"
#include "posix_file.hpp"
#include "py_ref.hpp"
#include "py_text.hpp"
#include "python_file_source.hpp"

namespace pelvar {
namespace {

// What `compression` names.
enum class Codec { none, infer, gzip, bz2, xz, zstd };

struct CodecName {
    const char* name;
    Codec codec;
    const char* suffix;  // inferred from a path that ends in it
};

constexpr std::array<CodecName, 4> codecs{{
    {"gzip", Codec::gzip, ".gz"},
    {"bz2", Codec::bz2, ".bz2"},
    {"xz", Codec::xz, ".xz"},
    {"zstd", Codec::zstd, ".zst"},
}};

std::optional<Codec> parse_compression(PyObject* compression) {
    if (compression == nullptr) {
        return Codec::infer;
    }
    if (compression == Py_None) {
        return Codec::none;
    }
    if (PyUnicode_Check(compression)) {
        if (PyUnicode_CompareWithASCIIString(compression, "infer") == 0) {
            return Codec::infer;
        }
        for (const auto& known : codecs) {
            if (PyUnicode_CompareWithASCIIString(compression, known.name) == 0) {
                return known.codec;
            }
        }
    }
    PyErr_Format(PyExc_ValueError,
                 "argument 'compression': expected 'infer', None, 'gzip', 'bz2', 'xz' or 'zstd', got %R",
                 compression);
    return std::nullopt;
}

Codec inferred(std::string_view path) {
    for (const auto& known : codecs) {
        if (path.ends_with(known.suffix)) {
            return known.codec;
        }
    }
    return Codec::none;
}

// The codec's open(), taking a path or a binary file object.
PyRef codec_open_function(Codec codec) {
    auto function_of = [](const char* module) {
        PyRef imported = PyRef::steal(PyImport_ImportModule(module));
        return imported ? PyRef::steal(PyObject_GetAttrString(imported.get(), "open")) : PyRef();
    };
    switch (codec) {
        case Codec::gzip:
            return function_of("gzip");
        case Codec::bz2:
            return function_of("bz2");
        case Codec::xz:
            return function_of("lzma");
        default:
            break;
    }
    // zstd: the standard library's from CPython 3.14, else the zstandard package.
    for (const char* module : {"compression.zstd", "zstandard"}) {
        PyRef imported = PyRef::steal(PyImport_ImportModule(module));
        if (imported) {
            return PyRef::steal(PyObject_GetAttrString(imported.get(), "open"));
        }
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
            return PyRef();
        }
        PyErr_Clear();
    }
    PyErr_SetString(PyExc_ModuleNotFoundError,
                    "reading zstd-compressed input needs the 'zstandard' package on Python before 3.14: "
                    "pip install zstandard");
    return PyRef();
}

// The decompressed stream of `compressed` (a path or a binary file object),
// as a source that closes the codec's file when it goes.
std::optional<FileSource> decompressed(Codec codec, PyObject* compressed) {
    PyRef open = codec_open_function(codec);
    if (!open) {
        return std::nullopt;
    }
    PyRef file = PyRef::steal(PyObject_CallFunction(open.get(), "Os", compressed, "rb"));
    if (!file) {
        return std::nullopt;
    }
    auto raw = python_file_source(file.get(), true);
    if (!raw) {
        return std::nullopt;
    }
    return FileSource(AnySource(std::move(raw)));
}

// Keeps a buffer export until the source goes, which may be on any thread.
class BufferExport final : public MemoryOwner {
public:
    explicit BufferExport(const Py_buffer& view) noexcept : view_(view) {}
    ~BufferExport() override {
        InterpreterTaken taken;
        if (taken.available()) {
            PyBuffer_Release(&view_);
        }
    }

private:
    Py_buffer view_;
};

std::optional<FileSource> memory_input(PyObject* source, Codec codec) {
    Py_buffer view;
    if (PyObject_GetBuffer(source, &view, PyBUF_FULL_RO) != 0) {
        return std::nullopt;
    }
    if (!PyBuffer_IsContiguous(&view, 'C')) {
        PyBuffer_Release(&view);
        PyErr_Format(PyExc_ValueError,
                     "argument 'source': the '%s' buffer is not C-contiguous; pass a contiguous copy "
                     "(bytes(...) or numpy.ascontiguousarray)",
                     type_name_of(source).c_str());
        return std::nullopt;
    }
    if (codec != Codec::none && codec != Codec::infer) {
        // The codecs read file objects: the bytes go behind one.
        PyBuffer_Release(&view);
        PyRef io = PyRef::steal(PyImport_ImportModule("io"));
        PyRef file = io ? PyRef::steal(PyObject_CallMethod(io.get(), "BytesIO", "O", source)) : PyRef();
        return file ? decompressed(codec, file.get()) : std::nullopt;
    }
    const auto* data = static_cast<const std::byte*>(view.buf);
    const auto size = static_cast<std::size_t>(view.len);
    auto owner = std::make_unique<BufferExport>(view);
    return FileSource(AnySource(std::make_unique<MemorySource>(data, size, std::move(owner))));
}

std::optional<FileSource> file_object_input(PyObject* source, Codec codec) {
    if (codec != Codec::none && codec != Codec::infer) {
        return decompressed(codec, source);
    }
    auto raw = python_file_source(source, false);
    if (!raw) {
        return std::nullopt;
    }
    return FileSource(AnySource(std::move(raw)));
}

// A path: str, or what an os.PathLike's __fspath__ gives (str or bytes).
std::optional<OpenedInput> path_input(PyObject* path, Codec codec) {
    std::string_view name;
    if (PyUnicode_Check(path)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(path, &size);
        if (utf8 == nullptr) {
            return std::nullopt;
        }
        name = std::string_view(utf8, static_cast<std::size_t>(size));
    } else {
        name = std::string_view(PyBytes_AS_STRING(path), static_cast<std::size_t>(PyBytes_GET_SIZE(path)));
    }
    // open() would stop at the NUL and open another file.
    if (name.find('\0') != std::string_view::npos) {
        PyErr_SetString(PyExc_OSError, "file name contained an unexpected NUL byte");
        return std::nullopt;
    }
    if (codec == Codec::infer) {
        codec = inferred(name);
    }
    auto source = codec != Codec::none ? decompressed(codec, path) : open_path(name);
    if (!source) {
        return std::nullopt;
    }
    return OpenedInput{std::move(*source), codec != Codec::none ? InputKind::compressed : InputKind::path,
                       PyRef::borrow(path)};
}

std::optional<OpenedInput> opened(std::optional<FileSource> source, InputKind kind) {
    if (!source) {
        return std::nullopt;
    }
    return OpenedInput{std::move(*source), kind, PyRef()};
}

bool decompresses(Codec codec) { return codec != Codec::none && codec != Codec::infer; }

bool is_path_like(PyObject* source) {
    return !PyBytes_Check(source) && !PyByteArray_Check(source) &&
           PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(source)), "__fspath__");
}

bool is_file_like(PyObject* source) {
    return PyObject_HasAttrString(source, "readinto") || PyObject_HasAttrString(source, "read");
}

}  // namespace

std::optional<FileSource> open_path(std::string_view path) {
    // The UTF-8 form of a str and a bytes object both end in a NUL.
    auto opened = PosixFile::open(path.data(), signal_handler_raised);
    if (auto* failure = std::get_if<IoFailure>(&opened)) {
        set_io_exception(*failure);
        return std::nullopt;
    }
    return FileSource(AnySource::of(std::move(std::get<PosixFile>(opened))), signal_handler_raised);
}

std::optional<OpenedInput> open_input(PyObject* source, PyObject* compression) {
    auto codec = parse_compression(compression);
    if (!codec) {
        return std::nullopt;
    }
    if (PyUnicode_Check(source)) {
        return path_input(source, *codec);
    }
    if (is_path_like(source)) {
        PyRef path = PyRef::steal(PyOS_FSPath(source));
        if (!path) {
            return std::nullopt;
        }
        return path_input(path.get(), *codec);
    }
    if (PyObject_CheckBuffer(source)) {
        return opened(memory_input(source, *codec), decompresses(*codec) ? InputKind::compressed : InputKind::memory);
    }
    if (is_file_like(source)) {
        return opened(file_object_input(source, *codec),
                      decompresses(*codec) ? InputKind::compressed : InputKind::file_object);
    }
    PyErr_Format(PyExc_TypeError,
                 "argument 'source': expected a path (str or os.PathLike), an object with the buffer protocol "
                 "(bytes, bytearray, memoryview, mmap, a NumPy array) or a binary file object (with readinto() "
                 "or read()), got '%s'",
                 type_name_of(source).c_str());
    return std::nullopt;
}

}  // namespace pelvar
