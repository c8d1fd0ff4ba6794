from typing import Any

class MetaClassFactory(type):
    """A metaclass whose classes instantiate the subclass given as keyword `class`."""

    def __call__(cls, *args: Any, **kwargs: Any) -> Any: ...

__test__: dict[str, str]
