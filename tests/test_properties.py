"""Property-based tests: each container against a plain-Python model of itself."""
import gc
import re
import warnings

import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.stateful import (RuleBasedStateMachine, initialize, invariant, precondition,
                                 rule)

from tavik.datastructures.fieldbag import NestedFieldBag
from tavik.datastructures.logic import And, BaseLogic, Not, Or, logic_str
from tavik.datastructures.pathrows import DictItem, PathRows
from tavik.datastructures.ramus import Ramus
from tavik.datastructures.rankmap import RankMap
from tavik.datastructures.wispseq import WispSeq

# Hypothesis keeps bounded process-wide caches (generated strategies and
# examples) that go on filling for many rounds: the per-round growth shrinks
# towards zero as they saturate.  The modules themselves are measured by their
# own test files.
pytestmark = pytest.mark.refleak_exempt("hypothesis caches fill over many rounds")

MACHINE = settings(max_examples=60, stateful_step_count=25)


def outcome(fn, *args):
    """("ok", result) or ("raised", exception type): what a model and the real
    thing are compared on."""
    try:
        return "ok", fn(*args)
    except Exception as e:  # noqa: BLE001 - the type is the result
        return "raised", type(e)


# --- NestedFieldBag against nested plain dicts --------------------------------

class Level(dict):
    """A nested level of the model (a plain dict value stays a `dict`)."""


class NestedModel:
    """Dotted keys split once at the first "."; levels merge on update."""

    def __init__(self):
        self.root = Level()

    @staticmethod
    def _split(key):
        return key.split(".", 1) if isinstance(key, str) and "." in key else None

    def get(self, d, key):
        parts = self._split(key)
        if parts is None:
            return d[key]
        value = d[parts[0]]
        if not isinstance(value, Level):
            raise TypeError("not subscriptable")
        return self.get(value, parts[1])

    def contains(self, d, key):
        parts = self._split(key)
        if parts is None:
            return key in d
        if parts[0] not in d:
            return False
        value = d[parts[0]]
        if not isinstance(value, Level):
            raise TypeError("no membership")
        return self.contains(value, parts[1])

    def set(self, d, key, value):
        parts = self._split(key)
        if parts is None:
            d[key] = value
            return
        level = self.setdefault(d, parts[0], Level())
        if not isinstance(level, Level):
            raise KeyError("target key")
        self.set(level, parts[1], value)

    def setdefault(self, d, key, default):
        try:
            return self.get(d, key)
        except KeyError:
            self.set(d, key, default)
            return default

    def delete(self, d, key):
        parts = self._split(key)
        if parts is None:
            del d[key]
            return
        value = d[parts[0]]
        if not isinstance(value, Level):
            raise TypeError("no item deletion")
        self.delete(value, parts[1])

    def update(self, d, other):
        for key, value in other.items():
            if isinstance(value, dict):
                level = self.setdefault(d, key, Level())
                if not isinstance(level, Level):
                    raise AttributeError("update")
                self.update(level, value)
            else:
                self.set(d, key, value)


def plain(bag):
    """The content of a NestedFieldBag as nested dicts, checking level types."""
    out = Level()
    for key, value in dict.items(bag):
        if isinstance(value, dict):
            assert type(value) is NestedFieldBag
            value = plain(value)
        out[key] = value
    return out


segments = st.sampled_from(["a", "b", "c", ""])
nested_keys = st.lists(segments, min_size=1, max_size=3).map(".".join)
nested_data = st.recursive(
    st.integers(0, 3),
    lambda inner: st.dictionaries(nested_keys, inner, max_size=3),
    max_leaves=6,
).filter(lambda v: isinstance(v, dict))


@MACHINE
class NestedFieldBagMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.bag = NestedFieldBag()
        self.model = NestedModel()

    @rule(key=nested_keys, value=st.integers(0, 3))
    def write(self, key, value):
        assert outcome(self.bag.__setitem__, key, value) == \
            outcome(self.model.set, self.model.root, key, value)

    @rule(key=nested_keys)
    def read(self, key):
        got, want = outcome(self.bag.__getitem__, key), \
            outcome(self.model.get, self.model.root, key)
        if got[0] == "ok" and isinstance(got[1], dict):
            got = ("ok", plain(got[1]))
        assert got == want

    @rule(key=nested_keys)
    def contains(self, key):
        assert outcome(self.bag.__contains__, key) == \
            outcome(self.model.contains, self.model.root, key)

    @rule(key=nested_keys)
    def delete(self, key):
        assert outcome(self.bag.__delitem__, key) == \
            outcome(self.model.delete, self.model.root, key)

    @rule(data=nested_data)
    def update(self, data):
        assert outcome(self.bag.update, data) == \
            outcome(self.model.update, self.model.root, data)

    @rule(key=nested_keys, value=st.integers(0, 3))
    def attribute_view(self, key, value):
        # The attribute view is the same storage as the item view.
        if "." not in key and key:
            setattr(self.bag, key, value)
            self.model.root[key] = value
            assert getattr(self.bag, key) == value

    @invariant()
    def same_content(self):
        assert plain(self.bag) == self.model.root


