import collections.abc
import gc
import inspect
import logging
import os
import pathlib
import subprocess
import sys
import textwrap
import warnings

import pytest
import yaml

# Run with this variable set, the module is imported as on an interpreter
# without setuptools (see test_entrypoint_finder_without_pkg_resources).
if os.environ.get("TAVIK_TEST_HIDE_PKG_RESOURCES"):
    sys.modules["pkg_resources"] = None

try:
    import pkg_resources
except ImportError:
    pkg_resources = None

import tavik.datastructures.configuration as configuration
import tavik.datastructures.fieldbag as fieldbag
import tavik.utils.strings
from tavik.datastructures.configuration import Configuration
from tavik.datastructures.fieldbag import FieldBag, NestedFieldBag

LOGGER = "tavik.datastructures.configuration"


@pytest.fixture
def casts(monkeypatch):
    """Records every value handed to typecast_str (the real one does the work)."""
    seen = []
    real = tavik.utils.strings.typecast_str

    def recording(value):
        seen.append(value)
        return real(value)

    monkeypatch.setattr(configuration, "typecast_str", recording)
    return seen


def write(folder, name, text):
    path = folder / name
    if isinstance(text, bytes):
        path.write_bytes(text)
    else:
        path.write_text(textwrap.dedent(text))
    return str(path)


# ---------------------------------------------------------------------------
# The module and the class

def test_module_names_in_order():
    names = [n for n in vars(configuration) if not n.startswith("__") or n == "__test__"]
    assert names == ["os", "yaml", "logging", "configparser", "iter_entry_points", "Mapping",
                     "NestedFieldBag", "typecast_str", "logger", "Configuration", "__test__"]
    assert configuration.Mapping is collections.abc.Mapping
    assert configuration.NestedFieldBag is fieldbag.NestedFieldBag
    assert configuration.typecast_str is tavik.utils.strings.typecast_str
    assert configuration.yaml is yaml
    assert configuration.logger is logging.getLogger(LOGGER)
    assert configuration.__test__ == {}


def test_class_shape():
    assert Configuration.__bases__ == (NestedFieldBag,)
    assert type(Configuration) is type(NestedFieldBag)
    assert Configuration.__module__ == LOGGER
    assert Configuration.__qualname__ == "Configuration"
    assert Configuration.__doc__ is None
    assert "__init__" not in vars(Configuration)
    cfg = Configuration()
    assert isinstance(cfg, NestedFieldBag) and isinstance(cfg, FieldBag)
    assert isinstance(cfg, collections.abc.MutableMapping)


@pytest.mark.parametrize("name, params, has_doc", [
    ("copy", "(self)", True),
    ("__setitem__", "(self, key, value)", False),
    ("load_cfgs", "(self, *files)", False),
    ("load_yamls", "(self, *files)", False),
    ("load_entrypoint", "(self, group)", True),
])
def test_methods(name, params, has_doc):
    func = vars(Configuration)[name]
    assert func.__qualname__ == "Configuration." + name
    assert func.__module__ == LOGGER
    assert str(inspect.signature(func)) == params
    assert (func.__doc__ is not None) == has_doc


def test_docstrings_say_what_the_methods_promise():
    doc = " ".join(Configuration.copy.__doc__.split())
    assert "nested configuration block" in doc
    assert "cannot corrupt the shared configuration" in doc
    doc = " ".join(Configuration.load_entrypoint.__doc__.split())
    assert "installed" in doc and "Configuration-like" in doc and "cfg file" in doc


# ---------------------------------------------------------------------------
# Every stored value passes through typecast_str

def test_dotted_write_chains_typecast_through_each_level(casts):
    cfg = Configuration()
    cfg["a.b"] = "1"
    level = cfg["a"]
    assert type(level) is Configuration
    assert casts[0] == "1" and casts[1] is level and casts[2] == 1 and len(casts) == 3
    assert cfg == {"a": {"b": 1}}
    casts.clear()
    cfg["a.x.y"] = "2.5"
    values = [v for v in casts if not isinstance(v, Configuration)]
    assert values == ["2.5", 2.5, 2.5]
    assert cfg.a.x.y == 2.5


@pytest.mark.parametrize("text, stored", [
    ("1", 1), ("-2", -2), ("2.5", 2.5), ("true", True), ("False", False),
    ("word", "word"), ("007", "007"), ("", ""), (None, None),
])
def test_values_are_converted_everywhere_they_are_stored(text, stored):
    cfg = Configuration({"a": {"b": text}}, top=text)
    cfg["c"] = text
    cfg.update({"d.e": text})
    assert cfg["a.b"] == cfg["top"] == cfg["c"] == cfg["d.e"] == stored
    assert type(cfg["c"]) is type(stored)


