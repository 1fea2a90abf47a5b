"""A live view of a running pipeline in the browser.

``serve(pipeline, port=8765)`` starts a small HTTP server on threads of its own
and returns a `Monitor` whose `url` is the page: the graph, each element's
state, condition, frames per second and backlog, the pipeline's condition and
elapsed time, the recent log entries with the failure banner, and a live plot of
one output port chosen on the page. The pipeline's threads pay nothing for it:
a sampler thread reads the elements' counters a few times a second.

The server binds 127.0.0.1 by default. Any other address needs an access token,
generated (and printed) when not given; every request must carry it. The page
is read-only unless ``allow_control=True``, which adds start and stop buttons
(POST requests carrying the token).
"""

import secrets
import sys
import threading
import time
import urllib.parse

from ..configuration import check_int, check_number, check_str
from ..pipeline import Pipeline
from .sampler import Broadcast, Sampler
from .server import App, Server, is_loopback

__all__ = ["Monitor", "parse_address", "serve"]

DEFAULT_PORT = 8765
UPDATES_PER_SECOND = 4.0
MAX_CLIENTS = 200
# How long closing waits for open pages to take the final update.
FINAL_UPDATE_SECONDS = 1.0


class Monitor:
    """A running monitor: `url` is its page; `close()` stops it (safe to call again)."""

    def __init__(self, server, sampler, broadcast, token, url):
        self._server = server
        self._sampler = sampler
        self._broadcast = broadcast
        self.token = token
        self.url = url
        self.host, self.port = server.server_address[:2]
        self._lock = threading.Lock()
        self._closed = False
        self._thread = threading.Thread(
            target=server.serve_forever,
            name=f"flowmesh-monitor-{self.port}",
            daemon=True,
        )

    def _start(self):
        self._sampler.start()
        self._thread.start()

    @property
    def closed(self):
        return self._closed

    @property
    def clients(self):
        """How many pages are subscribed to the update stream."""
        return len(self._broadcast)

    def snapshot(self):
        """The latest snapshot, as the page receives it (a dict)."""
        self._sampler.read()
        latest = self._sampler.latest
        return None if latest is None else latest[0]

    def choose_plot(self, node, port="out", markers=None, field=None, window=None):
        """Plot output `port` of the element named `node` (None: no plot), with
        the events of output port `markers` ((node, port)) drawn on the trace,
        `field` of a port whose values are dicts, over the last `window`
        seconds (default 10)."""
        self._sampler.choose_plot(node, port, markers, field, window)
        self._sampler.sample()

    def close(self):
        with self._lock:
            if self._closed:
                return
            self._closed = True
        # Pages get the final state (a run that just failed or stopped), then
        # the streams end; one that cannot take it in time is cut off.
        try:
            self._sampler.sample()
        except BaseException:
            pass  # whatever the pages saw last stays on them
        self._broadcast.close()
        deadline = time.monotonic() + FINAL_UPDATE_SECONDS
        while self._broadcast.backlogged and time.monotonic() < deadline:
            time.sleep(0.01)
        self._broadcast.cut()
        if self._thread.is_alive() and self._thread is not threading.current_thread():
            self._server.shutdown()
        self._server.app.wait_answered(FINAL_UPDATE_SECONDS)
        self._server.cut_connections()
        self._server.server_close()
        self._sampler.stop()

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close()
        return False

    def __repr__(self):
        return f"<Monitor {self.url}{' closed' if self._closed else ''}>"


def _page_url(host, port, token):
    if host in ("", "0.0.0.0", "::"):
        import socket

        host = socket.gethostname()
    if ":" in host:
        host = f"[{host}]"
    url = f"http://{host}:{port}/"
    return url + "?" + urllib.parse.urlencode({"token": token}) if token else url


def parse_address(text, default_host="127.0.0.1"):
    """``"[HOST:]PORT"`` as (host, port): ``"8765"``, ``"0.0.0.0:8765"``,
    ``"[::1]:8765"``. Raises ValueError naming what is wrong."""
    check_str("address", text, allow_empty=True)
    host, colon, port = text.strip().rpartition(":")
    if not colon:
        host = default_host
    elif host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    elif ":" in host or not host:
        raise ValueError(f"bad monitor address {text!r}: expected [HOST:]PORT")
    if not (port.isascii() and port.isdigit()) or not 0 <= int(port) <= 65535:
        raise ValueError(f"bad monitor port in {text!r}: expected a number from 0 to 65535")
    return host, int(port)


def serve(
    pipeline,
    port=DEFAULT_PORT,
    host="127.0.0.1",
    token=None,
    allow_control=False,
    *,
    rate=UPDATES_PER_SECOND,
    max_clients=MAX_CLIENTS,
    announce=True,
):
    """Serve a live page for `pipeline` on `host`:`port` (0: any free port).

    `token` is the access token every request must carry; one is generated
    when the server binds beyond loopback or allows control without being
    given one, and the page's URL (which carries it) is printed to stderr
    unless `announce` is false. `rate` is the number of updates per second.
    Returns the `Monitor`; close it (or use it as a context manager) to stop.
    """
    if not isinstance(pipeline, Pipeline):
        raise TypeError(f"pipeline must be a Pipeline, got {type(pipeline).__name__}.")
    check_str("host", host, allow_empty=True)
    if isinstance(port, bool) or not isinstance(port, int) or not 0 <= port <= 65535:
        raise ValueError(f"port must be an int from 0 to 65535, got {port!r}.")
    if token is not None and (not isinstance(token, str) or not token):
        raise ValueError("token must be a non-empty str or None.")
    check_number("rate", rate, 0, strict=True, maximum=100)
    check_int("max_clients", max_clients, 1)
    generated = token is None and (allow_control or not is_loopback(host))
    if generated:
        token = secrets.token_urlsafe(24)
    broadcast = Broadcast(max_clients)
    sampler = Sampler(pipeline, 1.0 / rate, broadcast, control=bool(allow_control))
    app = App(sampler, broadcast, token, bool(allow_control))
    server = Server(host, port, app)
    try:
        bound = server.server_address[1]
        app.cookie_name = f"flowmesh_token_{bound}"
        monitor = Monitor(server, sampler, broadcast, token, _page_url(host, bound, token))
        sampler._on_gone = monitor.close
        monitor._start()
    except BaseException:
        server.server_close()
        raise
    if generated and announce:
        print(f"flowmesh monitor: {monitor.url}", file=sys.stderr, flush=True)
    return monitor
