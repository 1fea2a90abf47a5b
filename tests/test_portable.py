"""Identity registry and document entries of portable objects."""

import copy
import gc
import itertools
import random
import re
import subprocess
import sys

import pytest

from flowmesh.imp import Implementation, PortableImp, ProcessingElementImp
from flowmesh.portable import Portable

HEX16 = re.compile(r"[0-9A-F]{16}")
CONFLICT = (
    "ID '{}' conflict with another object. When re-deserializing in the same process, "
    "call Portable.reset() first to clear the id registry."
)


@pytest.fixture(autouse=True)
def clean_registry():
    Portable.reset()
    yield
    Portable.reset()


def cfg(**kw):
    return Portable.Configuration(**kw)


# Every identity case runs on the facade and on the implementation class alike.
def make_facade(**kw):
    obj = Portable(**kw)
    return obj, obj._imp


def make_imp(**kw):
    imp = PortableImp(cfg(**kw))
    return imp, imp


makers = pytest.mark.parametrize("make", [make_facade, make_imp], ids=["facade", "imp"])


def get_by_id(id):
    return PortableImp.get_by_id(id)


class Widget(Portable):
    calls = []

    def __init__(self, **kwargs):
        Widget.calls.append(dict(kwargs))
        super().__init__(**kwargs)


class Secret(Portable):
    class Configuration(Portable.Configuration):
        class ReservedKeys:
            TOKEN = "token"
            HANDLE = "handle"


class Collider(Portable):
    def __init__(self, **kwargs):
        super().__init__(name="fixed", **kwargs)


class Refuses(Portable):
    def __init__(self, **kwargs):
        raise TypeError("refused by design")


class NotPortable:
    constructed = False

    def __init__(self, **kwargs):
        NotPortable.constructed = True


not_a_class = 42


# ------------------------------------------------------------------- identity


def test_class_tree_and_shared_registry():
    assert Implementation in PortableImp.__mro__
    assert type(PortableImp._id_map).__name__ == "WeakValueDictionary"
    # One registry for the whole hierarchy, not one per subclass.
    assert ProcessingElementImp._id_map is PortableImp._id_map
    assert ProcessingElementImp._ids is PortableImp._ids
    keys = PortableImp.SerializationKeys
    assert (keys.CLASS, keys.MODULE, keys.SOURCE, keys.SETTINGS) == (
        "class",
        "module",
        "source",
        "config",
    )


@makers
def test_generated_ids_are_distinct_registered_and_reserved(make):
    (a, a_imp), (b, b_imp) = make(), make()
    assert a_imp.config["id"] != b_imp.config["id"]
    for imp in (a_imp, b_imp):
        id = imp.config["id"]
        assert HEX16.fullmatch(id)
        assert id in PortableImp._ids
        assert get_by_id(id) is imp
    assert Portable.get_by_id(b_imp.config["id"]) is b_imp


def test_new_id_draws_from_the_host_generator_zero_padded():
    # Find a seed whose first draw needs padding (one in 256).
    for seed in itertools.count():
        random.seed(seed)
        value = random.getrandbits(64)
        if value < 1 << 56:
            break
    random.seed(seed)
    id = PortableImp.new_id()
    assert id == f"{value:016X}" and id.startswith("00")
    assert id in PortableImp._ids


def test_ids_need_no_random_until_the_program_imports_it():
    code = """
import sys
from flowmesh.imp import PortableImp
ids = {PortableImp.new_id() for _ in range(200)}
assert len(ids) == 200 and "random" not in sys.modules, sorted(sys.modules)
import random
random.seed(7)
expected = f"{random.getrandbits(64):016X}"
random.seed(7)
print(PortableImp.new_id() == expected)
"""
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=120, check=True
    )
    assert done.stdout.split() == ["True"]


def test_new_id_skips_reserved_ids():
    random.seed(1234)
    first, second = (f"{random.getrandbits(64):016X}" for _ in range(2))
    PortableImp._ids.add(first)
    random.seed(1234)
    assert PortableImp.new_id() == second


@makers
def test_explicit_id_found_until_destroyed(make):
    obj, imp = make(id="node-1")
    assert get_by_id("node-1") is imp
    assert imp.config["id"] == "node-1"
    assert "node-1" not in PortableImp._ids  # given ids are registered, not reserved
    del obj, imp
    gc.collect()
    assert get_by_id("node-1") is None


def test_registry_is_weak_through_a_facade_cycle():
    obj = Portable(id="cyclic")
    obj._imp.owner = obj  # the implementation refers back to its facade
    del obj
    gc.collect()
    assert get_by_id("cyclic") is None
    Portable(id="cyclic")  # the id is free again


@makers
def test_conflict_then_reset(make):
    first, first_imp = make(id="dup")
    with pytest.raises(ValueError) as info:
        make(id="dup")
    assert str(info.value) == CONFLICT.format("dup")
    assert get_by_id("dup") is first_imp
    Portable.reset()
    second, second_imp = make(id="dup")
    assert get_by_id("dup") is second_imp
    assert first_imp.config["id"] == "dup"  # objects keep their ids across a reset


