"""EventReader(path, reader_type): argument binding, opening the file, picking
the format, the WD2 layout probe, and what becomes of the descriptor."""

import errno
import os
import pathlib
import sys

import pytest

import pelvar
from eventfiles import (WD1Event, WD2Event, descriptors_on, feed_fifo, no_descriptor_leak, open_descriptors, wd1_bytes,
                        wd1_series, wd2_bytes, wd2_header, wd2_series, write)

EventReader = pelvar.EventReader

O_CLOEXEC = 0o2000000
O_ACCMODE = 0o3

MISSING = "/nonexistent-directory/missing.wd1"


@pytest.fixture
def wd1_file(tmp_path):
    return str(write(tmp_path / "events.wd1", wd1_bytes(wd1_series(3, 4))))


@pytest.fixture
def wd2_file(tmp_path):
    return str(write(tmp_path / "events.wd2", wd2_bytes(wd2_series(3, 2, 4))))


def os_text(number):
    return f"{os.strerror(number)} (os error {number})"


def assert_one_argument(error, text):
    assert error.args == (text,)
    assert error.errno is None and error.strerror is None and error.filename is None


# ---- Binding the arguments ----------------------------------------------------

NEW = "EventReader.__new__()"


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, f"{NEW} missing 2 required positional arguments: 'path' and 'reader_type'"),
    (("f",), {}, f"{NEW} missing 1 required positional argument: 'reader_type'"),
    ((), {"path": "f"}, f"{NEW} missing 1 required positional argument: 'reader_type'"),
    ((), {"reader_type": "WD1"}, f"{NEW} missing 1 required positional argument: 'path'"),
    (("f", "WD1", "x"), {}, f"{NEW} takes 2 positional arguments but 3 were given"),
    (("f", "WD1", "x", "y"), {}, f"{NEW} takes 2 positional arguments but 4 were given"),
    (("f", "WD1"), {"path": "g"}, f"{NEW} got multiple values for argument 'path'"),
    (("f", "WD1"), {"reader_type": "WD2"}, f"{NEW} got multiple values for argument 'reader_type'"),
    (("f",), {"path": "g"}, f"{NEW} got multiple values for argument 'path'"),
    (("f", "WD1"), {"mode": "r"}, f"{NEW} got an unexpected keyword argument 'mode'"),
    ((), {"mode": "r"}, f"{NEW} got an unexpected keyword argument 'mode'"),
    # The order of the checks: positional count, then keywords in the order
    # given (the first bad one is reported), then what is missing.
    (("f", "WD1", "x"), {"mode": "r"}, f"{NEW} takes 2 positional arguments but 3 were given"),
    (("f",), {"mode": "r", "path": "g"}, f"{NEW} got an unexpected keyword argument 'mode'"),
    (("f",), {"path": "g", "mode": "r"}, f"{NEW} got multiple values for argument 'path'"),
    ((), {"mode": "r", "path": "f"}, f"{NEW} got an unexpected keyword argument 'mode'"),
    (("f",), {"Path": "g"}, f"{NEW} got an unexpected keyword argument 'Path'"),
    # Binding comes before the values are looked at.
    ((1,), {}, f"{NEW} missing 1 required positional argument: 'reader_type'"),
    ((None, None, None), {}, f"{NEW} takes 2 positional arguments but 3 were given"),
])
def test_binding_errors(args, kwargs, message):
    with no_descriptor_leak():
        with pytest.raises(TypeError) as caught:
            EventReader(*args, **kwargs)
    assert type(caught.value) is TypeError
    assert str(caught.value) == message


@pytest.mark.parametrize("call", [
    lambda p: EventReader(p, "WD1"),
    lambda p: EventReader(path=p, reader_type="WD1"),
    lambda p: EventReader(reader_type="WD1", path=p),
    lambda p: EventReader(p, reader_type="WD1"),
], ids=["positional", "keywords", "keywords-reversed", "mixed"])
def test_binding_by_position_or_keyword(wd1_file, call):
    assert len(list(call(wd1_file))) == 3


class LocalPathLike:
    def __fspath__(self):
        return "/tmp"


