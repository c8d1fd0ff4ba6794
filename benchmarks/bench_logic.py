"""And/Or/Not against plain-Python equivalents, measured in the same run.

    PYTHONPATH=src python3 benchmarks/bench_logic.py
"""
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import Table  # noqa: E402

from tavik.datastructures.logic import And, Not, Or, logic_str  # noqa: E402

PATTERNS = ("^ab", "c.d", "x?y$")
ITEM = "abc-dxy"


class PlainLogic:
    """The string form written in plain Python, for comparison."""

    def __init__(self, *expressions):
        self.expressions = []
        for obj in expressions:
            if isinstance(obj, str):
                obj = re.compile(obj)
            elif not callable(obj):
                raise TypeError("Expression only accepts str and callable. Got: %s (%s)"
                                % (obj, type(obj)))
            self.expressions.append(obj)

    def __str__(self):
        parts = []
        for e in self.expressions:
            if callable(e):
                parts.append(repr(e))
            else:
                parts.append("'%s'" % e.pattern)
        return "%s(%s)" % (type(self).__name__, ", ".join(parts))

    __repr__ = __str__

    def __call__(self):
        raise NotImplementedError


class PAnd(PlainLogic):
    pass


class POr(PlainLogic):
    pass


class PNot(PlainLogic):
    pass


def tree(a, o, n, depth):
    node = a("leaf", "x.*y")
    for i in range(depth):
        node = (a, o, n)[i % 3]("p%d" % i, node, "q+%d" % i)
    return node


def main():
    t = Table("logic")
    pats = PATTERNS
    compiled = [re.compile(p) for p in pats]
    t.compare("And(3 patterns)", lambda: And(*pats),
              "[re.compile(p) for p]", lambda: [re.compile(p) for p in pats])
    t.compare("Or(3 patterns)", lambda: Or(*pats),
              "[re.compile(p) for p]", lambda: [re.compile(p) for p in pats])

    a, o = And(*pats), Or("zz", "yy", "xy")
    t.compare("And(3 patterns)(item)", lambda: a(ITEM),
              "all(re.search(p, item))", lambda: all(re.search(p, ITEM) for p in pats))
    t.compare("Or(3 patterns)(item)", lambda: o(ITEM),
              "any(re.search(p, item))",
              lambda: any(re.search(p, ITEM) for p in ("zz", "yy", "xy")))
    t.compare("And(3 patterns)(item)", lambda: a(ITEM),
              "all(compiled.search(item))", lambda: all(c.search(ITEM) for c in compiled))

    def fn(item):
        return "-" in item

    fa, fo = And(fn), Or(fn)
    t.compare("And(callable)(item)", lambda: fa(ITEM),
              "all(f(item) for f)", lambda: all(f(ITEM) for f in (fn,)))
    t.compare("Or(callable)(item)", lambda: fo(ITEM),
              "any(f(item) for f)", lambda: any(f(ITEM) for f in (fn,)))
    t.compare("And(callable) construction", lambda: And(fn),
              "[f for f if callable(f)]", lambda: [f for f in (fn,) if callable(f)])

    ours, plain = tree(And, Or, Not, 30), tree(PAnd, POr, PNot, 30)
    assert str(ours).replace("And", "PAnd").replace("Or", "POr").replace("Not", "PNot") \
        == str(plain)
    t.compare("str(tree of 31 nodes)", lambda: str(ours),
              "plain-Python __str__", lambda: str(plain))
    flat, pflat = And(*("p%d" % i for i in range(50))), PAnd(*("p%d" % i for i in range(50)))
    t.compare("str(And(50 patterns))", lambda: str(flat),
              "plain-Python __str__", lambda: str(pflat))
    text = str(ours)
    t.compare("logic_str(str(tree))", lambda: logic_str(text),
              "eval(str(tree))", lambda: eval(text, {"And": And, "Or": Or, "Not": Not}))
    t.show()


if __name__ == "__main__":
    main()
