"""Conversions of configuration texts into Python values."""
import math
import re

__all__ = ["typecast_str"]

# Decimal integers without leading zeros ("0", "42", "-7", "+3"): a text such
# as "007" or "01234" (a code, a zip code) keeps its digits and stays text.
_integer = re.compile(r"[+-]?(?:0|[1-9][0-9]*)", re.ASCII).fullmatch
# Decimal fractions and exponents ("1.5", ".5", "2.", "-1e3", "6.02E23").
_decimal = re.compile(r"[+-]?(?:[0-9]+\.[0-9]*|\.[0-9]+|[0-9]+(?=[eE]))(?:[eE][+-]?[0-9]+)?",
                      re.ASCII).fullmatch
_booleans = {"true": True, "false": False}
_number_start = frozenset("+-.0123456789")


def typecast_str(value):
    """Converts a text that spells a number or a boolean into that value.

    Only objects of type ``str`` itself are examined, and a text is converted
    only when the whole of it matches one of these forms, in ASCII:

    - an integer in decimal without leading zeros ("42", "-7", "+3", "0")
      becomes an ``int``;
    - a decimal fraction or a number with an exponent ("1.5", ".5", "2.",
      "-1e3", "6.02E23") becomes a ``float``;
    - "true" or "false", in any mix of cases, becomes ``True`` or ``False``.

    Everything else is returned unchanged and as the same object: other texts
    (words, "007", "1.2.3", "0x1f", "1_000", "inf", "nan", " 1" with its
    space), integers too long for ``int`` to accept, decimals beyond the float
    range, and every value that is not exactly a ``str`` (numbers, booleans,
    ``None``, lists, mappings, configuration levels, ``str`` subclasses).
    Converting a result again gives the same result.

    >>> typecast_str("42"), typecast_str("-1.5e3"), typecast_str("False")
    (42, -1500.0, False)
    >>> typecast_str("007"), typecast_str("1.2.3"), typecast_str("yes")
    ('007', '1.2.3', 'yes')
    """
    if type(value) is not str or not value:
        return value
    if value[0] in _number_start:
        if _integer(value):
            try:
                return int(value)
            except ValueError:  # more digits than int() accepts from a text
                return value
        if _decimal(value):
            number = float(value)
            return number if math.isfinite(number) else value
        return value
    if len(value) in (4, 5):
        return _booleans.get(value.lower(), value)
    return value
