"""PathRows: nested mappings flattened into (path, value) rows and rebuilt."""
import abc
import builtins
import collections
import collections.abc
import doctest
import inspect
import pickle
import types

import pytest

from tavik.datastructures import pathrows
from tavik.datastructures.pathrows import DictItem, PathRows

ROW_ERROR = "PathRows only accepts a tuple of path/obj"


def row_error(context_type):
    """Checks the row ValueError and the type of its implicit context."""
    def check(excinfo):
        e = excinfo.value
        assert type(e) is ValueError and e.args == (ROW_ERROR,)
        assert type(e.__context__) is context_type
        assert e.__cause__ is None and not e.__suppress_context__
    return check


class RowsMapping(collections.abc.MutableMapping):
    """A mapping whose items() yields whatever entries it is given."""

    def __init__(self, entries):
        self.entries = entries

    def items(self):
        return iter(self.entries)

    __getitem__ = __setitem__ = __delitem__ = __iter__ = __len__ = None


def test_module_namespace():
    ns = vars(pathrows)
    assert ns["namedtuple"] is collections.namedtuple
    assert ns["MutableMapping"] is collections.abc.MutableMapping
    assert ns["__test__"] == {}
    assert "__all__" not in ns
    assert DictItem._fields == ("path", "value")
    assert DictItem.__module__ == "tavik.datastructures.pathrows"
    assert PathRows.__bases__ == (list,) and type(PathRows) is type
    assert (PathRows.__module__, PathRows.__qualname__) == ("tavik.datastructures.pathrows",
                                                             "PathRows")
    assert PathRows.__doc__.startswith("PathRows class (list)")
    assert isinstance(vars(PathRows)["__flatten__"], staticmethod)
    assert PathRows.__setitem__.__doc__ is None
    for name in ("__init__", "__flatten__", "append", "extend", "insert", "reconstruct"):
        assert getattr(PathRows, name).__doc__


def test_docstring_examples():
    finder = doctest.DocTestFinder(recurse=False)
    runner = doctest.DocTestRunner()
    for test in finder.find(PathRows, "PathRows", globs={"PathRows": PathRows}):
        runner.run(test)
    assert runner.failures == 0 and runner.tries > 0


@pytest.mark.parametrize(
    "name, signature",
    [
        ("__init__", "(self, *args)"),
        ("__flatten__", "(indict, path=None)"),
        ("__setitem__", "(self, index, item)"),
        ("append", "(self, item)"),
        ("extend", "(self, items)"),
        ("insert", "(self, index, item)"),
        ("reconstruct", "(self)"),
    ],
)
def test_signatures(name, signature):
    assert str(inspect.signature(getattr(PathRows, name))) == signature


NESTED = {"a": {"b": {"c": 1, "d": 2}}, "e": 3}


def test_flatten_and_rebuild():
    rows = PathRows(NESTED)
    assert rows == [(("a", "b", "c"), 1), (("a", "b", "d"), 2), (("e",), 3)]
    assert [type(r) for r in rows] == [DictItem] * 3
    assert repr(rows[0]) == "DictItem(path=('a', 'b', 'c'), value=1)"
    rebuilt = rows.reconstruct()
    assert rebuilt == NESTED and type(rebuilt) is dict
    assert rows.reconstruct() is not rebuilt


@pytest.mark.parametrize(
    "args, expected",
    [
        ((), []),
        (([],), []),
        (({},), []),
        (({("x", "y"): 1},), [((("x", "y"),), 1)]),
        (([(("a",), 1)],), [(("a",), 1)]),
        ((("ab", "cd"),), ["ab", "cd"]),  # two-character strings pass as rows
        (({"m": types.MappingProxyType({"k": 1})},), None),  # not mutable: a leaf
    ],
)
def test_constructor(args, expected):
    rows = PathRows(*args)
    if expected is None:
        assert rows[0].value is args[0]["m"]
    else:
        assert rows == expected


def test_constructor_keeps_items_and_values():
    empty = {}
    rows = PathRows({"a": empty})
    assert rows == [(("a",), empty)] and rows[0].value is empty
    assert rows.reconstruct()["a"] is empty
    item = [("a",), 1]
    assert PathRows([item])[0] is item  # stored unchanged


