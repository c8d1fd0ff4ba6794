"""Configuration.load_cfgs / load_yamls on fuzzed file content.

    python fuzz_configuration.py cfg|yaml [atheris arguments...]
"""
import configparser
import os
import sys
import tempfile

import atheris

with atheris.instrument_imports():
    import yaml
    from tavik.datastructures.configuration import Configuration

from _common import run

# Bad content surfaces as the reader's own errors (undecodable bytes, parse
# errors) or as the merge errors of a nested store: a dotted write through a
# value (KeyError), a mapping merged into a value without `update`
# (AttributeError), a value that is not subscriptable or not a pair sequence
# (TypeError), a self-referencing YAML document (RecursionError).
MERGE_ERRORS = (KeyError, AttributeError, TypeError, RecursionError)
EXPECTED = {
    "cfg": (configparser.Error, UnicodeDecodeError) + MERGE_ERRORS,
    "yaml": (yaml.YAMLError, UnicodeDecodeError) + MERGE_ERRORS,
}

mode = sys.argv.pop(1) if len(sys.argv) > 1 and sys.argv[1] in EXPECTED else "cfg"
fd, path = tempfile.mkstemp(suffix="." + mode)
os.close(fd)


def test_one_input(data):
    with open(path, "wb") as f:
        f.write(data)
    cfg = Configuration()
    try:
        if mode == "cfg":
            cfg.load_cfgs(path)
        else:
            cfg.load_yamls(path)
    except EXPECTED[mode]:
        return
    # What was merged reads back through the dotted keys.
    for k in list(cfg):
        cfg[k]


if __name__ == "__main__":
    try:
        run(test_one_input)
    finally:
        os.unlink(path)
