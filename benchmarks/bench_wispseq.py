"""WispSeq against a plain list of weakref.ref doing the same in plain Python.

    PYTHONPATH=src python3 benchmarks/bench_wispseq.py
"""
import os
import sys
import weakref

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import Table  # noqa: E402

from tavik.datastructures.wispseq import WispSeq  # noqa: E402


class Obj:
    pass


def main():
    t = Table("wispseq")
    ref = weakref.ref
    for n in (10, 1_000, 100_000):
        objs = [Obj() for _ in range(n)]
        s = WispSeq(objs)
        refs = []
        cb = refs.remove  # every plain reference gets a clean-up callback too
        refs[:] = [ref(o, cb) for o in objs]
        lo, hi = n // 4, 3 * n // 4
        probe = objs[n // 2]
        idx = range(n)

        t.compare(f"WispSeq(objs) {n}", lambda: WispSeq(objs),
                  "[ref(o, cb) for o]", lambda: [ref(o, cb) for o in objs])

        def iter_ours():
            for _ in s:
                pass

        def iter_base():
            for r in refs:
                r()

        t.compare(f"for x in s {n}", iter_ours, "for r in refs: r()", iter_base)
        t.compare(f"s[lo:hi] {n}", lambda: s[lo:hi],
                  "[ref(r(), cb) for r in refs[lo:hi]]",
                  lambda: [ref(r(), cb) for r in refs[lo:hi]])

        grow, plain = WispSeq(), []
        plain_cb = plain.remove

        def append_ours():
            append = grow.append
            for o in objs:
                append(o)
            del grow.data[:]

        def append_base():
            append = plain.append
            for o in objs:
                append(ref(o, plain_cb))
            del plain[:]

        t.compare(f"append {n}x", append_ours, "refs.append(ref(o, cb))", append_base)

        def index_ours():
            for i in idx:
                s[i]

        def index_base():
            for i in idx:
                refs[i]()

        t.compare(f"s[i] {n}x", index_ours, "refs[i]()", index_base)
        t.compare(f"o in s {n}", lambda: probe in s, "ref(o) in refs", lambda: ref(probe) in refs)
    t.show()


if __name__ == "__main__":
    main()
