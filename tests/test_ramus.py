import doctest
import inspect
import sys
import threading
import traceback

import pytest
from hypothesis import given, settings, strategies as st

import tavik.datastructures.ramus as ramus
from tavik.datastructures.ramus import Ramus

STR_ENTRY = "tavik.datastructures.ramus.Ramus.__str__"


class Reference:
    """The same node written out in plain Python, as the yardstick."""

    def __init__(self, name, children=None):
        if not children:
            children = []
        self.name = name
        self.children = children

    def __str__(self):
        result = self.name
        if not self.children:
            return result
        for child in self.children[:-1]:
            lines = str(child).split("\n")
            result += "\n|-- " + str(lines[0])
            for line in lines[1:]:
                result += "\n|   " + str(line)
        lines = str(self.children[-1]).split("\n")
        result += "\n`-- " + str(lines[0])
        for line in lines[1:]:
            result += "\n    " + str(line)
        return result


def chain(depth, cls=Ramus):
    node = cls("n%d" % (depth - 1))
    for i in range(depth - 2, -1, -1):
        node = cls("n%d" % i, [node])
    return node


# ---------------------------------------------------------------------------
# The module and the class

def test_module_and_class_shape():
    assert [n for n in vars(ramus) if not n.startswith("__") or n == "__test__"] == \
        ["Ramus", "__test__"]
    assert ramus.__test__ == {}
    assert Ramus.__bases__ == (object,) and type(Ramus) is type
    assert (Ramus.__module__, Ramus.__qualname__) == ("tavik.datastructures.ramus", "Ramus")
    assert [n for n in vars(Ramus) if not n.startswith("__") or n in
            ("__init__", "__str__")] == ["__init__", "add_child", "__str__"]
    assert Ramus.__doc__.startswith("Tree Tree Class")
    assert [Ramus.__init__.__doc__, Ramus.add_child.__doc__, Ramus.__str__.__doc__] == \
        ["class __init__", "Add children", "String formatter"]
    assert str(inspect.signature(Ramus.__init__)) == "(self, name, children=None)"
    assert str(inspect.signature(Ramus.add_child)) == "(self, item)"


def test_docstring_example_renders_as_listed():
    result = doctest.testmod(ramus)
    assert result.attempted >= 2 and result.failed == 0


# ---------------------------------------------------------------------------
# Construction and add_child

@pytest.mark.parametrize("falsy", [None, [], (), "", 0])
def test_false_children_become_a_new_list(falsy):
    a, b = Ramus("a", falsy), Ramus("b", falsy)
    assert a.children == [] and a.children is not falsy and a.children is not b.children


def test_children_are_shared_not_copied():
    kids = ["x"]
    node = Ramus(name=3, children=kids)
    assert node.name == 3 and node.children is kids
    kids.append("y")
    node.add_child("z")
    assert kids == ["x", "y", "z"]
    assert str(Ramus("r", kids)) == "r\n|-- x\n|-- y\n`-- z"


@pytest.mark.parametrize("children", ["xy", ("x", "y")])
def test_add_child_needs_append(children):
    node = Ramus("r", children)
    with pytest.raises(AttributeError):
        node.add_child("z")
    assert str(node) == "r\n|-- x\n`-- y"


# ---------------------------------------------------------------------------
# Rendering

@pytest.mark.parametrize("node, expected", [
    (Ramus("x"), "x"),
    (Ramus("x", []), "x"),
    (Ramus("a", [Ramus("b", [Ramus("c")]), Ramus("d")]), "a\n|-- b\n|   `-- c\n`-- d"),
    (Ramus("a", [Ramus("b", ["c", "d"])]), "a\n`-- b\n    |-- c\n    `-- d"),
    (Ramus("a", ["", ""]), "a\n|-- \n`-- "),
    (Ramus("a", ["x\n", "y\n"]), "a\n|-- x\n|   \n`-- y\n    "),
    (Ramus("a", ["p\nq", "r"]), "a\n|-- p\n|   q\n`-- r"),
    (Ramus("a", ["p\r\nq"]), "a\n`-- p\r\n    q"),
    (Ramus("a\nb", [Ramus("c\nd", ["e"]), 7]), "a\nb\n|-- c\n|   d\n|   `-- e\n`-- 7"),
    (Ramus("a", [None, 1.5, ("t",)]), "a\n|-- None\n|-- 1.5\n`-- ('t',)"),
    # every character width, and a wider one arriving after narrower text
    (Ramus("é", [Ramus("ж"), "\U0001F333", "x"]), "é\n|-- ж\n|-- \U0001F333\n`-- x"),
    (Ramus("ascii", [Ramus("ß", ["ok"])]), "ascii\n`-- ß\n    `-- ok"),
], ids=lambda v: None if isinstance(v, Ramus) else repr(v))
def test_rendering(node, expected):
    text = str(node)
    assert text == expected and type(text) is str


