import collections.abc
import gc
import types
import weakref

import pytest

import tavik.datastructures.fieldbag as fieldbag
from tavik.datastructures.fieldbag import FieldBag, NestedFieldBag


def test_module_names_in_order():
    names = [n for n in vars(fieldbag) if not n.startswith("__") or n == "__test__"]
    assert names == ["itertools", "Mapping", "MutableMapping", "FieldBag", "NestedFieldBag",
                     "__test__"]
    assert fieldbag.Mapping is collections.abc.Mapping
    assert fieldbag.MutableMapping is collections.abc.MutableMapping
    assert fieldbag.__test__ == {}
    assert "object\nattributes (obj.key)" in fieldbag.__doc__


# ---------------------------------------------------------------------------
# FieldBag

def test_items_are_attributes():
    fb = FieldBag(a=1)
    assert fb.a == 1 and fb.__dict__ is fb and vars(fb) is fb
    fb.b = 2
    assert fb["b"] == 2 and "b" in fb
    del fb.b
    assert "b" not in fb
    with pytest.raises(AttributeError):
        fb.missing
    with pytest.raises(KeyError):
        fb["missing"]


@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {}, {}),
    (({"a": 1},), {}, {"a": 1}),
    (([("a", 1)],), {"b": 2}, {"a": 1, "b": 2}),
    ((), {"x": None}, {"x": None}),
])
def test_accepts_every_dict_construction(args, kwargs, expected):
    assert FieldBag(*args, **kwargs) == expected


@pytest.mark.parametrize("args, exc", [((1,), TypeError), (({}, {}), TypeError),
                                       (([(1, 2, 3)],), ValueError)])
def test_dict_initialiser_errors_pass_through(args, exc):
    with pytest.raises(exc):
        FieldBag(*args)


def test_entries_hide_methods_but_not_data_descriptors():
    fb = FieldBag({"keys": 1, "__class__": 2})
    assert fb.keys == 1
    assert list(dict.keys(fb)) == ["keys", "__class__"]
    assert fb.__class__ is FieldBag


def test_repr():
    class Sub(FieldBag):
        pass

    assert repr(FieldBag()) == "FieldBag({})"
    assert repr(Sub(a=1)) == "Sub({'a': 1})"
    fb = FieldBag()
    fb["a"] = fb
    assert repr(fb) == "FieldBag({'a': FieldBag({...})})"


def test_uninitialised_instance_and_reinit():
    fb = dict.__new__(FieldBag)
    fb["a"] = 1
    assert fb.__dict__ == {} and not hasattr(fb, "a")
    fb.__init__(b=2)
    assert fb.a == 1 and fb.b == 2 and fb.__dict__ is fb


@pytest.mark.parametrize("cls", [FieldBag, NestedFieldBag])
def test_self_referencing_bag_is_freed_by_the_collector(cls):
    bag = cls(a=1)
    bag["self"] = bag
    ref = weakref.ref(bag)
    del bag
    gc.collect()
    assert ref() is None


def test_subclass_init_chain_uses_super():
    calls = []

    class Base(dict):
        def __init__(self, *args, **kwargs):
            calls.append((args, kwargs))
            super().__init__(*args, **kwargs)

    class Mixed(FieldBag, Base):
        pass

    m = Mixed({"a": 1}, b=2)
    assert calls == [(({"a": 1},), {"b": 2})]
    assert m.a == 1 and m.b == 2


# ---------------------------------------------------------------------------
# NestedFieldBag

def test_nested_levels_and_dotted_reads():
    nfb = NestedFieldBag({"a": {"b": 1}, "l": [{"x": 1}]})
    assert nfb["a.b"] == 1 and nfb.a.b == 1
    assert type(nfb["a"]) is NestedFieldBag
    assert type(nfb["l"][0]) is dict
    assert NestedFieldBag.__mro__[1:4] == (FieldBag, dict, collections.abc.MutableMapping)


def test_dotted_write_creates_levels():
    nfb = NestedFieldBag()
    nfb["x.y.z"] = 1
    assert type(nfb["x"]) is NestedFieldBag and type(nfb["x.y"]) is NestedFieldBag
    assert nfb == {"x": {"y": {"z": 1}}}


