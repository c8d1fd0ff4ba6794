"""WispSeq: a list that holds its items through weak references."""
import abc
import collections
import copy
import doctest
import gc
import inspect
import sys
import traceback
import types
import weakref

import pytest

from tavik.datastructures import wispseq
from tavik.datastructures.wispseq import WispSeq


class Obj:
    def __init__(self, n=0):
        self.n = n

    def __repr__(self):
        return f"Obj({self.n})"

    def __str__(self):
        return f"o{self.n}"

    def __lt__(self, other):
        return self.n < other.n

    def __len__(self):
        return 10 - self.n


class Same(Obj):
    """Equal to any other Same with the same number."""

    def __eq__(self, other):
        return isinstance(other, Same) and other.n == self.n

    __hash__ = None


class Slotted:
    """Cannot be weakly referenced, and claims equality with everything."""

    __slots__ = ()

    def __eq__(self, other):
        return True


@pytest.fixture
def objs():
    return [Obj(i) for i in range(4)]


@pytest.fixture
def unraisable(monkeypatch):
    """The reports of the unraisable-error hook (copied: the hook's own
    argument object would keep what it refers to from being collected)."""
    reports = []

    def hook(args):
        reports.append(types.SimpleNamespace(exc_value=args.exc_value, object=args.object))

    monkeypatch.setattr(sys, "unraisablehook", hook)
    return reports


class Sub(WispSeq):
    pass


def test_module_namespace():
    ns = vars(wispseq)
    assert ns["weakref"] is weakref and ns["collections"] is collections
    assert ns["__test__"] == {} and "__all__" not in ns
    assert WispSeq.__bases__ == (collections.UserList,)
    assert type(WispSeq) is abc.ABCMeta
    assert (WispSeq.__module__, WispSeq.__qualname__) == ("tavik.datastructures.wispseq", "WispSeq")
    assert WispSeq.__doc__.startswith("WispSeq Class")
    assert WispSeq.append.__doc__ is None


@pytest.mark.parametrize(
    "name, signature",
    [
        ("__init__", "(self, items=())"),
        ("__getitem__", "(self, index)"),
        ("__setitem__", "(self, index, item)"),
        ("__add__", "(self, item)"),
        ("__iadd__", "(self, items)"),
        ("pop", "(self, item=-1)"),
        ("sort", "(self, key=None, reverse=False)"),
    ],
)
def test_signatures(name, signature):
    assert str(inspect.signature(getattr(WispSeq, name))) == signature


def test_entries_are_weak_references_with_the_bound_remove(objs):
    s = WispSeq([objs[0], objs[0]])
    s.append(objs[1])
    s.insert(0, objs[2])
    s[1] = objs[3]
    s.extend([objs[1]])
    s += [objs[2]]
    assert all(type(r) is weakref.ref for r in s.data)
    assert all(r.__callback__ == s.remove for r in s.data)
    assert len({id(r) for r in s.data}) == len(s.data)  # one reference object per entry
    assert list(s) == [objs[2], objs[3], objs[0], objs[1], objs[1], objs[2]]


def test_items_leave_when_their_objects_die(objs, collect):
    s = WispSeq(objs)
    s.append(objs[1])
    del objs[1]
    assert len(s) == 3 and Obj(1).n not in [o.n for o in s]

    a, b = Obj(10), Obj(11)
    a.partner, b.partner = b, a  # a cycle: freed by the collector only
    s.extend([a, b])
    del a, b
    assert len(s) == 5
    collect()
    assert len(s) == 3


def test_overridden_remove_receives_the_callbacks(objs):
    seen = []

    class Watching(WispSeq):
        def remove(self, item):
            seen.append(item)
            super().remove(item)

    s = Watching(objs)
    dead = s.data[2]
    del objs[2]
    assert seen == [dead] and len(s) == 3


def test_reading(objs):
    s = Sub(objs)
    assert s[0] is objs[0] and s[-1] is objs[-1]
    with pytest.raises(IndexError):
        s[4]
    with pytest.raises(TypeError):
        s["a"]
    part = s[1:3]
    assert type(part) is Sub and list(part) == objs[1:3]
    assert part.data[0] is not s.data[1] and part.data[0].__callback__ == part.remove
    part.remove(objs[1])
    assert list(s) == objs
    back = reversed(s)
    assert type(back) is Sub and list(back) == objs[::-1]
    assert list(s[::2]) == objs[::2] and list(s[10:]) == []


