"""The module object, the EventReader type and the internal-failure exception."""

import gc
import importlib
import importlib.machinery
import sys
import weakref

import pytest

import pelvar
from eventfiles import WD1Event, wd1_bytes, wd1_header, wd2_header, write

EventReader = pelvar.EventReader

# CPython's type flags.
HEAPTYPE = 1 << 9
BASETYPE = 1 << 10
HAVE_GC = 1 << 14
IMMUTABLETYPE = 1 << 8


@pytest.fixture
def wd1_file(tmp_path):
    return str(write(tmp_path / "events.wd1", wd1_bytes([WD1Event(samples=[1, 2, 3])])))


# ---- The module -------------------------------------------------------------

def test_module_is_the_extension_itself():
    assert pelvar.__file__.endswith(".so")
    assert not hasattr(pelvar, "__path__"), "a package, not the extension module"
    assert isinstance(pelvar.__spec__.loader, importlib.machinery.ExtensionFileLoader)
    assert pelvar.__name__ == "pelvar"


def test_module_namespace():
    assert pelvar.__all__ == ["EventReader", "BatchReader"]
    assert type(pelvar.__all__) is list
    assert pelvar.__doc__ == "" and type(pelvar.__doc__) is str
    public = sorted(name for name in vars(pelvar) if not name.startswith("__"))
    assert public == ["BatchReader", "EventReader"]
    assert not hasattr(pelvar, "PanicException")


def test_reimport_after_removal_gives_the_same_module():
    original = sys.modules.pop("pelvar")
    try:
        again = importlib.import_module("pelvar")
        assert again is original
        assert again.EventReader is EventReader
        assert again.__all__ == ["EventReader", "BatchReader"], "the module body ran a second time"
    finally:
        sys.modules["pelvar"] = original


# ---- The EventReader type -----------------------------------------------------

@pytest.mark.parametrize("attribute, value", [
    ("__name__", "EventReader"),
    ("__qualname__", "EventReader"),
    ("__module__", "builtins"),
    ("__text_signature__", "(path, reader_type)"),
    ("__doc__", ""),
    ("__bases__", (object,)),
])
def test_type_attributes(attribute, value):
    assert getattr(EventReader, attribute) == value


def test_type_flags():
    flags = EventReader.__flags__
    assert flags & HEAPTYPE
    assert not flags & BASETYPE
    assert not flags & HAVE_GC
    assert not flags & IMMUTABLETYPE


def test_type_has_no_methods_or_members():
    assert set(vars(EventReader)) <= {"__new__", "__iter__", "__next__", "__doc__", "__module__"}


def test_repr_of_an_instance(wd1_file):
    assert repr(EventReader(wd1_file, "WD1")).startswith("<builtins.EventReader object at 0x")


def test_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (EventReader,), {})


def test_instances_take_no_attributes(wd1_file):
    reader = EventReader(wd1_file, "WD1")
    assert not hasattr(reader, "__dict__")
    with pytest.raises(AttributeError):
        reader.anything = 1
    with pytest.raises(AttributeError):
        reader.__next__ = None


def test_instances_cannot_be_weakly_referenced(wd1_file):
    with pytest.raises(TypeError):
        weakref.ref(EventReader(wd1_file, "WD1"))


def test_instances_are_not_tracked_by_the_collector(wd1_file):
    assert not gc.is_tracked(EventReader(wd1_file, "WD1"))


@pytest.mark.parametrize("reader_class", [EventReader, pelvar.BatchReader], ids=lambda c: c.__name__)
def test_instances_keep_their_type_alive(tmp_path, wd1_file, reader_class):
    before = sys.getrefcount(reader_class)
    readers = [reader_class(wd1_file, "WD1") for _ in range(50)]
    assert sys.getrefcount(reader_class) == before + 50
    del readers
    assert sys.getrefcount(reader_class) == before


# ---- PanicException -------------------------------------------------------------

def panic_file(path):
    """A WD1 event with event_size 22 (an internal failure), then a good event at byte 24."""
    return str(write(path, wd1_header(22, 1, 2, 3, 4, 5) + WD1Event(samples=[7, 8], board_id=9).to_bytes()))


def catch_panic(reader):
    with pytest.raises(BaseException) as caught:
        next(reader)
    return caught.value


def test_panic_exception_class(tmp_path):
    error = catch_panic(EventReader(panic_file(tmp_path / "p.wd1"), "WD1"))
    cls = type(error)
    assert cls.__name__ == "PanicException"
    assert cls.__qualname__ == "PanicException"
    assert cls.__module__ == "pyo3_runtime"
    assert cls.__bases__ == (BaseException,)
    assert not issubclass(cls, Exception)
    assert error.args == ("capacity overflow",)
    assert str(error) == "capacity overflow"
    assert "BaseException" in cls.__doc__


def test_panic_exception_is_one_class_for_the_process(tmp_path):
    first = catch_panic(EventReader(panic_file(tmp_path / "a.wd1"), "WD1"))
    second = catch_panic(EventReader(panic_file(tmp_path / "b.wd1"), "WD1"))
    assert type(first) is type(second)


def test_panic_passes_through_except_exception(tmp_path):
    reader = EventReader(panic_file(tmp_path / "p.wd1"), "WD1")
    caught_as = None
    try:
        try:
            next(reader)
        except Exception:  # noqa: BLE001 - the point of the test
            caught_as = "Exception"
    except BaseException as error:  # noqa: BLE001
        caught_as = type(error).__name__
    assert caught_as == "PanicException"


def test_panic_is_announced_on_stderr(tmp_path, capfd):
    catch_panic(EventReader(panic_file(tmp_path / "p.wd1"), "WD1"))
    assert "capacity overflow" in capfd.readouterr().err


def test_reader_is_usable_after_a_panic(tmp_path):
    reader = EventReader(panic_file(tmp_path / "p.wd1"), "WD1")
    catch_panic(reader)
    event = next(reader)
    assert event["board_id"] == 9 and event["data"].tolist() == [7, 8]
    with pytest.raises(StopIteration):
        next(reader)


def test_panic_from_the_constructor(tmp_path):
    # A negative channel count makes the probe's first block too large, and
    # the bytes do not read as single-channel events either.
    path = write(tmp_path / "neg.wd2", wd2_header(1, 0, 1, 10, -1) + bytes(8))
    with pytest.raises(BaseException) as caught:
        EventReader(str(path), "WD2")
    assert type(caught.value).__name__ == "PanicException"
    assert caught.value.args == ("capacity overflow",)
