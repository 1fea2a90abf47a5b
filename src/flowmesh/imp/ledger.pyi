from typing import Any, ClassVar
from weakref import WeakValueDictionary

from flowmesh.configuration import Configuration

from ._base import Implementation

class PortableImp(Implementation):
    """An object with a registered id that can be written to a document."""

    class SerializationKeys:
        CLASS: ClassVar[str]
        MODULE: ClassVar[str]
        SOURCE: ClassVar[str]
        SETTINGS: ClassVar[str]

    _id_map: ClassVar[WeakValueDictionary[str, PortableImp]]
    _ids: ClassVar[set[str]]
    _preinstalled_modules: ClassVar[set[str]]
    config: Configuration
    def __init__(self, config: Configuration) -> None: ...
    def adopt_id(self, new_id: str) -> None: ...
    def serialize(self, interface: object) -> dict[str, Any]: ...
    @staticmethod
    def new_id() -> str: ...
    @staticmethod
    def get_by_id(id: str) -> PortableImp | None: ...
    @staticmethod
    def reset() -> None: ...
    @staticmethod
    def deserialize(entry: dict[str, Any]) -> Any: ...
    @staticmethod
    def add_preinstalled_module(module: str) -> None: ...
