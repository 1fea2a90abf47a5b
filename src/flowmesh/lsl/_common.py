"""What the LSL nodes share: how they name themselves and declare their ports."""

from ..configuration import Configuration, check_list
from ..constants import Constants

_Keys = Configuration.Keys
_SYNC = Constants.Timing.SYNC
_ASYNC = Constants.Timing.ASYNC


def _owner(node, kind):
    return f"{kind} '{node.name}'" if node.name else kind


def _declare_ports(config, key, wanted, owner):
    """Set `config[key]` to the ports `wanted` ((name, timing) pairs), keeping
    what was recorded for them (a document keeps the ports' ids). A port that
    is not among them, or one recorded with another timing, is refused."""
    given = config.get(key)
    if given is None:
        given = []
    check_list(key, given)
    names = [name for name, _ in wanted]
    recorded = {}
    for entry in given:
        if not isinstance(entry, dict):
            raise TypeError(f"{key} entries must be dicts, got {type(entry).__name__}.")
        name = entry.get(_Keys.NAME)
        if name not in names:
            raise ValueError(f"{owner} has the ports {names} in {key}; got {name!r}.")
        recorded[name] = entry
    ports = []
    for name, timing in wanted:
        entry = dict(recorded.get(name, {}))
        entry[_Keys.NAME] = name
        given_timing = entry.setdefault(_Keys.TIMING, timing)
        if given_timing != timing:
            raise ValueError(
                f"{owner} port '{name}' must have timing {timing}, got {given_timing}."
            )
        ports.append(entry)
    config[key] = ports


def _declare_stream_ports(config, key, port, events, timestamps, owner):
    """Declare the ports a node carrying a stream has under `key`: `port`
    alone, ASYNC, for events; for frames `port` and the port `timestamps`
    (unless None) beside it, both SYNC."""
    if events:
        wanted = [(port, _ASYNC)]
    else:
        wanted = [(port, _SYNC)]
        if timestamps is not None:
            wanted.append((timestamps, _SYNC))
    _declare_ports(config, key, wanted, owner)
