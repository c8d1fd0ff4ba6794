"""The generator objects returned by PathRows.__flatten__, WispSeq.__iter__
and the slice generator of WispSeq.__getitem__."""
import collections.abc
import gc
import sys
import traceback
import types
import weakref

import pytest

from tavik.datastructures import pathrows
from tavik.datastructures.pathrows import PathRows
from tavik.datastructures.wispseq import WispSeq


class Obj:
    def __init__(self, n=0):
        self.n = n

    def __repr__(self):
        return f"Obj({self.n})"


@pytest.fixture
def objs():
    return [Obj(i) for i in range(3)]


@pytest.fixture
def seq(objs):
    return WispSeq(objs)


def slice_gen(seq):
    """The genexpr that WispSeq.__getitem__ hands to the class for a slice."""
    made = []

    class Catch(WispSeq):
        def __init__(self, items=()):
            made.append(items)
            super().__init__(())

    seq.__class__ = Catch
    seq[0:2]
    seq.__class__ = WispSeq
    return made[0]


def test_type_and_registration(seq):
    gens = [iter(seq), PathRows.__flatten__({}), slice_gen(seq)]
    for g in gens:
        assert type(g).__name__ == "generator"
        assert isinstance(g, collections.abc.Generator)
        assert isinstance(g, collections.abc.Iterator)
        assert iter(g) is g
        assert isinstance(g.gi_code, types.CodeType)
        assert repr(g).startswith(f"<generator object {g.__qualname__} at 0x")
    names = [(g.__name__, g.__qualname__, g.__module__) for g in gens]
    assert names == [
        ("__iter__", "WispSeq.__iter__", "tavik.datastructures.wispseq"),
        ("__flatten__", "PathRows.__flatten__", "tavik.datastructures.pathrows"),
        ("genexpr", "WispSeq.__getitem__.<locals>.genexpr", "tavik.datastructures.wispseq"),
    ]


def test_nothing_runs_before_the_first_advance(seq, objs):
    g = iter(seq)
    seq.data = [weakref.ref(objs[2])]  # read by the body only when it starts
    assert list(g) == [objs[2]]

    calls = []

    class Recording(dict, collections.abc.MutableMapping):
        def items(self):
            calls.append("items")
            return dict.items(self)

    g = PathRows.__flatten__(Recording(a=1))
    assert calls == []
    assert next(g) == (("a",), 1)
    assert calls == ["items"]


def test_send_rules(seq, objs):
    g = iter(seq)
    with pytest.raises(TypeError, match="^can't send non-None value to a just-started generator$"):
        g.send(1)
    assert g.send(None) is objs[0]
    assert g.send("ignored") is objs[1]
    assert next(g) is objs[2]
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(g)
        with pytest.raises(StopIteration):
            g.send(None)


@pytest.mark.parametrize("advance", [0, 1, 3])
def test_close(seq, advance):
    g = iter(seq)
    for _ in range(advance):
        next(g)
    assert g.close() is None
    assert g.close() is None
    assert not g.gi_running
    with pytest.raises(StopIteration):
        next(g)


def _thrown(g, *args):
    with pytest.raises(BaseException) as info:
        g.throw(*args)
    return info.value


def _tb():
    try:
        raise KeyError("x")
    except KeyError as e:
        return e.__traceback__


@pytest.mark.parametrize(
    "args, check",
    [
        ((ValueError,), lambda e: type(e) is ValueError and e.args == ()),
        ((ValueError, "msg"), lambda e: type(e) is ValueError and e.args == ("msg",)),
        ((ValueError, ("a", 1)), lambda e: e.args == ("a", 1)),
        ((ValueError("inst"),), lambda e: e.args == ("inst",)),
        ((LookupError, KeyError("k")), lambda e: type(e) is KeyError),
        ((LookupError, ValueError("v")), lambda e: type(e) is LookupError),
        ((ValueError, None, None), lambda e: type(e) is ValueError),
    ],
)
def test_throw_builds_the_exception_as_raise_does(seq, args, check):
    g = iter(seq)
    next(g)
    assert check(_thrown(g, *args))
    with pytest.raises(StopIteration):
        next(g)


def test_throw_keeps_the_given_traceback(seq):
    g = iter(seq)
    next(g)
    tb = _tb()
    e = _thrown(g, ValueError, None, tb)
    names = [f.f_code.co_name for f, _ in traceback.walk_tb(e.__traceback__)]
    assert "_tb" in names and "__iter__" in names


class NotAnException:
    def __new__(cls, *args):
        return 42


@pytest.mark.parametrize(
    "args, message",
    [
        ((ValueError, None, 5), "raise: arg 3 must be a traceback or None"),
        ((ValueError("x"), "v"), "instance exception may not have a separate value"),
        ((5,), "raise: exception class must be a subclass of BaseException"),
        ((int,), "raise: exception class must be a subclass of BaseException"),
    ],
)
def test_throw_refuses_malformed_arguments(seq, args, message):
    g = iter(seq)
    next(g)
    with pytest.raises(TypeError) as info:
        g.throw(*args)
    assert str(info.value) == message
    assert next(g) is not None  # still suspended


