import doctest

import pytest

import tavik.utils.strings as strings
from tavik.datastructures.configuration import Configuration
from tavik.datastructures.fieldbag import FieldBag, NestedFieldBag
from tavik.utils.strings import typecast_str

CONVERTED = [
    ("0", 0), ("42", 42), ("-7", -7), ("+3", 3), ("-0", 0),
    ("1.5", 1.5), (".5", 0.5), ("2.", 2.0), ("-1e3", -1000.0), ("6.02E23", 6.02e23),
    ("1e-2", 0.01), ("+0.25", 0.25),
    ("true", True), ("True", True), ("TRUE", True), ("false", False), ("fAlSe", False),
]

UNCHANGED = [
    "", "word", "007", "01.5e", "1.2.3", "0x1f", "1_000", "1e", "e3", ".", "+", "-", "--1",
    "inf", "-inf", "nan", "1e999", " 1", "1 ", "1\n", "١٢", "yes", "no", "on", "none",
    "null", "truth", "t", "1" * 5000,
]


@pytest.mark.parametrize("text, value", CONVERTED)
def test_number_and_boolean_texts_are_converted(text, value):
    result = typecast_str(text)
    assert result == value and type(result) is type(value)
    assert typecast_str(result) is result  # converting again changes nothing


@pytest.mark.parametrize("text", UNCHANGED)
def test_other_texts_come_back_as_the_same_object(text):
    assert typecast_str(text) is text


class Text(str):
    pass


@pytest.mark.parametrize("value", [
    None, 1, 2.5, True, b"1", ["1"], {"a": "1"}, Text("1"),
    FieldBag(a="1"), NestedFieldBag({"a": {"b": "1"}}), Configuration({"a": "1"}),
])
def test_non_str_values_come_back_as_the_same_object(value):
    assert typecast_str(value) is value


def test_module_examples():
    results = doctest.testmod(strings)
    assert results.attempted and not results.failed
    assert strings.__all__ == ["typecast_str"]
