"""NestedFieldBag.update and RankMap.update on nested data decoded from the
fuzz bytes.

    python fuzz_update.py fieldbag|rankmap [atheris arguments...]
"""
import sys

import atheris

with atheris.instrument_imports():
    from tavik.datastructures.fieldbag import NestedFieldBag
    from tavik.datastructures.rankmap import RankMap

from _common import nested, run

# NestedFieldBag: unhashable or non-pair elements and merges through values
# (TypeError, KeyError, AttributeError; AttributeError also for a bad element
# of a source without `index`).  RankMap: elements of the wrong length
# (ValueError), unhashable keys and elements without a length (TypeError).
EXPECTED = {
    "fieldbag": (TypeError, KeyError, AttributeError),
    "rankmap": (TypeError, ValueError),
}

mode = sys.argv.pop(1) if len(sys.argv) > 1 and sys.argv[1] in EXPECTED else "fieldbag"


def check_rankmap(m):
    assert set(m._data) == set(m._order) and len(m._data) == len(m._order), m
    assert m == m.copy()


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    source = nested(fdp)
    kwargs = {fdp.ConsumeUnicodeNoSurrogates(3) or "k": nested(fdp)
              for _ in range(fdp.ConsumeIntInRange(0, 2))}
    target = NestedFieldBag() if mode == "fieldbag" else RankMap()
    # A first update fills the target, so that the second one merges into
    # levels and replaces values.
    for args, kw in (((nested(fdp),), {}), ((source,), kwargs)):
        try:
            target.update(*args, **kw)
        except EXPECTED[mode]:
            pass
    if mode == "rankmap":
        check_rankmap(target)
    repr(target)
    list(target.items())


if __name__ == "__main__":
    run(test_one_input)
