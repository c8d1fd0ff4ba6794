"""What help() shows of the public classes, and the typed usage example."""
import importlib
import inspect
import pydoc
import re
import runpy
from pathlib import Path

import pytest

PUBLIC_CLASSES = [
    ("wispseq", "WispSeq"),
    ("pathrows", "DictItem"),
    ("pathrows", "PathRows"),
    ("rankmap", "RankMap"),
    ("fieldbag", "FieldBag"),
    ("fieldbag", "NestedFieldBag"),
    ("logic", "BaseLogic"),
    ("logic", "And"),
    ("logic", "Or"),
    ("logic", "Not"),
    ("configuration", "Configuration"),
    ("ramus", "Ramus"),
    ("typefield", "TypeFieldDescriptor"),
    ("factory", "MetaClassFactory"),
]


def public_class(module, name):
    return getattr(importlib.import_module(f"tavik.datastructures.{module}"), name)


def help_text(cls):
    return pydoc.render_doc(cls, renderer=pydoc.plaintext)


def bare(line):
    """A line without the " |  " margin of help() and without indentation."""
    return re.sub(r"^[ |]*", "", line).strip()


def help_lines(cls):
    return [bare(line) for line in help_text(cls).splitlines()]


def shows(lines, entry):
    """Whether help() lists entry, possibly followed by " from <class>"."""
    return any(line == entry or line.startswith(entry + " ") for line in lines)


def own_methods(cls):
    """The callables a class defines itself, as fetched through the class."""
    for name, raw in vars(cls).items():
        if callable(raw) or isinstance(raw, (staticmethod, classmethod)):
            yield name, raw, getattr(cls, name)


@pytest.mark.parametrize("module, name", PUBLIC_CLASSES)
def test_help_shows_docstring_and_method_signatures(module, name):
    cls = public_class(module, name)
    lines = help_lines(cls)
    if cls.__doc__:
        for line in inspect.cleandoc(cls.__doc__).splitlines():
            assert bare(line) in lines, line
    methods = list(own_methods(cls))
    assert methods
    for attr, raw, method in methods:
        signature = str(inspect.signature(method))
        if not isinstance(raw, (staticmethod, classmethod)):
            # Plain methods show their first parameter (self, or cls in a
            # metaclass) like methods written in Python.
            assert re.match(r"\((self|cls)\b", signature), (attr, signature)
        shown = f"{attr}{signature}"
        # An alias of another method shows as "alias = name(...)".
        alias = f"{attr} = {method.__name__}{signature}"
        assert shows(lines, shown) or shows(lines, alias), shown
        if method.__doc__:
            first = bare(inspect.cleandoc(method.__doc__).splitlines()[0])
            assert first in lines, (attr, first)


@pytest.mark.parametrize("module, name, shown", [
    ("rankmap", "RankMap", "insert(self, key, value, position)"),
    ("rankmap", "RankMap", "fromkeys(keys, value=None)"),
    ("pathrows", "PathRows", "__flatten__(indict, path=None)"),
    ("fieldbag", "NestedFieldBag", "get(self, key, default=None)"),
    ("configuration", "Configuration", "load_yamls(self, *files)"),
    ("fieldbag", "FieldBag", "__init__(self, *args, **kwargs)"),
    ("ramus", "Ramus", "__init__(self, name, children=None)"),
    ("factory", "MetaClassFactory", "__call__(cls, *args, **kwargs)"),
])
def test_help_signature_lines(module, name, shown):
    assert shows(help_lines(public_class(module, name)), shown)


def test_methods_are_listed_as_methods():
    text = help_text(public_class("rankmap", "RankMap"))
    methods = text.split("Methods defined here:")[1].split("-" * 20)[0]
    for name in ("move", "insert", "__getitem__", "update"):
        assert re.search(rf"^ \|  {name}\(self\b", methods, re.M), name


def test_typed_usage_example_runs():
    example = Path(__file__).parent / "typing" / "example.py"
    runpy.run_path(str(example), run_name="__main__")
