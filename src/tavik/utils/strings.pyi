from typing import TypeVar, overload

__all__ = ["typecast_str"]

_T = TypeVar("_T")

@overload
def typecast_str(value: str) -> str | int | float | bool: ...
@overload
def typecast_str(value: _T) -> _T: ...
