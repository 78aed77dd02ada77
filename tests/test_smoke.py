import pelvar
from eventfiles import wd1_bytes, wd1_series, wd2_bytes, wd2_series, write


def test_round_trip(tmp_path):
    events = wd1_series(3, 5)
    got = list(pelvar.EventReader(str(write(tmp_path / "a.wd1", wd1_bytes(events))), "WD1"))
    assert [e["data"].tolist() for e in got] == [list(e.samples) for e in events]
    events2 = wd2_series(3, 2, 4)
    got2 = list(pelvar.EventReader(str(write(tmp_path / "a.wd2", wd2_bytes(events2))), "WD2"))
    assert [e["data"].tolist() for e in got2] == [list(e.values) for e in events2]
