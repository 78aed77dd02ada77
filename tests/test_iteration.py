"""Iterating an EventReader: the event dictionaries of both formats, the WD1
size arithmetic, the WD2 layout probe as seen from Python, the end of the
events, and read failures."""

import errno
import os
import sys

import numpy as np
import pytest

import pelvar
from eventfiles import (WD1Event, WD2Event, feed_fifo, float_bits, wd1_bytes, wd1_dtype, wd1_header, wd1_series,
                        wd2_bytes, wd2_dtype, wd2_header, wd2_series, write)

EventReader = pelvar.EventReader

WD1_KEYS = ["event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp", "data"]
WD2_KEYS = ["event_counter", "timestamp", "samples", "sampling_period", "channels", "data"]


def read_all(path, reader_type):
    return list(EventReader(str(path), reader_type))


def bits(array):
    return array.view(np.uint32).tolist()


def is_panic(error):
    return type(error).__name__ == "PanicException"


# ---- Keys, order and value types ---------------------------------------------

@pytest.mark.parametrize("reader_type, content, keys", [
    ("WD1", wd1_bytes(wd1_series(3, 5)), WD1_KEYS),
    ("WD1", wd1_bytes(wd1_series(2, 0)), WD1_KEYS),
    ("WD2", wd2_bytes(wd2_series(3, 2, 4)), WD2_KEYS),
    ("WD2", wd2_bytes(wd2_series(3, 1, 4)), WD2_KEYS),
], ids=["wd1", "wd1-empty-blocks", "wd2-multi", "wd2-single"])
def test_keys_order_and_types(tmp_path, reader_type, content, keys):
    events = read_all(write(tmp_path / "f", content), reader_type)
    assert events
    for event in events:
        assert type(event) is dict
        assert list(event) == keys
        assert all(type(key) is str for key in event)
        for key in keys[:-1]:
            assert type(event[key]) is int, key
        assert type(event["data"]) is np.ndarray


def test_keys_are_the_same_interned_strings_everywhere(tmp_path):
    """Every dictionary of both formats and both readers holds the one
    interned string of each key, made once for the process."""
    wd1 = str(write(tmp_path / "wd1", wd1_bytes(wd1_series(3, 5))))
    wd2 = str(write(tmp_path / "wd2", wd2_bytes(wd2_series(3, 2, 4))))
    dicts = [*EventReader(wd1, "WD1"), *EventReader(wd2, "WD2"),
             *pelvar.BatchReader(wd1, "WD1", 1), *pelvar.BatchReader(wd2, "WD2", 1)]
    assert len(dicts) == 12
    for d in dicts:
        for key in d:
            assert key is sys.intern(key), key


def test_wd1_round_trip(tmp_path):
    events = wd1_series(20, 37)
    got = read_all(write(tmp_path / "f", wd1_bytes(events)), "WD1")
    assert len(got) == len(events)
    for event, read in zip(events, got):
        expected = event.expected()
        assert {k: v for k, v in read.items() if k != "data"} == {k: v for k, v in expected.items() if k != "data"}
        assert read["data"].tolist() == expected["data"].tolist()


@pytest.mark.parametrize("channels", [1, 2, 5])
def test_wd2_round_trip(tmp_path, channels):
    events = wd2_series(12, channels, 9, first_counter=100, period=7)
    got = read_all(write(tmp_path / "f", wd2_bytes(events)), "WD2")
    assert len(got) == 12
    for event, read in zip(events, got):
        assert read["event_counter"] == event.event_counter
        assert read["timestamp"] == event.timestamp
        assert read["samples"] == 9
        assert read["sampling_period"] == 7
        assert read["channels"] == channels
        assert bits(read["data"]) == bits(np.asarray(event.values, dtype=np.float32))


# ---- Signed and unsigned extremes ----------------------------------------------

WD1_WORDS = [
    (0xFFFFFFFF, -1),
    (0x80000000, -2147483648),
    (0x7FFFFFFF, 2147483647),
    (0x00000001, 1),
    (0x00000000, 0),
    (0xFFFFFFFE, -2),
]