def test_throw_of_a_class_that_makes_no_exception(seq):
    class Odd(Exception):
        def __new__(cls, *args):
            return 42

    g = iter(seq)
    next(g)
    with pytest.raises(TypeError) as info:
        g.throw(Odd)
    assert str(info.value) == (
        f"calling {Odd!r} should have returned an instance of BaseException, not {int!r}"
    )


@pytest.mark.parametrize("nargs", [0, 4])
def test_throw_takes_one_to_three_arguments(seq, nargs):
    with pytest.raises(TypeError):
        iter(seq).throw(*[ValueError] * nargs)


def test_throw_into_a_new_or_finished_generator(seq):
    g = iter(seq)
    with pytest.raises(KeyError):
        g.throw(KeyError)
    with pytest.raises(StopIteration):
        next(g)
    with pytest.raises(IndexError):
        g.throw(IndexError)


def test_stopiteration_leaving_the_body_becomes_runtimeerror(seq):
    g = iter(seq)
    next(g)
    with pytest.raises(RuntimeError, match="^generator raised StopIteration$") as info:
        g.throw(StopIteration)
    assert type(info.value.__cause__) is StopIteration

    class Stopping(dict, collections.abc.MutableMapping):
        def items(self):
            raise StopIteration

    # otherwise the rows would silently end here
    with pytest.raises(RuntimeError, match="generator raised StopIteration"):
        PathRows(Stopping(a=1))


def test_traceback_entry_named_by_the_plain_name(seq):
    g = PathRows.__flatten__({"a": 1}, 5)  # 5 has no slicing
    with pytest.raises(TypeError, match="'int' object is unsliceable") as info:
        next(g)
    last = list(traceback.walk_tb(info.value.__traceback__))[-1][0]
    assert last.f_code.co_name == "__flatten__"
    assert last.f_code.co_filename.startswith("src/tavik/datastructures/pathrows")
    assert last.f_globals is vars(pathrows)

    g = iter(seq)
    g.__name__ = "renamed"
    next(g)
    with pytest.raises(KeyError) as info:
        g.throw(KeyError)
    names = [f.f_code.co_name for f, _ in traceback.walk_tb(info.value.__traceback__)]
    assert names[-1] == "renamed"


@pytest.mark.parametrize("attr", ["__name__", "__qualname__"])
def test_names_are_writable_strings(seq, attr):
    g = iter(seq)
    setattr(g, attr, "other")
    assert getattr(g, attr) == "other"
    for bad in (5, None, b"x"):
        with pytest.raises(TypeError) as info:
            setattr(g, attr, bad)
        assert str(info.value) == f"{attr} must be set to a string object"
    with pytest.raises(TypeError):
        delattr(g, attr)
    assert getattr(g, attr) == "other"


@pytest.mark.parametrize("attr", ["gi_running", "gi_yieldfrom", "gi_code", "__module__"])
def test_read_only_attributes(seq, attr):
    with pytest.raises(AttributeError):
        setattr(iter(seq), attr, None)


class Reentrant(dict, collections.abc.MutableMapping):
    """A mapping whose items() looks at the generator that flattens it."""

    gen = None
    seen = None

    def items(self):
        g = Reentrant.gen
        Reentrant.seen = [g.gi_running]
        for action in (lambda: next(g), lambda: g.send(None), lambda: g.throw(KeyError),
                       g.close):
            with pytest.raises(ValueError, match="^generator already executing$"):
                action()
        return dict.items(self)


def test_running_generator_refuses_to_be_resumed():
    g = Reentrant.gen = PathRows.__flatten__(Reentrant(a=1))
    assert not g.gi_running
    assert next(g) == (("a",), 1)
    assert Reentrant.seen == [True]
    assert not g.gi_running


def test_gi_yieldfrom_shows_the_nested_generator(seq):
    assert iter(seq).gi_yieldfrom is None
    g = PathRows.__flatten__({"a": {"b": 1, "c": 2}, "d": 3})
    assert g.gi_yieldfrom is None
    next(g)
    inner = g.gi_yieldfrom
    assert inner.__qualname__ == "PathRows.__flatten__" and inner.gi_yieldfrom is None
    assert list(g) == [(("a", "c"), 2), (("d",), 3)]
    assert g.gi_yieldfrom is None


@pytest.fixture
def patched_flatten(monkeypatch):
    """Makes the nested flattening go through a Python generator that records
    how it ends."""
    events = []

    class Spy(PathRows):
        @staticmethod
        def __flatten__(indict, path=None):
            try:
                yield "nested-1"
                yield "nested-2"
            except GeneratorExit:
                events.append("closed")
                raise
            finally:
                events.append("finally")

    monkeypatch.setattr(pathrows, "PathRows", Spy)
    return events


