"""A pipeline's graph as Graphviz DOT.

Each node is a record listing its input ports on the left and its output
ports on the right; a chain is a cluster around its internal nodes, whose
ports are the chain's. A link between SYNC ports is drawn solid, one that
carries events (ASYNC) dashed.
"""

from .constants import Constants

__all__ = ["describe", "to_dot"]


def _inner_nodes(element):
    get_nodes = getattr(element, "get_nodes", None)
    if get_nodes is None:
        get_nodes = getattr(getattr(element, "_imp", None), "get_nodes", None)
    return list(get_nodes()) if callable(get_nodes) else None


def _ports(node, attribute):
    return dict(getattr(node._imp, attribute, None) or {})


def describe(pipeline):
    """(elements, connections) of `pipeline`.

    elements: one dict per element in order of addition, with "element",
    "name", "class", and either "inputs"/"outputs" (port name -> port) or,
    for a chain, "nodes" (the same for each internal node).
    connections: (source node, output name, target node, input name, timing)
    for every link, sources in order of addition.
    """
    elements = []
    leaves = []
    for element in pipeline.get_elements():
        entry = {"element": element, "name": element.name, "class": type(element).__name__}
        inner = _inner_nodes(element)
        if inner is None:
            entry["inputs"], entry["outputs"] = (
                _ports(element, "_input_ports"),
                _ports(element, "_output_ports"),
            )
            leaves.append(entry)
        else:
            entry["nodes"] = []
            for node in inner:
                sub = {
                    "element": node,
                    "name": node.name,
                    "class": type(node).__name__,
                    "inputs": _ports(node, "_input_ports"),
                    "outputs": _ports(node, "_output_ports"),
                }
                entry["nodes"].append(sub)
                leaves.append(sub)
        elements.append(entry)
    owner = {}
    for leaf in leaves:
        for name, port in leaf["inputs"].items():
            owner[id(port)] = (leaf, name)
    connections = []
    for leaf in leaves:
        for name, port in leaf["outputs"].items():
            for target in getattr(port, "_connected_ports", ()):
                where = owner.get(id(target))
                if where is None:
                    continue  # joined to a port outside this pipeline
                timing = getattr(port, "timing", Constants.Timing.SYNC)
                connections.append((leaf, name, where[0], where[1], timing))
    return elements, connections


def _quote(text):
    return '"' + str(text).replace("\\", "\\\\").replace('"', '\\"') + '"'


def _record_text(text):
    # Characters that structure a record label must be escaped inside one.
    out = str(text).replace("\\", "\\\\")
    for ch in '{}|<>" ':
        out = out.replace(ch, "\\" + ch)
    return out


def _node_lines(leaf, ident, ports_of, indent):
    def column(side, names):
        return "|".join(f"<{ports_of(side, n)}> {_record_text(n)}" for n in names)

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
    elements, connections = describe(pipeline)
    ids = {}
    port_ids = {}

    def node_id(leaf):
        return ids.setdefault(id(leaf["element"]), f"n{len(ids)}")

    def port_id(side, name):
        return port_ids.setdefault((side, name), f"{side}{len(port_ids)}")

    lines = [
        f"digraph {_quote(title)} {{",
        "  rankdir=LR;",
        '  node [shape=record, fontname="Helvetica", fontsize=10];',
        '  edge [fontname="Helvetica", fontsize=9];',
    ]
    for number, entry in enumerate(elements):
        if "nodes" in entry:
            lines.append(f"  subgraph cluster_{number} {{")
            lines.append(
                f"    label={_quote(f'{entry["name"] or "(unnamed)"} ({entry["class"]})')};"
            )
            lines.append("    style=rounded;")
            for leaf in entry["nodes"]:
                lines += _node_lines(leaf, node_id(leaf), port_id, "    ")
            lines.append("  }")
        else:
            lines += _node_lines(entry, node_id(entry), port_id, "  ")
    for source, out_name, target, in_name, timing in connections:
        style = "dashed" if timing == Constants.Timing.ASYNC else "solid"
        lines.append(
            f"  {node_id(source)}:{port_id('o', out_name)}:e -> "
            f"{node_id(target)}:{port_id('i', in_name)}:w [style={style}];"
        )
    lines.append("}")
    return "\n".join(lines) + "\n"
