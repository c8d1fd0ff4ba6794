import doctest
import inspect
import traceback

import pytest

import tavik.datastructures.typefield as typefield_module
from tavik.datastructures.typefield import TypeFieldDescriptor, typefield


def make_classes(func):
    class C:
        name = typefield(func)

    class D(C):
        pass

    return C, D


def test_module_and_class_shape():
    assert [n for n in vars(typefield_module) if not n.startswith("__") or n == "__test__"] \
        == ["TypeFieldDescriptor", "typefield", "__test__"]
    assert typefield is TypeFieldDescriptor and typefield_module.__test__ == {}
    assert TypeFieldDescriptor.__bases__ == (object,) and type(TypeFieldDescriptor) is type
    assert TypeFieldDescriptor.__module__ == "tavik.datastructures.typefield"
    assert "decorator" in TypeFieldDescriptor.__doc__
    assert TypeFieldDescriptor.__init__.__doc__ is None
    assert TypeFieldDescriptor.__get__.__doc__ is None
    assert str(inspect.signature(TypeFieldDescriptor.__get__)) == "(self, obj, owner)"
    assert not hasattr(TypeFieldDescriptor, "__set__")
    assert not hasattr(TypeFieldDescriptor, "__delete__")


def test_docstring_example():
    result = doctest.testmod(typefield_module)
    assert result.attempted > 0 and result.failed == 0


def test_decorator_stores_the_function_unchanged():
    def name(cls):
        """doc"""
    C, _ = make_classes(name)
    descr = C.__dict__["name"]
    assert type(descr) is TypeFieldDescriptor and descr.func is name
    assert descr.__doc__ != "doc" and "decorator" in descr.__doc__
    assert TypeFieldDescriptor(42).func == 42


@pytest.mark.parametrize("read, expected", [
    (lambda C, D: C.name, "C"),
    (lambda C, D: C().name, "C"),
    (lambda C, D: D.name, "D"),
    (lambda C, D: D().name, "D"),
])
def test_function_receives_the_class_read_through(read, expected):
    C, D = make_classes(lambda cls: cls.__name__)
    assert read(C, D) == expected


def test_computed_at_every_read():
    calls = []
    C, _ = make_classes(lambda cls: calls.append(cls) or len(calls))
    assert (C.name, C().name) == (1, 2) and calls == [C, C]
    C.__dict__["name"].func = lambda cls: "replaced"
    assert C.name == "replaced"


def test_writes_are_not_intercepted():
    C, D = make_classes(lambda cls: cls.__name__)
    c = C()
    c.name = 5
    assert c.name == 5 and vars(c) == {"name": 5}
    assert C.name == "C" and C().name == "C"

    class E(C):
        name = "own"

    assert E.name == "own" and E().name == "own"
    C.name = 7
    assert C.name == 7 and D.name == 7


def test_errors_pass_through():
    def fails(cls):
        raise ValueError("computed badly")
    C, _ = make_classes(fails)
    with pytest.raises(ValueError, match="computed badly"):
        C.name
    C, _ = make_classes("not callable")
    with pytest.raises(TypeError, match="'str' object is not callable"):
        C().name


@pytest.mark.parametrize("call, message", [
    (lambda: TypeFieldDescriptor(), r"__init__\(\) takes exactly 2 positional arguments \(1 given\)"),
    (lambda: TypeFieldDescriptor(len, 1), r"__init__\(\) takes exactly 2 positional arguments \(3 given\)"),
    (lambda: TypeFieldDescriptor(len).__get__(None), r"__get__\(\) takes exactly 3 positional arguments \(2 given\)"),
    (lambda: TypeFieldDescriptor(fn=len), r"__init__\(\) takes exactly 2 positional arguments \(1 given\)"),
    (lambda: TypeFieldDescriptor(len, fn=len), r"__init__\(\) got an unexpected keyword argument 'fn'"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_get_called_directly_passes_owner_only():
    descr = TypeFieldDescriptor(lambda *a: a)
    assert descr.__get__(object(), owner=int) == (int,)


def test_failing_read_names_get_in_the_traceback():
    def fails(cls):
        raise ValueError("computed badly")
    C, _ = make_classes(fails)
    with pytest.raises(ValueError) as info:
        C.name
    names = [e.name for e in traceback.extract_tb(info.value.__traceback__)]
    assert "tavik.datastructures.typefield.TypeFieldDescriptor.__get__" in names


def test_get_can_be_overridden_and_replaced(monkeypatch):
    class Cached(TypeFieldDescriptor):
        def __get__(self, obj, owner):
            return ("cached", super().__get__(obj, owner))

    class Inherits(TypeFieldDescriptor):
        pass

    class C:
        a = Cached(lambda cls: cls.__name__)
        b = Inherits(lambda cls: cls.__name__)

    assert (C.a, C().b) == (("cached", "C"), "C")
    original = TypeFieldDescriptor.__get__
    monkeypatch.setattr(TypeFieldDescriptor, "__get__", lambda self, obj, owner: "patched")
    assert (C.a, C.b, make_classes(len)[0].name) == (("cached", "patched"), "patched", "patched")
    monkeypatch.setattr(TypeFieldDescriptor, "__get__", original)
    assert (C.a, C.b) == (("cached", "C"), "C")