@pytest.mark.parametrize("word, value", WD1_WORDS, ids=[hex(w) for w, _ in WD1_WORDS])
@pytest.mark.parametrize("field", ["board_id", "pattern", "board_channel", "event_counter", "timestamp"])
def test_wd1_header_words_are_signed(tmp_path, field, word, value):
    fields = dict(board_id=11, pattern=12, board_channel=13, event_counter=14, timestamp=15)
    fields[field] = word
    (event,) = read_all(write(tmp_path / "f", wd1_header(26, **fields) + b"\x34\x12"), "WD1")
    assert event[field] == value
    assert event["event_size"] == 26
    assert event["data"].tolist() == [0x1234]
    for other, stored in fields.items():
        if other != field:
            assert event[other] == stored


WD2_EXTREMES = [
    ("event_counter", 0xFFFFFFFF, 4294967295),
    ("event_counter", 0x80000000, 2147483648),
    ("timestamp", 2**64 - 1, 18446744073709551615),
    ("timestamp", 2**63, 9223372036854775808),
    ("timestamp", 2**32, 4294967296),
    ("sampling_period", 2**64 - 1, 18446744073709551615),
    ("sampling_period", 2**63 + 5, 9223372036854775813),
]


@pytest.mark.parametrize("field, stored, value", WD2_EXTREMES)
@pytest.mark.parametrize("channels", [1, 2])
def test_wd2_fields_are_unsigned(tmp_path, channels, field, stored, value):
    events = wd2_series(3, channels, 2, first_counter=50)
    for event in events:
        setattr(event, field, stored)
    if field == "event_counter":  # keep the probe's consecutive counters
        for i, event in enumerate(events):
            event.event_counter = (stored + i) & 0xFFFFFFFF
    got = read_all(write(tmp_path / "f", wd2_bytes(events)), "WD2")
    assert len(got) == 3
    assert got[0][field] == value
    assert all(read["channels"] == channels for read in got)


def test_wd2_counter_wraps_between_the_first_two_events(tmp_path):
    events = wd2_series(3, 2, 3, first_counter=0xFFFFFFFF)
    got = read_all(write(tmp_path / "f", wd2_bytes(events)), "WD2")
    assert [e["event_counter"] for e in got] == [4294967295, 0, 1]
    assert [e["channels"] for e in got] == [2, 2, 2]


@pytest.mark.parametrize("own_channels", [-1, -2147483648, 2147483647, 0, 1, 7])
def test_wd2_event_channel_field_is_signed_and_only_reported(tmp_path, own_channels):
    events = wd2_series(4, 2, 3)
    events[2].channels = own_channels  # third event: after the probe, never used for sizes
    content = b"".join(
        wd2_header(e.event_counter, e.timestamp, 3, e.sampling_period, e.channels) + e.sample_bytes()
        for e in events)
    got = read_all(write(tmp_path / "f", content), "WD2")
    assert [e["channels"] for e in got] == [2, 2, own_channels, 2]
    assert [len(e["data"]) for e in got] == [6, 6, 6, 6]
    assert bits(got[3]["data"]) == bits(np.asarray(events[3].values, dtype=np.float32))


# ---- WD1 event sizes -------------------------------------------------------------

def test_wd1_event_size_26_gives_one_little_endian_sample(tmp_path):
    (event,) = read_all(write(tmp_path / "f", wd1_header(26) + b"\x34\x12"), "WD1")
    assert event["data"].tolist() == [4660]


