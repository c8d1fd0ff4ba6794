"""Pickling and copying of the package's containers, logic objects and functions."""
import copy
import gc
import pickle
import re

import pytest

from tavik.datastructures.configuration import Configuration
from tavik.datastructures.fieldbag import FieldBag, NestedFieldBag
from tavik.datastructures.logic import And, BaseLogic, Not, Or, logic_str
from tavik.datastructures.pathrows import DictItem, PathRows
from tavik.datastructures.ramus import Ramus
from tavik.datastructures.rankmap import RankMap
from tavik.datastructures.wispseq import WispSeq

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


def _pickler(protocol):
    def round_trip(obj):
        return pickle.loads(pickle.dumps(obj, protocol))
    return round_trip


PICKLES = [pytest.param(_pickler(p), id=f"pickle{p}") for p in PROTOCOLS]
DEEP = PICKLES + [pytest.param(copy.deepcopy, id="deepcopy")]
ALL = DEEP + [pytest.param(copy.copy, id="copy")]


# Subclasses as user code writes them (module level, so pickle finds them).
class MyBag(FieldBag):
    kind = "mine"


class MyNested(NestedFieldBag):
    pass


class MyConfig(Configuration):
    pass


class MyRows(PathRows):
    pass


class LabelledRankMap(RankMap):
    def __init__(self, label, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.label = label


class MyRamus(Ramus):
    pass


class MyAnd(And):
    pass


class OwnReduce(FieldBag):
    def __reduce__(self):
        return (FieldBag, (dict(self),))


def is_even(item):
    return item % 2 == 0


class Key:
    """A hashable key compared by identity (so copies are told apart)."""


# --- FieldBag, NestedFieldBag, Configuration ---------------------------------

@pytest.mark.parametrize("cls", [FieldBag, MyBag, NestedFieldBag, MyNested,
                                 Configuration, MyConfig])
@pytest.mark.parametrize("round_trip", ALL)
def test_bags_keep_class_content_and_attribute_access(cls, round_trip):
    bag = cls(name="x", size=[1, 2])
    dict.__setitem__(bag, 7, "int key")
    # Items named like the pickling hooks must not hide them.
    for hook in ("__getstate__", "__setstate__", "__reduce__"):
        dict.__setitem__(bag, hook, hook)
    again = round_trip(bag)
    assert type(again) is cls and again is not bag
    assert dict(again) == dict(bag) and list(again) == list(bag)
    assert vars(again) is again
    assert again.name == "x" and again.size == [1, 2]
    again.extra = 1
    del again.name
    assert again["extra"] == 1 and "name" not in again
    assert "extra" not in bag and bag.name == "x"
    if cls is MyBag:
        assert again.kind == "mine"


@pytest.mark.parametrize("cls", [NestedFieldBag, MyConfig])
@pytest.mark.parametrize("round_trip", ALL)
def test_nested_levels_come_back_linked_and_dotted_plain_keys_stay_plain(cls, round_trip):
    bag = cls({"a": {"b": {"c": 1}}, "plain": {"k": 2}})
    bag["plain"] = {"k": 2}  # a plain dict stays a plain dict
    setattr(bag, "x.y", 3)  # attribute storage: a plain key with a dot
    again = round_trip(bag)
    assert again == bag
    assert type(again["a"]) is cls and type(again["a.b"]) is cls
    assert type(again["plain"]) is dict
    assert again["a.b.c"] == 1 and again.a.b.c == 1 and vars(again.a.b) is again.a.b
    assert "x.y" in dict.keys(again) and "x" not in again
    if round_trip is copy.copy:
        assert again["a"] is bag["a"]
    else:
        assert again["a"] is not bag["a"]
        again["a.b.c"] = 5
        assert bag["a.b.c"] == 1


@pytest.mark.parametrize("round_trip", ALL)
def test_configuration_values_are_not_converted_again(round_trip):
    cfg = Configuration({"port": "80"})
    cfg.raw = "80"  # attribute assignment stores the text unconverted
    again = round_trip(cfg)
    assert again["port"] == 80 and again.raw == "80"


@pytest.mark.parametrize("round_trip", DEEP)
@pytest.mark.parametrize("cls", [FieldBag, NestedFieldBag])
def test_a_bag_that_contains_itself(cls, round_trip):
    bag = cls(a=1)
    dict.__setitem__(bag, "me", bag)
    again = round_trip(bag)
    assert again["me"] is again and again.me.a == 1


def test_a_subclass_reduce_is_honoured():
    for round_trip in [copy.copy, copy.deepcopy, *(_pickler(p) for p in PROTOCOLS)]:
        again = round_trip(OwnReduce(a=1))
        assert type(again) is FieldBag and again.a == 1


def test_bag_state_hooks():
    bag = NestedFieldBag({"a": {"b": 1}})
    state = bag.__getstate__()
    assert type(state) is dict and state == bag and state["a"] is bag["a"]
    fresh = NestedFieldBag.__new__(NestedFieldBag)
    fresh.__setstate__({"p.q": 1})
    assert dict(fresh) == {"p.q": 1} and fresh.__dict__ is fresh


# --- PathRows ----------------------------------------------------------------

@pytest.mark.parametrize("cls", [PathRows, MyRows])
@pytest.mark.parametrize("round_trip", ALL)
def test_rows_come_back_exactly_as_stored(cls, round_trip):
    rows = cls({"a": {"b": 1}, "c": [2]})
    rows[1] = (("c",), [2])  # stored as a plain tuple
    rows += [(("odd",),), ["l", 3]]  # let in by the inherited +=
    rows.note = "kept"
    again = round_trip(rows)
    assert type(again) is cls and again == rows and again.note == "kept"
    assert [type(r) for r in again] == [DictItem, tuple, tuple, list]
    assert again[1][1] == [2]
    assert (again[1][1] is rows[1][1]) == (round_trip is copy.copy)
    again.append((("d",), 4))
    assert len(rows) == 4


@pytest.mark.parametrize("round_trip", DEEP)
def test_rows_that_contain_their_list(round_trip):
    rows = PathRows()
    rows.append((("me",), rows))
    again = round_trip(rows)
    assert again[0].value is again


@pytest.mark.parametrize("round_trip", ALL)
def test_dict_item_rows_round_trip(round_trip):
    row = DictItem(("a", "b"), [1])
    again = round_trip(row)
    assert type(again) is DictItem and again == row and again.path == ("a", "b")


def test_rows_state_hooks_refuse_bad_state():
    rows = PathRows()
    with pytest.raises(ValueError, match="too many values to unpack"):
        rows.__setstate__(([], None, 1))
    rows.__setstate__(([1, 2], {"x": 1}))
    assert rows == [1, 2] and rows.x == 1
    assert rows.__getstate__() == ([1, 2], {"x": 1})
    assert PathRows().__getstate__() == ([], None)


# --- RankMap -----------------------------------------------------------------

@pytest.mark.parametrize("round_trip", ALL)
def test_rankmap_keeps_order_class_and_attributes(round_trip):
    m = LabelledRankMap("tag", [("b", [1]), ("a", 2)])
    m.insert("first", 0, 0)
    again = round_trip(m)
    assert type(again) is LabelledRankMap and again.label == "tag"
    assert again.items() == m.items() and list(again) == ["first", "b", "a"]
    assert set(again._data) == set(again._order)
    assert (again["b"] is m["b"]) == (round_trip is copy.copy)


@pytest.mark.parametrize("round_trip", ALL)
def test_rankmap_copies_are_independent_mappings(round_trip):
    m = RankMap(a=1, b=2)
    again = round_trip(m)
    again["c"] = 3
    again.move("b", 0)
    del again["a"]
    assert m.items() == [("a", 1), ("b", 2)] and list(m._data) == m._order
    assert again.items() == [("b", 2), ("c", 3)]


@pytest.mark.parametrize("round_trip", DEEP)
def test_rankmap_key_objects_stay_shared_between_data_and_order(round_trip):
    k1, k2 = Key(), Key()
    m = RankMap([(k1, "x"), (k2, "y")])
    again = round_trip(m)
    assert [id(k) for k in again._order] == [id(k) for k in again._data]
    assert again[again._order[1]] == "y" and again._order[0] is not k1


# --- Ramus -------------------------------------------------------------------

class PyRamus:
    """The tree node written in plain Python, for comparison."""

    def __init__(self, name, children=None):
        self.name = name
        self.children = children or []


@pytest.mark.parametrize("round_trip", ALL)
def test_ramus_trees_round_trip_like_a_plain_python_node(round_trip):
    tree = MyRamus("root", [Ramus("a", [Ramus("a1")]), "leaf"])
    twin = PyRamus("root", [PyRamus("a", [PyRamus("a1")]), "leaf"])
    again, twin_again = round_trip(tree), round_trip(twin)
    assert type(again) is MyRamus and str(again) == str(tree)
    assert vars(again).keys() == vars(twin_again).keys()
    shares = again.children is tree.children
    assert shares == (twin_again.children is twin.children) == (round_trip is copy.copy)
    again.add_child("new")
    assert ("new" in tree.children) == shares


# --- Logic -------------------------------------------------------------------

@pytest.mark.parametrize("round_trip", ALL)
@pytest.mark.parametrize("expr", [
    And("a.*", Or("b", Not("c"))),
    MyAnd(r"\d+", is_even),
    Not(Or("x'y", 'q"r\\.')),
    BaseLogic("z"),
])
def test_logic_objects_keep_class_string_and_answers(expr, round_trip):
    again = round_trip(expr)
    assert type(again) is type(expr) and again == expr and str(again) == str(expr)
    assert all(isinstance(e, re.Pattern) or callable(e) for e in again.expressions)
    if type(expr) is not BaseLogic:
        for items in (["abc"], ["b"], ["c"], ["12"], [4, "x"], ["q\"r."]):
            try:
                expected = expr(*items)
            except TypeError:
                with pytest.raises(TypeError):
                    again(*items)
            else:
                assert again(*items) == expected


def test_logic_strings_survive_a_round_trip():
    expr = logic_str(str(And("a", Or("b", Not("c")))))
    assert pickle.loads(pickle.dumps(expr)) == expr


# --- Functions ---------------------------------------------------------------

@pytest.mark.parametrize("func", [
    logic_str, BaseLogic.__init__, FieldBag.__init__, FieldBag.__reduce_ex__,
    NestedFieldBag.update, Configuration.load_yamls, PathRows.__flatten__,
    PathRows.reconstruct, RankMap.insert, Ramus.add_child, WispSeq.append,
], ids=lambda f: f.__qualname__)
def test_functions_pickle_and_copy_by_reference(func):
    for round_trip in [copy.copy, copy.deepcopy, *(_pickler(p) for p in PROTOCOLS)]:
        assert round_trip(func) is func


@pytest.mark.parametrize("round_trip", DEEP)
def test_bound_methods_round_trip(round_trip):
    assert round_trip(RankMap.fromkeys) == RankMap.fromkeys
    meth = round_trip(NestedFieldBag(a={"b": 1}).update)
    meth(c=2)
    assert meth.__self__ == {"a": {"b": 1}, "c": 2} and meth.__self__.a.b == 1


# --- WispSeq -----------------------------------------------------------------

class Obj:
    pass


class MySeq(WispSeq):
    pass


@pytest.mark.parametrize("cls", [WispSeq, MySeq])
@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_wispseq_refuses_pickling(cls, protocol):
    seq = cls([Obj()]) if protocol % 2 else cls()
    with pytest.raises(TypeError, match=rf"cannot pickle '{cls.__name__}' object: "
                                        r"it holds weak references"):
        pickle.dumps(seq, protocol)
    with pytest.raises(TypeError, match="cannot pickle"):
        pickle.dumps({"inside": [seq]}, protocol)


def test_wispseq_docstring_tells_about_copies_and_pickling():
    doc = " ".join(WispSeq.__doc__.split())
    assert "copy.deepcopy()" in doc and "cannot be pickled" in doc and "TypeError" in doc


def test_wispseq_deepcopy_inside_a_structure_refers_to_the_same_objects(collect):
    a, b = Obj(), Obj()
    seq = MySeq([a, b])
    outer = copy.deepcopy({"seq": seq, "other": [seq]})
    dup = outer["seq"]
    assert type(dup) is MySeq and dup is outer["other"][0] and dup is not seq
    assert dup[0] is a and dup[1] is b
    assert all(r.__callback__ == dup.remove for r in dup.data)
    del a
    collect()
    assert list(dup) == [b] and list(seq) == [b]
    gc.collect()