@pytest.mark.parametrize(
    "arg, context",
    [
        ([1], TypeError),
        (5, TypeError),
        ([(("a",), 1, 2)], ValueError),
        ([(("a",),)], ValueError),
        ([(("a",), 1), "abc"], ValueError),
    ],
)
def test_constructor_row_test(arg, context):
    rows = PathRows([(("keep",), 0)])
    with pytest.raises(ValueError) as info:
        rows.__init__(arg)
    row_error(context)(info)
    assert rows == [(("keep",), 0)]


def test_constructor_argument_errors():
    with pytest.raises(TypeError, match="expected at most 1 argument"):
        PathRows((("a",), 1), (("b",), 2))
    with pytest.raises(TypeError, match=r"^__init__\(\) got an unexpected keyword argument 'a'$"):
        PathRows(a=1)


def test_constructor_takes_an_iterator_once():
    rows = PathRows(iter([(("a",), 1), (("b",), 2)]))
    assert rows == [(("a",), 1), (("b",), 2)]
    rows = PathRows((("k",), v) for v in range(3))
    assert len(rows) == 3


@pytest.mark.parametrize(
    "indict, path, expected",
    [
        ({"k": 1}, ("root",), [(("root", "k"), 1)]),
        ({"k": 1}, (), [(("k",), 1)]),
        ({"k": 1}, 0, [(("k",), 1)]),
        (5, None, [5]),
        ("text", ("p",), ["text"]),
        ({"a": {}, "b": {"c": {}}}, None, [(("a",), {}), (("b", "c"), {})]),
    ],
)
def test_flatten(indict, path, expected):
    assert list(PathRows.__flatten__(indict, path)) == expected


def test_flatten_through_an_instance_and_by_keyword():
    rows = PathRows()
    assert list(rows.__flatten__(indict={"k": 1}, path=("p",))) == [(("p", "k"), 1)]


@pytest.mark.parametrize(
    "entries, exc, message",
    [
        ([("k", 1, 2)], ValueError, "too many values to unpack (expected 2)"),
        ([("k",)], ValueError, "need more than 1 value to unpack"),
        ([()], ValueError, "need more than 0 values to unpack"),
        ([5], TypeError, None),
    ],
)
def test_flatten_unpacking_errors(entries, exc, message):
    with pytest.raises(exc) as info:
        list(PathRows.__flatten__(RowsMapping([("ok", 1)] + entries)))
    if message:
        assert str(info.value) == message


def test_flatten_path_errors():
    with pytest.raises(TypeError, match="^'int' object is unsliceable$"):
        list(PathRows.__flatten__({"k": 1}, 5))
    with pytest.raises(TypeError, match="can only concatenate list"):
        list(PathRows.__flatten__({"k": 1}, ["root"]))


def test_rows_before_a_failure_stay():
    rows = PathRows()
    with pytest.raises(ValueError, match="too many values"):
        rows.__init__(RowsMapping([("a", 1), ("b", 2), ("c", 3, 4)]))
    assert rows == [(("a",), 1), (("b",), 2)]


@pytest.mark.parametrize(
    "make",
    [lambda: (("a",), 1), lambda: [("a",), 1], lambda: DictItem(("a",), 1),
     lambda: iter([("a",), 1])],
)
def test_append_and_insert_store_dictitems(make):
    rows = PathRows([(("z",), 0)])
    rows.append(make())
    rows.insert(0, make())
    assert rows == [(("a",), 1), (("z",), 0), (("a",), 1)]
    assert type(rows[0]) is DictItem and type(rows[-1]) is DictItem


@pytest.mark.parametrize(
    "item, context",
    [(5, TypeError), ((1, 2, 3), ValueError), ((1,), ValueError), (None, TypeError)],
)
@pytest.mark.parametrize(
    "write",
    [
        lambda rows, item: rows.append(item),
        lambda rows, item: rows.insert(0, item),
        lambda rows, item: rows.__setitem__(0, item),
        lambda rows, item: rows.__setitem__(99, item),  # the row test comes first
        lambda rows, item: rows.extend([(("ok",), 1), item]),
    ],
)
def test_writers_refuse_bad_rows(write, item, context):
    rows = PathRows([(("a",), 1)])
    with pytest.raises(ValueError) as info:
        write(rows, item)
    row_error(context)(info)
    assert rows == [(("a",), 1)]


