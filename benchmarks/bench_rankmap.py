"""RankMap against collections.OrderedDict, measured in the same run.

    PYTHONPATH=src python3 benchmarks/bench_rankmap.py

Writes go to an existing key in the middle of the order (the membership test
scans the order list up to it); `move` takes the last key and puts it back at
the end, which scans the whole list.
"""
import os
import sys
from collections import OrderedDict

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import Table  # noqa: E402

from tavik.datastructures.rankmap import RankMap  # noqa: E402

SIZES = (10, 1000, 10000)


def main():
    t = Table("rankmap")
    for n in SIZES:
        pairs = [("key%d" % i, i) for i in range(n)]
        m = RankMap(pairs)
        od = OrderedDict(pairs)
        mid = pairs[n // 2][0]
        last = pairs[-1][0]
        t.compare(f"m[k] read, n={n}", lambda: m[mid], "od[k]", lambda: od[mid])

        def m_write():
            m[mid] = 1

        def od_write():
            od[mid] = 1

        # The order scans make writes and moves linear in n: fewer runs.
        scale = 10 / n if n > 10 else None
        t.compare(f"m[k] = v write, n={n}", m_write, "od[k] = v", od_write, target=scale)
        t.compare(f"m.move(last, n), n={n}", lambda: m.move(last, n),
                  "od.move_to_end(last)", lambda: od.move_to_end(last), target=scale)
        t.compare(f"m.values(), n={n}", m.values, "list(od.values())",
                  lambda: list(od.values()))
        t.compare(f"m.items(), n={n}", m.items, "list(od.items())",
                  lambda: list(od.items()))
    for n in SIZES:
        pairs = [("key%d" % i, i) for i in range(n)]
        # Each new key is checked against the whole order list: building is
        # quadratic in n, so the large case runs few times.
        t.compare(f"RankMap(pairs), n={n}", lambda: RankMap(pairs),
                  "OrderedDict(pairs)", lambda: OrderedDict(pairs),
                  target=0.01 if n >= 10000 else None)
    t.show()


if __name__ == "__main__":
    main()