@pytest.mark.parametrize("event_size, samples, consumed", [
    (24, 0, 24),
    (23, 0, 24),
    (25, 0, 24),
    (26, 1, 26),
    (27, 1, 26),
    (28, 2, 28),
    (1023, 499, 1022),
    (1024, 500, 1024),
    (1025, 500, 1024),
])
def test_wd1_event_size_sets_samples_and_where_the_next_event_starts(tmp_path, event_size, samples, consumed):
    # The next event starts `consumed` bytes in: an odd size leaves its last
    # byte to the next header.
    block = np.arange(samples, dtype="<u2").tobytes()
    follower = WD1Event(samples=[9, 8, 7], board_id=42, event_counter=2).to_bytes()
    content = wd1_header(event_size, 1, 2, 3, 4, 5) + block + follower
    assert len(content) == consumed + len(follower)
    first, second = read_all(write(tmp_path / "f", content), "WD1")
    assert first["event_size"] == event_size
    assert first["data"].tolist() == list(range(samples))
    assert second["board_id"] == 42 and second["data"].tolist() == [9, 8, 7]


@pytest.mark.parametrize("event_size", [-2147483648, -2147483625, 0x7FFFFFFF, 2**31 - 2, 2 * 2**30])
def test_wd1_huge_event_size_in_a_small_file_ends_the_events(tmp_path, event_size):
    content = wd1_bytes(wd1_series(2, 3)) + wd1_header(event_size) + bytes(150)
    got = read_all(write(tmp_path / "f", content), "WD1")
    assert len(got) == 2


@pytest.mark.parametrize("event_size", [22, 21, 0, -1, -24, -2147483623, -2147483624])
def test_wd1_event_size_below_23_is_capacity_overflow_and_reads_on(tmp_path, event_size):
    follower = WD1Event(samples=[5], board_id=77).to_bytes()
    content = (wd1_header(event_size, 1, 1, 1, 1, 1) + follower) * 2
    reader = EventReader(str(write(tmp_path / "f", content)), "WD1")
    for _ in range(2):
        with pytest.raises(BaseException) as caught:
            next(reader)
        assert is_panic(caught.value)
        assert caught.value.args == ("capacity overflow",)
        event = next(reader)  # read from byte 24 of the failed event
        assert event["board_id"] == 77 and event["data"].tolist() == [5]
    assert list(reader) == []


# ---- The end of the events -----------------------------------------------------

def cut_points(length, header):
    return sorted({1, header - 1, header, header + 1, length - 1})


WD1_LAST = WD1Event(samples=list(range(10)), board_id=3).to_bytes()
WD2_MULTI = wd2_bytes(wd2_series(4, 2, 5))
WD2_SINGLE = wd2_bytes(wd2_series(4, 1, 5))


@pytest.mark.parametrize("cut", cut_points(len(WD1_LAST), 24))
def test_wd1_partial_last_event_is_dropped(tmp_path, cut):
    content = wd1_bytes(wd1_series(3, 4)) + WD1_LAST[:cut]
    reader = EventReader(str(write(tmp_path / "f", content)), "WD1")
    assert len(list(reader)) == 3
    assert list(reader) == []


@pytest.mark.parametrize("cut", cut_points(28 + 40, 28) + [24, 25, 27])
def test_wd2_multi_channel_partial_last_event_is_dropped(tmp_path, cut):
    content = WD2_MULTI + wd2_bytes(wd2_series(5, 2, 5))[-(28 + 40):][:cut]
    got = read_all(write(tmp_path / "f", content), "WD2")
    assert len(got) == 4


@pytest.mark.parametrize("cut", cut_points(24 + 20, 24))
def test_wd2_single_channel_partial_last_event_is_dropped(tmp_path, cut):
    content = WD2_SINGLE + wd2_bytes(wd2_series(5, 1, 5))[-(24 + 20):][:cut]
    got = read_all(write(tmp_path / "f", content), "WD2")
    assert len(got) == 4


def test_ten_bytes_after_the_last_event(tmp_path):
    got = read_all(write(tmp_path / "f", wd1_bytes(wd1_series(2, 3)) + bytes(10)), "WD1")
    assert len(got) == 2


def test_wd1_file_without_a_complete_event(tmp_path):
    assert read_all(write(tmp_path / "f", bytes(23)), "WD1") == []
    assert read_all(write(tmp_path / "g", wd1_header(30)), "WD1") == []


