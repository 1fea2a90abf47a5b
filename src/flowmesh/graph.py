"""A pipeline's graph as Graphviz DOT.

Each node is a record listing its input ports on the left and its output
ports on the right; a chain is a cluster around its internal nodes, whose
ports are the chain's. A link between SYNC ports is drawn solid, one that
carries events (ASYNC) dashed.
"""

from .constants import Constants

__all__ = ["to_dot"]


def _quote(text):
    return '"' + str(text).replace("\\", "\\\\").replace('"', '\\"') + '"'


def _record_text(text):
    # Characters that structure a record label must be escaped inside one.
    out = str(text).replace("\\", "\\\\")
    for ch in '{}|<>" ':
        out = out.replace(ch, "\\" + ch)
    return out


def _node_lines(leaf, ident, ports_of, indent):
    def column(side, ports):
        return "|".join(f"<{ports_of(side, p['name'])}> {_record_text(p['name'])}" for p in ports)

    title = _record_text(f"{leaf['name'] or '(unnamed)'}") + "\\n" + _record_text(leaf["class"])
    fields = [column("i", leaf["inputs"])] if leaf["inputs"] else []
    fields.append(title)
    if leaf["outputs"]:
        fields.append(column("o", leaf["outputs"]))
    label = "{" + "|".join("{" + f + "}" if "<" in f else f for f in fields) + "}"
    # Already escaped for a record, quotes included: only the enclosing quotes are missing.
    return [f'{indent}{ident} [label="{label}"];']


def to_dot(pipeline, title="pipeline"):
    """The DOT text of `pipeline`'s graph."""
    graph = pipeline.describe()
    ids = {}
    port_ids = {}
    ends = {}  # port id -> (drawn node, port name)

    def node_id(leaf):
        return ids.setdefault(id(leaf), f"n{len(ids)}")

    def port_id(side, name):
        return port_ids.setdefault((side, name), f"{side}{len(port_ids)}")

    def draw(leaf, indent):
        for port in leaf["inputs"] + leaf["outputs"]:
            ends[port["id"]] = (leaf, port["name"])
        return _node_lines(leaf, node_id(leaf), port_id, indent)

    lines = [
        f"digraph {_quote(title)} {{",
        "  rankdir=LR;",
        '  node [shape=record, fontname="Helvetica", fontsize=10];',
        '  edge [fontname="Helvetica", fontsize=9];',
    ]
    links = []
    for number, entry in enumerate(graph["elements"]):
        if entry["kind"] == "chain":
            lines.append(f"  subgraph cluster_{number} {{")
            lines.append(
                f"    label={_quote(f'{entry["name"] or "(unnamed)"} ({entry["class"]})')};"
            )
            lines.append("    style=rounded;")
            for leaf in entry["nodes"]:
                lines += draw(leaf, "    ")
            lines.append("  }")
            links += entry["links"]
        else:
            lines += draw(entry, "  ")
    # A chain's own ports are its boundary nodes': drawn on those nodes.
    for link in links + graph["connections"]:
        (source, out_name), (target, in_name) = ends[link["output"]], ends[link["input"]]
        style = "dashed" if link["timing"] == Constants.Timing.ASYNC else "solid"
        lines.append(
            f"  {node_id(source)}:{port_id('o', out_name)}:e -> "
            f"{node_id(target)}:{port_id('i', in_name)}:w [style={style}];"
        )
    lines.append("}")
    return "\n".join(lines) + "\n"
