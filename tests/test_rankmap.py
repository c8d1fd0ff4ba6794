import doctest
import gc
import math
import traceback
from collections.abc import Mapping, MutableMapping

import pytest
from hypothesis import given
from hypothesis import strategies as st

from tavik.datastructures import rankmap
from tavik.datastructures.rankmap import RankMap


def order_of(m):
    return list(m._order)


def assert_consistent(m, keys, data):
    assert m._order == keys
    assert m._data == data


def reference_items(m):
    """The sort items() is defined by, written out in Python."""
    return sorted(m._data.items(), key=lambda k: m._order.index(k[0]))


@pytest.fixture
def abc():
    return RankMap([("a", 1), ("b", 2), ("c", 3)])


# --- module and class -------------------------------------------------------

def test_docstring_examples_pass():
    finder = doctest.DocTestFinder()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    tests = finder.find(rankmap, "rankmap")
    assert {t.name for t in tests} >= {
        "rankmap.__test__.RankMap.insert (line 52)",
        "rankmap.__test__.RankMap.move (line 76)",
    }
    for t in tests:
        runner.run(t)
    assert runner.failures == 0


def test_module_names_and_test_dict():
    assert rankmap.__test__ == {
        "RankMap.insert (line 52)": RankMap.insert.__doc__,
        "RankMap.move (line 76)": RankMap.move.__doc__,
    }
    assert rankmap.MutableMapping is MutableMapping
    assert not hasattr(rankmap, "__all__") and not hasattr(rankmap, "logger")
    assert RankMap.__module__ == "tavik.datastructures.rankmap"
    assert type(RankMap) is type(MutableMapping)
    assert RankMap.__doc__.startswith("RankMap\n")
    documented = {name for name, v in vars(RankMap).items()
                  if callable(v) and getattr(v, "__doc__", None)}
    assert documented == {"insert", "move"}


def test_is_an_unhashable_mutable_mapping():
    m = RankMap(a=1)
    assert isinstance(m, Mapping) and isinstance(m, MutableMapping)
    with pytest.raises(TypeError):
        hash(RankMap())


# --- construction and update -------------------------------------------------

def test_positional_then_keywords_keep_order():
    m = RankMap([("a", 1), ("b", 2)], c=3)
    assert list(m) == ["a", "b", "c"] and len(m) == 3
    m["b"] = 20
    assert m.items() == [("a", 1), ("b", 20), ("c", 3)]
    m["d"] = 4
    assert list(m) == ["a", "b", "c", "d"]


class KeysOnly:
    """A mapping-like object: keys() plus subscription."""

    def __init__(self, pairs):
        self.pairs = dict(pairs)

    def keys(self):
        return reversed(list(self.pairs))

    def __getitem__(self, key):
        return self.pairs[key] * 10


@pytest.mark.parametrize("arg, expected", [
    ({"a": 1}, [("a", 1)]),
    ({"ab": 1, "abc": 2}, [("ab", 1), ("abc", 2)]),
    (RankMap([("z", 1), ("a", 2)]), [("z", 1), ("a", 2)]),
    (KeysOnly([("a", 1), ("b", 2)]), [("b", 20), ("a", 10)]),
    ([["k", "v"], ("ab")], [("k", "v"), ("a", "b")]),
])
def test_update_takes_mappings_by_keys_and_sequences_by_pairs(arg, expected):
    assert RankMap(arg).items() == expected


def test_update_takes_any_iterable_of_pairs():
    assert RankMap((k, v) for k, v in [("g", 1), ("h", 2)]).items() == [("g", 1), ("h", 2)]


def test_update_with_itself_is_a_no_op(abc):
    abc.update(abc)
    assert abc.items() == [("a", 1), ("b", 2), ("c", 3)]


class Len2:
    """Claims length 2 but yields `n` values."""

    def __init__(self, n):
        self.n = n

    def __len__(self):
        return 2

    def __iter__(self):
        return iter(range(self.n))


@pytest.mark.parametrize("args, exc, message", [
    ((1, 2), TypeError, "expected at most 1 arguments, got 2"),
    (([("a", 1, 2)],), ValueError, "update sequence element #0 has length 3; 2 is required"),
    (([("x", 1), "abc"],), ValueError,
     "update sequence element #1 has length 3; 2 is required"),
    (([1],), TypeError, "object of type 'int' has no len()"),
    (([Len2(3)],), ValueError, "too many values to unpack (expected 2)"),
    (([Len2(1)],), ValueError, "need more than 1 value to unpack"),
    (([Len2(0)],), ValueError, "need more than 0 values to unpack"),
    (([(["unhashable"], 1)],), TypeError, "unhashable type: 'list'"),
])
def test_update_errors(args, exc, message):
    m = RankMap(a=0)
    with pytest.raises(exc) as info:
        m.update(*args, kw=1)
    assert str(info.value) == message
    # earlier elements stay, keywords are not applied, containers agree
    assert "kw" not in m
    assert sorted(m._data) == sorted(m._order)