def test_plain_dict_values_stay_plain():
    nfb = NestedFieldBag()
    nfb["p"] = {"q": 1}
    assert type(nfb["p"]) is dict
    assert nfb["p.q"] == 1
    with pytest.raises(KeyError) as info:
        nfb["p.q.r"]
    assert info.value.args == ("q.r",)
    with pytest.raises(KeyError) as info:
        nfb["p.r"] = 2
    assert info.value.args == (
        'target key "p" is a value, cannot update value against another NestedFieldBag',)


@pytest.mark.parametrize("key, expected", [
    ("s.b", True), ("s.q", False), ("missing.b", False), ("a.b", True), ("a.c", False),
    ("a", True), ("zz", False),
])
def test_dotted_membership(key, expected):
    nfb = NestedFieldBag({"s": "xbz", "a": {"b": 1}})
    assert (key in nfb) is expected


def test_membership_through_a_value_without_containment():
    nfb = NestedFieldBag(n=5)
    with pytest.raises(TypeError):
        "n.b" in nfb


def test_get_pop_setdefault_are_the_mixin_functions():
    for name in ("get", "pop", "setdefault"):
        assert NestedFieldBag.__dict__[name] is getattr(collections.abc.MutableMapping, name)
    nfb = NestedFieldBag({"a": {"b": 1}}, n=5)
    assert nfb.get("missing.x") is None
    with pytest.raises(TypeError):
        nfb.get("n.x")
    assert nfb.pop("a.b") == 1 and nfb["a"] == {} and type(nfb["a"]) is NestedFieldBag
    assert nfb.pop("a.zz", 7) == 7
    assert nfb.setdefault("c.d", 3) == 3 and type(nfb["c"]) is NestedFieldBag


def test_delete():
    nfb = NestedFieldBag({"a": {"b": 1, "c": 2}})
    del nfb["a.b"]
    assert nfb == {"a": {"c": 2}}
    with pytest.raises(KeyError) as info:
        del nfb["x.y"]
    assert info.value.args == ("x",)
    del nfb["a"]
    assert nfb == {}


@pytest.mark.parametrize("call, exc, message", [
    (lambda b: b.update([("a", 1, 2)]), TypeError,
     "cannot convert dictionary update sequence element #0 to a sequence"),
    (lambda b: b.update([("x", 1), ("a", 1, 2)]), TypeError,
     "cannot convert dictionary update sequence element #1 to a sequence"),
    (lambda b: b.update(iter([("a", 1, 2)])), AttributeError, None),
    (lambda b: b.update(1, 2), TypeError, "expected at most 1 arguments, got 2"),
    (lambda b: b.update([5]), TypeError, None),
    (lambda b: b.update(None), TypeError, None),
])
def test_update_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call(NestedFieldBag())
    if message:
        assert str(info.value) == message


def test_update_merges_level_by_level():
    nfb = NestedFieldBag(a={"b": 1})
    nfb.update(a={"c": 2})
    assert nfb == {"a": {"b": 1, "c": 2}}
    nfb.update({"a": {"e": {"deep": 1}}}, z=1)
    assert nfb["a.e.deep"] == 1 and nfb.z == 1
    with pytest.raises(AttributeError):
        NestedFieldBag(a=1).update(a={"b": 2})
    plain = NestedFieldBag()
    plain["p"] = {"q": 1}
    plain.update(p={"r": {"s": 1}})
    assert plain["p"] == {"q": 1, "r": {"s": 1}} and type(plain["p"]) is dict


def test_update_keeps_pairs_before_a_failure():
    nfb = NestedFieldBag()
    with pytest.raises(TypeError):
        nfb.update([("a", 1), ("b", {"c": 1}), ("bad",)])
    assert nfb == {"a": 1, "b": {"c": 1}}


@pytest.mark.parametrize("key, path", [("a.", ("a", "")), (".a", ("", "a"))])
def test_empty_key_segments(key, path):
    nfb = NestedFieldBag()
    nfb[key] = 1
    assert nfb[path[0]][path[1]] == 1