@pytest.mark.parametrize("reader_type, first, appended", [
    ("WD1", wd1_bytes(wd1_series(2, 3)), WD1Event(samples=[1, 2], board_id=99).to_bytes()),
    ("WD2", wd2_bytes(wd2_series(2, 2, 3)),
     wd2_header(2, 5, 3, 10, 2) + np.arange(6, dtype="<f4").tobytes()),
    ("WD2", wd2_bytes(wd2_series(2, 1, 3)), wd2_header(2, 5, 3, 10) + np.arange(3, dtype="<f4").tobytes()),
], ids=["wd1", "wd2-multi", "wd2-single"])
def test_next_after_the_end_reads_what_was_appended(tmp_path, reader_type, first, appended):
    path = write(tmp_path / "f", first)
    reader = EventReader(str(path), reader_type)
    assert len(list(reader)) == 2
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(reader)
    with open(path, "ab") as f:
        f.write(appended)
    event = next(reader)
    if reader_type == "WD1":
        assert event["board_id"] == 99 and event["data"].tolist() == [1, 2]
    else:
        assert event["event_counter"] == 2 and event["timestamp"] == 5
        assert event["data"].tolist() == list(range(len(event["data"])))
    assert list(reader) == []


# ---- WD2 layouts -------------------------------------------------------------------

@pytest.mark.parametrize("channels, samples", [(2, 3), (3, 1), (4, 0), (8, 100)])
def test_wd2_multi_channel_data_is_flat(tmp_path, channels, samples):
    events = wd2_series(3, channels, samples)
    for event in read_all(write(tmp_path / "f", wd2_bytes(events)), "WD2"):
        assert event["data"].shape == (channels * samples,)
        assert event["samples"] == samples and event["channels"] == channels


def test_wd2_probe_counters_41_42(tmp_path):
    events = wd2_series(3, 2, 3, first_counter=41)
    got = read_all(write(tmp_path / "f", wd2_bytes(events)), "WD2")
    assert [(e["event_counter"], e["channels"], len(e["data"])) for e in got] == [(41, 2, 6), (42, 2, 6), (43, 2, 6)]


@pytest.mark.parametrize("change", [
    {"event_counter": 43}, {"event_counter": 41}, {"sampling_period": 11}, {"channels": 3},
])
def test_wd2_probe_rejects_the_channel_field(tmp_path, change):
    # The second header does not follow the first: probed_channels is 1 and
    # the 28-byte headers are read as 24-byte ones.
    events = wd2_series(2, 2, 3, first_counter=41)
    for key, value in change.items():
        setattr(events[1], key, value)
    content = b"".join(wd2_header(e.event_counter, e.timestamp, 3, e.sampling_period, e.channels) + e.sample_bytes()
                       for e in events)
    first = read_all(write(tmp_path / "f", content), "WD2")[0]
    assert first["event_counter"] == 41 and first["samples"] == 3 and first["channels"] == 1
    assert len(first["data"]) == 3
    assert bits(first["data"])[0] == 2  # the channel-count field, taken as a sample


def test_wd2_timestamps_take_no_part_in_the_probe(tmp_path):
    events = wd2_series(3, 2, 3)
    events[1].timestamp = 2**64 - 1
    got = read_all(write(tmp_path / "f", wd2_bytes(events)), "WD2")
    assert [e["channels"] for e in got] == [2, 2, 2]


def test_wd2_channel_field_of_1_is_read_as_single_channel(tmp_path):
    content = b"".join(wd2_header(7 + i, 0, 2, 10, 1) + float_bits([0x3F800000, 0x40000000]) for i in range(3))
    first = read_all(write(tmp_path / "f", content), "WD2")[0]
    assert first["channels"] == 1 and first["samples"] == 2
    assert bits(first["data"]) == [1, 0x3F800000]


