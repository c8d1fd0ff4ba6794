"""Module-wide behaviour shared by every extension module: import semantics,
function objects, argument binding, class building and traceback entries.
Exercised through fieldbag, the first module built on the frame."""
import collections.abc
import importlib
import inspect
import subprocess
import sys
import textwrap
import traceback

import pytest

import tavik.datastructures.fieldbag as fieldbag
from tavik.datastructures.fieldbag import FieldBag, NestedFieldBag

MODULES = ["wispseq", "pathrows", "rankmap", "fieldbag", "logic", "configuration",
           "ramus", "typefield", "factory"]


@pytest.mark.parametrize("short", MODULES)
def test_every_module_imports_with_frame_attributes(short):
    mod = importlib.import_module("tavik.datastructures." + short)
    assert mod.__name__ == "tavik.datastructures." + short
    assert mod.__builtins__ is __import__("builtins")
    assert sys.modules["tavik.datastructures." + short] is mod
    names = list(vars(mod))
    assert names[-1] == "__test__"
    assert isinstance(mod.__test__, dict)
    assert mod.__package__ == "tavik.datastructures"
    assert mod.__file__ and mod.__loader__ is not None


def test_reimport_returns_the_same_module_and_reload_runs_nothing():
    mod = sys.modules["tavik.datastructures.fieldbag"]
    cls = mod.FieldBag
    del sys.modules["tavik.datastructures.fieldbag"]
    again = importlib.import_module("tavik.datastructures.fieldbag")
    assert again is mod and again.FieldBag is cls
    mod.marker = 1
    assert importlib.reload(mod) is mod
    assert mod.FieldBag is cls and mod.marker == 1
    del mod.marker


