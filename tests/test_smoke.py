"""Whole files through the module: exactly the events the tests' writer wrote."""

import pytest

import pelvar
from eventfiles import same_events, wd1_bytes, wd1_series, wd2_bytes, wd2_series, write


@pytest.mark.parametrize("count, samples", [(1, 0), (3, 5), (50, 200)])
def test_wd1_round_trip(tmp_path, count, samples):
    events = wd1_series(count, samples, seed=count)
    got = list(pelvar.EventReader(str(write(tmp_path / "a.wd1", wd1_bytes(events))), "WD1"))
    assert same_events(got, [e.expected() for e in events])


@pytest.mark.parametrize("count, channels, samples", [(2, 1, 0), (3, 1, 4), (3, 2, 4), (40, 4, 64)])
def test_wd2_round_trip(tmp_path, count, channels, samples):
    events = wd2_series(count, channels, samples, seed=count)
    got = list(pelvar.EventReader(str(write(tmp_path / "a.wd2", wd2_bytes(events))), "WD2"))
    assert same_events(got, [e.expected() for e in events])