def test_membership_and_lookups(objs):
    a, b = Same(1), Same(1)
    s = WispSeq([objs[0], a, objs[1], a])
    assert b in s and objs[1] in s and Same(2) not in s
    assert s.count(b) == 2 and s.index(b) == 1 and s.index(objs[1]) == 2
    with pytest.raises(ValueError):
        s.index(Obj())
    s.remove(b)  # the first entry equal to it only
    assert list(s) == [objs[0], objs[1], a]
    s.remove(s.data[0])  # a weak reference removes the entry equal to it
    assert list(s) == [objs[1], a]
    with pytest.raises(ValueError):
        s.remove(weakref.ref(Obj()))


@pytest.mark.parametrize("item", [3, "text", (1, 2), None, Slotted()])
def test_objects_without_weak_references_are_never_in_the_list(objs, item):
    s = WispSeq(objs)
    assert item not in s
    assert s.count(item) == 0
    with pytest.raises(ValueError) as info:
        s.index(item)
    assert str(info.value) == f"{item!r} is not in list"
    with pytest.raises(ValueError, match=r"^list.remove\(x\): x not in list$"):
        s.remove(item)
    assert list(s) == objs


@pytest.mark.parametrize(
    "write",
    [
        lambda s, o: s.extend([o[0], 1, o[1]]),
        lambda s, o: s.__iadd__([o[0], None]),
        lambda s, o: s.__init__([o[0], "x"]),
        lambda s, o: s.__setitem__(slice(0, 1), [o[2], 5]),
        lambda s, o: s.__setitem__(0, 3),
        lambda s, o: s.append(3),
        lambda s, o: s.insert(0, 3),
    ],
)
def test_writers_check_every_item_before_storing(objs, write):
    s = WispSeq(objs[:2])
    before = list(s.data)
    with pytest.raises(TypeError, match="cannot create weak reference to"):
        write(s, objs)
    assert s.data == before


def test_writers(objs):
    s = WispSeq()
    assert list(s) == [] and WispSeq(iter(objs)) == objs
    with pytest.raises(TypeError):
        WispSeq(None)
    s += iter(objs[:2])
    same = s
    s += (objs[2],)
    assert s is same and s == objs[:3]
    s[0:2] = [objs[3]]
    assert s == [objs[3], objs[2]]
    s[::2] = [objs[0]]
    assert s == [objs[0], objs[2]]
    with pytest.raises(ValueError):
        s[::2] = objs
    with pytest.raises(IndexError):
        s[5] = objs[0]
    s.insert(-10, objs[1])
    assert s == [objs[1], objs[0], objs[2]]


def test_add(objs):
    s = Sub(objs[:2])
    with pytest.raises(TypeError) as info:
        s + [objs[2]]
    assert str(info.value) == 'can only concatenante WispSeq (not "list") to WispSeq'
    both = s + WispSeq(objs[2:])
    assert type(both) is WispSeq and both == objs
    assert both.data[0] is not s.data[0] and both.data[0].__callback__ == both.remove


def test_repetition_and_right_hand_addition_make_new_references(objs):
    s = Sub(objs[:2])
    for result in (s * 2, 2 * s, [objs[2]] + s):
        assert type(result) is Sub
        assert all(r.__callback__ == result.remove for r in result.data)
    assert s * 2 == objs[:2] * 2 and 2 * s == objs[:2] * 2 and s * 0 == []
    assert [objs[2]] + s == [objs[2]] + objs[:2]
    with pytest.raises(TypeError):
        s * "x"
    with pytest.raises(TypeError, match="cannot create weak reference"):
        [1] + s

    twice = s * 2
    same = s
    s *= 3
    assert s is same and s == objs[:2] * 3
    assert all(r.__callback__ == s.remove for r in s.data)
    del objs[0]  # every copy goes, in every list
    assert len(s) == 3 and len(twice) == 2
    assert None not in list(s)


@pytest.mark.parametrize("make_copy", [copy.copy, copy.deepcopy, lambda s: s.copy()])
def test_copies_have_their_own_references(objs, make_copy):
    s = Sub(objs)
    s.label = ["x"]
    c = make_copy(s)
    assert type(c) is Sub and c == objs and c is not s
    assert all(r.__callback__ == c.remove for r in c.data)
    del objs[1]
    assert len(c) == 3 and None not in list(c)
    if make_copy is not copy.copy:
        return
    assert c.label is s.label


def test_pop(objs):
    s = WispSeq(objs)
    assert s.pop() is objs[3]
    assert s.pop(0) is objs[0]
    assert s.pop(item=-1) is objs[2]
    gone = Obj()
    s.data.append(weakref.ref(gone))  # a reference without clean-up
    del gone
    assert s.pop() is None
    with pytest.raises(IndexError, match="pop index out of range"):
        s.pop(5)
    with pytest.raises(TypeError):
        s.pop("a")
    assert s.pop() is objs[1]
    with pytest.raises(IndexError, match="pop from empty list"):
        s.pop()


