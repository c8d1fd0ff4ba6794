"""A short tour of tavik.datastructures: every module, what it does, what it shows."""
import gc
import os
import tempfile
import textwrap


def section(title):
    print(f"\n=== {title} ===")


def show(label, value):
    print(f"{label:<38} {value!r}" if not isinstance(value, str) else f"{label:<38} {value}")


section("fieldbag: dicts whose keys are attributes")
from tavik.datastructures.fieldbag import FieldBag, NestedFieldBag

fb = FieldBag(colour="red")
fb.size = 3
show("FieldBag(colour='red'); fb.size = 3", fb)
show("fb.colour, fb['size']", (fb.colour, fb["size"]))
nfb = NestedFieldBag({"db": {"host": "localhost"}})
nfb["db.port"] = 5432
show("nfb['db.port'] = 5432", nfb)
show("nfb.db.host", nfb.db.host)
show("'db.user' in nfb", "db.user" in nfb)

section("configuration: a layered configuration store")
from tavik.datastructures.configuration import Configuration

with tempfile.TemporaryDirectory() as tmp:
    ini = os.path.join(tmp, "app.cfg")
    with open(ini, "w") as f:
        f.write("[DEFAULT]\nretries = 3\n\n[server]\nhost = example.org\nport = 8080\n")
    yml = os.path.join(tmp, "app.yaml")
    with open(yml, "w") as f:
        f.write(textwrap.dedent("""
            server:
              debug: true
            features:
              search: {enabled: false}
        """))
    cfg = Configuration()
    show("cfg.load_cfgs(app.cfg)", [os.path.basename(p) for p in cfg.load_cfgs(ini)])
    show("cfg.load_yamls(app.yaml, missing)",
         tuple(os.path.basename(p) for p in cfg.load_yamls(yml, os.path.join(tmp, "no.yaml"))))
show("cfg['server.port'] (typecast)", cfg["server.port"])
show("cfg.server.retries", cfg.server.retries)
show("cfg['features.search.enabled']", cfg["features.search.enabled"])
copy = cfg.copy()
copy["server.port"] = "9090"
show("copy changed, original port", cfg["server.port"])

section("pathrows: nested dicts as (path, value) rows")
from tavik.datastructures.pathrows import PathRows

rows = PathRows({"a": {"b": {"c": 1, "d": 2}}, "e": 3})
for row in rows:
    show("  row", row)
rows.append((("a", "x"), 9))
show("reconstruct() after append", rows.reconstruct())

section("rankmap: a mapping with an explicit key order")
from tavik.datastructures.rankmap import RankMap

rm = RankMap([("a", 1), ("b", 2)], c=3)
rm.move("c", 0)
rm.insert("z", 26, 1)
show("move('c', 0); insert('z', 26, 1)", rm)
show("keys()", rm.keys())

section("logic: composable regular-expression tests")
from tavik.datastructures.logic import And, Not, Or, logic_str

rule = And("^a", Or("b", Not("x")))
show("rule", rule)
show("rule('abc'), rule('axe')", (rule("abc"), rule("axe")))
show("logic_str(str(rule)) == rule", logic_str(str(rule)) == rule)
try:
    logic_str("__import__('os').system('echo unsafe')")
except ValueError as e:
    show("logic_str refuses code", e)

section("wispseq: a list of weak references")
from tavik.datastructures.wispseq import WispSeq


class Item:
    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return f"Item({self.name!r})"


a, b, c = Item("a"), Item("b"), Item("c")
ws = WispSeq([a, b, c])
show("WispSeq([a, b, c])", ws)
del b
gc.collect()
show("after del b", ws)

section("ramus: a tree that prints like `tree`")
from tavik.datastructures.ramus import Ramus

root = Ramus("project", [Ramus("src", [Ramus("frame"), Ramus("datastructures")]),
                         Ramus("tests"), "README.md"])
print(root)

section("typefield: read-only class-level computed attributes")
from tavik.datastructures.typefield import typefield


class Model:
    @typefield
    def table(cls):
        return cls.__name__.lower() + "s"


class User(Model):
    pass


show("Model.table, User.table, User().table", (Model.table, User.table, User().table))

section("factory: choose the subclass in the call")
from tavik.datastructures.factory import MetaClassFactory


class Shape(metaclass=MetaClassFactory):
    def __init__(self, size):
        self.size = size


class Square(Shape):
    pass


s = Shape(2, **{"class": Square})
show("Shape(2, **{'class': Square})", (type(s).__name__, s.size))