def test_rendering_keeps_str_subclass_leaf_names_as_they_are():
    class Label(str):
        pass

    label = Label("leaf")
    assert str(Ramus(label)) is label
    assert str(Ramus("r", [Ramus(label)])) == "r\n`-- leaf"


names = st.sampled_from(["a", "", "b\nc", "x\n", "é", "ж\nж", "\U0001F333", "p\r\nq"])
leaves = st.one_of(names, st.integers(), st.none())
# A node is (name, children, children-as-tuple); anything else is a leaf child.
nodes = st.recursive(
    leaves, lambda inner: st.tuples(names, st.lists(inner, max_size=4), st.booleans()),
    max_leaves=40)


def build(cls, shape):
    if not isinstance(shape, tuple):
        return shape
    name, kids, as_tuple = shape
    kids = [build(cls, k) for k in kids]
    return cls(name, tuple(kids) if as_tuple else kids)


@settings(max_examples=300, deadline=None)
@given(st.tuples(names, st.lists(nodes, max_size=4), st.booleans()))
def test_renders_like_the_plain_python_node(shape):
    assert str(build(Ramus, shape)) == str(build(Reference, shape))


def chain_lines(depth):
    return ["n0"] + ["    " * (i - 1) + "`-- n%d" % i for i in range(1, depth)]


def test_deep_and_wide_trees():
    assert str(chain(400)).split("\n") == chain_lines(400)
    wide = Ramus("root", [Ramus(str(i)) for i in range(100_000)])
    lines = str(wide).split("\n")
    assert len(lines) == 100_001 and lines[1] == "|-- 0" and lines[-1] == "`-- 99999"


def test_deep_tree_and_cycle_on_a_small_thread_stack():
    # Rendering nests no C calls per walked level: the recursion limit, not
    # the thread's stack, ends a node that contains itself.
    loop = Ramus("loop", [Ramus("x")])
    loop.children[0].add_child(loop)
    results = []

    def run():
        results.append(str(chain(400)))
        try:
            str(loop)
        except RecursionError as exc:
            results.append(exc)

    old = threading.stack_size(512 * 1024)
    try:
        t = threading.Thread(target=run)
        t.start()
        t.join()
    finally:
        threading.stack_size(old)
    assert results[0].split("\n") == chain_lines(400)
    assert isinstance(results[1], RecursionError)


# ---------------------------------------------------------------------------
# What rendering reads and calls

class Logged(Ramus):
    """Logs every read of `name` and `children`, and every children access."""

    def __init__(self, log, name, children=None):
        self.log = log
        super().__init__(name, children)

    @property
    def name(self):
        self.log.append(("name", self._name))
        return self._name

    @name.setter
    def name(self, value):
        self._name = value

    @property
    def children(self):
        self.log.append(("children", self._name))
        return LoggedList(self.log, self._name, self._children)

    @children.setter
    def children(self, value):
        self._children = value


class LoggedList(list):
    def __init__(self, log, owner, items):
        super().__init__(items)
        self.log, self.owner = log, owner

    def __bool__(self):
        self.log.append(("bool", self.owner))
        return len(self) > 0

    def __getitem__(self, index):
        self.log.append(("getitem", self.owner, repr(index)))
        return list.__getitem__(self, index)