def test_setitem_stores_plain_tuples():
    rows = PathRows([(("a",), 1), (("b",), 2), (("c",), 3)])
    rows[0] = DictItem(("x",), 1)
    assert type(rows[0]) is tuple and rows[0] == (("x",), 1)
    item = (("y",), 2)
    rows[1] = item
    assert rows[1] is item
    rows[2] = [("z",), 3]
    assert rows[2] == (("z",), 3) and type(rows[2]) is tuple
    with pytest.raises(IndexError):
        rows[10] = (("a",), 1)
    with pytest.raises(TypeError):
        rows["i"] = (("a",), 1)


def test_setitem_slice_takes_one_pair():
    rows = PathRows([(("a",), 1), (("b",), 2), (("c",), 3)])
    rows[0:2] = [(("x",), 9), (("y",), 8)]  # the two items replace the slice
    assert rows == [(("x",), 9), (("y",), 8), (("c",), 3)]
    rows[0:1] = ((("g",), 7) for _ in range(2))  # a generator is taken once
    assert rows == [(("g",), 7), (("g",), 7), (("y",), 8), (("c",), 3)]
    for bad in ([(("x",), 9)], [(("x",), 9)] * 3):
        with pytest.raises(ValueError, match=ROW_ERROR):
            rows[0:2] = bad
    assert len(rows) == 4


def test_extend():
    rows = PathRows()
    rows.extend([])
    assert rows == []
    with pytest.raises(ValueError) as info:
        rows.extend(None)
    row_error(TypeError)(info)
    rows.extend(((k,), v) for k, v in [("a", 1), ("b", 2)])  # an iterator is taken once
    assert rows == [(("a",), 1), (("b",), 2)]
    assert all(type(r) is DictItem for r in rows)


def test_inherited_operations_do_not_test_rows():
    rows = PathRows([(("a",), 1)])
    rows += [(("b",),)]
    rows *= 1
    assert rows[1] == (("b",),)
    assert type(rows[:]) is list and type(rows + []) is list and type(rows.copy()) is list
    with pytest.raises(ValueError, match=r"^need more than 1 value to unpack$"):
        rows.reconstruct()


@pytest.mark.parametrize(
    "rows, expected",
    [
        ([(("a",), 1), (("a",), 2)], {"a": 2}),
        ([(("a", "b"), 1), (("a",), 2)], {"a": 2}),
        ([((), 5)], {}),
        ([("ab", 1)], {"a": {"b": 1}}),
        ([(["x", "y"], 1), ((("t", "u"), "v"), 2)], {"x": {"y": 1}, ("t", "u"): {"v": 2}}),
    ],
)
def test_reconstruct(rows, expected):
    assert PathRows(rows).reconstruct() == expected


@pytest.mark.parametrize(
    "rows, exc",
    [
        ([(("a",), 1), (("a", "b"), 2)], TypeError),  # 1 has no item assignment
        ([(("a",), 1), (("a", "b", "c"), 2)], AttributeError),  # 1 has no get
        ([(5, 1)], TypeError),  # list(5)
        ([(([],), 1)], TypeError),  # unhashable key
    ],
)
def test_reconstruct_errors(rows, exc):
    with pytest.raises(exc):
        PathRows(rows).reconstruct()


def test_reconstruct_uses_stored_levels():
    class Level(dict):
        calls = []

        def get(self, key, default=None):
            Level.calls.append(key)
            return dict.get(self, key, default)

    level = Level()
    rows = PathRows([(("a",), level), (("a", "b", "c"), 1)])
    assert rows.reconstruct() == {"a": {"b": {"c": 1}}}
    assert Level.calls == ["b"] and level == {"b": {"c": 1}}


def test_module_names_are_read_at_call_time(monkeypatch):
    Other = collections.namedtuple("Other", "path value")
    monkeypatch.setattr(pathrows, "DictItem", Other)
    rows = PathRows({"a": 1})
    rows.append((("b",), 2))
    rows.extend([(("c",), 3)])
    assert [type(r) for r in rows] == [Other] * 3

    monkeypatch.setattr(pathrows, "MutableMapping", dict)
    with pytest.raises(ValueError, match=ROW_ERROR):  # no longer a mapping: rows
        PathRows(RowsMapping([]))
    monkeypatch.delattr(pathrows, "MutableMapping")
    with pytest.raises(NameError, match="^name 'MutableMapping' is not defined$"):
        PathRows({})


