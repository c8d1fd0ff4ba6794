import doctest
import logging
import re
import subprocess
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

from tavik.datastructures import logic
from tavik.datastructures.logic import And, BaseLogic, Not, Or, logic_str

BAD = "Not a properly formatted logic string: %s"


# --- module -------------------------------------------------------------------

def test_docstring_examples_pass():
    finder = doctest.DocTestFinder()
    runner = doctest.DocTestRunner()
    tests = finder.find(logic, "logic")
    assert "logic.__test__.logic_str (line 177)" in {t.name for t in tests}
    for t in tests:
        runner.run(t)
    assert runner.failures == 0


def test_module_names():
    assert logic.__all__ == ["And", "Or", "Not"]
    assert logic.__test__ == {"logic_str (line 177)": logic_str.__doc__}
    assert logic_str.__doc__.startswith("Logic String Conversion\n")
    assert logic.re is re and logic.logging is logging
    assert logic.logger is logging.getLogger("tavik.datastructures.logic")
    for cls, base, title in [(BaseLogic, object, "BaseLogic Class"), (And, BaseLogic, "Logical And"),
                             (Or, BaseLogic, "Logical Or"), (Not, BaseLogic, "Logical Not")]:
        assert cls.__bases__ == (base,) and type(cls) is type
        assert cls.__module__ == "tavik.datastructures.logic"
        assert cls.__doc__.splitlines()[0] == title
    assert BaseLogic.__repr__.__doc__ == "ditto."
    assert And.__call__.__doc__ is None


# --- construction ---------------------------------------------------------------

def test_expressions_are_compiled_patterns_and_callables():
    f = len
    inner = Or("b")
    x = And("a.*", f, inner, str)
    assert x.expressions == [re.compile("a.*"), f, inner, str]
    assert type(x.expressions) is list


@pytest.mark.parametrize("bad", [5, re.compile("a"), b"a", None, 1.5])
def test_only_strings_and_callables_are_accepted(bad):
    with pytest.raises(TypeError) as info:
        And("a", bad)
    assert str(info.value) == \
        "Expression only accepts str and callable. Got: %s (%s)" % (bad, type(bad))


def test_a_bad_pattern_raises_the_re_error():
    with pytest.raises(re.error):
        Or("(")


# --- evaluation -------------------------------------------------------------------

@pytest.mark.parametrize("logic_obj, items, expected", [
    (And("a", "b"), ("ab",), True),
    (And("a", "b"), ("a", "b"), True),
    (And("^a$", "^b$"), ("ab",), False),
    (Or("x", "y"), ("a", "b"), False),
    (Or("x", "b"), ("a", "b"), True),
    (Not("x"), ("a",), True),
    (Not("a"), ("xa",), False),
    (And(), (), True),
    (Or(), (), False),
    (Not(), ("a",), True),
    (Not("a"), (), True),
    (And("a"), (), False),
    (And("a", Or("b", Not("c"))), ("a",), True),
    (And("1"), (1,), True),
    (Or(lambda i: i > 5), (1, 2), False),
    (Or(lambda i: i > 5), (1, 7), True),
    (And(Not("a")), ("a", "x"), False),
    (And(bool), ("", 0), False),
    (Or(bool), ("", 1), True),
])
def test_evaluation(logic_obj, items, expected):
    assert logic_obj(*items) is expected


def test_callables_see_every_item_and_nested_logic_sees_all_items():
    calls = []

    def probe(item):
        calls.append(item)
        return item > 1

    assert And(probe)(0, 1, 2) is True
    assert calls == [0, 1, 2]

    class Spy(And):
        def __call__(self, *items):
            calls.append(items)
            return True

    del calls[:]
    assert Or(Spy())() is True and Not(Spy())("a", "b") is False
    assert calls == [(), ("a", "b")]


def test_evaluation_stops_once_decided():
    calls = []

    def record(name, result):
        def f(item):
            calls.append(name)
            return result
        return f

    assert And(record("a", False), record("b", True))("x") is False
    assert Or(record("c", True), record("d", True))("x") is True
    assert Not(record("e", True), record("f", True))("x") is False
    assert calls == ["a", "c", "e"]