def test_conflicting_generated_id_stays_reserved_and_record_untouched():
    random.seed(99)
    predicted = f"{random.getrandbits(64):016X}"
    holder = PortableImp(cfg(id=predicted))
    record = cfg()
    random.seed(99)
    with pytest.raises(ValueError, match="conflict with another object"):
        PortableImp(record)
    assert predicted in PortableImp._ids
    assert record["id"] is None
    assert get_by_id(predicted) is holder


def test_id_of_destroyed_object_can_be_reused():
    PortableImp(cfg(id="ghost"))
    gc.collect()
    again = PortableImp(cfg(id="ghost"))
    assert get_by_id("ghost") is again


def test_record_without_id_key_raises_its_lookup_error():
    record = cfg()
    dict.__delitem__(record, "id")
    with pytest.raises(KeyError):
        PortableImp(record)


@pytest.mark.parametrize("config", [["id", None], ("id",), None])
def test_constructor_refuses_a_record_that_is_no_dict(config):
    with pytest.raises(TypeError, match=r"expected dict"):
        PortableImp(config)


def test_id_written_with_base_dict_assignment():
    class Frozen(Portable.Configuration):
        def __setitem__(self, key, value):
            raise AssertionError("record's own item assignment used")

    record = Frozen()
    imp = PortableImp(record)
    assert HEX16.fullmatch(record["id"])
    assert imp.config is record


@makers
def test_adopt_current_id_changes_nothing(make):
    obj, imp = make(id="given")
    imp.adopt_id("given")
    assert "given" not in PortableImp._ids
    assert get_by_id("given") is imp


@makers
def test_adopt_moves_registration_and_keeps_old_id_reserved(make):
    random.seed(5)
    old = f"{random.getrandbits(64):016X}"
    random.seed(5)
    obj, imp = make()
    assert imp.config["id"] == old
    imp.adopt_id("NEW")
    assert get_by_id(old) is None
    assert get_by_id("NEW") is imp
    assert imp.config["id"] == "NEW"
    assert {old, "NEW"} <= PortableImp._ids
    random.seed(5)
    assert PortableImp.new_id() != old


def test_adopt_conflict_changes_nothing():
    holder = PortableImp(cfg(id="taken"))
    imp = PortableImp(cfg(id="mine"))
    with pytest.raises(ValueError) as info:
        imp.adopt_id("taken")
    assert str(info.value) == "ID 'taken' cannot be adopted: another object already holds it."
    assert imp.config["id"] == "mine"
    assert get_by_id("mine") is imp and get_by_id("taken") is holder
    assert "taken" not in PortableImp._ids


def test_adopt_id_of_destroyed_object():
    PortableImp(cfg(id="gone"))
    gc.collect()
    imp = PortableImp(cfg())
    imp.adopt_id("gone")
    assert get_by_id("gone") is imp


def test_adopt_leaves_another_holder_of_the_old_id_registered():
    stale = PortableImp(cfg(id="shared"))
    Portable.reset()
    current = PortableImp(cfg(id="shared"))
    stale.adopt_id("elsewhere")
    assert get_by_id("shared") is current
    assert get_by_id("elsewhere") is stale


def test_reset_on_empty_registry():
    Portable.reset()
    assert len(PortableImp._id_map) == 0 and PortableImp._ids == set()


class Text(str):
    pass


@pytest.mark.parametrize(
    "call, name, value, got",
    [
        (lambda v: PortableImp.get_by_id(v), "id", 1, "int"),
        (lambda v: Portable.get_by_id(v), "id", Text("x"), "Text"),
        (lambda v: PortableImp(cfg()).adopt_id(v), "new_id", None, "NoneType"),
        (lambda v: PortableImp(cfg()).adopt_id(v), "new_id", Text("x"), "Text"),
        (lambda v: PortableImp.add_preinstalled_module(v), "module", b"m", "bytes"),
    ],
)
def test_exact_string_arguments(call, name, value, got):
    with pytest.raises(TypeError) as info:
        call(value)
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected str, got {got})"


# -------------------------------------------------------------- serialization


def test_serialize_entry_shape():
    obj = Widget(id="w1", name="n")
    entry = obj.serialize()
    assert list(entry) == ["class", "module", "source", "config"]
    assert entry["class"] == "Widget" and entry["module"] == __name__
    assert entry["source"] is None
    assert type(entry["config"]) is Widget.Configuration
    assert entry["config"] == {"id": "w1", "name": "n"}
    assert entry["config"] is not obj.config
    assert entry == obj._imp.serialize(obj)


def test_serialize_leaves_reserved_keys_out_and_config_unchanged():
    obj = Secret(id="s", token="t", other=1)
    entry = obj.serialize()
    assert entry["config"] == {"id": "s", "other": 1}
    assert obj.config == {"id": "s", "token": "t", "other": 1}


def test_serialize_deletes_with_base_dict_deletion():
    class Sticky(Secret.Configuration):
        def __delitem__(self, key):
            raise AssertionError("record's own deletion used")

    imp = PortableImp(Sticky(token="t"))
    assert "token" not in imp.serialize(Secret.__new__(Secret))["config"]


