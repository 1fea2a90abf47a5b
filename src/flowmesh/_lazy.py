"""Package names that load their module on first use, so that importing a
package costs nothing until one of its names is wanted."""

import sys


def exports(namespace, table, *, adopt_classes=False):
    """`__getattr__` and `__dir__` for the package whose globals are
    `namespace`: `table` maps a public name to the submodule defining it.

    With `adopt_classes`, a class loaded this way takes the package as its
    `__module__`: documents name a class by its module, and the package stays
    put when a class moves between its modules.
    """
    package = namespace["__name__"]

    def __getattr__(name):
        module = table.get(name)
        if module is None:
            raise AttributeError(f"module {package!r} has no attribute {name!r}")
        # __import__ rather than importlib, which a plain pipeline never loads.
        full = f"{package}.{module}"
        __import__(full)
        value = getattr(sys.modules[full], name)
        if adopt_classes and isinstance(value, type):
            value.__module__ = package
        namespace[name] = value  # later look-ups skip __getattr__
        return value

    def __dir__():
        return sorted({*namespace, *table})

    return __getattr__, __dir__