@pytest.mark.parametrize("value, type_name", [
    (b"events.wd1", "bytes"),
    (bytearray(b"events.wd1"), "bytearray"),
    (pathlib.Path("events.wd1"), "PosixPath"),
    (None, "NoneType"),
    (1, "int"),
    (1.5, "float"),
    (["WD1"], "list"),
    (LocalPathLike(), "LocalPathLike"),
])
@pytest.mark.parametrize("parameter", ["path", "reader_type"])
def test_values_that_are_not_str(wd1_file, parameter, value, type_name):
    args = {"path": wd1_file, "reader_type": "WD1", parameter: value}
    with no_descriptor_leak():
        with pytest.raises(TypeError) as caught:
            EventReader(**args)
    assert str(caught.value) == f"argument '{parameter}': '{type_name}' object cannot be cast as 'str'"


def test_type_name_in_the_message_is_the_qualified_name():
    class Nested:
        pass

    with pytest.raises(TypeError) as caught:
        EventReader(Nested(), "WD1")
    assert str(caught.value) == ("argument 'path': 'test_type_name_in_the_message_is_the_qualified_name."
                                 "<locals>.Nested' object cannot be cast as 'str'")


@pytest.mark.parametrize("path, reader_type, parameter", [
    (b"x", 1, "path"),  # path is checked first
    (MISSING, 1, "reader_type"),  # before the file is touched
    (MISSING, None, "reader_type"),
    ("a\0b", b"WD1", "reader_type"),  # the NUL check comes after binding
])
def test_values_are_checked_before_the_file(path, reader_type, parameter):
    with pytest.raises(TypeError) as caught:
        EventReader(path, reader_type)
    assert str(caught.value).startswith(f"argument '{parameter}': ")


class Text(str):
    pass


def test_str_subclasses_are_accepted(wd1_file, wd2_file):
    assert len(list(EventReader(Text(wd1_file), Text("WD1")))) == 3
    assert len(list(EventReader(path=Text(wd2_file), reader_type=Text("WD2")))) == 3


@pytest.mark.parametrize("parameter", ["path", "reader_type"])
def test_lone_surrogate_raises_unicode_encode_error(wd1_file, parameter):
    args = {"path": wd1_file, "reader_type": "WD1", parameter: "WD\udc80"}
    with no_descriptor_leak():
        with pytest.raises(UnicodeEncodeError) as caught:
            EventReader(**args)
    assert not str(caught.value).startswith("argument")
    assert caught.value.encoding == "utf-8"


def test_path_is_taken_as_utf8_bytes(tmp_path):
    name = "\u00e9v\u00e9nements-\u6ce2.wd1"
    write(tmp_path / name, wd1_bytes(wd1_series(2, 3)))
    assert len(list(EventReader(str(tmp_path / name), "WD1"))) == 2


def test_relative_path_is_relative_to_the_working_directory(tmp_path, monkeypatch):
    write(tmp_path / "rel.wd1", wd1_bytes(wd1_series(2, 3)))
    monkeypatch.chdir(tmp_path)
    assert len(list(EventReader("rel.wd1", "WD1"))) == 2
    (tmp_path / "sub").mkdir()
    assert len(list(EventReader("sub/../rel.wd1", "WD1"))) == 2
    with pytest.raises(FileNotFoundError):
        EventReader("sub/rel.wd1", "WD1")


@pytest.mark.parametrize("suffix", ["\0", "\0x", "\0\0"])
def test_nul_byte_in_path(wd1_file, suffix):
    with no_descriptor_leak():
        with pytest.raises(OSError) as caught:
            EventReader(wd1_file + suffix, "WD1")
    assert type(caught.value) is OSError
    assert_one_argument(caught.value, "file name contained an unexpected NUL byte")


# ---- Opening the file: errno to exception class ----------------------------

def _not_a_directory(tmp_path):
    write(tmp_path / "plain", b"")
    return str(tmp_path / "plain" / "child.wd1")


def _symlink_loop(tmp_path):
    os.symlink(tmp_path / "loop", tmp_path / "loop")
    return str(tmp_path / "loop")


