"""A private network for LSL tests and benchmarks.

LSL finds streams by multicast and broadcast on the local network. Whatever
opens an outlet or an inlet here runs in a network namespace of its own with
only the loopback interface up (``unshare --net``, then ``ip link set lo
up``), and with liblsl told by its configuration file (``LSLAPICFG``) to
resolve on this machine only. `require_isolation` refuses to go on anywhere
else.
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SRC = ROOT / "src"

# liblsl's configuration: machine-local resolution, IPv4 only, and quiet (its
# log goes to stderr; level -3 keeps only fatal errors).
CONFIG = """\
[ports]
IPv6 = disable
[multicast]
ResolveScope = machine
[log]
level = -3
"""

# Runs the command that follows in a fresh network namespace, loopback up.
_ENTER = 'ip link set lo up && exec "$0" "$@"'


def namespace_unavailable():
    """Why no private network namespace can be made here, or None if one can."""
    for tool in ("unshare", "ip"):
        if shutil.which(tool) is None:
            return f"the '{tool}' program is missing"
    try:
        probe = subprocess.run(
            ["unshare", "--net", "sh", "-c", "ip link set lo up"],
            capture_output=True,
            text=True,
            timeout=30,
        )
    except (OSError, subprocess.TimeoutExpired) as e:
        return f"unshare --net failed: {e}"
    if probe.returncode != 0:
        return f"unshare --net failed (needs root or user namespaces): {probe.stderr.strip()}"
    return None


def write_config(directory):
    """Write the liblsl configuration into `directory`; its path."""
    path = Path(directory) / "lsl_api.cfg"
    path.write_text(CONFIG)
    return path


def environment(directory):
    """The environment of a process run in the sandbox: liblsl configured from
    `directory`, flowmesh importable from the source tree."""
    env = dict(os.environ)
    env["LSLAPICFG"] = str(write_config(directory))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(SRC), env.get("PYTHONPATH")]))
    env["PYTHONUNBUFFERED"] = "1"
    return env


def in_namespace(argv):
    """`argv` wrapped to run in a private network namespace."""
    return ["unshare", "--net", "sh", "-c", _ENTER, *argv]


def interfaces():
    """The network interfaces this process can see (its own namespace's)."""
    with open("/proc/self/net/dev") as f:
        return sorted(line.split(":", 1)[0].strip() for line in f.readlines()[2:])


def require_isolation():
    """Exit unless this process is in a namespace whose only interface is
    loopback and liblsl is configured for this machine only."""
    seen = interfaces()
    if seen != ["lo"]:
        sys.exit(f"refusing to run LSL outside a private network namespace (interfaces: {seen})")
    config = os.environ.get("LSLAPICFG")
    if not config or "ResolveScope = machine" not in Path(config).read_text():
        sys.exit("refusing to run LSL without a machine-only LSLAPICFG")
