"""Ramus: rendering, construction and add_child against the same node written
in plain Python (the recursive renderer that concatenates as it goes).

    PYTHONPATH=src python3 benchmarks/bench_ramus.py
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import Table  # noqa: E402

from tavik.datastructures.ramus import Ramus  # noqa: E402


class PlainRamus:
    def __init__(self, name, children=None):
        if not children:
            children = []
        self.name = name
        self.children = children

    def add_child(self, item):
        self.children.append(item)

    def __str__(self):
        result = self.name
        if not self.children:
            return result
        for child in self.children[:-1]:
            lines = str(child).split("\n")
            result += "\n|-- " + str(lines[0])
            for line in lines[1:]:
                result += "\n|   " + str(line)
        lines = str(self.children[-1]).split("\n")
        result += "\n`-- " + str(lines[0])
        for line in lines[1:]:
            result += "\n    " + str(line)
        return result


def wide(cls, n):
    return cls("root", [cls("child%d" % i) for i in range(n)])


def deep(cls, n):
    node = cls("leaf")
    for i in range(n - 1):
        node = cls("level%d" % i, [node, cls("x")] if i % 2 else [node])
    return node


def main():
    t = Table("ramus")
    for n in (10, 1_000, 100_000):
        ours, plain = wide(Ramus, n), wide(PlainRamus, n)
        assert str(ours) == str(plain)
        t.compare("str() wide %d" % n, lambda: str(ours), "plain renderer", lambda: str(plain))
    limit = sys.getrecursionlimit()
    for n in (10, 100, 400):
        ours, plain = deep(Ramus, n), deep(PlainRamus, n)
        label = "plain renderer"
        try:
            expected = str(plain)
        except RecursionError:  # the plain renderer needs a higher limit here
            sys.setrecursionlimit(4 * n + 200)
            expected = str(plain)
            label += " (limit raised)"
        assert str(ours) == expected
        t.compare("str() deep %d" % n, lambda: str(ours), label, lambda: str(plain))
        sys.setrecursionlimit(limit)
    kids = [Ramus("a")]
    pkids = [PlainRamus("a")]
    t.compare("Ramus(name)", lambda: Ramus("a"), "plain class", lambda: PlainRamus("a"))
    t.compare("Ramus(name, children)", lambda: Ramus("a", kids), "plain class",
              lambda: PlainRamus("a", pkids))
    node, pnode = Ramus("r"), PlainRamus("r")
    t.compare("add_child", lambda: (node.add_child(1), node.children.clear()),
              "plain class", lambda: (pnode.add_child(1), pnode.children.clear()))
    t.show()


if __name__ == "__main__":
    main()
