import configparser as configparser
import logging as logging
import os as os
from collections.abc import Iterator, Mapping as Mapping
from typing import Any, Protocol, TypeVar

import yaml as yaml

from tavik.utils.strings import typecast_str as typecast_str

from .fieldbag import NestedFieldBag as NestedFieldBag

_Self = TypeVar("_Self", bound=Configuration)
_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]

class _EntryPoint(Protocol):
    name: str
    @property
    def dist(self) -> Any: ...
    def load(self) -> Any: ...

# From pkg_resources when it is installed, otherwise built on
# importlib.metadata; both take the group by keyword.
def iter_entry_points(group: str, name: str | None = None) -> Iterator[_EntryPoint]: ...

logger: logging.Logger
__test__: dict[str, str]

class Configuration(NestedFieldBag):
    def copy(self: _Self) -> _Self: ...
    def __setitem__(self, key: Any, value: Any) -> None: ...
    def load_cfgs(self, *files: _Path) -> list[str]: ...
    def load_yamls(self, *files: _Path) -> tuple[_Path, ...]: ...
    def load_entrypoint(self, group: str) -> list[_EntryPoint]: ...
