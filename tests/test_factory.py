import ctypes
import doctest
import inspect
import traceback

import pytest

import tavik.datastructures.factory as factory
from tavik.datastructures.factory import MetaClassFactory


class Base(metaclass=MetaClassFactory):
    def __init__(self, *args, **kwargs):
        self.args, self.kwargs = args, kwargs


class Child(Base):
    pass


class GrandChild(Child):
    pass


class Plain:
    def __init__(self, *args, **kwargs):
        self.args, self.kwargs = args, kwargs


def test_module_and_class_shape():
    assert [n for n in vars(factory) if not n.startswith("__") or n == "__test__"] == \
        ["MetaClassFactory", "__test__"]
    assert factory.__test__ == {}
    assert MetaClassFactory.__bases__ == (type,) and type(MetaClassFactory) is type
    assert {"__module__", "__doc__", "__call__"} <= set(vars(MetaClassFactory))
    assert MetaClassFactory.__qualname__ == "MetaClassFactory"
    assert MetaClassFactory.__module__ == "tavik.datastructures.factory"
    assert MetaClassFactory.__doc__.startswith("MetaClassFactory Metaclass")
    assert MetaClassFactory.__call__.__doc__.startswith("MetaClassFactory.__call__")
    assert str(inspect.signature(MetaClassFactory.__call__)) == "(cls, *args, **kwargs)"
    assert type(Base) is MetaClassFactory and type(GrandChild) is MetaClassFactory


def test_docstring_example():
    result = doctest.testmod(factory)
    assert result.attempted > 0 and result.failed == 0


@pytest.mark.parametrize("called, chosen", [
    (Base, Base), (Base, Child), (Base, GrandChild), (Child, GrandChild),
])
def test_class_keyword_picks_the_class_and_is_removed(called, chosen):
    mapping = {"class": chosen, "x": 1}
    obj = called(1, 2, **mapping)
    assert type(obj) is chosen
    assert obj.args == (1, 2) and obj.kwargs == {"x": 1}
    assert mapping == {"class": chosen, "x": 1}


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1,), {}), ((1, 2), {"x": 3})])
def test_without_the_key_calls_like_a_plain_class(args, kwargs):
    obj, plain = Child(*args, **kwargs), Plain(*args, **kwargs)
    assert type(obj) is Child and (obj.args, obj.kwargs) == (plain.args, plain.kwargs)


@pytest.mark.parametrize("called, chosen", [(Child, Base), (Child, Plain), (Base, int)])
def test_class_that_is_no_subclass_is_refused(called, chosen):
    with pytest.raises(TypeError) as info:
        called(**{"class": chosen})
    assert str(info.value) == "%s is not a subclass of %s" % (chosen, called)


def test_class_value_that_is_not_a_class():
    with pytest.raises(TypeError, match="issubclass"):
        Base(**{"class": "Child"})


@pytest.mark.parametrize("call, exc, message", [
    (lambda: Base(cls=1), TypeError,
     r"^__call__\(\) got multiple values for keyword argument 'cls'$"),
    (lambda: MetaClassFactory.__call__(), TypeError,
     r"^__call__\(\) takes at least 1 positional argument \(0 given\)$"),
    (lambda: MetaClassFactory.__call__(Plain), TypeError, r"super\(type, obj\)"),
])
def test_call_errors(call, exc, message):
    with pytest.raises(exc, match=message):
        call()


def test_errors_of_new_and_init_pass_through():
    class Strict(Base):
        def __init__(self, x):
            raise ValueError(x)

    class Sealed(Base):
        def __new__(cls, *args):
            raise KeyError("sealed")

    with pytest.raises(ValueError, match="7"):
        Base(7, **{"class": Strict})
    with pytest.raises(TypeError):
        Strict()
    with pytest.raises(KeyError):
        Sealed()


def test_next_call_in_line_runs_once_without_the_key():
    seen = []

    class Recording(type):
        def __call__(cls, *args, **kwargs):
            seen.append((cls.__name__, args, kwargs))
            return super().__call__(*args, **kwargs)

    class Meta(MetaClassFactory, Recording):
        pass

    class A(metaclass=Meta):
        def __init__(self, *args, **kwargs):
            pass

    class B(A):
        pass

    assert type(A(1, **{"class": B, "y": 2})) is B
    assert seen == [("B", (1,), {"y": 2})]


def test_derived_metaclass_calls_through_once():
    calls = []

    class Counting(MetaClassFactory):
        def __call__(cls, *args, **kwargs):
            calls.append(cls)
            return super().__call__(*args, **kwargs)

    class A(metaclass=Counting):
        pass

    class B(A):
        pass

    assert type(A(**{"class": B})) is B and calls == [A]


def test_metaclass_name_is_looked_up_at_call_time(monkeypatch):
    monkeypatch.setattr(factory, "MetaClassFactory", type)
    # super(type, Base) looks past type, where no class has __call__
    with pytest.raises(AttributeError, match="__call__"):
        Base()
    monkeypatch.undo()
    assert type(Base()) is Base


def test_class_that_is_also_a_subclass_gets_the_unbound_next_call():
    class Meta(MetaClassFactory, metaclass=MetaClassFactory):
        pass

    # super(MetaClassFactory, Meta).__call__ is type.__call__ unbound
    with pytest.raises(TypeError, match="requires a 'type' object"):
        Meta("X", (), {})
    assert type(Meta(type, "X", (), {})) is type


def test_failing_call_names_call_in_the_traceback():
    with pytest.raises(TypeError) as info:
        Base(**{"class": Plain})
    names = [e.name for e in traceback.extract_tb(info.value.__traceback__)]
    assert "tavik.datastructures.factory.MetaClassFactory.__call__" in names


def test_keyword_dict_handed_over_directly_is_not_changed():
    pyobject_call = ctypes.pythonapi.PyObject_Call
    pyobject_call.restype = ctypes.py_object
    pyobject_call.argtypes = [ctypes.py_object] * 3
    kwargs = {"class": Child, "x": 1}
    obj = pyobject_call(Base, (5,), kwargs)
    assert type(obj) is Child and obj.args == (5,) and obj.kwargs == {"x": 1}
    assert kwargs == {"class": Child, "x": 1}


def test_replaced_call_takes_effect(monkeypatch):
    original = MetaClassFactory.__call__
    monkeypatch.setattr(MetaClassFactory, "__call__", lambda cls, *a, **k: ("patched", a, k))
    assert Base(1, **{"class": Child}) == ("patched", (1,), {"class": Child})
    monkeypatch.setattr(MetaClassFactory, "__call__", original)
    assert type(Base(1, **{"class": Child})) is Child
