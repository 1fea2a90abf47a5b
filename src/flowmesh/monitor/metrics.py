"""The monitor's figures in the text exposition format that time-series
monitoring systems scrape (``GET /metrics``), made from the latest snapshot.

Counters restart with each run, as the elements' own counts do; a scraper
takes a drop to a smaller value as a reset.
"""

import math

# (name, type, help, where the value comes from)
ELEMENT_METRICS = (
    ("flowmesh_element_frames", "counter", "Cycles the element completed in this run.", "counter"),
    ("flowmesh_element_frames_per_second", "gauge", "Cycles per second.", "fps"),
    (
        "flowmesh_element_samples_per_second",
        "gauge",
        "Samples per second on the element's streams (frames/s x samples per frame).",
        "samples_per_second",
    ),
    (
        "flowmesh_element_busy_seconds",
        "counter",
        "Seconds spent in the element's handlers in this run.",
        "busy_seconds",
    ),
    (
        "flowmesh_element_busy_ratio",
        "gauge",
        "Share of one core the element's handlers take.",
        "busy",
    ),
    (
        "flowmesh_element_latency_seconds",
        "gauge",
        "Time since the last sample the element handled was due at its source.",
        "latency",
    ),
    ("flowmesh_element_backlog", "gauge", "Most items waiting at one input.", "backlog"),
)
INPUT_METRICS = (
    (
        "flowmesh_input_dropped",
        "counter",
        "Items the input's queue dropped in this run.",
        "dropped",
    ),
    ("flowmesh_input_queued", "gauge", "Items waiting at the input.", "queued"),
)


def _label(value):
    return str(value).replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")


def _number(value):
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if math.isnan(value):
            return "NaN"
        if math.isinf(value):
            return "+Inf" if value > 0 else "-Inf"
        return repr(value)
    return None


def _family(lines, name, kind, text, samples):
    sample_name = name + "_total" if kind == "counter" else name
    lines.append(f"# HELP {sample_name} {text}")
    lines.append(f"# TYPE {sample_name} {kind}")
    for labels, value in samples:
        shown = _number(value)
        if shown is None:
            continue
        inner = ",".join(f'{k}="{_label(v)}"' for k, v in labels)
        lines.append(f"{sample_name}{{{inner}}} {shown}" if inner else f"{sample_name} {shown}")


def exposition(snapshot):
    """The text for `snapshot` (None: only that the monitor is up)."""
    lines = []
    _family(lines, "flowmesh_monitor_up", "gauge", "1 while the monitor answers.", [((), 1)])
    if snapshot is None:
        return "\n".join(lines) + "\n"
    pipeline = snapshot["pipeline"]
    _family(
        lines,
        "flowmesh_pipeline_running",
        "gauge",
        "1 while the pipeline runs.",
        [((), pipeline["state"] == "Running")],
    )
    _family(
        lines,
        "flowmesh_pipeline_failed",
        "gauge",
        "1 once the pipeline's condition is Error.",
        [((), pipeline["condition"] == "Error")],
    )
    elapsed = pipeline.get("elapsed")
    _family(
        lines,
        "flowmesh_pipeline_elapsed_seconds",
        "gauge",
        "Seconds the current or last run lasted.",
        [((), float(elapsed) if elapsed is not None else None)],
    )
    # Element names label the series; a repeated name gets its position.
    names, seen = [], {}
    for element in snapshot["elements"]:
        name = element["name"]
        seen[name] = seen.get(name, 0) + 1
        names.append(name if seen[name] == 1 else f"{name}#{seen[name]}")
    for metric, kind, text, key in ELEMENT_METRICS:
        samples = [
            ((("element", names[i]),), e.get(key)) for i, e in enumerate(snapshot["elements"])
        ]
        _family(lines, metric, kind, text, samples)
    _family(
        lines,
        "flowmesh_element_failed",
        "gauge",
        "1 once the element's condition is Error.",
        [
            ((("element", n),), e["condition"] == "Error")
            for n, e in zip(names, snapshot["elements"])
        ],
    )
    for metric, kind, text, key in INPUT_METRICS:
        samples = [
            ((("element", names[i]), ("port", port["name"])), port.get(key))
            for i, e in enumerate(snapshot["elements"])
            for port in e["inputs"]
        ]
        _family(lines, metric, kind, text, samples)
    _family(
        lines,
        "flowmesh_input_queue_bound",
        "gauge",
        "The most items one input of the element queues.",
        [((("element", n),), e.get("queue_bound")) for n, e in zip(names, snapshot["elements"])],
    )
    return "\n".join(lines) + "\n"