def test_wd2_probed_3_event_says_2(tmp_path):
    events = wd2_series(4, 3, 5)
    events[2].channels = 2
    got = read_all(write(tmp_path / "f", wd2_bytes(events)), "WD2")
    assert [e["channels"] for e in got] == [3, 3, 2, 3]
    assert [len(e["data"]) for e in got] == [15] * 4
    assert bits(got[3]["data"]) == bits(np.asarray(events[3].values, dtype=np.float32))


@pytest.mark.parametrize("first_sample", [1.5, -2.0, 3.0e38, -0.0, float("nan"), 1e-38])
def test_wd2_single_channel_file_opens(tmp_path, first_sample):
    events = wd2_series(5, 1, 6)
    for event in events:
        event.values = np.concatenate([[first_sample], event.values[1:]]).astype(np.float32)
    got = read_all(write(tmp_path / "f", wd2_bytes(events)), "WD2")
    assert len(got) == 5
    for event, read in zip(events, got):
        assert read["channels"] == 1 and read["samples"] == 6
        assert read["event_counter"] == event.event_counter
        assert bits(read["data"]) == bits(event.values)


def test_wd2_all_zero_single_channel_file(tmp_path):
    content = wd2_header(5, 0, 16, 0) + bytes(64) + bytes(24)
    got = read_all(write(tmp_path / "f", content), "WD2")
    assert got[0]["event_counter"] == 5 and got[0]["channels"] == 1 and got[0]["samples"] == 16
    assert got[0]["data"].tolist() == [0.0] * 16
    assert len(got) == 2


def test_wd2_single_channel_zero_samples(tmp_path):
    content = b"".join(wd2_header(i + 1, i, 0, 10) for i in range(4))
    got = read_all(write(tmp_path / "f", content), "WD2")
    assert [e["event_counter"] for e in got] == [1, 2, 3, 4]
    assert all(e["data"].shape == (0,) and e["channels"] == 1 for e in got)


# ---- Read failures reported by the operating system ------------------------

def test_directory_as_wd1_raises_then_ends(tmp_path):
    reader = EventReader(str(tmp_path), "WD1")
    with pytest.raises(OSError) as caught:
        next(reader)
    assert type(caught.value) is IsADirectoryError
    assert caught.value.args == ("Is a directory (os error 21)",)
    assert caught.value.errno is None
    for _ in range(3):  # latched: every later call is the end
        with pytest.raises(StopIteration):
            next(reader)


def test_directory_as_wd1_in_a_for_loop(tmp_path):
    seen = []
    with pytest.raises(IsADirectoryError):
        for event in EventReader(str(tmp_path), "WD1"):
            seen.append(event)
    assert seen == []


@pytest.fixture
def unreadable_memory():
    # Reading this process's memory at offset 0 fails with EIO.
    try:
        fd = os.open("/proc/self/mem", os.O_RDONLY)
    except OSError as error:
        pytest.skip(f"/proc/self/mem cannot be opened: {error}")
    try:
        os.read(fd, 24)
        pytest.skip("/proc/self/mem reads at offset 0")
    except OSError as error:
        if error.errno != errno.EIO:
            pytest.skip(f"/proc/self/mem fails with {error}")
    finally:
        os.close(fd)
    return "/proc/self/mem"


def test_read_error_as_wd1_raises_once(unreadable_memory):
    reader = EventReader(unreadable_memory, "WD1")
    with pytest.raises(OSError) as caught:
        next(reader)
    assert type(caught.value) is OSError
    assert caught.value.args == (f"{os.strerror(errno.EIO)} (os error 5)",)
    assert list(reader) == []


def test_read_error_in_the_wd2_probe(unreadable_memory):
    with pytest.raises(OSError) as caught:
        EventReader(unreadable_memory, "WD2")
    assert type(caught.value) is OSError
    assert caught.value.args == (f"{os.strerror(errno.EIO)} (os error 5)",)


# ---- An independent parser as the oracle: numpy.fromfile ---------------------

def random_words(rng, count):
    return rng.integers(0, 2**32, count, dtype=np.uint64).astype(np.uint32)