def test_results_of_callables_count_by_truth():
    assert And(lambda item: [item])("x") is True
    assert Or(lambda item: "")("x") is False


def test_nested_logic_is_found_through_the_current_base_logic(monkeypatch):
    x = And(Not("a"))
    assert x("a", "x") is False
    # Once BaseLogic names another class, Not is just a callable of one item.
    monkeypatch.setattr(logic, "BaseLogic", type(None))
    assert x("a", "x") is True


@pytest.mark.parametrize("expr, item", [
    (lambda i: 1 / 0, "x"),
    (Or(lambda i: 1 / 0), "x"),
    ("a", type("BadStr", (), {"__str__": lambda self: 1 / 0})()),
])
def test_errors_in_expressions_propagate(expr, item):
    with pytest.raises(ZeroDivisionError):
        And(expr)(item)


def test_base_logic_has_no_test():
    with pytest.raises(NotImplementedError):
        BaseLogic("a")()
    with pytest.raises(TypeError, match=r"__call__\(\) takes exactly 1 positional argument"):
        BaseLogic("a")("x")


def test_self_containing_logic_fails_cleanly():
    x = And("a")
    x.expressions.append(x)
    with pytest.raises(RecursionError):
        x("a")
    with pytest.raises(RecursionError):
        str(x)


def test_deep_nesting_fails_cleanly():
    x = And("a")
    for _ in range(100000):
        x = Or(x)
    for op in (str, lambda x: x("a")):
        with pytest.raises(RecursionError):
            op(x)


# --- string form and equality ------------------------------------------------------

def func(item):
    return True


class Sub(And):
    pass


@pytest.mark.parametrize("logic_obj, text", [
    (And("a.*", Or("b", "c")), "And('a.*', Or('b', 'c'))"),
    (And(), "And()"),
    (Not(Or()), "Not(Or())"),
    (Sub("x", Not("y")), "Sub('x', Not('y'))"),
    (Or(func), "Or(%r)" % func),
    (And('a"b', "\t", "\x0c"), "And('a\"b', '\t', '\x0c')"),
    (And("it's"), "And(\"it's\")"),
    (And("\\b"), "And('\\\\b')"),
    (And("a\nb", "\r", "\x00"), "And('a\\nb', '\\r', '\\x00')"),
])
def test_string_form(logic_obj, text):
    assert str(logic_obj) == text
    assert repr(logic_obj) == text


def test_repr_goes_through_an_overridden_str():
    class Named(Or):
        def __str__(self):
            return "named"

    assert repr(Named()) == "named"
    assert str(And(Named())) == "And(named)"