def test_update_keeps_elements_stored_before_a_failure():
    m = RankMap()
    with pytest.raises(ValueError):
        m.update([("x", 1), ("y",), ("z", 3)])
    assert m.items() == [("x", 1)]


def test_update_goes_through_overridden_setitem():
    seen = []

    class Logged(RankMap):
        def __setitem__(self, key, value):
            seen.append(key)
            super().__setitem__(key, value)

    m = Logged([("a", 1)], b=2)
    Logged.fromkeys("cd")
    m.update({"e": 5})
    assert seen == ["a", "b", "c", "d", "e"]


def test_fromkeys():
    assert RankMap.fromkeys("ab").items() == [("a", None), ("b", None)]
    assert RankMap.fromkeys(["a", "a"], 0).items() == [("a", 0)]

    class Sub(RankMap):
        pass

    assert type(Sub.fromkeys("a")) is Sub


# --- reading, writing, deleting ------------------------------------------------

def test_mixins_work_through_the_mapping_methods(abc):
    assert "a" in abc and "z" not in abc
    assert abc.get("z", 9) == 9
    assert abc.setdefault("d", 4) == 4
    assert abc.pop("b") == 2
    assert abc.popitem() == ("a", 1)
    assert abc.items() == [("c", 3), ("d", 4)]


def test_missing_keys_raise_the_dicts_key_error(abc):
    for op in (lambda: abc["x"], lambda: abc.__delitem__("x")):
        with pytest.raises(KeyError) as info:
            op()
        assert info.value.args == ("x",)
    assert order_of(abc) == ["a", "b", "c"]


def test_delete_removes_from_both(abc):
    del abc["b"]
    assert_consistent(abc, ["a", "c"], {"a": 1, "c": 3})


def test_unhashable_key_leaves_the_mapping_unchanged(abc):
    with pytest.raises(TypeError, match="unhashable"):
        abc[["x"]] = 1
    assert_consistent(abc, ["a", "b", "c"], {"a": 1, "b": 2, "c": 3})


def test_equal_keys_share_one_entry():
    m = RankMap()
    m[1] = "int"
    m[1.0] = "float"
    m[True] = "bool"
    assert m.items() == [(1, "bool")] and len(m) == 1


# --- insert and move --------------------------------------------------------------

@pytest.mark.parametrize("position, expected", [
    (0, "dabc"), (1, "adbc"), (3, "abcd"), (10, "abcd"),
    (-1, "abdc"), (-3, "dabc"), (-10, "dabc"),
])
def test_insert_positions(abc, position, expected):
    abc.insert("d", 4, position)
    assert "".join(abc) == expected
    assert abc["d"] == 4


@pytest.mark.parametrize("key", ["a", (1, 2), (1,), ("x", "y", "z")])
def test_insert_of_present_key_names_the_key(key):
    m = RankMap([(key, 0)])
    with pytest.raises(KeyError) as info:
        m.insert(key, 1, 0)
    assert info.value.args == ("%s already exist in Report" % (key,),)
    assert m.items() == [(key, 0)]


@pytest.mark.parametrize("call, expected", [
    (("c", 0), "cab"), (("a", 1), "bac"), (("a", 2), "bca"),
    (("a", -1), "bac"), (("a", 99), "bca"), (("b", -99), "bac"),
])
def test_move(abc, call, expected):
    abc.move(*call)
    assert "".join(abc) == expected
    assert abc._data == {"a": 1, "b": 2, "c": 3}


def test_move_missing_key(abc):
    with pytest.raises(KeyError) as info:
        abc.move("x", 0)
    assert info.value.args == ("x",)


@pytest.mark.parametrize("position, exc", [
    ("1", TypeError), (1.5, TypeError), (None, TypeError), (2 ** 100, OverflowError),
])
@pytest.mark.parametrize("op", ["insert", "move"])
def test_bad_position_changes_nothing(abc, op, position, exc):
    with pytest.raises(exc):
        if op == "insert":
            abc.insert("d", 4, position)
        else:
            abc.move("a", position)
    assert_consistent(abc, ["a", "b", "c"], {"a": 1, "b": 2, "c": 3})


class IndexLike:
    def __init__(self, i):
        self.i = i

    def __index__(self):
        return self.i