@pytest.mark.parametrize("samples", [0, 1, 4084, 4096, 4097, 700_000])
def test_wd1_equals_fromfile(tmp_path, samples):
    rng = np.random.default_rng(samples)
    count = 40 if samples < 10_000 else 3
    records = np.zeros(count, dtype=wd1_dtype(samples))
    records["event_size"] = 24 + 2 * samples
    for name in ["board_id", "pattern", "board_channel", "event_counter", "timestamp"]:
        records[name] = random_words(rng, count).view(np.int32)
    records["data"] = rng.integers(0, 2**16, (count, samples), dtype=np.uint16)
    path = tmp_path / "f.wd1"
    records.tofile(path)
    oracle = np.fromfile(path, dtype=wd1_dtype(samples))
    got = read_all(path, "WD1")
    assert len(got) == len(oracle) == count
    for read, expected in zip(got, oracle):
        for name in WD1_KEYS[:-1]:
            assert read[name] == int(expected[name]), name
        assert np.array_equal(read["data"], expected["data"])


@pytest.mark.parametrize("channels, samples", [(2, 0), (2, 1), (3, 700), (2, 1024), (4, 70_000)])
def test_wd2_equals_fromfile(tmp_path, channels, samples):
    rng = np.random.default_rng(channels * 1000 + samples)
    count = 30 if samples < 10_000 else 3
    records = np.zeros(count, dtype=wd2_dtype(channels, samples))
    records["event_counter"] = (np.arange(count) + rng.integers(0, 2**32)) % 2**32
    records["timestamp"] = rng.integers(0, 2**63, count, dtype=np.uint64) * 2 + 1
    records["samples"] = samples
    records["sampling_period"] = rng.integers(0, 2**63, dtype=np.uint64) * 2
    records["channels"] = channels
    records["data"] = random_words(rng, count * channels * samples).view(np.float32).reshape(count, -1)
    path = tmp_path / "f.wd2"
    records.tofile(path)
    oracle = np.fromfile(path, dtype=wd2_dtype(channels, samples))
    got = read_all(path, "WD2")
    assert len(got) == len(oracle) == count
    for read, expected in zip(got, oracle):
        for name in WD2_KEYS[:-1]:
            assert read[name] == int(expected[name]), name
        assert np.array_equal(read["data"].view(np.uint32), expected["data"].view(np.uint32))


def test_wd2_single_channel_equals_fromfile(tmp_path):
    rng = np.random.default_rng(7)
    dtype = wd2_dtype(1, 50, with_channel_field=False)
    records = np.zeros(20, dtype=dtype)
    records["event_counter"] = np.arange(20) + 1000
    records["timestamp"] = rng.integers(0, 2**63, 20, dtype=np.uint64)
    records["samples"] = 50
    records["sampling_period"] = 3
    records["data"] = random_words(rng, 20 * 50).view(np.float32).reshape(20, -1)
    records["data"][0, 0] = 1.5  # so that the probe's first reading runs past the end
    path = tmp_path / "f.wd2"
    records.tofile(path)
    oracle = np.fromfile(path, dtype=dtype)
    got = read_all(path, "WD2")
    assert len(got) == 20
    for read, expected in zip(got, oracle):
        assert read["channels"] == 1
        for name in WD2_KEYS[:4]:
            assert read[name] == int(expected[name])
        assert np.array_equal(read["data"].view(np.uint32), expected["data"].view(np.uint32))


# ---- Sources that cannot tell their size ---------------------------------------

@pytest.mark.parametrize("samples", [3, 5000, 1_200_000])
def test_wd1_from_a_fifo(tmp_path, samples):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    events = wd1_series(3, samples)
    cut_short = wd1_header(24 + 2 * samples) + bytes(2 * samples - 1)
    writer = feed_fifo(fifo, wd1_bytes(events) + cut_short)
    try:
        got = list(EventReader(str(fifo), "WD1"))
    finally:
        writer.kill()
        writer.wait()
    assert len(got) == 3
    for event, read in zip(events, got):
        assert np.array_equal(read["data"], event.samples)