def test_string_form_failures_propagate():
    class BadRepr:
        def __call__(self, item):
            return True

        def __repr__(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        str(And("a", BadRepr()))
    x = And("a")
    x.expressions.append(object())
    with pytest.raises(AttributeError):
        str(x)


@pytest.mark.parametrize("left, right, expected", [
    (And("a"), And("a"), True),
    (And("a"), Or("a"), False),
    (And("a"), And("a", "b"), False),
    (And("a", Or("b")), And("a", Or("b")), True),
    (And("a", Or("b")), And("a", Or("c")), False),
    (And(func), And(func), True),
    (And(lambda i: 1), And(lambda i: 1), False),
    (Sub("a"), And("a"), False),
    (And("a"), "And('a')", False),
])
def test_equality(left, right, expected):
    assert (left == right) is expected


def test_logic_objects_are_unhashable():
    for cls in (BaseLogic, And, Or, Not):
        with pytest.raises(TypeError):
            hash(cls())


# --- logic_str ------------------------------------------------------------------------

@pytest.mark.parametrize("text, expected", [
    ("And('a', 'b')", And("a", "b")),
    ("Or('x', Not('y'))", Or("x", Not("y"))),
    ("Not(string)", Not("Not(string)")),
    ("  \tAnd('a')", And("a")),
    ("And('a' \"b\", r'\\d', '\\t', u'x')  # comment\n", And("ab", "\\d", "\t", "x")),
    ("BaseLogic()", BaseLogic()),
    ("Or(\n  'a',\n  'b',\n)", Or("a", "b")),
])
def test_logic_str_reads_the_string_form(text, expected):
    assert logic_str(text) == expected


def test_logic_str_by_keyword_and_its_first_example():
    assert logic_str(string="And('a', 'b')")("ab") is True
    assert str(logic_str("Or('x', Not('y'))")) == "Or('x', Not('y'))"


@pytest.mark.parametrize("text, context", [
    ("And(", SyntaxError),
    ("And(5)", None),
    ("And(['a'])", None),
    ("Foo('a')", None),
    ("re.compile('a')", None),
    ("And('a')('b')", None),
    ("And(x='a')", None),
    ("And(*['a'])", None),
    ("And(string='a')", None),
    ("And(b'a')", None),
    ("And(f'{string}')", None),
    ("And('a' + 'b')", None),
    ("And(lambda i: 1)", None),
    ("And([c for c in 'ab'])", None),
    ("string", None),
    ("string('a')", None),
    ("logic_str('a')", None),
    ("logger", None),
    ("__import__('os').system('true')", None),
    ("'a'", AssertionError),
    ("And('(')", re.error),
    ("", SyntaxError),
    ("\x00", (SyntaxError, ValueError)),
    ("And('a')\nOr('b')", SyntaxError),
    ("And(" * 1000 + ")" * 1000, (SyntaxError, RecursionError, MemoryError)),
    (123, TypeError),
    (b"And('a')", TypeError),
])
def test_logic_str_refuses_everything_else(text, context):
    with pytest.raises(ValueError) as info:
        logic_str(text)
    assert info.value.args == (BAD % (text,),)
    if context is None:
        assert info.value.__context__ is None
    else:
        assert isinstance(info.value.__context__, context)


def test_logic_str_runs_nothing(tmp_path):
    target = tmp_path / "ran"
    for text in ["__import__('pathlib').Path(%r).touch()" % str(target),
                 "And(__import__('pathlib').Path(%r).touch())" % str(target),
                 "And(open(%r, 'w'))" % str(target)]:
        with pytest.raises(ValueError):
            logic_str(text)
    assert not target.exists()


def test_logic_str_uses_the_names_the_module_binds(monkeypatch):
    class Mine(And):
        pass

    class Interrupting(BaseLogic):
        def __init__(self, *args):
            raise KeyboardInterrupt

    class Failing(BaseLogic):
        def __init__(self, *args):
            raise RuntimeError("no")

    monkeypatch.setattr(logic, "And", Mine)
    monkeypatch.setattr(logic, "Interrupting", Interrupting, raising=False)
    monkeypatch.setattr(logic, "Failing", Failing, raising=False)
    monkeypatch.setattr(logic, "NotLogic", int, raising=False)
    assert type(logic_str("And('a')")) is Mine
    with pytest.raises(KeyboardInterrupt):
        logic_str("Interrupting()")
    with pytest.raises(ValueError) as info:
        logic_str("Failing()")
    assert isinstance(info.value.__context__, RuntimeError)
    with pytest.raises(ValueError):
        logic_str("NotLogic('1')")


def test_logic_str_returns_a_literal_when_assertions_are_off():
    code = ("from tavik.datastructures.logic import logic_str\n"
            "print(repr(logic_str(\"'a' 'b'\")))\n")
    out = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True,
                         check=True)
    assert out.stdout == "'ab'\n"


patterns = st.text(st.characters(exclude_categories=()), max_size=8).filter(lambda s: _compiles(s))


def _compiles(s):
    try:
        re.compile(s)
    except re.error:
        return False
    return True


logic_trees = st.recursive(
    st.builds(lambda cls, ps: cls(*ps), st.sampled_from([And, Or, Not, BaseLogic]),
              st.lists(patterns, max_size=3)),
    lambda children: st.builds(lambda cls, xs: cls(*xs), st.sampled_from([And, Or, Not]),
                               st.lists(st.one_of(children, patterns), max_size=3)),
    max_leaves=8,
)


@given(logic_trees)
def test_the_string_form_reads_back(x):
    assert logic_str(str(x)) == x


@given(patterns)
def test_plain_patterns_keep_the_plain_form(p):
    if not any(c in "'\\\n\r\x00" or "\ud800" <= c <= "\udfff" for c in p):
        assert str(Or(p)) == "Or('%s')" % p
