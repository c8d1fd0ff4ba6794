"""FieldBag / NestedFieldBag against plain dicts and objects.

    PYTHONPATH=src python3 benchmarks/bench_fieldbag.py
"""
import os
import sys

sys.path.insert(0, os.path.dirname(__file__))

from harness import Table  # noqa: E402

from tavik.datastructures.fieldbag import FieldBag, NestedFieldBag  # noqa: E402


class Plain:
    pass


def nested(leaves, width=10):
    """A nested dict with about `leaves` leaves, `width` keys per level."""
    def build(n, depth):
        if n <= width:
            return {f"k{i}": i for i in range(n)}
        per = max(1, n // width)
        return {f"n{depth}_{i}": build(per, depth + 1) for i in range(width)}
    return build(leaves, 0)


def plain_merge(target, source):
    for key, value in source.items():
        if isinstance(value, dict):
            plain_merge(target.setdefault(key, {}), value)
        else:
            target[key] = value
    return target


def main():
    t = Table("fieldbag")
    fb = FieldBag(a=1, b=2)
    d = dict(a=1, b=2)
    obj = Plain()
    obj.a = 1
    t.compare("FieldBag(a=1, b=2)", lambda: FieldBag(a=1, b=2), "dict(a=1, b=2)",
              lambda: dict(a=1, b=2))
    t.compare("fb['a']", lambda: fb["a"], "d['a']", lambda: d["a"])
    t.compare("fb.a", lambda: fb.a, "obj.a", lambda: obj.a)

    nfb = NestedFieldBag({"a": {"b": {"c": 1}}})
    pd = {"a": {"b": {"c": 1}}}
    t.compare("nfb['a.b.c']", lambda: nfb["a.b.c"], "d['a']['b']['c']", lambda: pd["a"]["b"]["c"])
    t.compare("'a.b.c' in nfb", lambda: "a.b.c" in nfb, "'c' in d['a']['b']",
              lambda: "c" in pd["a"]["b"])

    def plain_set():
        pd["a"]["b"]["c"] = 2

    def nfb_set():
        nfb["a.b.c"] = 2

    t.compare("nfb['a.b.c'] = v", nfb_set, "d['a']['b']['c'] = v", plain_set)

    def plain_missing():
        try:
            return pd["a"]["b"]["x"]
        except KeyError:
            return None

    t.compare("nfb.get('a.b.x')", lambda: nfb.get("a.b.x"), "try d['a']['b']['x'] except",
              plain_missing)
    for n in (10, 1_000, 100_000):
        data = nested(n)
        t.compare(f"NestedFieldBag(nested {n})", lambda: NestedFieldBag(data),
                  "plain recursive merge", lambda: plain_merge({}, data))
    t.show()


if __name__ == "__main__":
    main()
