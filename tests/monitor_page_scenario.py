"""Drives the monitor page of a live pipeline in headless Chromium and prints
what it saw as one JSON line. Run by test_monitor_browser.py inside a private
network namespace:

    python monitor_page_scenario.py CHROMIUM [SCREENSHOT_DIR]
"""

import json
import math
import sys
import threading
import time

from playwright.sync_api import sync_playwright

from flowmesh import monitor
from flowmesh.constants import Constants
from flowmesh.io_node import IONode
from flowmesh.nodes import Averager, Epocher
from flowmesh.pipeline import Pipeline
from flowmesh.sources import EventSource, SampledSource, Sink
from flowmesh.synthetic import SimulatedEEG, StimulusSource

TIMEOUT_MS = 30_000


class Sine(SampledSource):
    def step(self, data):
        t = self.get_counter() / self.rate
        return {"out": math.sin(2 * math.pi * 1.5 * t) + 0.3 * math.sin(2 * math.pi * 7 * t)}


class Smooth(IONode):
    def setup(self, data, context):
        self.last = 0.0
        return {"out": {}}

    def step(self, data):
        self.last += 0.2 * (data["in"] - self.last)
        return {"out": self.last}


class Tagger(IONode):
    def setup(self, data, context):
        self.label = None
        return {"out": {}}

    def step(self, data):
        if "label" in data:
            self.label = data["label"]
            return None
        return {"out": (self.label, data["signal"])}


class Fragile(IONode):
    breaking = threading.Event()

    def setup(self, data, context):
        return {"out": {}}

    def step(self, data):
        if self.breaking.is_set():
            raise ValueError("sensor returned garbage")
        return {"out": data["in"]}


def build():
    pipeline = Pipeline(directory="")
    sine, smooth = Sine(name="sine", rate=100), Smooth(name="smooth")
    labels = EventSource(name="labels")
    tagger = Tagger(
        name="tagger",
        input_ports=[{"name": "signal"}, {"name": "label", "timing": Constants.Timing.ASYNC}],
    )
    fragile, tagged, kept = Fragile(name="fragile"), Sink(name="tagged"), Sink(name="kept")
    for node in (kept, tagged, fragile, tagger, smooth):
        pipeline.add_node(node)
    pipeline.connect(sine, smooth)
    pipeline.connect(smooth, {"node": tagger, "port": "signal"})
    pipeline.connect(labels, {"node": tagger, "port": "label"})
    pipeline.connect(tagger, tagged)
    pipeline.connect(smooth, fragile)
    pipeline.connect(fragile, kept)
    # The signal side: 8 EEG channels, stimuli with their times, epochs and their average.
    eeg = SimulatedEEG(name="eeg", channels=8, sample_rate=250, frame_size=5, subject="page")
    stimuli = StimulusSource(name="stimuli", interval=0.4, jitter=0.1, subject="page", seed=3)
    epochs, average = Epocher(name="epochs", tmin=-0.1, tmax=0.3), Averager(name="average")
    means = Sink(name="means", input_ports=[{"name": "in", "timing": Constants.Timing.ASYNC}])
    raw = Sink(name="raw")
    for node in (raw, means, average, epochs):
        pipeline.add_node(node)
    pipeline.connect(eeg, raw)
    pipeline.connect(eeg, {"node": epochs, "port": "signal"})
    pipeline.connect(stimuli, {"node": epochs, "port": "marker"})
    pipeline.connect({"node": epochs, "port": "epoch"}, average)
    pipeline.connect(average, means)
    return pipeline, labels


def graph_fits(page):
    """Whether every element of the graph lies inside the page's width."""
    width = page.viewport_size["width"]
    boxes = [g.bounding_box() for g in page.query_selector_all("svg#graph g.node")]
    return all(b is not None and b["x"] >= 0 and b["x"] + b["width"] <= width for b in boxes)


trace_requests = []