def test_positions_accept_index_objects(abc):
    abc.insert("d", 4, IndexLike(0))
    abc.move("c", IndexLike(1))
    assert "".join(abc) == "dcab"


class OrderList(list):
    """An order that refuses positions given as text, after the fact."""

    def insert(self, position, key):
        if isinstance(position, str):
            raise TypeError("no text positions")
        super().insert(position, key)


def test_insert_and_move_undo_when_a_replaced_order_refuses(abc):
    abc._order = OrderList(abc._order)
    for op in (lambda: abc.insert("d", 4, "x"), lambda: abc.move("a", "x")):
        with pytest.raises(TypeError, match="no text positions"):
            op()
        assert_consistent(abc, ["a", "b", "c"], {"a": 1, "b": 2, "c": 3})
    abc.move("a", 2)
    assert "".join(abc) == "bca"


# --- keys, values, items -----------------------------------------------------------

def test_keys_is_the_order_list_itself(abc):
    keys = abc.keys()
    assert keys is abc._order
    abc["z"] = 0
    assert keys[-1] == "z"
    keys.reverse()
    assert list(abc) == ["z", "c", "b", "a"]
    assert abc.values() == [0, 3, 2, 1]
    assert abc.items() == [("z", 0), ("c", 3), ("b", 2), ("a", 1)]


def test_clear_replaces_both_containers(abc):
    keys, data = abc.keys(), abc._data
    abc.clear()
    assert len(abc) == 0 and list(abc) == [] and abc.items() == []
    assert keys == ["a", "b", "c"] and data == {"a": 1, "b": 2, "c": 3}


def test_values_and_items_are_new_lists(abc):
    for result in (abc.values(), abc.items()):
        assert type(result) is list
    assert abc.values() is not abc.values()


def test_values_use_overridden_iter_and_getitem(abc):
    class Scaled(RankMap):
        def __getitem__(self, key):
            return super().__getitem__(key) * 10

        def __iter__(self):
            return reversed(self._order)

    m = Scaled(abc)
    assert m.values() == [30, 20, 10]


class Key:
    """A user key that counts its comparisons."""
    eq_calls = 0

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        Key.eq_calls += 1
        return isinstance(other, Key) and other.name == self.name

    def __repr__(self):
        return "Key(%r)" % self.name


NAN = float("nan")

inert_keys = st.one_of(
    st.text(max_size=3), st.integers(-3, 3), st.booleans(), st.none(),
    st.sampled_from([0.5, 1.0, -0.0, 2.0, float("inf")]), st.just(NAN),
    st.tuples(st.integers(0, 2), st.text(max_size=1)),
)


@given(st.lists(st.tuples(inert_keys, st.integers()), max_size=12), st.data())
def test_items_follow_the_order_list(pairs, data):
    m = RankMap(pairs)
    m._order[:] = data.draw(st.permutations(m._order))
    assert m.items() == reference_items(m)
    assert m.values() == [m[k] for k in m._order]


@pytest.mark.parametrize("edit", [
    lambda order: order.append(order[0]),       # a key twice
    lambda order: order.append("stray"),        # a key the dict lacks
    lambda order: order.insert(0, Key("u")),    # a user object in the order
    lambda order: order.__setitem__(0, 1.0),    # an equal key of another type
])
def test_items_with_an_inconsistent_order_match_the_defined_sort(edit):
    m = RankMap([(1, "one"), ("b", 2), ((1, 2), 3)])
    edit(m._order)
    assert m.items() == reference_items(m)


def test_items_with_a_key_missing_from_the_order_raise_from_the_key_function():
    m = RankMap(a=1, b=2)
    m._order.remove("b")
    with pytest.raises(ValueError, match="'b' is not in list") as info:
        m.items()
    names = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert "tavik.datastructures.rankmap.RankMap.items.lambda" in names


def test_items_with_user_keys_compare_as_the_defined_sort_does():
    m = RankMap((Key(c), i) for i, c in enumerate("abcde"))
    m._order.reverse()
    Key.eq_calls = 0
    expected = reference_items(m)
    reference_calls = Key.eq_calls
    Key.eq_calls = 0
    assert m.items() == expected
    assert Key.eq_calls == reference_calls > 0


def test_items_reads_an_overridden_order_on_every_key():
    reads = []

    class Watched(RankMap):
        @property
        def _order(self):
            reads.append(1)
            return self.__dict__["_order"]

        @_order.setter
        def _order(self, value):
            self.__dict__["_order"] = value

    m = Watched(a=1, b=2, c=3)
    del reads[:]
    assert m.items() == [("a", 1), ("b", 2), ("c", 3)]
    assert len(reads) == 3