def test_sent_values_and_thrown_exceptions_stay_with_the_body(patched_flatten):
    g = PathRows.__flatten__({"a": {"b": 1}, "c": 2})
    assert next(g) == "nested-1"
    assert g.send("value") == "nested-2"
    with pytest.raises(KeyError):
        g.throw(KeyError)
    assert patched_flatten == ["closed", "finally"]


def test_close_closes_the_delegate_first(patched_flatten):
    g = PathRows.__flatten__({"a": {"b": 1}})
    next(g)
    assert g.close() is None
    assert patched_flatten == ["closed", "finally"]


def test_abandoned_generator_is_closed_and_freed(patched_flatten, seq):
    g = PathRows.__flatten__({"a": {"b": 1}})
    next(g)
    ref = weakref.ref(g)
    del g
    assert ref() is None
    assert patched_flatten == ["closed", "finally"]

    g = iter(seq)
    next(g)
    ref = weakref.ref(g)
    del g
    assert ref() is None


def test_finalisation_errors_are_unraisable(monkeypatch):
    reports = []

    def hook(args):  # copied: the argument object would keep its parts from being collected
        reports.append(types.SimpleNamespace(exc_value=args.exc_value, object=args.object))

    monkeypatch.setattr(sys, "unraisablehook", hook)

    class BadClose:
        def __iter__(self):
            return self

        def __next__(self):
            return "item"

        def close(self):
            raise KeyError("from close")

    class Spy(PathRows):
        @staticmethod
        def __flatten__(indict, path=None):
            return BadClose()

    monkeypatch.setattr(pathrows, "PathRows", Spy)
    g = PathRows.__flatten__({"a": {"b": 1}})
    assert next(g) == "item"
    del g
    gc.collect()
    assert len(reports) == 1
    assert isinstance(reports[0].exc_value, KeyError)
    assert reports[0].object.__qualname__ == "PathRows.__flatten__"


def test_generators_in_reference_cycles_are_collected(objs):
    seq = WispSeq(objs)
    g = iter(seq)
    next(g)
    seq.it = g  # seq -> g -> seq
    refs = [weakref.ref(seq), weakref.ref(g)]
    del seq, g
    gc.collect()
    assert [r() for r in refs] == [None, None]

    inner = {"b": 1}
    outer = {"a": inner, "c": 2}
    g = PathRows.__flatten__(outer)
    next(g)  # suspended inside the nested generator, which holds `inner`
    inner["gen"] = g
    ref = weakref.ref(g)
    del g, inner, outer
    gc.collect()
    assert ref() is None


def test_deep_nesting_raises_recursionerror():
    deep = {}
    level = deep
    for _ in range(100_000):
        level["k"] = level = {}
    level["k"] = 1
    with pytest.raises(RecursionError):
        PathRows(deep)


def _import_in_subprocess(tmp_path, prelude, *flags):
    """Imports both generator modules in a fresh interpreter after `prelude`."""
    import os
    import subprocess
    import textwrap

    code = textwrap.dedent(prelude) + textwrap.dedent("""
        import collections.abc
        from tavik.datastructures import pathrows, wispseq
        for g in (pathrows.PathRows.__flatten__({}), iter(wispseq.WispSeq())):
            print(isinstance(g, collections.abc.Generator))
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path)] + sys.path))
    return subprocess.run([sys.executable, *flags, "-c", code], env=env, cwd=tmp_path,
                          capture_output=True, text=True, timeout=120)


def test_registration_with_backports_abc(tmp_path):
    (tmp_path / "backports_abc.py").write_text(
        "import collections.abc\n"
        "registered = []\n"
        "class Generator(collections.abc.Iterator):\n"
        "    @classmethod\n"
        "    def register(cls, t):\n"
        "        registered.append(t.__name__)\n"
    )
    run = _import_in_subprocess(tmp_path, """
        import atexit, backports_abc
        atexit.register(lambda: print(backports_abc.registered))
    """)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["True", "True", "['generator',", "'generator']"]


def test_failed_import_of_backports_abc_is_ignored(tmp_path):
    (tmp_path / "backports_abc.py").write_text("raise RuntimeError('broken')\n")
    run = _import_in_subprocess(tmp_path, "")
    assert run.returncode == 0 and run.stdout.split() == ["True", "True"], run.stderr
    assert run.stderr == ""


BROKEN_REGISTER = """
    import collections.abc
    def register(cls):
        raise KeyError("no registration")
    collections.abc.Generator.register = register
"""


def test_failed_registration_warns_and_the_import_goes_on(tmp_path):
    run = _import_in_subprocess(tmp_path, BROKEN_REGISTER)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["True", "True"]  # (the class's own structural check)
    assert run.stderr.count("KeyError: 'no registration'") == 2  # unraisable, per module
    for name in ("pathrows", "wispseq"):
        assert f"RuntimeWarning: tavik.datastructures.{name}: could not register" in run.stderr


def test_failed_registration_under_warnings_as_errors(tmp_path):
    run = _import_in_subprocess(tmp_path, BROKEN_REGISTER, "-W", "error::RuntimeWarning")
    assert run.returncode != 0
    assert "RuntimeWarning" in run.stderr
