from collections.abc import Sequence

class Ramus:
    """Tree Tree Class: a named node that prints like the `tree` command."""

    name: str
    children: Sequence[object]
    def __init__(self, name: str, children: Sequence[object] | None = None) -> None: ...
    def add_child(self, item: object) -> None: ...
    def __str__(self) -> str: ...

__test__: dict[str, str]
