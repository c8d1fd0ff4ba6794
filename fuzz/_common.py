"""Shared pieces of the fuzz targets: nested data decoded from fuzz bytes, and
the run loop.  Each target catches exactly the exception types the module
raises for bad input; anything else escapes and atheris reports it."""
import sys

import atheris


def nested(fdp, depth=0):
    """A value decoded from the fuzz bytes: scalars, strings (dotted ones
    included), lists, pairs, plain dicts and nested dicts, as callers pass them."""
    kind = fdp.ConsumeIntInRange(0, 9 if depth < 4 else 4)
    if kind == 0:
        return fdp.ConsumeInt(2)
    if kind == 1:
        return None
    if kind in (2, 3):
        return key(fdp)
    if kind == 4:
        return fdp.ConsumeBytes(2)
    if kind in (5, 6):
        return {key(fdp): nested(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 3))}
    if kind == 7:
        return [nested(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    if kind == 8:
        return tuple(nested(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 3)))
    return (key(fdp), nested(fdp, depth + 1))


def key(fdp):
    choice = fdp.ConsumeIntInRange(0, 5)
    if choice == 0:
        return fdp.ConsumeInt(1)
    if choice == 1:
        return (fdp.ConsumeInt(1),)
    return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 6)) or "a.b"


def run(test_one_input):
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