def watch_the_signal(page, pipeline, shots, seen):
    """The EEG trace with the stimuli on it, then the averager's mean."""
    page.select_option("#marker-port", '["stimuli","out"]')
    page.select_option("#plot-port", '["eeg","out"]')
    page.wait_for_function(
        "() => JSON.parse(document.getElementById('plot').dataset.channels || '[]').length === 8",
        timeout=TIMEOUT_MS,
    )
    seen["channels"] = json.loads(page.get_attribute("#plot", "data-channels"))
    # A marker of our own, sent now: how long until it is drawn on the trace.
    stimuli = next(e for e in pipeline.get_elements() if e.name == "stimuli")
    sent = time.monotonic()
    stimuli.trigger({"time": sent, "label": "sent-by-test"})
    page.wait_for_function(
        "() => (document.getElementById('plot').dataset.markers || '').includes('sent-by-test')",
        timeout=TIMEOUT_MS,
        polling=10,
    )
    seen["marker_delay"] = time.monotonic() - sent
    # The columns come pushed with the updates: watching, the page asks for none.
    asked, last = len(trace_requests), int(page.get_attribute("#plot", "data-last"))
    time.sleep(2.0)  # the page's own drawing rate settles
    seen["trace_requests_while_watching"] = len(trace_requests) - asked
    seen["trace_columns_drawn_meanwhile"] = int(page.get_attribute("#plot", "data-last")) - last
    seen["draw_rate"] = float(page.evaluate("document.body.dataset.drawRate || 0"))
    seen["fits"] = {}
    for width in (1280, 1920):
        page.set_viewport_size({"width": width, "height": 1000})
        page.wait_for_timeout(500)
        seen["fits"][width] = graph_fits(page)
        if shots:
            page.screenshot(path=f"{shots}/monitor-trace-{width}.png", full_page=True)
    page.set_viewport_size({"width": 1280, "height": 1000})
    page.select_option("#plot-port", '["average","out"]')
    page.wait_for_function(
        "() => Number(document.getElementById('plot').dataset.epochs || 0) > 0 &&"
        " document.getElementById('plot-note').textContent.includes('counted')",
        timeout=TIMEOUT_MS,
    )
    seen["mean"] = {
        "field": page.input_value("#plot-field"),
        "channels": json.loads(page.get_attribute("#plot", "data-channels")),
        "note": page.inner_text("#plot-note"),
    }
    if shots:
        page.screenshot(path=f"{shots}/monitor-average.png", full_page=True)


def frames_of(page):
    return {
        row.get_attribute("data-name"): int(row.query_selector("td:nth-child(6)").inner_text())
        for row in page.query_selector_all("#elements tbody tr")
    }


def main():
    chromium = sys.argv[1]
    shots = sys.argv[2] if len(sys.argv) > 2 else None
    seen = {}
    pipeline, labels = build()
    # With control, so the page also has to carry a token on every request.
    with pipeline, monitor.serve(pipeline, port=0, allow_control=True, announce=False) as mon:
        pipeline.start()
        labels.trigger("resting")
        with sync_playwright() as p:
            browser = p.chromium.launch(executable_path=chromium, args=["--no-first-run"])
            page = browser.new_page(viewport={"width": 1280, "height": 1000})
            errors = []
            page.on("pageerror", lambda e: errors.append(str(e)))
            page.on("console", lambda m: m.type == "error" and errors.append(m.text))
            page.on("request", lambda r: "/api/trace" in r.url and trace_requests.append(r.url))
            page.goto(mon.url, timeout=TIMEOUT_MS)
            page.wait_for_selector("svg#graph g.node", timeout=TIMEOUT_MS)
            seen["graph"] = sorted(
                g.get_attribute("data-name") for g in page.query_selector_all("svg#graph g.node")
            )
            seen["visible"] = sorted(
                g.get_attribute("data-name")
                for g in page.query_selector_all("svg#graph g.node")
                if g.is_visible()
            )
            seen["edges"] = {
                kind: len(page.query_selector_all(f"svg#graph path.edge.{kind}"))
                for kind in ("Sync", "Async")
            }
            first = frames_of(page)
            time.sleep(1.5)
            page.wait_for_function(
                "n => Number(document.body.dataset.sequence) > n",
                arg=int(page.evaluate("document.body.dataset.sequence")),
                timeout=TIMEOUT_MS,
            )
            second = frames_of(page)
            seen["frames"] = [first, second]
            seen["fps"] = float(
                page.get_attribute("#elements tr[data-name='sine'] td.fps", "data-fps")
            )
            page.click("svg#graph g.node[data-name='smooth'] circle.port[data-port='out']")
            page.wait_for_function(
                "() => document.getElementById('plot-note').textContent.startsWith('trace')",
                timeout=TIMEOUT_MS,
            )
            seen["plot"] = page.input_value("#plot-port")
            labels.trigger("moving")
            time.sleep(2.0)  # a few seconds of signal in the plot
            if shots:
                page.screenshot(path=f"{shots}/monitor.png", full_page=True)
            watch_the_signal(page, pipeline, shots, seen)
            seen["control"] = []
            for button, state in (("#stop", "Stopped"), ("#start", "Running")):
                page.click(button)
                page.wait_for_function(
                    "s => document.getElementById('pipeline-state').textContent === s",
                    arg=state,
                    timeout=TIMEOUT_MS,
                )
                seen["control"].append(str(pipeline.get_state()))
            seen["failure_hidden_before"] = page.is_hidden("#failure")
            Fragile.breaking.set()
            page.wait_for_selector("#failure", state="visible", timeout=TIMEOUT_MS)
            page.wait_for_selector(
                "svg#graph g.node.failed[data-name='fragile']", timeout=TIMEOUT_MS
            )
            seen["failure"] = page.inner_text("#failure-text")
            seen["failed"] = [
                g.get_attribute("data-name")
                for g in page.query_selector_all("svg#graph g.node.failed")
            ]
            seen["log_errors"] = [
                r.inner_text() for r in page.query_selector_all("#log tbody tr.ERROR td.message")
            ]
            if shots:
                page.screenshot(path=f"{shots}/monitor-failure.png", full_page=True)
            seen["errors"] = errors
            browser.close()
    print(json.dumps(seen))


if __name__ == "__main__":
    main()
