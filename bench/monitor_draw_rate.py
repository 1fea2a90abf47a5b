"""The monitor page's drawing rate in headless Chromium for a 64-channel,
1 kHz trace with markers, at 1280 and 1920 px (one page open at a time).

    unshare --net sh -c 'ip link set lo up && PYTHONPATH=src \\
      .venv/bin/python bench/monitor_draw_rate.py "$(command -v chromium)" [CHANNELS RATE]'

Prints the frames per second the page drew, as it measures them itself
(document.body.dataset.drawRate), after a few seconds of scrolling.
"""

import sys
import time

from playwright.sync_api import sync_playwright

from flowmesh import monitor
from flowmesh.pipeline import Pipeline
from flowmesh.sources import Sink
from flowmesh.synthetic import SimulatedEEG, StimulusSource


def main():
    chromium = sys.argv[1]
    channels = int(sys.argv[2]) if len(sys.argv) > 2 else 64
    rate = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
    pipeline = Pipeline(directory="")
    eeg = SimulatedEEG(name="eeg", channels=channels, sample_rate=rate, frame_size=10)
    stimuli, raw, marks = (
        StimulusSource(name="stimuli", interval=0.7),
        Sink(name="raw"),
        Sink(name="marks", input_ports=[{"name": "in", "timing": "Async"}]),
    )
    pipeline.add_node(raw)
    pipeline.add_node(marks)
    pipeline.connect(eeg, raw)
    pipeline.connect(stimuli, marks)
    with pipeline, monitor.serve(pipeline, port=0, announce=False) as mon:
        pipeline.start()
        mon.choose_plot("eeg", "out", markers=("stimuli", "out"))
        with sync_playwright() as p:
            browser = p.chromium.launch(executable_path=chromium)
            for width in (1280, 1920):
                page = browser.new_page(viewport={"width": width, "height": 1000})
                page.goto(mon.url)
                time.sleep(5.0)
                drawn = page.evaluate("document.body.dataset.drawRate")
                print(f"{channels} channels x {rate} Hz at {width} px: {drawn} frames/s drawn")
                page.close()
            browser.close()


if __name__ == "__main__":
    main()
