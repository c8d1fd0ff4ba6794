"""logic_str on arbitrary text: a logic object or the ValueError, nothing else."""
import atheris

with atheris.instrument_imports():
    from tavik.datastructures.logic import BaseLogic, logic_str

from _common import run

PREFIX = "Not a properly formatted logic string: "


def test_one_input(data):
    text = atheris.FuzzedDataProvider(data).ConsumeUnicodeNoSurrogates(len(data))
    try:
        result = logic_str(text)
    except ValueError as e:
        if e.args != (PREFIX + text,):
            raise
        return
    if not isinstance(result, BaseLogic):
        raise AssertionError("logic_str returned %r" % (result,))
    str(result)


if __name__ == "__main__":
    run(test_one_input)