def test_attribute_and_dict_writes_bypass_conversion():
    cfg = Configuration()
    cfg.a = "1"
    dict.__setitem__(cfg, "b", "2")
    cfg.c = {"d": "3"}
    assert cfg.a == "1" and cfg["b"] == "2" and type(cfg.c) is dict


def test_write_through_a_value_refuses_and_names_the_class():
    cfg = Configuration(a="1")
    with pytest.raises(KeyError) as err:
        cfg["a.b"] = 2
    assert err.value.args == (
        'target key "a" is a value, cannot update value against another Configuration',)
    assert cfg == {"a": 1}


def test_failing_conversion_stores_nothing(monkeypatch):
    def refuse(value):
        raise ValueError("no")

    cfg = Configuration(a=1)
    monkeypatch.setattr(configuration, "typecast_str", refuse)
    with pytest.raises(ValueError, match="no"):
        cfg["b"] = 2
    assert cfg == {"a": 1}


def test_subclass_override_of_the_next_setitem_is_used():
    seen = []

    class Recording(NestedFieldBag):
        def __setitem__(self, key, value):
            seen.append((key, value))
            super().__setitem__(key, value)

    class Cfg(Configuration, Recording):
        pass

    cfg = Cfg()
    cfg["k"] = "5"
    assert seen == [("k", 5)] and cfg == {"k": 5}


def test_setitem_through_the_class_on_a_foreign_object_raises_type_error():
    with pytest.raises(TypeError):
        Configuration.__setitem__({}, "a", 1)


# ---------------------------------------------------------------------------
# copy

def test_copy_is_deep_for_mappings_and_shares_other_values(casts):
    shared = ["x"]
    cfg = Configuration({"a": {"b": "1", "l": shared}})
    dict.__setitem__(cfg, "plain", {"p": "2"})
    casts.clear()
    dup = cfg.copy()
    assert type(dup) is Configuration and dup.a == cfg.a and dup.a is not cfg.a
    assert type(dup.a) is Configuration and type(dup.plain) is Configuration
    assert dup.plain == {"p": 2}  # stored again, so converted this time
    assert dup["a.l"] is shared
    assert "2" in casts and 1 in casts
    dup["a.b"] = 9
    assert cfg["a.b"] == 1


def test_copy_keeps_the_subclass():
    class Sub(Configuration):
        pass

    dup = Sub({"a": {"b": 1}}).copy()
    assert type(dup) is Sub and type(dup.a) is Sub


def test_copy_of_a_store_that_contains_itself_raises_recursion_error():
    cfg = Configuration()
    dict.__setitem__(cfg, "me", cfg)
    with pytest.raises(RecursionError):
        cfg.copy()


# ---------------------------------------------------------------------------
# load_cfgs

CFG = """\
    [DEFAULT]
    x = 1
    root = /srv

    [s]
    Name = v
    path = %(root)s/data
    # a comment
    flag = true

    [a.b]
    c = 2.5
    """


def test_load_cfgs_merges_sections_with_defaults(tmp_path):
    path = write(tmp_path, "one.cfg", CFG)
    cfg = Configuration({"s": {"kept": "yes"}}, DEFAULT={"before": 1})
    assert cfg.load_cfgs(path, str(tmp_path / "missing.cfg")) == [path]
    assert "DEFAULT" not in cfg
    assert cfg.s == {"kept": "yes", "name": "v", "path": "/srv/data", "flag": True,
                     "x": 1, "root": "/srv"}
    assert type(cfg.a.b) is Configuration
    assert cfg["a.b.c"] == 2.5 and cfg["a.b.x"] == 1


def test_load_cfgs_later_files_override_and_unreadable_ones_are_skipped(tmp_path):
    first = write(tmp_path, "1.cfg", "[s]\nk = 1\nonly = first\n")
    second = write(tmp_path, "2.cfg", "[s]\nk = 2\n")
    cfg = Configuration()
    assert cfg.load_cfgs(first, str(tmp_path), second) == [first, second]
    assert cfg == {"s": {"k": 2, "only": "first"}}


def test_load_cfgs_with_nothing_read_still_drops_default():
    cfg = Configuration(DEFAULT={"x": 1}, keep=1)
    assert cfg.load_cfgs("/nonexistent/a.cfg") == []
    assert cfg.load_cfgs() == []
    assert cfg == {"keep": 1}


@pytest.mark.parametrize("text, error", [
    ("[s]\nk: v\n", "ParsingError"),
    ("k = v\n", "MissingSectionHeaderError"),
    ("[s]\n[s]\n", "DuplicateSectionError"),
    ("[s]\nk = 1\nk = 2\n", "DuplicateOptionError"),
    (b"[s]\nk = \xff\xfe\x80\n", "UnicodeDecodeError"),
])
def test_load_cfgs_parse_errors_merge_nothing(tmp_path, text, error):
    good = write(tmp_path, "good.cfg", "[g]\nk = 1\n")
    bad = write(tmp_path, "bad.cfg", text)
    cfg = Configuration(keep=1)
    with pytest.raises(Exception) as err:
        cfg.load_cfgs(good, bad)
    assert type(err.value).__name__ == error
    assert cfg == {"keep": 1}