TestNestedFieldBag = NestedFieldBagMachine.TestCase


# --- RankMap against a list of pairs ------------------------------------------

rank_keys = st.sampled_from(["a", "b", "c", "d", 1, 2])
positions = st.integers(-6, 6)


class PairList:
    def __init__(self):
        self.pairs = []

    def keys(self):
        return [k for k, _ in self.pairs]

    def find(self, key):
        return self.keys().index(key)

    def set(self, key, value):
        hash(key)
        if key in self.keys():
            self.pairs[self.find(key)] = (key, value)
        else:
            self.pairs.append((key, value))

    def get(self, key):
        return self.pairs[self.find(key)][1] if key in self.keys() else _raise(KeyError(key))

    def delete(self, key):
        if key not in self.keys():
            raise KeyError(key)
        del self.pairs[self.find(key)]

    def insert(self, key, value, position):
        if key in self.keys():
            raise KeyError(key)
        hash(key)
        if not isinstance(position, int):
            raise TypeError(position)
        self.pairs.insert(position, (key, value))

    def move(self, key, position):
        if key not in self.keys():
            raise KeyError(key)
        if not isinstance(position, int):
            raise TypeError(position)
        self.pairs.insert(position, self.pairs.pop(self.find(key)))

    def update(self, items):
        for i, item in enumerate(items):
            if len(item) != 2:
                raise ValueError(i)
            self.set(*item)

    def popitem(self):
        if not self.pairs:
            raise KeyError
        return self.pairs.pop(0)


def _raise(exc):
    raise exc


@MACHINE
class RankMapMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.m = RankMap()
        self.model = PairList()

    @rule(key=st.one_of(rank_keys, st.just([])), value=st.integers())
    def write(self, key, value):
        assert outcome(self.m.__setitem__, key, value) == outcome(self.model.set, key, value)

    @rule(key=rank_keys)
    def read(self, key):
        assert outcome(self.m.__getitem__, key) == outcome(self.model.get, key)
        assert (key in self.m) == (key in self.model.keys())

    @rule(key=rank_keys)
    def delete(self, key):
        assert outcome(self.m.__delitem__, key) == outcome(self.model.delete, key)

    @rule(key=rank_keys, value=st.integers(), position=st.one_of(positions, st.just("1")))
    def insert(self, key, value, position):
        assert outcome(self.m.insert, key, value, position) == \
            outcome(self.model.insert, key, value, position)

    @rule(key=rank_keys, position=st.one_of(positions, st.just(None)))
    def move(self, key, position):
        assert outcome(self.m.move, key, position) == outcome(self.model.move, key, position)

    @rule(items=st.lists(st.one_of(st.tuples(rank_keys, st.integers()),
                                   st.tuples(rank_keys, st.integers(), st.integers())),
                         max_size=4))
    def update(self, items):
        assert outcome(self.m.update, items) == outcome(self.model.update, items)

    @rule()
    def popitem(self):
        assert outcome(self.m.popitem) == outcome(self.model.popitem)

    @rule()
    def clear(self):
        old = self.m.keys()
        self.m.clear()
        self.model.pairs.clear()
        assert self.m.keys() is not old

    @rule()
    def copy(self):
        clone = self.m.copy()
        assert type(clone) is RankMap and clone == self.m
        self.m = clone  # carry on with the copy: the original must not matter any more

    @invariant()
    def agrees_with_the_model(self):
        assert self.m.items() == self.model.pairs
        assert list(self.m) == self.model.keys() == self.m._order
        assert self.m.values() == [v for _, v in self.model.pairs]
        assert self.m._data == dict(self.model.pairs)
        assert len(self.m._data) == len(self.m._order) == len(self.m)


TestRankMap = RankMapMachine.TestCase


# --- PathRows ------------------------------------------------------------------

path_keys = st.one_of(st.text(max_size=3), st.integers(-3, 3),
                      st.tuples(st.integers(0, 2), st.integers(0, 2)))
leaves = st.one_of(st.none(), st.integers(), st.text(max_size=3),
                   st.lists(st.integers(), max_size=2))
nested_dicts = st.dictionaries(path_keys, st.recursive(
    leaves, lambda inner: st.dictionaries(path_keys, inner, min_size=1, max_size=4),
    max_leaves=12), max_size=4)


def depth_first(d, path=()):
    for key, value in d.items():
        if isinstance(value, dict) and value:
            yield from depth_first(value, path + (key,))
        else:
            yield path + (key,), value


@settings(max_examples=150)
@given(nested_dicts)
def test_pathrows_rebuild_and_order(d):
    rows = PathRows(d)
    assert rows.reconstruct() == d
    assert rows == list(depth_first(d))
    for row, (_, value) in zip(rows, depth_first(d)):
        assert type(row) is DictItem and row.value is value


# --- WispSeq against a list of strong references ------------------------------

class Thing:
    def __init__(self, serial):
        self.serial = serial


