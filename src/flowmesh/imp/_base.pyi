class Implementation:
    """Base of every flowmesh implementation object."""

    __dict__: dict[str, object]