def test_load_cfgs_interpolation_error_keeps_what_was_merged(tmp_path):
    path = write(tmp_path, "i.cfg", "[a]\nk = 1\n[b]\nk = %(missing)s\n")
    cfg = Configuration()
    with pytest.raises(Exception) as err:
        cfg.load_cfgs(path)
    assert type(err.value).__name__ == "InterpolationMissingOptionError"
    assert cfg["a.k"] == 1 and "k" not in cfg["b"]


# ---------------------------------------------------------------------------
# load_yamls

def test_load_yamls_merges_level_by_level(tmp_path):
    one = write(tmp_path, "one.yaml", """\
        db:
          host: localhost
          port: "5432"
        a.b: x
        """)
    two = write(tmp_path, "two.yaml", """\
        db:
          port: 6543
          opts: [1, 2]
        """)
    pairs = write(tmp_path, "pairs.yaml", "- [top, 'true']\n- [n, 3]\n")
    cfg = Configuration({"db": {"user": "me"}})
    loaded = cfg.load_yamls(one, str(tmp_path / "missing.yaml"), str(tmp_path), two,
                            pathlib.Path(pairs))
    assert loaded == (one, two, pathlib.Path(pairs))
    assert cfg == {"db": {"user": "me", "host": "localhost", "port": 6543, "opts": [1, 2]},
                   "a": {"b": "x"}, "top": True, "n": 3}
    assert type(cfg.db) is Configuration and type(cfg.a) is Configuration


@pytest.mark.parametrize("text, error", [
    ("", TypeError),                         # an empty document loads as None
    ("# only a comment\n", TypeError),
    ("just text\n", TypeError),              # not pairs
    ("42\n", TypeError),
    ("a: [1, 2\n", yaml.YAMLError),
    ("a: 1\n  b: 2\n", yaml.YAMLError),
    (b"a: \x80\x81\xff\n", (UnicodeDecodeError, yaml.YAMLError)),
])
def test_load_yamls_bad_file_raises_and_keeps_earlier_files(tmp_path, text, error):
    good = write(tmp_path, "good.yaml", "g: 1\n")
    bad = write(tmp_path, "bad.yaml", text)
    later = write(tmp_path, "later.yaml", "later: 1\n")
    cfg = Configuration(keep=1)
    with warnings.catch_warnings():
        warnings.simplefilter("error", ResourceWarning)
        with pytest.raises(error):
            cfg.load_yamls(good, bad, later)
        gc.collect()  # an unclosed file would warn here
    assert cfg == {"keep": 1, "g": 1}


def test_load_yamls_unreadable_regular_file_raises(tmp_path):
    path = tmp_path / "locked.yaml"
    path.write_text("a: 1\n")
    path.chmod(0)
    try:
        if os.access(path, os.R_OK):
            pytest.skip("running with permission to read any file")
        with pytest.raises(PermissionError):
            Configuration().load_yamls(str(path))
    finally:
        path.chmod(0o600)


# ---------------------------------------------------------------------------
# load_entrypoint, against a test distribution on sys.path

GROUP = "tavik.cfgtest"
DIST = "tavik-cfgtest 1.0"


def make_distribution(root):
    info = root / "tavik_cfgtest-1.0.dist-info"
    info.mkdir(parents=True)
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: tavik-cfgtest\nVersion: 1.0\n")
    (info / "entry_points.txt").write_text(textwrap.dedent(f"""\
        [{GROUP}]
        base = tavik_cfgtest:BASE
        number = tavik_cfgtest:NUMBER
        missing = tavik_cfgtest:does_not_exist
        pairs = tavik_cfgtest:PAIRS
        partial = tavik_cfgtest:PARTIAL

        [{GROUP}.fatal]
        fatal = tavik_cfgtest:FATAL
        """))
    (root / "tavik_cfgtest.py").write_text(textwrap.dedent("""\
        BASE = {"db": {"host": "localhost", "port": "5432"}}
        NUMBER = 42
        PAIRS = [("db.user", "me"), ("debug", "false")]
        PARTIAL = [("merged", "1"), ("broken",)]

        def _exit():
            raise SystemExit(3)
            yield

        FATAL = _exit()
        """))