def test_module_registers_under_full_path_when_loaded_under_another_name():
    # A fresh interpreter loads the shared library under a bare name.
    code = textwrap.dedent("""
        import importlib.util, sys
        path = importlib.util.find_spec('tavik.datastructures.fieldbag').origin
        spec = importlib.util.spec_from_file_location('fieldbag', path)
        mod = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(mod)
        assert mod.__name__ == 'fieldbag'
        assert sys.modules['tavik.datastructures.fieldbag'] is mod
        assert mod.FieldBag.__module__ == 'tavik.datastructures.fieldbag'
        print('ok')
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.stdout.strip() == "ok", out.stderr


def test_reexecuting_into_a_foreign_module_object_is_refused():
    # Two module objects created before either runs its body: the second
    # body execution is refused.
    code = textwrap.dedent("""
        import _imp, importlib.util
        spec = importlib.util.find_spec('tavik.datastructures.fieldbag')
        first = _imp.create_dynamic(spec)
        second = _imp.create_dynamic(spec)
        assert first is not second
        _imp.exec_dynamic(first)
        try:
            _imp.exec_dynamic(second)
        except RuntimeError as e:
            print(e)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.stdout.strip() == ("Module 'fieldbag' has already been imported. "
                                  "Re-initialisation is not supported."), out.stderr


def _legacy_subinterpreter():
    """A subinterpreter that shares the main one's import rules (no per-module
    isolation check), so that the import reaches the module's own check."""
    try:
        import _interpreters as mod  # 3.13
        return mod, mod.create("legacy")
    except ImportError:
        pass
    mod = pytest.importorskip("_xxsubinterpreters")
    try:
        return mod, mod.create(isolated=False)  # 3.12
    except TypeError:
        return mod, mod.create()  # 3.10, 3.11


def test_second_interpreter_is_refused():
    script = textwrap.dedent("""
        import sys
        try:
            import tavik.datastructures.fieldbag
        except ImportError as e:
            ok = str(e) == ("Interpreter change detected - this module can only be "
                            "loaded into one interpreter per process.")
        else:
            ok = False
        if not ok:
            raise SystemExit(3)
    """)
    code = textwrap.dedent(f"""
        import sys
        sys.path[:0] = {sys.path!r}
        import tavik.datastructures.fieldbag
        sys.path.insert(0, {str(__import__('pathlib').Path(__file__).parent)!r})
        from test_frame import _legacy_subinterpreter
        mod, interp = _legacy_subinterpreter()
        try:
            mod.run_string(interp, {script!r})
            print("refused")
        finally:
            mod.destroy(interp)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.stdout.strip() == "refused", out.stderr


@pytest.mark.parametrize("func, name, qualname, params", [
    (FieldBag.__init__, "__init__", "FieldBag.__init__", "(self, *args, **kwargs)"),
    (FieldBag.__repr__, "__repr__", "FieldBag.__repr__", "(self)"),
    (NestedFieldBag.__getitem__, "__getitem__", "NestedFieldBag.__getitem__", "(self, key)"),
    (NestedFieldBag.__setitem__, "__setitem__", "NestedFieldBag.__setitem__",
     "(self, key, value)"),
    (NestedFieldBag.update, "update", "NestedFieldBag.update", "(self, *args, **kwargs)"),
])
def test_function_attributes(func, name, qualname, params):
    assert func.__name__ == name
    assert func.__qualname__ == qualname
    assert func.__module__ == "tavik.datastructures.fieldbag"
    assert func.__defaults__ is None
    assert func.__kwdefaults__ is None
    assert func.__annotations__ == {}
    assert func.__globals__ is vars(fieldbag)
    assert str(inspect.signature(func)) == params
    func.__dict__["tag"] = 1
    assert func.tag == 1
    del func.tag


def test_functions_bind_like_python_functions():
    fb = FieldBag(a=1)
    bound = fb.__repr__
    assert bound.__self__ is fb and bound.__func__ is FieldBag.__repr__
    assert FieldBag.__dict__["__repr__"] is FieldBag.__repr__
    assert str(inspect.signature(bound)) == "()"
    assert FieldBag.__repr__(self=fb) == "FieldBag({'a': 1})"
    assert NestedFieldBag.__init__.__doc__ is None
    assert "__dict__" in FieldBag.__init__.__doc__


def test_name_and_qualname_are_writable_strings():
    f = FieldBag.__repr__
    try:
        f.__name__ = "other"
        assert f.__name__ == "other"
        with pytest.raises(TypeError, match="__name__ must be set to a string object"):
            f.__name__ = 5
        with pytest.raises(TypeError, match="__qualname__ must be set to a string object"):
            f.__qualname__ = None
    finally:
        f.__name__ = "__repr__"


def _err(call):
    with pytest.raises(TypeError) as info:
        call()
    return str(info.value)


fb = FieldBag()
nfb = NestedFieldBag()


@pytest.mark.parametrize("call, message", [
    (lambda: fb.__repr__(1), "__repr__() takes exactly 1 positional argument (2 given)"),
    (lambda: FieldBag.__repr__(), "__repr__() takes exactly 1 positional argument (0 given)"),
    (lambda: FieldBag.__init__(), "__init__() takes at least 1 positional argument (0 given)"),
    (lambda: FieldBag(self=1), "__init__() got multiple values for keyword argument 'self'"),
    (lambda: NestedFieldBag.__getitem__(key="a"),
     "__getitem__() takes exactly 2 positional arguments (0 given)"),
    (lambda: nfb.__getitem__(), "__getitem__() takes exactly 2 positional arguments (1 given)"),
    (lambda: nfb.__setitem__("a"),
     "__setitem__() takes exactly 3 positional arguments (2 given)"),
    (lambda: nfb.__setitem__("a", 1, 2),
     "__setitem__() takes exactly 3 positional arguments (4 given)"),
    (lambda: nfb.__getitem__(key="a", other=1),
     "__getitem__() got an unexpected keyword argument 'other'"),
    (lambda: nfb.__getitem__("a", key="b"),
     "__getitem__() got multiple values for keyword argument 'key'"),
    (lambda: NestedFieldBag.__setitem__(nfb, value=1),
     "__setitem__() takes exactly 3 positional arguments (1 given)"),
])
def test_binding_errors(call, message):
    assert _err(call) == message


def test_keywords_bind_by_name_including_self_through_the_class():
    b = NestedFieldBag()
    NestedFieldBag.__setitem__(value=2, key="x.y", self=b)
    assert NestedFieldBag.__getitem__(key="x.y", self=b) == 2


def test_traceback_entries_name_the_function_and_use_module_globals():
    b = NestedFieldBag({"p": {"q": 1}})
    b["p"] = {"q": 1}
    with pytest.raises(KeyError) as info:
        b["p.r"] = 2
    entries = traceback.extract_tb(info.value.__traceback__)
    ours = [e for e in entries if e.filename.startswith("src/tavik/datastructures/")]
    assert ours, entries
    assert {e.filename for e in ours} == {"src/tavik/datastructures/fieldbag"}
    assert ours[0].name == "tavik.datastructures.fieldbag.NestedFieldBag.__setitem__"
    assert all(e.lineno > 0 for e in ours)
    tb = info.value.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    assert tb.tb_frame.f_globals is vars(fieldbag)
    text = "".join(traceback.format_exception(info.value))
    assert 'File "src/tavik/datastructures/fieldbag"' in text


def test_binding_error_gets_a_traceback_entry():
    with pytest.raises(TypeError) as info:
        FieldBag.__repr__()
    names = [e.name for e in traceback.extract_tb(info.value.__traceback__)]
    assert names[-1] == "tavik.datastructures.fieldbag.FieldBag.__repr__"


def test_module_level_names_are_read_at_call_time():
    saved = dict(vars(fieldbag))  # restored in its original order
    try:
        del fieldbag.Mapping
        with pytest.raises(NameError, match="name 'Mapping' is not defined"):
            NestedFieldBag({"a": 1})
        fieldbag.Mapping = collections.abc.Set  # dicts no longer count as mappings
        assert NestedFieldBag({"ab": 1}) == {"a": "b"}  # iterates the keys: "ab" unpacks
    finally:
        vars(fieldbag).clear()
        vars(fieldbag).update(saved)


def test_deep_recursion_through_the_package_raises_recursion_error():
    b = inner = NestedFieldBag()
    for _ in range(100_000):
        nxt = NestedFieldBag()
        dict.__setitem__(inner, "k", nxt)
        inner = nxt
    with pytest.raises(RecursionError):
        b[".".join(["k"] * 100_000)]


def test_failing_module_body_drops_the_module_and_reports_init_entry():
    code = textwrap.dedent("""
        import sys, traceback, collections.abc
        saved = collections.abc.MutableMapping
        del collections.abc.MutableMapping
        try:
            import tavik.datastructures.fieldbag
        except ImportError as e:
            assert 'tavik.datastructures.fieldbag' not in sys.modules
            names = [f.name for f in traceback.extract_tb(e.__traceback__)]
            assert 'init tavik.datastructures.fieldbag' in names, names
            print(e)
        collections.abc.MutableMapping = saved
        import tavik.datastructures.fieldbag as fb
        print(fb.NestedFieldBag(a={'b': 1})['a.b'])
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    lines = out.stdout.splitlines()
    assert lines == ["cannot import name MutableMapping", "1"], out.stderr


def test_classes_are_subclassable_heap_classes():
    class Sub(NestedFieldBag):
        def extra(self):
            return len(self)

    s = Sub({"a": {"b": 1}})
    assert type(s["a"]) is Sub and s.extra() == 1
    assert repr(s) == "Sub({'a': Sub({'b': 1})})"
    assert type(NestedFieldBag) is type(collections.abc.MutableMapping)
    assert FieldBag.__module__ == "tavik.datastructures.fieldbag"
    assert NestedFieldBag.__qualname__ == "NestedFieldBag"
