"""Files made from random events by the tests' writer, read back field for
field and bit for bit."""

import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import pelvar
from eventfiles import WD1Event, WD2Event, wd1_bytes, wd2_bytes

EventReader = pelvar.EventReader

INT32 = st.integers(-(2**31), 2**31 - 1)
UINT32 = st.integers(0, 2**32 - 1)
UINT64 = st.integers(0, 2**64 - 1)

SETTINGS = settings(max_examples=100, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


class Scratch:
    """A file in memory (no disk in the loop), opened by the module through
    its /proc/self/fd path as a regular file."""

    def __init__(self):
        self.fd = os.memfd_create("pelvar-random-events")
        self.path = f"/proc/self/fd/{self.fd}"

    def read_back(self, payload, reader_type):
        os.ftruncate(self.fd, 0)
        os.pwrite(self.fd, payload, 0)
        return list(EventReader(self.path, reader_type))


@pytest.fixture(scope="module")
def scratch():
    file = Scratch()
    yield file
    os.close(file.fd)


def sample_bytes(width, max_count=40):
    """Random raw sample bytes of `width`-byte samples, counts from 0."""
    return st.integers(0, max_count).flatmap(lambda n: st.binary(min_size=n * width, max_size=n * width))


def u32_bits(raw):
    return np.frombuffer(raw, dtype="<u4").tolist()


# ---- WD1 -------------------------------------------------------------------------

@st.composite
def wd1_events(draw):
    raw = draw(sample_bytes(2))
    n = len(raw) // 2
    # An odd event_size one above the even one reads the same samples and
    # leaves no byte behind when the writer wrote only 24 + 2n bytes.
    event_size = 24 + 2 * n + draw(st.sampled_from([0, 0, 1]))
    return WD1Event(samples=np.frombuffer(raw, dtype="<u2").copy(), board_id=draw(INT32), pattern=draw(INT32),
                    board_channel=draw(INT32), event_counter=draw(INT32), timestamp=draw(INT32),
                    event_size=event_size)


@SETTINGS
@given(events=st.lists(wd1_events(), max_size=12), tail=st.integers(0, 23))
def test_random_wd1_files(scratch, events, tail):
    # `tail` bytes of one more header: too short to be an event.
    payload = wd1_bytes(events) + bytes(range(tail))
    got = scratch.read_back(payload, "WD1")
    assert len(got) == len(events)
    for event, read in zip(events, got):
        assert read["event_size"] == event.event_size
        assert read["board_id"] == event.board_id
        assert read["pattern"] == event.pattern
        assert read["board_channel"] == event.board_channel
        assert read["event_counter"] == event.event_counter
        assert read["timestamp"] == event.timestamp
        assert read["data"].dtype == np.uint16
        assert read["data"].tobytes() == np.asarray(event.samples, dtype="<u2").tobytes()


@SETTINGS
@given(events=st.lists(wd1_events(), min_size=1, max_size=6), data=st.data())
def test_random_wd1_files_cut_anywhere(scratch, events, data):
    payload = wd1_bytes(events)
    last = len(events[-1].to_bytes())
    cut = data.draw(st.integers(1, last), label="bytes cut from the end")
    got = scratch.read_back(payload[:len(payload) - cut], "WD1")
    assert len(got) == len(events) - 1
    for event, read in zip(events, got):
        assert read["data"].tolist() == list(event.samples)


# ---- WD2 -------------------------------------------------------------------------

@st.composite
def wd2_files(draw, multi):
    """Events whose first two pass the layout probe; the later ones are free
    in every header field (their own channel count included)."""
    channels = draw(st.integers(2, 5)) if multi else 1
    samples = draw(st.integers(0, 12)) if multi else draw(st.integers(1, 12))
    counter = draw(UINT32)
    period = draw(UINT64)

    def block(count, first=False):
        raw = draw(st.binary(min_size=count * channels * 4, max_size=count * channels * 4))
        if first and not multi:
            # The probe first takes the first sample for a channel count.
            # Keep it out of 0..2^20 so that reading the file as multi-channel
            # runs past its end (or is refused for a negative count) and the
            # single-channel layout is what the file can only mean.
            raw = draw(st.one_of(st.integers(2**20, 2**31 - 1), st.integers(2**31, 2**32 - 1))) \
                .to_bytes(4, "little") + raw[4:]
        return raw

    events = [
        WD2Event(raw_values=block(samples, first=True), event_counter=counter, timestamp=draw(UINT64),
                 samples=samples, sampling_period=period, channels=channels, with_channel_field=multi),
        WD2Event(raw_values=block(samples), event_counter=(counter + 1) % 2**32, timestamp=draw(UINT64),
                 samples=samples, sampling_period=period, channels=channels, with_channel_field=multi),
    ]
    for _ in range(draw(st.integers(0, 8))):
        count = draw(st.integers(0, 12))
        events.append(WD2Event(raw_values=block(count), event_counter=draw(UINT32), timestamp=draw(UINT64),
                               samples=count, sampling_period=draw(UINT64),
                               channels=draw(INT32) if multi else channels, with_channel_field=multi))
    return channels, events


def check_wd2(got, events, probed):
    assert len(got) == len(events)
    for event, read in zip(events, got):
        assert read["event_counter"] == event.event_counter
        assert read["timestamp"] == event.timestamp
        assert read["samples"] == event.samples
        assert read["sampling_period"] == event.sampling_period
        assert read["channels"] == (event.channels if probed >= 2 else 1)
        assert read["data"].dtype == np.float32
        assert read["data"].shape == (probed * event.samples,)
        assert read["data"].view(np.uint32).tolist() == u32_bits(event.raw_values)


@SETTINGS
@given(file=wd2_files(multi=True), tail=st.integers(0, 27))
def test_random_wd2_multi_channel_files(scratch, file, tail):
    channels, events = file
    got = scratch.read_back(wd2_bytes(events) + bytes(tail), "WD2")
    check_wd2(got, events, channels)


@SETTINGS
@given(file=wd2_files(multi=False), tail=st.integers(0, 23))
def test_random_wd2_single_channel_files(scratch, file, tail):
    _, events = file
    got = scratch.read_back(wd2_bytes(events) + bytes(tail), "WD2")
    check_wd2(got, events, 1)


@SETTINGS
@given(file=wd2_files(multi=True), data=st.data())
def test_random_wd2_files_cut_in_the_last_event(scratch, file, data):
    channels, events = file
    payload = wd2_bytes(events)
    if len(events) > 2:  # the probe needs the first event and the second header whole
        cut = data.draw(st.integers(1, len(events[-1].to_bytes())), label="bytes cut from the end")
        payload = payload[:len(payload) - cut]
        events = events[:-1]
    check_wd2(scratch.read_back(payload, "WD2"), events, channels)
