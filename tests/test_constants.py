"""The constant groups: named texts that behave as their text."""

import copy
import pickle

import pytest

from flowmesh.constants import Constants, TextEnum
from flowmesh.i_node import Overflow

GROUPS = [Constants.States, Constants.Conditions, Constants.LogTypes, Constants.Timing, Overflow]
MEMBERS = [(group, member) for group in GROUPS for member in group]


class Hostile(str):
    def __hash__(self):
        raise RuntimeError("hash")

    def __eq__(self, other):
        raise RuntimeError("eq")


@pytest.mark.parametrize(("group", "member"), MEMBERS, ids=repr)
def test_a_member_is_its_text(group, member):
    text = str.__str__(member)
    assert type(member) is group and isinstance(member, str)
    assert member == text and hash(member) == hash(text) and {text: 1}[member] == 1
    assert str(member) == f"{member}" == format(member, "") == member.value == text
    assert repr(member) == f"<{group.__name__}.{member.name}: {text!r}>"
    assert getattr(group, member.name) is member
    for found in (group(text), group(member), group(Hostile(text))):
        assert found is member
    assert member in group and text in group
    for same in (copy.copy(member), copy.deepcopy(member), pickle.loads(pickle.dumps(member))):
        assert same is member


@pytest.mark.parametrize("group", GROUPS, ids=lambda g: g.__name__)
def test_a_group_lists_its_members_in_order_and_holds_them(group):
    names = [k for k in vars(group) if not k.startswith("_") and k.isupper()]
    assert [m.name for m in group] == names and len(group) == len(names)
    assert list(group.__members__) == names
    for wrong in ("nothing", None, 3, b"Running", Hostile("nothing")):
        assert wrong not in group
        with pytest.raises(ValueError, match="is not a valid"):
            group(wrong)
    with pytest.raises(AttributeError, match="cannot reassign"):
        setattr(group, names[0], "other")
    with pytest.raises(AttributeError, match="cannot delete"):
        delattr(group, names[0])
    assert getattr(group, names[0]) in group


def test_two_members_with_one_text_are_refused():
    with pytest.raises(ValueError, match="two members with one text"):

        class Twice(TextEnum):
            A = "x"
            B = "x"
