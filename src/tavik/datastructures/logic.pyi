import logging as logging
import re as re
from collections.abc import Callable
from typing import Any, ClassVar, NoReturn

__all__ = ["And", "Or", "Not"]
__test__: dict[str, str]

logger: logging.Logger

class BaseLogic:
    expressions: list[re.Pattern[str] | Callable[..., object]]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __init__(self, *expressions: str | Callable[..., object]) -> None: ...
    def __call__(self) -> NoReturn: ...
    def __str__(self) -> str: ...
    def __repr__(self) -> str: ...
    def __eq__(self, other: object) -> bool: ...

class And(BaseLogic):
    def __call__(self, *items: object) -> bool: ...  # type: ignore[override]

class Or(BaseLogic):
    def __call__(self, *items: object) -> bool: ...  # type: ignore[override]

class Not(BaseLogic):
    def __call__(self, *items: object) -> bool: ...  # type: ignore[override]

# A logic object; the text of a bare string literal when assertions are off
# (python -O), which is why the result is not narrowed to BaseLogic alone.
def logic_str(string: str) -> BaseLogic | Any: ...
