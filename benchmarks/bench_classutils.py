"""typefield reads against a property read, and MetaClassFactory calls
against a plain class call.

    PYTHONPATH=src python3 benchmarks/bench_classutils.py
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import Table  # noqa: E402

from tavik.datastructures.factory import MetaClassFactory  # noqa: E402
from tavik.datastructures.typefield import typefield  # noqa: E402


class WithTypefield:
    @typefield
    def value(cls):
        return 1


class WithProperty:
    @property
    def value(self):
        return 1


class Made(metaclass=MetaClassFactory):
    def __init__(self, a, b=None):
        self.a = a


class MadeChild(Made):
    pass


class Plain:
    def __init__(self, a, b=None):
        self.a = a


class EmptyMade(metaclass=MetaClassFactory):
    pass


class EmptyPlain:
    pass


def main():
    t = Table("typefield and factory")
    inst, prop = WithTypefield(), WithProperty()
    t.compare("typefield read on class", lambda: WithTypefield.value,
              "property read", lambda: prop.value)
    t.compare("typefield read on instance", lambda: inst.value,
              "property read", lambda: prop.value)
    choose = {"class": MadeChild, "b": 2}
    t.compare("factory call", lambda: Made(1, b=2), "plain class call", lambda: Plain(1, b=2))
    t.compare("factory call, no __init__", lambda: EmptyMade(), "plain class call",
              lambda: EmptyPlain())
    t.compare("factory call with class", lambda: Made(1, **choose), "plain class call",
              lambda: Plain(1, b=2))
    t.show()


if __name__ == "__main__":
    main()