@pytest.mark.parametrize("make_path, cls, number", [
    (lambda t: str(t / "missing.wd1"), FileNotFoundError, errno.ENOENT),
    (lambda t: str(t / "missing-dir" / "x.wd1"), FileNotFoundError, errno.ENOENT),
    (lambda t: "", FileNotFoundError, errno.ENOENT),
    (lambda t: str(t / "ev.wd1 "), FileNotFoundError, errno.ENOENT),  # no trimming
    (_not_a_directory, NotADirectoryError, errno.ENOTDIR),
    (_symlink_loop, OSError, errno.ELOOP),
    (lambda t: str(t / ("n" * 300)), OSError, errno.ENAMETOOLONG),
], ids=["missing", "missing-dir", "empty-path", "trailing-space", "enotdir", "eloop", "enametoolong"])
@pytest.mark.parametrize("reader_type", ["WD1", "WD2", "XYZ"])
def test_open_failures(tmp_path, make_path, cls, number, reader_type):
    write(tmp_path / "ev.wd1", wd1_bytes(wd1_series(1, 1)))
    path = make_path(tmp_path)
    with no_descriptor_leak():
        with pytest.raises(OSError) as caught:
            EventReader(path, reader_type)
    assert type(caught.value) is cls
    assert_one_argument(caught.value, os_text(number))


