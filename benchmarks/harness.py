"""Tiny benchmark harness: each operation is timed next to its closest plain
equivalent in the same run, and the ratio is printed.

    from harness import Table
    t = Table("fieldbag")
    t.compare("fb['a']", lambda: fb['a'], "dict read", lambda: d['a'])
    t.show()

Timings interleave the two callables over several rounds and keep the best
round of each, so a noisy neighbour affects both sides alike.
"""
import gc
import sys
import time

__all__ = ["Table", "best_time"]


def best_time(fn, number, rounds):
    best = float("inf")
    for _ in range(rounds):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, time.perf_counter() - t0)
    return best / number


def _calibrate(fn, target=0.02):
    number = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        if time.perf_counter() - t0 >= target or number >= 1 << 24:
            return number
        number *= 4


class Table:
    def __init__(self, title, rounds=7):
        self.title = title
        self.rounds = rounds
        self.rows = []

    def compare(self, label, ours, base_label, base, number=None, target=None):
        """Times `ours` against `base`; returns the ratio ours/base."""
        number = number or _calibrate(base)
        if target is not None:
            number = max(1, int(number * target))
        gc_was = gc.isenabled()
        gc.disable()
        try:
            t_ours = t_base = float("inf")
            for _ in range(self.rounds):
                t_base = min(t_base, best_time(base, number, 1))
                t_ours = min(t_ours, best_time(ours, number, 1))
        finally:
            if gc_was:
                gc.enable()
        ratio = t_ours / t_base if t_base else float("nan")
        self.rows.append((label, t_ours, base_label, t_base, ratio))
        return ratio

    def show(self, file=None):
        file = file or sys.stdout
        w1 = max([len(r[0]) for r in self.rows] + [9])
        w2 = max([len(r[2]) for r in self.rows] + [10])
        print(f"\n## {self.title}", file=file)
        print(f"{'operation':<{w1}}  {'time':>10}  {'equivalent':<{w2}}  {'time':>10}  ratio",
              file=file)
        for label, t1, blabel, t2, ratio in self.rows:
            print(f"{label:<{w1}}  {_fmt(t1):>10}  {blabel:<{w2}}  {_fmt(t2):>10}  {ratio:5.2f}",
                  file=file)


def _fmt(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds * 1e9:.3g} ns"
