"""Configuration against plain dicts filled by plain-Python merges that call
typecast_str on every value, as a hand-written store would.

    PYTHONPATH=src python3 benchmarks/bench_configuration.py
"""
import configparser
import os
import sys
import tempfile
from collections.abc import Mapping

sys.path.insert(0, os.path.dirname(__file__))

import yaml  # noqa: E402
from harness import Table  # noqa: E402

import tavik.datastructures.configuration as configuration  # noqa: E402
from tavik.datastructures.configuration import Configuration  # noqa: E402
from tavik.utils.strings import typecast_str  # noqa: E402

# What configuration files hold: numbers and flags as text, words, numbers.
VALUES = ["1", "2.5", "true", "localhost", 8080, "/srv/data", "-3", "False"]


def nested(leaves, width=10):
    """A nested dict with about `leaves` leaves, `width` keys per level."""
    counter = iter(range(leaves * 2))

    def build(n, depth):
        if n <= width:
            return {f"k{i}": VALUES[next(counter) % len(VALUES)] for i in range(n)}
        per = max(1, n // width)
        return {f"n{depth}_{i}": build(per, depth + 1) for i in range(width)}
    return build(leaves, 0)


def plain_merge(target, source):
    for key, value in source.items():
        if isinstance(value, dict):
            plain_merge(target.setdefault(key, {}), value)
        else:
            target[key] = typecast_str(value)
    return target


def plain_merge_mappings(target, source):
    # configparser sections are mappings, not dicts
    for key, value in source.items():
        if isinstance(value, Mapping):
            plain_merge_mappings(target.setdefault(key, {}), value)
        else:
            target[key] = typecast_str(value)
    return target


def plain_copy(source):
    return {key: plain_copy(value) if isinstance(value, dict) else typecast_str(value)
            for key, value in source.items()}


def write_files(folder, keys=1000, per_section=20):
    data = {}
    for s in range(keys // per_section):
        data[f"section{s}"] = {f"option{i}": VALUES[(s + i) % len(VALUES)]
                               for i in range(per_section)}
    yaml_path = os.path.join(folder, "bench.yaml")
    with open(yaml_path, "w") as f:
        yaml.safe_dump(data, f)
    cfg_path = os.path.join(folder, "bench.cfg")
    with open(cfg_path, "w") as f:
        f.write("[DEFAULT]\nbase = /srv\n\n")
        for section, options in data.items():
            f.write(f"[{section}]\n")
            for key, value in options.items():
                f.write(f"{key} = {value}\n")
            f.write("\n")
    return yaml_path, cfg_path


def plain_load_yaml(path):
    with open(path) as f:
        return plain_merge({}, yaml.safe_load(f))


def plain_load_cfg(path):
    parser = configparser.ConfigParser(delimiters=("=",), comment_prefixes=("#",))
    parser.read([path])
    d = plain_merge_mappings({}, parser)
    d.pop(configparser.DEFAULTSECT)
    return d


def same(value):
    return value


def main():
    t = Table("configuration")
    for leaves in (10, 1000, 100000):
        src = nested(leaves)
        assert Configuration(src) == plain_merge({}, src)
        t.compare(f"Configuration(nested {leaves:,})", lambda: Configuration(src),
                  "plain merge + typecast_str", lambda: plain_merge({}, src))

    cfg = Configuration({"a": {"b": 0}})
    d = {"a": {"b": 0}}

    def dotted():
        cfg["a.b"] = "1"

    def plain_dotted():
        d["a"]["b"] = typecast_str("1")

    t.compare("cfg['a.b'] = '1'", dotted, "d['a']['b'] = typecast_str('1')", plain_dotted)

    src = nested(1000)
    big = Configuration(src)
    plain = plain_merge({}, src)
    assert big.copy() == plain_copy(plain)
    t.compare("cfg.copy() (1,000 leaves)", big.copy, "plain deep copy + typecast_str",
              lambda: plain_copy(plain))

    with tempfile.TemporaryDirectory() as folder:
        yaml_path, cfg_path = write_files(folder)
        assert Configuration().load_yamls(yaml_path) == (yaml_path,)
        c = Configuration()
        c.load_yamls(yaml_path)
        assert c == plain_load_yaml(yaml_path)
        c = Configuration()
        c.load_cfgs(cfg_path)
        assert c == plain_load_cfg(cfg_path)
        t.compare("load_yamls (1,000 keys)", lambda: Configuration().load_yamls(yaml_path),
                  "yaml.safe_load + plain merge", lambda: plain_load_yaml(yaml_path))
        t.compare("load_cfgs (1,000 keys)", lambda: Configuration().load_cfgs(cfg_path),
                  "configparser + plain merge", lambda: plain_load_cfg(cfg_path))

        # How much of each load is typecast_str: the same load with a
        # conversion that does nothing.
        def loads_with(convert):
            def run():
                configuration.typecast_str = convert
                try:
                    return run.load()
                finally:
                    configuration.typecast_str = typecast_str
            return run

        for label, load in (("load_yamls", lambda: Configuration().load_yamls(yaml_path)),
                            ("load_cfgs", lambda: Configuration().load_cfgs(cfg_path))):
            real, none = loads_with(typecast_str), loads_with(same)
            real.load = none.load = load
            t.compare(f"{label}, typecast_str", real, f"{label}, no conversion", none)
    t.show()


if __name__ == "__main__":
    main()