@pytest.fixture(scope="module")
def distribution(tmp_path_factory):
    """A distribution publishing entry points, put on sys.path.  One folder
    per test session: repeated runs find the same, already known, folder."""
    root = tmp_path_factory.getbasetemp() / "tavik-cfgtest-site"
    if not root.exists():
        make_distribution(root)
    sys.path.insert(0, str(root))
    ws = getattr(pkg_resources, "working_set", None)
    if ws is not None and str(root) not in ws.entries:  # read at its import
        ws.add_entry(str(root))
    yield root
    sys.path.remove(str(root))
    sys.modules.pop("tavik_cfgtest", None)


def test_entrypoint_finder_is_bound_from_pkg_resources_when_installed():
    if pkg_resources is not None:
        assert configuration.iter_entry_points == pkg_resources.iter_entry_points
    else:
        func = configuration.iter_entry_points
        assert func.__module__ == LOGGER and func.__qualname__ == "iter_entry_points"
        assert str(inspect.signature(func)) == "(group, name=None)"


def test_entrypoint_finder_yields_loadable_points_naming_their_distribution(distribution):
    eps = list(configuration.iter_entry_points(group=GROUP))
    assert [ep.name for ep in eps] == ["base", "number", "missing", "pairs", "partial"]
    assert {str(ep.dist) for ep in eps} == {DIST}
    assert eps[0].load() == {"db": {"host": "localhost", "port": "5432"}}
    assert [ep.name for ep in configuration.iter_entry_points(GROUP, "pairs")] == ["pairs"]


def test_entrypoint_load_merges_and_logs_failures(distribution, caplog):
    cfg = Configuration({"db": {"port": "1"}})
    with caplog.at_level(logging.ERROR, logger=LOGGER):
        loaded = cfg.load_entrypoint(GROUP)
    assert [ep.name for ep in loaded] == ["base", "pairs"]
    assert cfg == {"db": {"host": "localhost", "port": 5432, "user": "me"}, "debug": False,
                   "merged": 1}  # what the failing one merged before its error stays
    records = [r for r in caplog.records if r.name == LOGGER]
    assert [(r.levelno, r.getMessage()) for r in records] == [
        (logging.ERROR, "Failed to load configuration from entrypoint: " + DIST)] * 3
    # the missing attribute: AttributeError, or ImportError from pkg_resources
    assert [issubclass(r.exc_info[0], exc) for r, exc in
            zip(records, [TypeError, (AttributeError, ImportError), TypeError])] == [True] * 3
    assert all(r.exc_info[2] is not None for r in records)
    assert "load_entrypoint" in caplog.text  # the traceback is in the log


def test_entrypoint_load_again_loads_again_and_unknown_group_is_empty(distribution, caplog):
    cfg = Configuration()
    with caplog.at_level(logging.CRITICAL, logger=LOGGER):
        first = cfg.load_entrypoint(group=GROUP)
        second = cfg.load_entrypoint(GROUP)
    assert [ep.name for ep in first] == [ep.name for ep in second] == ["base", "pairs"]
    caplog.clear()
    assert cfg.load_entrypoint("tavik.cfgtest.nothing") == []
    assert not caplog.records


def test_entrypoint_errors_beyond_exception_propagate(distribution):
    with pytest.raises(SystemExit):
        Configuration().load_entrypoint(GROUP + ".fatal")


@pytest.mark.parametrize("module_text, outcome", [
    ("def iter_entry_points(group, name=None):\n    return iter(['found'])\n", "pkg_resources"),
    ("import warnings\nwarnings.warn('deprecated', DeprecationWarning)\n", "own"),
    ("raise ImportError('broken setuptools')\n", "own"),
    ("raise RuntimeError('broken setuptools')\n", "RuntimeError"),
])
def test_finder_choice_at_import(tmp_path, module_text, outcome):
    # A stand-in pkg_resources first on the path of a fresh interpreter, with
    # warnings turned into errors.
    (tmp_path / "pkg_resources.py").write_text(module_text)
    code = textwrap.dedent("""
        try:
            import tavik.datastructures.configuration as c
        except Exception as e:
            print(type(e).__name__)
        else:
            f = c.iter_entry_points
            print(f.__module__ if f.__module__ == 'pkg_resources' else 'own')
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path)] + sys.path))
    out = subprocess.run([sys.executable, "-W", "error::DeprecationWarning", "-c", code],
                         capture_output=True, text=True, env=env)
    assert out.stdout.strip() == outcome, out.stderr


@pytest.mark.skipif(pkg_resources is None, reason="the run itself goes without pkg_resources")
def test_entrypoint_finder_without_pkg_resources():
    env = dict(os.environ, TAVIK_TEST_HIDE_PKG_RESOURCES="1")
    out = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                          "-k", "entrypoint", __file__], capture_output=True, text=True, env=env)
    assert out.returncode == 0, out.stdout + out.stderr
    assert " passed" in out.stdout and "skipped" in out.stdout