@MACHINE
class WispSeqMachine(RuleBasedStateMachine):
    """The collector is off during a run, so an object in a reference cycle dies
    exactly at the `collect` step and every other object when its last strong
    reference goes.  The model holds serial numbers, never the objects."""

    def __init__(self):
        super().__init__()
        self.seq = WispSeq()
        self.entries = []    # serials of the objects the WispSeq should hold, in order
        self.held = {}       # serial -> the one strong reference to the object
        self.pending = set()  # serials of dropped objects that only a cycle keeps alive
        self.serials = 0

    @initialize()
    def stop_the_collector(self):
        self.was_enabled = gc.isenabled()
        gc.disable()

    def teardown(self):
        if getattr(self, "was_enabled", False):
            gc.enable()
        gc.collect()

    def _new(self, cyclic):
        self.serials += 1
        obj = Thing(self.serials)
        if cyclic:
            obj.me = obj
        self.held[obj.serial] = obj
        return obj

    @rule(cyclic=st.booleans())
    def append_new(self, cyclic):
        obj = self._new(cyclic)
        self.seq.append(obj)
        self.entries.append(obj.serial)

    @precondition(lambda self: self.held)
    @rule(data=st.data())
    def append_again(self, data):
        serial = data.draw(st.sampled_from(sorted(self.held)))
        self.seq.append(self.held[serial])
        self.entries.append(serial)

    @rule(cyclic=st.booleans(), position=positions)
    def insert_new(self, cyclic, position):
        obj = self._new(cyclic)
        self.seq.insert(position, obj)
        self.entries.insert(position, obj.serial)

    @rule(n=st.integers(0, 3))
    def extend_new(self, n):
        objs = [self._new(False) for _ in range(n)]
        self.seq.extend(objs)
        self.entries.extend(o.serial for o in objs)

    @precondition(lambda self: self.held)
    @rule(data=st.data())
    def drop(self, data):
        serial = data.draw(st.sampled_from(sorted(self.held)))
        if hasattr(self.held.pop(serial), "me"):
            self.pending.add(serial)
        else:
            self.entries = [s for s in self.entries if s != serial]

    @rule()
    def collect(self):
        gc.collect()
        self.entries = [s for s in self.entries if s not in self.pending]
        self.pending.clear()

    @invariant()
    def holds_exactly_the_live_objects(self):
        assert [o.serial for o in self.seq] == self.entries
        assert len(self.seq) == len(self.entries)


TestWispSeq = WispSeqMachine.TestCase


# --- logic strings -------------------------------------------------------------

def _compiles(pattern):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # keeps the re module's FutureWarnings out
        try:
            re.compile(pattern)
        except (re.error, OverflowError, RecursionError, Warning):
            return False
    return True


patterns = st.one_of(
    st.text(st.sampled_from("ab'\"\\()[]*.+?|^$ \n"), max_size=8),
    st.text(max_size=6),
).filter(_compiles)

logic_trees = st.recursive(
    st.builds(lambda cls, ps: cls(*ps), st.sampled_from([And, Or, Not, BaseLogic]),
              st.lists(patterns, max_size=3)),
    lambda inner: st.builds(lambda cls, xs: cls(*xs), st.sampled_from([And, Or, Not]),
                            st.lists(st.one_of(inner, patterns), max_size=3)),
    max_leaves=10,
)


@settings(max_examples=150)
@given(logic_trees)
def test_logic_string_form_reads_back(x):
    back = logic_str(str(x))
    assert back == x and str(back) == str(x)


logic_texts = st.one_of(
    st.text(max_size=40),
    st.lists(st.sampled_from(["And", "Or", "Not", "BaseLogic", "(", ")", ",", "'", '"', "\\",
                             "a", "x", " ", "r", "b", "u", "\\n", "\\x", "\\N{", "''", "'''",
                             "=", "*", "[", "]"]), max_size=30).map("".join),
    logic_trees.map(str).flatmap(lambda s: st.integers(0, len(s)).map(lambda i: s[:i])),
)


@settings(max_examples=200)
@given(logic_texts)
def test_logic_str_only_refuses_with_value_error(text):
    try:
        result = logic_str(text)
    except ValueError as e:
        assert e.args == ("Not a properly formatted logic string: %s" % text,)
    else:
        assert isinstance(result, BaseLogic)


# --- Ramus -----------------------------------------------------------------------

names = st.text(st.characters(blacklist_characters="\n"), max_size=5)
trees = st.recursive(names.map(lambda n: (n, [])),
                     lambda inner: st.tuples(names, st.lists(inner, min_size=1, max_size=4)),
                     max_leaves=15)


def build(tree):
    name, children = tree
    return Ramus(name, [build(c) for c in children])


def expected_lines(tree, prefix="", connector=""):
    name, children = tree
    yield prefix + connector + name
    if connector:
        prefix += "    " if connector == "`-- " else "|   "
    for i, child in enumerate(children):
        yield from expected_lines(child, prefix, "`-- " if i == len(children) - 1 else "|-- ")


@settings(max_examples=150)
@given(trees)
def test_ramus_one_line_per_node_with_connectors(tree):
    assert str(build(tree)).split("\n") == list(expected_lines(tree))