def test_items_use_a_replaced_sorted(monkeypatch):
    calls = []

    def spy(iterable, key):
        calls.append(key)
        return sorted(iterable, key=key)

    monkeypatch.setattr(rankmap, "sorted", spy, raising=False)
    m = RankMap(b=2, a=1)
    assert m.items() == [("b", 2), ("a", 1)]
    (key,) = calls
    assert key.__name__ == "<lambda>"
    assert key.__qualname__ == "RankMap.items.<locals>.<lambda>"
    assert key(("a", 1)) == 1


# --- repr, copy, equality ---------------------------------------------------------

class Sub(RankMap):
    pass


def test_repr():
    assert repr(RankMap()) == "RankMap([])"
    assert repr(RankMap(a=1, b=2)) == "RankMap([('a', 1), ('b', 2)])"
    assert repr(Sub(a=1)) == "Sub([('a', 1)])"


def test_copy_is_shallow_and_keeps_class_and_order():
    value = []
    m = Sub([("b", value), ("a", 1)])
    c = m.copy()
    assert type(c) is Sub and c == m and c is not m
    assert c["b"] is value and c._order is not m._order


class Raises:
    def __init__(self, exc):
        self.exc = exc

    @property
    def _data(self):
        raise self.exc


@pytest.mark.parametrize("left, right, expected", [
    (RankMap(a=1, b=2), RankMap(a=1, b=2), True),
    (RankMap(a=1, b=2), RankMap(b=2, a=1), False),
    (RankMap(a=1), RankMap(a=2), False),
    (RankMap(a=1), {"a": 1}, False),
    (RankMap(), None, False),
    (RankMap(a=1), Raises(ValueError("boom")), False),
    (RankMap(a=1), Sub(a=1), True),
])
def test_equality(left, right, expected):
    assert (left == right) is expected
    assert (left != right) is not expected


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_equality_lets_base_exceptions_through(exc):
    with pytest.raises(exc):
        RankMap(a=1) == Raises(exc())


# --- hostile keys -------------------------------------------------------------------

class Meddler:
    """A key whose comparisons rewrite the mapping that holds it."""

    def __init__(self, target, action):
        self.target, self.action = target, action

    def __hash__(self):
        return 1

    def __eq__(self, other):
        self.action(self.target)
        return self is other


@pytest.mark.parametrize("action", [
    lambda m: m.clear(),
    lambda m: m._order.clear(),
    lambda m: m._data.clear(),
    lambda m: setattr(m, "_order", None),
    lambda m: m.update(zz=1),
])
def test_keys_that_mutate_the_mapping_do_not_crash(action):
    m = RankMap(a=1)
    for op in ("set", "insert", "move", "values", "items", "eq", "del"):
        k1, k2 = Meddler(m, action), Meddler(m, action)
        try:
            m.clear()
            m[k1] = 1
            m[k2] = 2
            m["a"] = 3
            {"set": lambda: m.__setitem__(k2, 5),
             "insert": lambda: m.insert(Meddler(m, action), 0, 0),
             "move": lambda: m.move(k2, 0),
             "values": m.values,
             "items": m.items,
             "eq": lambda: m == m.copy(),
             "del": lambda: m.__delitem__(k2)}[op]()
        except Exception:
            pass
        gc.collect()


def test_keys_whose_eq_or_hash_raise():
    class Bad:
        def __hash__(self):
            raise RuntimeError("hash")

    class BadEq(Key):
        __hash__ = Key.__hash__

        def __eq__(self, other):
            raise RuntimeError("eq")

    m = RankMap(a=1)
    with pytest.raises(RuntimeError, match="hash"):
        m[Bad()] = 1
    assert_consistent(m, ["a"], {"a": 1})
    m = RankMap()
    k = BadEq("x")
    m[k] = 2
    for op in (lambda: m.__setitem__(BadEq("x"), 3), lambda: m.move(BadEq("x"), 0),
               lambda: m.insert(BadEq("y"), 0, 0)):
        with pytest.raises(RuntimeError, match="eq"):
            op()
        assert_consistent(m, [k], {k: 2})


def test_a_mapping_holding_itself_reprs_to_a_recursion_error():
    m = RankMap()
    m["self"] = m
    with pytest.raises(RecursionError):
        repr(m)


def test_nan_keys_are_found_by_identity():
    m = RankMap([(NAN, 1), ("x", 2)])
    m.move(NAN, 1)
    assert m.items() == [("x", 2), (NAN, 1)]
    assert math.isnan(m.keys()[1])
