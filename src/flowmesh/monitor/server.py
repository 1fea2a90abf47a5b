"""The monitor's HTTP server: the page, a JSON snapshot and a Server-Sent Events stream.

Every request runs on a thread of its own. Static files are read from the
package once, at start, and served from memory by name, so no request path
ever reaches the file system.
"""

import contextlib
import hmac
import http.server
import ipaddress
import json
import selectors
import socket
import sys
import threading
import urllib.parse
from importlib import resources

TOKEN_HEADER = "X-Flowmesh-Token"
MAX_BODY = 4096
CONTENT_TYPES = {
    ".html": "text/html; charset=utf-8",
    ".js": "text/javascript; charset=utf-8",
    ".css": "text/css; charset=utf-8",
    ".svg": "image/svg+xml",
    ".png": "image/png",
}
CONTENT_SECURITY_POLICY = (
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"
)
SECURITY_HEADERS = (
    ("Content-Security-Policy", CONTENT_SECURITY_POLICY),
    ("X-Content-Type-Options", "nosniff"),
    ("Referrer-Policy", "no-referrer"),
    ("X-Frame-Options", "DENY"),
    ("Cache-Control", "no-store"),
)
LOOPBACK_NAMES = ("localhost",)
METRICS_TYPE = "text/plain; version=0.0.4; charset=utf-8"


def is_loopback(host):
    if host in LOOPBACK_NAMES:
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def load_static():
    """Name -> (bytes, content type) for every file the page needs."""
    files = {}
    for item in resources.files(__package__).joinpath("static").iterdir():
        suffix = "." + item.name.rpartition(".")[2]
        if item.is_file() and suffix in CONTENT_TYPES:
            files[item.name] = (item.read_bytes(), CONTENT_TYPES[suffix])
    return files


class Server(http.server.ThreadingHTTPServer):
    """The listening socket and what its handlers share."""

    daemon_threads = True
    request_queue_size = 128

    def __init__(self, host, port, app):
        self.address_family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.app = app
        # Open connections, kept alive between requests, for close to cut.
        self._open = set()
        self._open_lock = threading.Lock()
        # The accept loop sleeps until a connection or a stop: a loop that
        # woke every so often to look for a stop would take the GIL from a
        # running pipeline each time. Made first: a failed bind closes them.
        self._wake, self._waker = socket.socketpair()
        self._waker.setblocking(False)
        self._stopping = False
        self._stopped = threading.Event()
        super().__init__((host, port), Handler)

    def serve_forever(self):
        try:
            with selectors.DefaultSelector() as selector:
                selector.register(self, selectors.EVENT_READ)
                selector.register(self._wake, selectors.EVENT_READ)
                while not self._stopping:
                    ready = selector.select()
                    if self._stopping:
                        break
                    if any(key.fileobj is self for key, _ in ready):
                        self._handle_request_noblock()
        finally:
            self._stopped.set()

    def shutdown(self):
        """Ends `serve_forever`, running on another thread, and waits for it."""
        self._stopping = True
        try:
            self._waker.send(b"\0")
        except OSError:
            pass  # full: a wake is pending anyway
        self._stopped.wait()

    def server_close(self):
        super().server_close()
        self._wake.close()
        self._waker.close()

    def process_request(self, request, client_address):
        with self._open_lock:
            self._open.add(request)
        try:
            super().process_request(request, client_address)
        except BaseException:
            self._forget(request)
            raise

    def shutdown_request(self, request):
        self._forget(request)
        super().shutdown_request(request)

    def _forget(self, request):
        with self._open_lock:
            self._open.discard(request)

    def cut_connections(self):
        """Ends every open connection: a page waiting between two requests
        learns at once that the monitor is gone."""
        with self._open_lock:
            requests = list(self._open)
        for request in requests:
            try:
                request.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def handle_error(self, request, client_address):
        # A page closed mid-response is routine; anything else is worth a trace.
        if not isinstance(sys.exception(), (ConnectionError, TimeoutError)):
            super().handle_error(request, client_address)


