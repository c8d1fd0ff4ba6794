from collections.abc import Callable
from typing import Any, Generic, TypeVar

_T = TypeVar("_T")

class TypeFieldDescriptor(Generic[_T]):
    """A read-only class-level property: `func` is called with the class read through."""

    func: Callable[[type[Any]], _T]
    def __init__(self, func: Callable[[type[Any]], _T]) -> None: ...
    def __get__(self, obj: object, owner: type[Any]) -> _T: ...

typefield = TypeFieldDescriptor

__test__: dict[str, str]
