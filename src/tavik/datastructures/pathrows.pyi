"""Nested dictionaries as flat lists of (path, value) rows, and back."""
from collections import namedtuple as namedtuple
from collections.abc import Generator, Iterable
from collections.abc import MutableMapping as MutableMapping
from typing import Any, NamedTuple, SupportsIndex, overload

__test__: dict[str, str]

class DictItem(NamedTuple):
    path: Any
    value: Any

class PathRows(list[Any]):
    def __init__(self, *args: Any) -> None: ...
    @overload
    @staticmethod
    def __flatten__(
        indict: MutableMapping[Any, Any], path: Any = None
    ) -> Generator[DictItem, None, None]: ...
    @overload
    @staticmethod
    def __flatten__(indict: Any, path: Any = None) -> Generator[Any, None, None]: ...
    @overload
    def __setitem__(self, index: SupportsIndex, item: Iterable[Any]) -> None: ...
    @overload
    def __setitem__(self, index: slice, item: Iterable[Any]) -> None: ...
    def append(self, item: Iterable[Any]) -> None: ...
    def extend(self, items: Iterable[Iterable[Any]]) -> None: ...
    def insert(self, index: SupportsIndex, item: Iterable[Any]) -> None: ...
    def reconstruct(self) -> dict[Any, Any]: ...