def test_preinstalled_module_changes_nothing():
    obj = Widget(id="p")
    before = obj.serialize()
    Portable.add_preinstalled_module(__name__)
    PortableImp.add_preinstalled_module("anything")
    assert obj.serialize() == before
    assert {__name__, "anything"} <= PortableImp._preinstalled_modules


@pytest.mark.parametrize(
    "deserialize", [Portable.deserialize, PortableImp.deserialize], ids=["facade", "imp"]
)
def test_roundtrip_registers_stored_id_and_needs_reset_to_repeat(deserialize):
    original = Widget(id="r1", name="n")
    entry = original.serialize()
    del original
    gc.collect()
    first = deserialize(entry)
    assert type(first) is Widget and first.config == {"id": "r1", "name": "n"}
    assert get_by_id("r1") is first._imp
    with pytest.raises(ValueError) as info:
        deserialize(entry)
    assert str(info.value) == CONFLICT.format("r1")
    Portable.reset()
    second = deserialize(entry)
    assert get_by_id("r1") is second._imp


@pytest.mark.parametrize(
    "extra",
    [{}, {"config": None}, {"config": {}}, {"source": "class X: pass"}],
    ids=["missing", "none", "empty", "source"],
)
def test_entry_without_settings_rebuilds_with_no_arguments(extra):
    Widget.calls.clear()
    rebuilt = Portable.deserialize({"class": "Widget", "module": __name__, **extra})
    assert type(rebuilt) is Widget
    assert Widget.calls == [{}]


@pytest.mark.parametrize(
    "entry, error, text",
    [
        (
            {"class": "Nope", "module": __name__},
            TypeError,
            f"Class 'Nope' could not be imported: module '{__name__}' has no 'Nope'.",
        ),
        (
            {"class": "NotPortable", "module": __name__},
            TypeError,
            "Class 'NotPortable' must be derived from class 'Portable'.",
        ),
        ({"class": "not_a_class", "module": __name__}, TypeError, None),
        ({"module": __name__}, KeyError, "'class'"),
        ({"class": "Widget"}, KeyError, "'module'"),
        ({"class": "X", "module": "flowmesh.no_such_module"}, ModuleNotFoundError, None),
    ],
)
def test_deserialize_failures(entry, error, text):
    NotPortable.constructed = False
    with pytest.raises(error) as info:
        Portable.deserialize(entry)
    if text is not None:
        assert str(info.value) == text
    assert not NotPortable.constructed


@pytest.mark.parametrize(
    "data, got", [([], "list"), (None, "NoneType"), (Portable.Configuration(), "Configuration")]
)
def test_deserialize_wants_exactly_a_dict(data, got):
    with pytest.raises(TypeError) as info:
        PortableImp.deserialize(data)
    assert str(info.value) == f"Argument 'data' has incorrect type (expected dict, got {got})"


def test_keyword_collision_is_explained_and_chained():
    with pytest.raises(TypeError) as info:
        Portable.deserialize(
            {"class": "Collider", "module": __name__, "config": {"name": "stored"}}
        )
    cause = info.value.__cause__
    assert isinstance(cause, TypeError) and "multiple values for keyword argument" in str(cause)
    assert str(info.value) == (
        f"Could not reconstruct 'Collider' from its serialized configuration ({cause}). "
        "Collider.__init__ most likely passes a configuration field (e.g. "
        "input_ports/output_ports) explicitly while also forwarding **kwargs, so the stored "
        "value collides with the explicit one. Use kwargs.setdefault('<field>', ...) instead "
        "of passing it alongside **kwargs, or declare the field as an explicit __init__ "
        "parameter."
    )


def test_other_constructor_errors_propagate_unchanged():
    with pytest.raises(TypeError, match="^refused by design$") as info:
        Portable.deserialize({"class": "Refuses", "module": __name__})
    assert info.value.__cause__ is None


def test_the_packages_records_hold_no_instance_dict():
    """Every element and port holds a record: one without empty slots in a
    package class would bring back the dict every record then pays for."""
    import importlib
    import pkgutil

    import flowmesh
    from flowmesh.configuration import Configuration

    for module in pkgutil.walk_packages(flowmesh.__path__, "flowmesh."):
        if not module.name.endswith("__main__") and not module.name.startswith("flowmesh.imp"):
            importlib.import_module(module.name)
    seen, todo = [], [Configuration]
    while todo:
        seen.append(todo.pop())
        todo += [c for c in seen[-1].__subclasses__() if c.__module__.startswith("flowmesh")]
    assert len(seen) > 30
    assert [c.__qualname__ for c in seen if "__dict__" in dir(c)] == []


@pytest.mark.parametrize("slotted", [False, True])
def test_a_record_copies_deeply_with_or_without_slots(slotted):
    class Record(Portable.Configuration):
        if slotted:
            __slots__ = ()

    inner = {"deep": [1]}
    record = Record(settings=inner)
    if not slotted:
        record.note = inner  # a subclass's own attribute travels with it
    copied = copy.deepcopy(record)
    assert type(copied) is Record and copied == record and copied["settings"] is not inner
    assert getattr(copied, "note", None) is (None if slotted else copied["settings"])