def test_rendering_reads_exactly_what_the_nested_calls_read():
    log = []
    root = Logged(log, "r", [Logged(log, "a", [Logged(log, "b")]), Logged(log, "c")])
    del log[:]
    assert str(root) == "r\n|-- a\n|   `-- b\n`-- c"
    def node(n, kids):
        steps = [("name", n), ("children", n), ("bool", n)]
        if kids:
            steps += [("children", n), ("getitem", n, "slice(None, -1, None)")]
            for k in kids[:-1]:
                steps += k
            steps += [("children", n), ("getitem", n, "-1")] + kids[-1]
        return steps

    assert log == node("r", [node("a", [node("b", [])]), node("c", [])])


def test_children_with_their_own_str_are_asked():
    class Upper(Ramus):
        def __str__(self):
            return super().__str__().upper()

    tree = Ramus("r", [Upper("a", [Ramus("b")]), Ramus("c", [Upper("d")])])
    assert str(tree) == "r\n|-- A\n|   `-- B\n`-- c\n    `-- D"


def test_replacing_the_str_method_takes_effect():
    class Sub(Ramus):
        pass

    tree = Ramus("r", [Sub("a", [Sub("b")])])
    Sub.__str__ = lambda self: "<%s>" % self.name
    try:
        assert str(tree) == "r\n`-- <a>"
    finally:
        del Sub.__str__
    assert str(tree) == "r\n`-- a\n    `-- b"


# ---------------------------------------------------------------------------
# Failures

class Boom(Exception):
    pass


class Bad:
    def __str__(self):
        raise Boom("no text")


@pytest.mark.parametrize("node, exc, match", [
    (Ramus(5), TypeError, "__str__ returned non-string"),
    (Ramus(5, ["x"]), TypeError, None),
    (Ramus(None, ["x"]), TypeError, None),
    (Ramus("r", [Ramus(5)]), TypeError, r"__str__ returned non-string \(type int\)"),
    (Ramus("r", [Ramus(b"x", ["y"])]), TypeError, None),
    (Ramus("r", {"a"}), TypeError, "^'set' object is unsliceable$"),
    (Ramus("r", [Ramus("a", {"x"}), "b"]), TypeError, "^'set' object is unsliceable$"),
    (Ramus("r", ["ok", Bad()]), Boom, "no text"),
    (Ramus("r", [Ramus("a", [Ramus("b", [Bad()])])]), Boom, "no text"),
])
def test_rendering_failures(node, exc, match):
    with pytest.raises(exc, match=match):
        str(node)


def test_name_that_is_not_a_str_is_added_to_piece_by_piece():
    class Head:
        def __iadd__(self, text):
            return "head" + text

    assert str(Ramus(Head(), ["a", "b\nc"])) == "head\n|-- a\n`-- b\n    c"
    assert str(Ramus("r", [Ramus(Head(), ["a"])])) == "r\n`-- head\n    `-- a"
    with pytest.raises(TypeError, match=r"returned non-string \(type list\)"):
        str(Ramus(["x"], ["a"]))
    assert Ramus.__str__(Ramus(["x"], ["a"])) == ["x", "\n", "`", "-", "-", " ", "a"]


def test_failure_deep_inside_names_every_rendering_level():
    tree = Ramus("r", ["x", Ramus("a", [Ramus("b", ["y", Bad()])])])
    with pytest.raises(Boom) as info:
        str(tree)
    entries = [e.name for e in traceback.extract_tb(info.value.__traceback__)]
    assert entries.count(STR_ENTRY) == 3


@pytest.mark.parametrize("make_cycle", [
    lambda: (lambda r: (r.add_child(r), r)[1])(Ramus("loop")),
    lambda: (lambda r: (r.children[0].add_child(r), r)[1])(Ramus("a", [Ramus("b")])),
    lambda: (lambda r: (r.children.insert(0, r), r)[1])(Ramus("a", ["x"])),
])
def test_node_inside_its_own_subtree_raises_recursion_error(make_cycle):
    node = make_cycle()
    for _ in range(2):  # the interpreter recovers fully
        with pytest.raises(RecursionError):
            str(node)
    assert str(chain(400)).count("\n") == 399


def test_failures_release_what_they_hold():
    child = Bad()
    tree = Ramus("r", [Ramus("a", ["x", child]), Ramus("b")])
    before = sys.getrefcount(child)
    for _ in range(100):
        with pytest.raises(Boom):
            str(tree)
    assert sys.getrefcount(child) == before