def test_copy_and_attribute_assignment_are_plain():
    nfb = NestedFieldBag({"a": {"b": 1}})
    c = nfb.copy()
    assert type(c) is dict and c["a"] is nfb["a"]
    nfb.x = {"y": 1}
    nfb.__setattr__("p.q", 1)
    assert type(nfb["x"]) is dict and "p.q" in dict.keys(nfb)


def test_mapping_proxy_values_become_levels():
    nfb = NestedFieldBag(m=types.MappingProxyType({"k": 1}))
    assert type(nfb["m"]) is NestedFieldBag and nfb["m.k"] == 1


def test_overrides_are_called():
    log = []

    class Sub(NestedFieldBag):
        def __setitem__(self, key, value):
            log.append(("set", key))
            super().__setitem__(key, value)

        def setdefault(self, key, default=None):
            log.append(("setdefault", key))
            return super().setdefault(key, default)

        def update(self, *args, **kwargs):
            log.append(("update",))
            super().update(*args, **kwargs)

        def __getitem__(self, key):
            log.append(("get", key))
            return super().__getitem__(key)

    s = Sub({"a": {"b": 1}})
    # the new level is made (running its own update) before setdefault is called
    assert log == [("update",), ("update",), ("setdefault", "a"), ("get", "a"), ("set", "a"),
                   ("update",), ("set", "b")]
    log.clear()
    s["x.y"] = 2
    assert log == [("set", "x.y"), ("update",), ("setdefault", "x"), ("get", "x"),
                   ("set", "x"), ("set", "y")]
    log.clear()
    assert s["x.y"] == 2
    assert log == [("get", "x.y"), ("get", "y")]


def test_entry_named_like_a_method_shadows_it_for_internal_lookups():
    # `self.update` and `self.setdefault` are attribute lookups on the instance,
    # and the instance's attributes are its items.
    nfb = NestedFieldBag()
    dict.__setitem__(nfb, "setdefault", lambda key, default: {"stored": key})
    with pytest.raises(KeyError, match="target key"):
        nfb["k.v"] = 1
    nfb2 = NestedFieldBag()
    dict.__setitem__(nfb2, "update", lambda *a, **k: None)
    nfb2.__init__({"a": 1})
    assert "a" not in nfb2


def test_dotted_keys_of_str_subclasses_split():
    class S(str):
        pass

    nfb = NestedFieldBag()
    nfb[S("a.b")] = 1
    assert nfb["a"]["b"] == 1 and S("a.b") in nfb


def test_non_string_keys_are_plain():
    nfb = NestedFieldBag({1: {"a": 1}, ("x.y",): 2})
    assert nfb[1]["a"] == 1 and nfb[("x.y",)] == 2


def test_fast_paths_keep_observable_calls():
    # Module-level itertools.chain is still what merges, even for new levels.
    import itertools
    seen = []

    def chain(*parts):
        seen.append(len(parts))
        return itertools.chain(*parts)

    fake = types.SimpleNamespace(chain=chain)
    saved = fieldbag.itertools
    fieldbag.itertools = fake
    try:
        nfb = NestedFieldBag({"a": {"b": 1}})
    finally:
        fieldbag.itertools = saved
    assert nfb == {"a": {"b": 1}}
    assert len(seen) >= 3  # the outer update, the new level's own update, the level's merge


def test_virtual_mapping_registration_is_honoured():
    import subprocess
    import sys
    import textwrap
    code = textwrap.dedent("""
        import collections.abc
        from tavik.datastructures.fieldbag import NestedFieldBag
        NestedFieldBag(a=1)
        collections.abc.Mapping.register(int)
        try:
            NestedFieldBag(a=1)
        except AttributeError as e:
            print("AttributeError", e)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.stdout.strip() == "AttributeError 'int' object has no attribute 'items'", out.stderr


def test_patched_class_methods_take_effect():
    calls = []
    original = NestedFieldBag.__getitem__

    def patched(self, key):
        calls.append(key)
        return original(self, key)

    class Sub(NestedFieldBag):
        pass

    s = Sub({"a": {"b": {"c": 1}}})
    assert s["a.b.c"] == 1
    Sub.__getitem__ = patched
    try:
        assert s["a.b.c"] == 1
    finally:
        del Sub.__getitem__
    assert calls == ["a.b.c", "b.c", "c"]
