"""A caller of every public name of the package, written the way a user would.

Checked with `mypy --strict` by scripts/typecheck.sh (against the installed
stubs) and run by tests/test_docs.py, so it stays correct at run time too.
"""
from __future__ import annotations

import copy
import logging
import re
import tempfile
from pathlib import Path
from typing import Any

from tavik.datastructures.configuration import Configuration
from tavik.datastructures.configuration import logger as configuration_logger
from tavik.datastructures.factory import MetaClassFactory
from tavik.datastructures.fieldbag import FieldBag, NestedFieldBag
from tavik.datastructures.logic import And, BaseLogic, Not, Or, logic_str
from tavik.datastructures.logic import logger as logic_logger
from tavik.datastructures.pathrows import DictItem, PathRows
from tavik.datastructures.ramus import Ramus
from tavik.datastructures.rankmap import RankMap
from tavik.datastructures.typefield import TypeFieldDescriptor, typefield
from tavik.datastructures.wispseq import WispSeq
from tavik.utils.strings import typecast_str


def use_fieldbags() -> int:
    bag = FieldBag(host="localhost", port=80)
    bag.port = 8080
    host: str = bag.host
    nested = NestedFieldBag({"db": {"user": "app"}})
    nested["db.password"] = "secret"
    nested.update({"db": {"port": 5432}}, debug=True)
    assert "db.user" in nested and nested.get("db.missing", "none") == "none"
    assert nested.setdefault("db.name", "main") == "main"
    assert nested.pop("db.password") == "secret"
    assert nested.pop("db.password", None) is None
    del nested["debug"]
    assert repr(bag).startswith("FieldBag(")
    return len(host) + int(nested.db.port)


def use_configuration(directory: Path) -> Configuration:
    cfg_file = directory / "app.cfg"
    cfg_file.write_text("[server]\nport = 8080\n")
    yaml_file = directory / "app.yaml"
    yaml_file.write_text("server:\n  debug: true\n")
    config = Configuration()
    loaded_cfgs: list[str] = config.load_cfgs(str(cfg_file))
    loaded_yamls = config.load_yamls(yaml_file)
    assert loaded_cfgs and loaded_yamls
    config["server.name"] = "web"
    assert config["server.port"] == 8080 and config.server.debug is True
    assert config.load_entrypoint("tavik.example.no.such.group") == []
    level: Configuration = config.copy()
    assert isinstance(configuration_logger, logging.Logger)
    return level


def use_pathrows() -> dict[Any, Any]:
    rows = PathRows({"a": {"b": 1}, "c": 2})
    first: DictItem = rows[0]
    assert first.path == ("a", "b") and first.value == 1
    rows.append((("d",), 3))
    rows.insert(0, DictItem(("e",), 4))
    rows.extend([(("f", "g"), 5)])
    assert list(PathRows.__flatten__({"x": 1})) == [DictItem(("x",), 1)]
    return rows.reconstruct()


def use_rankmap() -> list[str]:
    ranks: RankMap[str, int] = RankMap([("a", 1), ("b", 2)])
    ranks["c"] = 3
    ranks.insert("d", 4, 0)
    ranks.move("a", -1)
    ranks.update({"e": 5})
    defaults = RankMap.fromkeys(["x", "y"], 0)
    assert defaults.values() == [0, 0] and ranks.copy() == ranks
    key, value = ranks.popitem()
    assert isinstance(value, int)
    return ranks.keys() + [key]


def use_logic() -> bool:
    test = And(r"^a", Or("b$", "c$"), Not(str.isupper))
    assert isinstance(test, BaseLogic)
    again = logic_str(str(Not(re.escape("x.y"))))
    assert again == Not(re.escape("x.y"))
    assert isinstance(logic_logger, logging.Logger)
    return test("ab", "ac")


def use_wispseq() -> int:
    class Item:
        pass

    items = [Item(), Item(), Item()]
    seq: WispSeq[Item] = WispSeq(items[:2])
    seq.append(items[2])
    seq.insert(0, items[1])
    assert seq.index(items[1]) == 0 and seq.count(items[1]) == 2
    seq.remove(items[1])
    part: WispSeq[Item] = seq[:1]
    copied = copy.copy(seq) + part
    copied.sort(key=id)
    last = seq.pop()
    assert last is items[2]
    return len(copied)


def use_ramus() -> str:
    root = Ramus("root")
    root.add_child(Ramus("branch", ["leaf"]))
    root.add_child("twig")
    return str(root)


class Shape(metaclass=MetaClassFactory):
    def __init__(self, size: int = 1) -> None:
        self.size = size

    @typefield
    def kind(cls: type[Shape]) -> str:
        return cls.__name__.lower()


class Square(Shape):
    pass


def use_class_utilities() -> str:
    options: dict[str, Any] = {"class": Square, "size": 2}
    square = Shape(**options)
    assert isinstance(square, Square) and square.size == 2
    descriptor: TypeFieldDescriptor[int] = TypeFieldDescriptor(lambda cls: len(cls.__name__))
    assert descriptor.func(Shape) == 5
    kind: str = Square.kind
    return kind


def use_strings() -> list[object]:
    return [typecast_str("42"), typecast_str("1.5"), typecast_str("true"), typecast_str(None)]


def main() -> None:
    assert use_fieldbags() == len("localhost") + 5432
    with tempfile.TemporaryDirectory() as directory:
        config = use_configuration(Path(directory))
    assert config.server.name == "web"
    assert use_pathrows() == {"a": {"b": 1}, "c": 2, "d": 3, "e": 4, "f": {"g": 5}}
    assert use_rankmap() == ["b", "a", "c", "e", "d"]
    assert use_logic()
    assert use_wispseq() == 4
    assert use_ramus() == "root\n|-- branch\n|   `-- leaf\n`-- twig"
    assert use_class_utilities() == "square"
    assert use_strings() == [42, 1.5, True, None]


if __name__ == "__main__":
    main()
