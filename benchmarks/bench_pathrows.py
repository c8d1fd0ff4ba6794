"""PathRows against hand-written plain Python doing the same work.

    PYTHONPATH=src python3 benchmarks/bench_pathrows.py
"""
import os
import sys
from collections.abc import MutableMapping

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import Table  # noqa: E402

from tavik.datastructures.pathrows import PathRows  # noqa: E402


def nested(leaves, fanout=10):
    """A nested dict with `leaves` leaf values, `fanout` keys per level."""
    if leaves <= fanout:
        return {f"k{i}": i for i in range(leaves)}
    return {f"k{i}": nested(leaves // fanout, fanout) for i in range(fanout)}


def py_flatten(indict, path=()):
    for key, value in indict.items():
        if isinstance(value, MutableMapping) and value:
            yield from py_flatten(value, path + (key,))
        else:
            yield (path + (key,), value)


def py_rebuild(rows):
    ret = {}
    for path, obj in rows:
        ptr = ret
        keys = list(path)
        while keys:
            k = keys.pop(0)
            if keys:
                ptr[k] = ptr.get(k, {})
                ptr = ptr[k]
            else:
                ptr[k] = obj
    return ret


def main():
    t = Table("pathrows")
    for leaves in (10, 1_000, 100_000):
        d = nested(leaves)
        rows = PathRows(d)
        plain = list(py_flatten(d))
        assert rows == plain and rows.reconstruct() == py_rebuild(plain) == d
        t.compare(f"PathRows(nested) {leaves}", lambda: PathRows(d),
                  "list(py_flatten())", lambda: list(py_flatten(d)))
        t.compare(f"reconstruct() {leaves}", rows.reconstruct,
                  "py_rebuild(rows)", lambda: py_rebuild(plain))

    row = (("a", "b"), 1)
    rows, plain = PathRows(), []

    def ours():
        append = rows.append
        for _ in range(100):
            append(row)
        del rows[:]

    def base():
        append = plain.append
        for _ in range(100):
            append(row)
        del plain[:]

    t.compare("append(row) x100", ours, "list.append x100", base)
    t.show()


if __name__ == "__main__":
    main()