def test_sort(objs):
    s = WispSeq([objs[2], objs[0], objs[3], objs[1]])
    s.sort()
    assert s == objs
    s.sort(reverse=True)
    assert s == objs[::-1]
    s.sort(key=len)  # len of the referents: 10 - n
    assert s == objs[::-1]
    s.sort(key=lambda o: o.n, reverse=1)
    assert s == objs[::-1]


class RecordingList(list):
    def sort(self, **kwargs):
        RecordingList.kwargs = kwargs
        super().sort(**kwargs)


@pytest.mark.parametrize("key, entry", [(None, "lambda1"), (abs, "lambda2")])
def test_sort_key_functions(key, entry):
    s = WispSeq()
    s.data = RecordingList()
    s.sort(key=key, reverse=False)
    keyfunc = RecordingList.kwargs["key"]
    assert RecordingList.kwargs["reverse"] is False
    assert keyfunc.__name__ == "<lambda>"
    assert keyfunc.__qualname__ == "WispSeq.sort.<locals>.<lambda>"
    assert keyfunc.__module__ == "tavik.datastructures.wispseq"

    def failing():
        raise KeyError("entry")

    s.data = [failing, failing]
    with pytest.raises(KeyError) as info:
        s.sort(key=key)
    names = [f.f_code.co_name for f, _ in traceback.walk_tb(info.value.__traceback__)]
    assert names[-2:] == ["tavik.datastructures.wispseq.WispSeq.sort." + entry, "failing"]


def test_repr_and_str(objs):
    assert repr(WispSeq()) == str(WispSeq()) == "WispSeq([])"
    s = Sub(objs[:2])
    assert repr(s) == "WispSeq([Obj(0), Obj(1)])"
    assert str(s) == "WispSeq([o0, o1])"


def test_equality(objs):
    s = WispSeq(objs)
    assert s == objs and s == WispSeq(objs) and s != objs[::-1]
    assert not (s == 5) and s != 5
    assert WispSeq([Same(1)]) == WispSeq([Same(1)])
    with pytest.raises(TypeError):
        hash(s)


def test_module_names_are_read_at_call_time(monkeypatch, objs):
    made = []

    def ref(obj, callback=None):
        made.append(callback is not None)
        return weakref.ref(obj, callback)

    monkeypatch.setattr(wispseq, "weakref", types.SimpleNamespace(
        ref=ref, ReferenceType=weakref.ReferenceType))
    s = WispSeq(objs[:2])
    assert objs[0] in s
    assert made == [True, True, False]

    class Other(WispSeq):
        pass

    monkeypatch.setattr(wispseq, "WispSeq", Other)
    assert type(s + Other()) is Other
    with pytest.raises(TypeError, match='not "WispSeq"'):
        s + s


def test_super_reaches_the_next_class_in_the_mro(objs):
    calls = []

    class Recording(collections.UserList):
        def append(self, item):
            calls.append(("append", type(item)))
            super().append(item)

        def __contains__(self, item):
            calls.append(("__contains__", type(item)))
            return super().__contains__(item)

        def __getitem__(self, index):
            calls.append(("__getitem__", index))
            return super().__getitem__(index)

    class Seq(WispSeq, Recording):
        pass

    s = Seq(objs[:1])
    s.append(objs[1])
    assert objs[1] in s and s[1] is objs[1]
    assert calls == [("append", weakref.ref), ("__contains__", weakref.ref), ("__getitem__", 1)]


def test_methods_added_later_to_a_class_in_between_are_reached(objs):
    class Mid(collections.UserList):
        pass

    class Seq(WispSeq, Mid):
        pass

    s = Seq()
    for o in objs:
        s.append(o)
        s[0]
    calls = []
    Mid.append = lambda self, item: calls.append(item)
    Mid.__getitem__ = lambda self, index: (lambda: "entry")
    s.append(objs[0])
    assert s[0] == "entry"
    assert len(calls) == 1 and calls[0]() is objs[0] and len(s) == 4
    calls.clear()  # that entry never reached the list: no clean-up for it later


def test_docstring_example():
    finder = doctest.DocTestFinder(recurse=False)
    runner = doctest.DocTestRunner()
    for test in finder.find(WispSeq, "WispSeq", globs={"WispSeq": WispSeq}):
        runner.run(test)
    assert runner.failures == 0 and runner.tries > 0