def test_dictitem_is_read_at_every_append(monkeypatch):
    rows = PathRows()
    rows.append((("a",), 1))
    Other = collections.namedtuple("Other", "path value")
    monkeypatch.setattr(pathrows, "DictItem", Other)
    rows.append((("b",), 2))
    monkeypatch.delattr(pathrows, "DictItem")
    with pytest.raises(NameError, match="^name 'DictItem' is not defined$"):
        rows.append((("c",), 3))
    monkeypatch.setattr(builtins, "DictItem", Other, raising=False)
    rows.append((("d",), 4))
    monkeypatch.undo()
    rows.append((("e",), 5))
    assert [type(r) for r in rows] == [DictItem, Other, Other, DictItem]


def test_changed_dictitem_class_is_honoured(monkeypatch):
    warm = PathRows({"a": 1})
    warm.append((("b",), 2))
    made = []
    original = DictItem.__new__

    def new(cls, path, value):
        made.append((path, value))
        return original(cls, path, value)

    monkeypatch.setattr(DictItem, "__new__", new)
    rows = PathRows({"a": 1})
    rows.append((("b",), 2))
    assert made == [(("a",), 1), (("b",), 2)]

    monkeypatch.setattr(DictItem, "__init__", lambda self, *a: made.append("init"))
    rows.append((("c",), 3))
    assert made[-2:] == [(("c",), 3), "init"]


def test_mapping_test_follows_the_abstract_base_class(monkeypatch):
    class Registered:
        def __init__(self, entries):
            self.entries = entries

        def items(self):
            return self.entries.items()

        def __bool__(self):
            return bool(self.entries)

    assert PathRows([(("a",), {"b": 1})]) == [(("a",), {"b": 1})]
    collections.abc.MutableMapping.register(Registered)
    assert PathRows({"a": Registered({"b": 1})}) == [(("a", "b"), 1)]

    checked = []

    class Meta(abc.ABCMeta):
        def __instancecheck__(cls, instance):
            checked.append(type(instance))
            return super().__instancecheck__(instance)

    class Mapping(collections.abc.MutableMapping, metaclass=Meta):
        pass

    Mapping.register(dict)
    monkeypatch.setattr(pathrows, "MutableMapping", Mapping)
    assert PathRows({"a": {"b": 1}}) == [(("a", "b"), 1)]
    assert checked == [dict, dict, dict, dict, int]  # every test still asked


def test_subclass_override_of_flatten_is_not_used_by_the_recursion():
    class Upper(PathRows):
        @staticmethod
        def __flatten__(indict, path=None):
            yield "override"

    assert Upper({"a": {"b": 1}}) == [(("a", "b"), 1)]
    assert type(Upper({"a": 1})) is Upper


def test_super_reaches_the_next_class_in_the_mro():
    calls = []

    class Recording(list):
        def __init__(self, *args):
            calls.append(("__init__",) + args)
            super().__init__(*args)

        def __setitem__(self, index, item):
            calls.append(("__setitem__", index, item))
            super().__setitem__(index, item)

        def append(self, item):
            calls.append(("append", item))
            super().append(item)

        def extend(self, items):
            calls.append(("extend", items))
            super().extend(items)

        def insert(self, index, item):
            calls.append(("insert", index, item))
            super().insert(index, item)

    class Rows(PathRows, Recording):
        pass

    rows = Rows([(("a",), 1)])
    rows[0] = [("b",), 2]
    rows.append((("c",), 3))
    rows.extend([(("d",), 4)])
    rows.insert(0, (("e",), 5))
    assert calls == [
        ("__init__", [(("a",), 1)]),
        ("__setitem__", 0, (("b",), 2)),
        ("append", (("c",), 3)),
        ("extend", [(("d",), 4)]),
        ("insert", 0, (("e",), 5)),
    ]
    assert rows == [(("e",), 5), (("b",), 2), (("c",), 3), (("d",), 4)]


def test_rows_pickle():
    rows = PathRows(NESTED)
    again = pickle.loads(pickle.dumps(rows))
    assert type(again) is PathRows and again == rows and type(again[0]) is DictItem


def test_methods_added_later_to_a_class_in_between_are_reached():
    class Mid(list):
        pass

    class Rows(PathRows, Mid):
        pass

    rows = Rows()
    for _ in range(3):
        rows.append((("a",), 1))
        rows[0] = (("b",), 2)
    calls = []
    Mid.append = lambda self, item: calls.append(item)
    Mid.__setitem__ = lambda self, index, item: calls.append(item)
    rows.append((("c",), 3))
    rows[0] = (("d",), 4)
    assert calls == [(("c",), 3), (("d",), 4)] and len(rows) == 3