class Handler(http.server.BaseHTTPRequestHandler):
    server_version = "flowmesh-monitor"
    sys_version = ""
    # Kept alive, a page's trace and snapshot requests reuse one connection
    # and one thread instead of an accept and a new thread each.
    protocol_version = "HTTP/1.1"
    # A client that stalls mid-request or mid-stream is dropped after this long.
    timeout = 10

    def log_message(self, format, *args):
        pass

    # --- responses ------------------------------------------------------------------------

    def _send(self, status, body=b"", content_type="text/plain; charset=utf-8", headers=()):
        self.send_response(status)
        if status != 204:  # which has no content, nor headers about it
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
        for name, value in SECURITY_HEADERS:
            self.send_header(name, value)
        for name, value in headers:
            self.send_header(name, value)
        if self.close_connection:
            self.send_header("Connection", "close")
        # Head and body in one write: every system call gives the GIL up and
        # takes it back from the running pipeline.
        buffer = getattr(self, "_headers_buffer", None)  # None: HTTP/0.9, no head
        if buffer is not None:
            buffer.append(b"\r\n")
        if self.command != "HEAD":
            if buffer is None:
                self.wfile.write(body)
            else:
                buffer.append(body)
        self.flush_headers()

    def _text(self, status, text):
        self._send(status, text.encode() + b"\n")

    def _json(self, status, obj):
        self._send(status, json.dumps(obj).encode(), "application/json")

    # --- access -------------------------------------------------------------------------------

    def _given_token(self, allow_query):
        given = self.headers.get(TOKEN_HEADER)
        if given is None:
            scheme, _, credentials = self.headers.get("Authorization", "").partition(" ")
            if scheme.lower() == "bearer":
                given = credentials.strip()
        if given is None and allow_query:
            given = urllib.parse.parse_qs(self._url.query).get("token", [None])[0]
        if given is None and allow_query:
            cookie = self.headers.get("Cookie", "")
            name = self.server.app.cookie_name
            for part in cookie.split(";"):
                key, _, value = part.strip().partition("=")
                if key == name:
                    given = value
        return given

    def _authorized(self, allow_query=True):
        app = self.server.app
        if app.token is None:
            # Loopback without a token: a foreign page that rebinds its own name
            # to 127.0.0.1 would otherwise read along.
            try:
                name = urllib.parse.urlsplit("//" + self.headers.get("Host", "")).hostname
            except ValueError:
                name = None
            if not name or not is_loopback(name):
                self._text(403, "Forbidden host")
                return False
            return True
        given = self._given_token(allow_query)
        if given is None or not hmac.compare_digest(
            given.encode("utf-8", "surrogateescape"), app.token.encode()
        ):
            self._send(
                401, b"Unauthorized\n", headers=(("WWW-Authenticate", 'Bearer realm="flowmesh"'),)
            )
            return False
        return True

    # --- GET --------------------------------------------------------------------------------

    def do_GET(self):
        self._url = urllib.parse.urlsplit(self.path)
        if not self._authorized():
            return
        app = self.server.app
        path = self._url.path
        if path in ("/", "/index.html"):
            self._static("index.html")
        elif path.startswith("/static/"):
            self._static(path[len("/static/") :])
        elif path == "/api/snapshot":
            app.sampler.read()
            latest = app.sampler.latest
            if latest is None:
                self._text(503, "No snapshot yet")
            else:
                self._send(200, latest[1], "application/json")
        elif path == "/api/events":
            self._stream()
        elif path == "/api/trace":
            self._trace()
        elif path == "/api/epochs":
            epochs = app.sampler.epochs()
            if epochs is None:
                # No content rather than an error: a page asks just as the plot
                # changes, and a browser reports every error status aloud.
                self._send(204)
            else:
                self._send(200, json.dumps(epochs, allow_nan=False).encode(), "application/json")
        elif path == "/metrics":
            self._send(200, app.sampler.metrics().encode(), METRICS_TYPE)
        else:
            self._text(404, "Not found")

    def _trace(self):
        """The plotted trace's columns from ``?from=N`` on, as compact binary."""
        given = urllib.parse.parse_qs(self._url.query).get("from", ["0"])[0]
        try:
            first = int(given)
        except ValueError:
            first = None
        if first is None or not -(2**62) < first < 2**62:
            self._text(400, "Expected from=<column>")
            return
        body = self.server.app.sampler.trace_bytes(first)
        if body is None:
            self._send(204)
        else:
            self._send(200, body, "application/octet-stream")

    def _static(self, name):
        app = self.server.app
        found = app.static.get(name)
        if found is None:
            self._text(404, "Not found")
            return
        body, content_type = found
        headers = ()
        if app.token is not None and name == "index.html":
            # The page's own requests (script, style, stream) carry the token
            # this way; Strict keeps other sites from sending it.
            headers = (
                (
                    "Set-Cookie",
                    f"{app.cookie_name}={app.token}; Path=/; HttpOnly; SameSite=Strict",
                ),
            )
        self._send(200, body, content_type, headers)

    def _stream(self):
        app = self.server.app
        if app.broadcast.full:
            self._text(503, "Too many clients")
            return
        self.close_connection = True
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        for name, value in SECURITY_HEADERS:
            self.send_header(name, value)
        # No length: the stream ends when the connection does.
        self.send_header("Connection", "close")
        self.end_headers()
        # From here on the implementation layer writes the updates; this
        # thread only learns when the stream ends: the page closes it, it is
        # cut off as stalled, or the monitor closes.
        client = app.broadcast.join(self.connection, b"retry: 2000\n\n")
        if client is None:
            return  # filled or closed meanwhile: the page connects again
        try:
            while app.broadcast.is_open(client):
                try:
                    if not self.connection.recv(4096):
                        break
                except TimeoutError:
                    continue
        except (OSError, ValueError):
            pass
        finally:
            app.broadcast.leave(client)

    # --- POST -------------------------------------------------------------------------------

    def do_POST(self):
        # An action may be what ends the run, and with it the monitor: the
        # close waits for its answer.
        with self.server.app.answering():
            self._post()

    def _post(self):
        # A body refused unread would be taken for the next request.
        self.close_connection = True
        self._url = urllib.parse.urlsplit(self.path)
        if not self._authorized(allow_query=False):
            return
        content_type = self.headers.get("Content-Type", "").split(";")[0].strip()
        # Only a same-origin script can send JSON here: a form on another
        # site cannot, and its script would need a preflight we never answer.
        if content_type != "application/json":
            self._text(415, "Expected application/json")
            return
        try:
            length = int(self.headers.get("Content-Length", "0"))
        except ValueError:
            length = -1
        if not 0 <= length <= MAX_BODY:
            self._text(400, "Bad request body")
            return
        try:
            body = json.loads(self.rfile.read(length) or b"{}")
        except ValueError:
            self._text(400, "Bad JSON")
            return
        if not isinstance(body, dict):
            self._text(400, "Expected a JSON object")
            return
        app = self.server.app
        path = self._url.path
        if path == "/api/plot":
            self._choose_plot(body)
        elif path in ("/api/start", "/api/stop"):
            if not app.allow_control:
                self._text(403, "Control is not enabled")
                return
            self._control(path.rpartition("/")[2])
        else:
            self._text(404, "Not found")

    def _choose_plot(self, body):
        node, port = body.get("node"), body.get("port")
        if node is not None and not (isinstance(node, str) and isinstance(port, str)):
            self._text(400, "Expected node and port names")
            return
        markers = body.get("markers")
        if markers is not None and not (
            isinstance(markers, list) and len(markers) == 2 and all(type(m) is str for m in markers)
        ):
            self._text(400, "Expected markers as [node, port] or null")
            return
        try:
            self.server.app.sampler.choose_plot(
                node, port, markers, body.get("field"), body.get("window")
            )
        except (TypeError, ValueError) as e:
            self._text(400, str(e))
            return
        except LookupError as e:
            self._text(404, str(e))
            return
        except Exception as e:
            self._text(409, f"Cannot plot that port: {e}")
            return
        self._refresh()
        self._json(200, {"node": node, "port": port})

    def _control(self, action):
        app = self.server.app
        pipeline = app.sampler.pipeline()
        if pipeline is None:
            self._text(410, "The pipeline is gone")
            return
        with app.control_lock:
            try:
                getattr(pipeline, action)()
            except Exception as e:
                self._text(409, f"{action} failed: {e}")
                return
        self._refresh()
        self._json(200, {"state": str(pipeline.get_state())})

    def _refresh(self):
        """Publish a snapshot now, so that pages see the change at once."""
        try:
            self.server.app.sampler.sample()
        except Exception:
            pass  # the sampler's next pass reports it


class App:
    """What the handlers of one server share."""

    def __init__(self, sampler, broadcast, token, allow_control):
        self.sampler = sampler
        self.broadcast = broadcast
        self.token = token
        self.allow_control = allow_control
        self.static = load_static()
        self.cookie_name = "flowmesh_token"  # made unique per port once bound
        self.control_lock = threading.Lock()
        self._answering = 0  # acting requests not yet answered
        self._answered = threading.Condition()

    @contextlib.contextmanager
    def answering(self):
        """A request that acts (a stop, a plot choice) in progress: a close
        waits for its answer."""
        with self._answered:
            self._answering += 1
        try:
            yield
        finally:
            with self._answered:
                self._answering -= 1
                self._answered.notify_all()

    def wait_answered(self, timeout):
        with self._answered:
            self._answered.wait_for(lambda: self._answering == 0, timeout)