def test_unreachable_wispseq_is_freed_by_the_collector(objs, collect, unraisable):
    s = Sub(objs)
    s.twin = WispSeq(objs)
    refs = [weakref.ref(s), weakref.ref(s.twin)]
    del s
    collect()
    assert [r() for r in refs] == [None, None]
    assert unraisable == []  # freed without running the clean-up of its entries


def test_failing_clean_up_is_unraisable(objs, unraisable):
    s = WispSeq(objs)
    orphan = s.data[0]
    del s.data[0]  # taken out while its reference lives on
    del objs[0]
    assert len(unraisable) == 1 and type(unraisable[0].exc_value) is ValueError
    assert len(s) == 3 and orphan() is None


# ---- objects dying in the middle of an operation ---------------------------


class Killer(Obj):
    """Drops the last reference to the objects in `victims` when compared,
    measured or printed."""

    victims = []

    def kill(self):
        Killer.victims.clear()

    def __eq__(self, other):
        self.kill()
        return False

    __hash__ = object.__hash__

    def __repr__(self):
        self.kill()
        return "Killer"

    def __lt__(self, other):
        self.kill()
        return self.n < other.n


@pytest.fixture
def deadly():
    Killer.victims = [Obj(i) for i in range(1, 6)]
    killer = Killer(0)
    s = WispSeq([killer] + Killer.victims + [killer])
    yield s, killer
    Killer.victims = []


def test_dying_during_iteration(deadly):
    s, killer = deadly
    seen = []
    for obj in s:
        seen.append(obj)
        if obj is killer:
            killer.kill()
    assert seen == [killer, killer] and list(s) == [killer, killer]


def test_dying_during_equality(deadly):
    s, killer = deadly
    assert not (s == [killer] * 7)
    assert list(s) == [killer, killer]


def test_dying_during_repr(deadly):
    s, killer = deadly
    assert repr(s) == "WispSeq([Killer, Killer])"
    assert list(s) == [killer, killer]


def test_dying_during_membership(deadly):
    s, killer = deadly
    assert Obj(9) not in s and s.count(Obj(9)) == 0
    assert list(s) == [killer, killer]


def kill_then_number(o):
    Killer.victims.clear()
    return getattr(o, "n", -1)  # dead entries give None


def kill_then_attribute(o):
    Killer.victims.clear()
    return o.n  # AttributeError for the dead entries


@pytest.mark.parametrize(
    "key, error", [(None, None), (kill_then_number, None), (kill_then_attribute, AttributeError)]
)
def test_dying_during_sort(deadly, unraisable, key, error):
    s, killer = deadly
    if error:
        with pytest.raises(error):
            s.sort(key=key)
    else:
        s.sort(key=key)
    # the list is empty while it is sorted, so the clean-up callbacks fail ...
    assert unraisable and all(type(r.exc_value) is ValueError for r in unraisable)
    # ... and the dead entries are dropped afterwards instead of staying as None
    assert list(s) == [killer, killer]


def test_dying_while_the_slice_is_built(deadly):
    s, killer = deadly

    class Fussy(WispSeq):
        def __init__(self, items=()):
            got = [next(items)]
            killer.kill()  # the slice's objects die; its entries read as None
            Fussy.got = got + list(items)
            super().__init__([killer])

    s.__class__ = Fussy
    part = s[0:3]
    assert Fussy.got == [killer, None, None]
    assert list(part) == [killer] and list(s) == [killer, killer]


def test_indexing_errors_and_overrides(objs):
    s = WispSeq(objs)
    with pytest.raises(IndexError) as info:
        s[4]
    names = [f.f_code.co_name for f, _ in traceback.walk_tb(info.value.__traceback__)]
    assert names[-1] == "tavik.datastructures.wispseq.WispSeq.__getitem__"

    class Doubling(WispSeq):
        def __getitem__(self, index):
            return (super().__getitem__(index), index)

    d = Doubling(objs)
    assert d[1] == (objs[1], 1)
    s.__class__ = Doubling
    assert s[2] == (objs[2], 2)


# Runs last: once WispSeq.__getitem__ has been reassigned, indexing goes
# through the interpreter's generic slot for the rest of the process.
def test_reassigned_getitem_is_called(objs):
    s = WispSeq(objs)
    original = WispSeq.__dict__["__getitem__"]
    try:
        WispSeq.__getitem__ = lambda self, index: ("replaced", index)
        assert s[1] == ("replaced", 1)
    finally:
        WispSeq.__getitem__ = original
    assert s[1] is objs[1]