def _open_in_child(path, setup=None):
    """EventReader(path, "WD1") in a forked child without root's privileges;
    returns (class name, args, errno) of what it raised."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: report and leave without running any cleanup
        try:
            os.close(read_end)
            os.setgroups([])
            os.setgid(65534)
            os.setuid(65534)
            try:
                EventReader(path, "WD1")
                result = ("no exception", (), None)
            except BaseException as error:  # noqa: BLE001
                result = (type(error).__name__, error.args, getattr(error, "errno", None))
            os.write(write_end, repr(result).encode())
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        report = pipe.read().decode()
    os.waitpid(pid, 0)
    return eval(report)  # noqa: S307 - our own child's repr of builtins


@pytest.fixture
def world_traversable_dir(tmp_path_factory):
    # pytest's own temporary directories are closed to other users.
    import tempfile
    directory = tempfile.mkdtemp(prefix="pelvar-perm-")
    os.chmod(directory, 0o755)
    yield pathlib.Path(directory)
    for entry in pathlib.Path(directory).iterdir():
        if entry.is_dir():
            entry.chmod(0o755)
            for inner in entry.iterdir():
                inner.unlink()
            entry.rmdir()
        else:
            entry.unlink()
    os.rmdir(directory)


@pytest.mark.parametrize("layout", ["unreadable-file", "closed-directory"])
def test_permission_denied(world_traversable_dir, layout):
    if layout == "unreadable-file":
        path = write(world_traversable_dir / "secret.wd1", wd1_bytes(wd1_series(1, 1)))
        path.chmod(0)
    else:
        (world_traversable_dir / "closed").mkdir()
        path = write(world_traversable_dir / "closed" / "inside.wd1", b"")
        (world_traversable_dir / "closed").chmod(0)
    if os.geteuid() == 0:
        # root reads anything: drop to an ordinary user in a child process
        name, args, number = _open_in_child(str(path))
    else:
        with no_descriptor_leak():
            with pytest.raises(PermissionError) as caught:
                EventReader(str(path), "WD1")
        name, args, number = type(caught.value).__name__, caught.value.args, caught.value.errno
    assert name == "PermissionError"
    assert args == (os_text(errno.EACCES),)
    assert args[0].endswith("(os error 13)")
    assert number is None


def test_missing_path_with_unknown_format_is_file_not_found():
    with pytest.raises(FileNotFoundError) as caught:
        EventReader(MISSING, "XYZ")
    assert_one_argument(caught.value, "No such file or directory (os error 2)")


# ---- The format name ----------------------------------------------------------

@pytest.mark.parametrize("reader_type", [
    "wd1", "wd2", "Wd1", "WD1 ", " WD1", "WD", "W", "", "XYZ", "WD3", "WD12", "WD1\n", "WD1\0",
    "\uff37\uff24\uff11", "WD\u00b9",
])
@pytest.mark.parametrize("content", [b"", wd1_bytes(wd1_series(2, 3))], ids=["empty", "events"])
def test_unknown_format_name(tmp_path, reader_type, content):
    path = write(tmp_path / "f", content)
    with no_descriptor_leak():
        with pytest.raises(ValueError) as caught:
            EventReader(str(path), reader_type)
    assert type(caught.value) is ValueError
    assert caught.value.args == (f"unknown reader type '{reader_type}', expected 'WD1' or 'WD2'",)


def test_unknown_format_name_on_a_directory(tmp_path):
    with no_descriptor_leak():
        with pytest.raises(ValueError):
            EventReader(str(tmp_path), "wd2")


# ---- What construction reads ------------------------------------------------

def test_empty_file(tmp_path):
    path = str(write(tmp_path / "empty", b""))
    assert list(EventReader(path, "WD1")) == []
    with no_descriptor_leak():
        with pytest.raises(OSError) as caught:
            EventReader(path, "WD2")
    assert type(caught.value) is OSError
    assert_one_argument(caught.value, "failed to fill whole buffer")


def test_directory(tmp_path):
    EventReader(str(tmp_path), "WD1")  # a directory opens read-only; nothing is read yet
    with no_descriptor_leak():
        with pytest.raises(OSError) as caught:
            EventReader(str(tmp_path), "WD2")
    assert type(caught.value) is OSError, "the probe's failure is always plain OSError"
    assert_one_argument(caught.value, os_text(errno.EISDIR))
    assert caught.value.args[0] == "Is a directory (os error 21)"


def test_wd1_construction_reads_nothing(tmp_path):
    # Bytes that no reader could make sense of: only iterating looks at them.
    path = write(tmp_path / "junk", b"\xff" * 5)
    reader = EventReader(str(path), "WD1")
    path.write_bytes(wd1_bytes(wd1_series(2, 1)))
    assert len(list(reader)) == 2


def one_event():
    return wd2_bytes(wd2_series(1, 2, 3))


WD2_PROBE_FAILURES = [
    ("short-first-header", bytes(27)),
    ("first-header-only", wd2_header(1, 0, 3, 10, 2)),
    ("one-multi-channel-event", wd2_bytes(wd2_series(1, 2, 3))),
    ("block-cut-short", wd2_bytes(wd2_series(1, 2, 3))[:-1]),
    ("second-header-cut", wd2_bytes(wd2_series(2, 2, 3))[:-28 - 24 + 27]),
    ("block-of-2**40-bytes", wd2_header(1, 0, 1 << 20, 10, 1 << 18) + bytes(200)),
    ("block-claimed-by-large-count", wd2_header(1, 0, 0xFFFFFFFF, 10, 0x1FFFFFFF) + bytes(200)),
    # single-channel bytes that fail the single-channel check too
    ("single-channel-counter-gap", wd2_bytes([WD2Event(values=[1.5, 2.0], event_counter=1, with_channel_field=False),
                                              WD2Event(values=[1.5, 2.0], event_counter=3, with_channel_field=False)])),
    ("single-channel-one-event", wd2_bytes([WD2Event(values=[1.5, 2.0], with_channel_field=False)])),
]


@pytest.mark.parametrize("content", [c for _, c in WD2_PROBE_FAILURES], ids=[n for n, _ in WD2_PROBE_FAILURES])
def test_wd2_probe_end_of_file(tmp_path, content):
    path = write(tmp_path / "f.wd2", content)
    with no_descriptor_leak():
        with pytest.raises(OSError) as caught:
            EventReader(str(path), "WD2")
    assert type(caught.value) is OSError
    assert_one_argument(caught.value, "failed to fill whole buffer")


@pytest.mark.parametrize("reader_class", ["EventReader", "BatchReader"])
def test_wd2_probe_capacity_overflow_leaks_nothing(tmp_path, reader_class):
    """An opening that ends in an internal failure (a negative channel count,
    which the single-channel reading does not save either) raises
    PanicException, with the file closed."""
    path = write(tmp_path / "neg.wd2", wd2_header(1, 0, 1, 10, -1) + bytes(100))
    with no_descriptor_leak():
        with pytest.raises(BaseException) as caught:
            getattr(pelvar, reader_class)(str(path), "WD2")
    assert type(caught.value).__name__ == "PanicException"
    assert caught.value.args == ("capacity overflow",)


@pytest.fixture
def fifo(tmp_path):
    path = tmp_path / "fifo"
    os.mkfifo(path)
    writers = []

    class Fifo:
        name = str(path)

        @staticmethod
        def feed(payload):
            writers.append(feed_fifo(path, payload))
            return writers[-1]

    yield Fifo
    for writer in writers:
        if writer.poll() is None:
            writer.kill()
        writer.wait()


def test_wd2_on_a_fifo_fails_at_the_seek(fifo):
    payload = wd2_bytes(wd2_series(3, 2, 4))  # the probe itself succeeds
    writer = fifo.feed( payload)
    with no_descriptor_leak():
        with pytest.raises(OSError) as caught:
            EventReader(fifo.name, "WD2")
    assert writer.wait(10) is not None
    assert type(caught.value) is OSError
    assert_one_argument(caught.value, os_text(errno.ESPIPE))


def test_wd2_on_a_fifo_too_short_fails_at_the_end(fifo):
    writer = fifo.feed( one_event())
    with no_descriptor_leak():
        with pytest.raises(OSError) as caught:
            EventReader(fifo.name, "WD2")
    writer.wait(10)
    assert_one_argument(caught.value, "failed to fill whole buffer")


def test_wd1_on_a_fifo_reads_all_events(fifo):
    events = wd1_series(40, 300)
    writer = fifo.feed( wd1_bytes(events))
    got = list(EventReader(fifo.name, "WD1"))
    writer.wait(10)
    assert [e["data"].tolist() for e in got] == [list(e.samples) for e in events]


# ---- The descriptor ---------------------------------------------------------

@pytest.mark.parametrize("reader_type, fixture", [("WD1", "wd1_file"), ("WD2", "wd2_file")])
def test_descriptor_is_read_only_and_close_on_exec(request, reader_type, fixture):
    path = request.getfixturevalue(fixture)
    reader = EventReader(path, reader_type)
    (fd,) = descriptors_on(path)
    with open(f"/proc/self/fdinfo/{fd}") as info:
        flags = int(next(line for line in info if line.startswith("flags:")).split()[1], 8)
    assert flags & O_ACCMODE == os.O_RDONLY
    assert flags & O_CLOEXEC
    del reader


@pytest.mark.parametrize("reader_type, fixture", [("WD1", "wd1_file"), ("WD2", "wd2_file")])
@pytest.mark.parametrize("steps", [0, 1, 3, 5])
def test_descriptor_closed_when_the_reader_goes(request, reader_type, fixture, steps):
    path = request.getfixturevalue(fixture)
    before = open_descriptors()
    reader = EventReader(path, reader_type)
    assert len(descriptors_on(path)) == 1
    for _ in range(steps):
        next(reader, None)
    assert len(descriptors_on(path)) == 1, "the file stays open until the reader goes"
    events = [next(reader, None)]  # dictionaries hold no reference to the reader
    del reader
    assert descriptors_on(path) == []
    assert open_descriptors() == before
    del events


def test_wd2_probe_uses_one_descriptor(wd2_file):
    with no_descriptor_leak():
        readers = [EventReader(wd2_file, "WD2") for _ in range(20)]
        assert len(descriptors_on(wd2_file)) == 20
        del readers


def test_many_readers_leave_no_descriptor(wd1_file, wd2_file):
    with no_descriptor_leak():
        for _ in range(200):
            EventReader(wd1_file, "WD1")
            list(EventReader(wd2_file, "WD2"))


# ---- __iter__ -------------------------------------------------------------------

@pytest.mark.parametrize("reader_type, fixture", [("WD1", "wd1_file"), ("WD2", "wd2_file")])
def test_iter_returns_the_reader_and_does_not_rewind(request, reader_type, fixture):
    reader = EventReader(request.getfixturevalue(fixture), reader_type)
    assert iter(reader) is reader
    first = next(reader)
    assert iter(reader) is reader
    assert iter(iter(reader)) is reader
    rest = list(reader)
    assert len(rest) == 2
    assert rest[0]["event_counter"] == first["event_counter"] + 1
    assert list(iter(reader)) == []


def test_iter_holds_a_new_reference(wd1_file):
    reader = EventReader(wd1_file, "WD1")
    before = sys.getrefcount(reader)
    same = iter(reader)
    assert sys.getrefcount(reader) == before + 1
    del same
    assert sys.getrefcount(reader) == before


def test_readers_of_one_file_are_independent(wd1_file):
    a = EventReader(wd1_file, "WD1")
    b = EventReader(wd1_file, "WD1")
    assert next(a)["event_counter"] == 0
    assert next(a)["event_counter"] == 1
    assert next(b)["event_counter"] == 0

