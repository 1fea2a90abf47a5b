"""`flowmesh run --monitor` and `flowmesh demo --monitor`, run for real in a
subprocess: the page is served while the command runs and goes with it."""

import json
import re
import subprocess
import sys
import threading
import urllib.error
import urllib.request

import pytest
from support import run_isolated, wait_until
from test_cli import COMMAND, TIMEOUT, assert_one_line_error, environment, flowmesh, save_demo

ANNOUNCED = re.compile(r"Monitor: (http://\S+)")


class Command:
    """A running `flowmesh` command whose output is read as it comes."""

    def __init__(self, tmp_path, *args):
        self.process = subprocess.Popen(
            [*COMMAND, *map(str, args)],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            cwd=tmp_path,
            env=environment(tmp_path),
        )
        self.lines = []
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.append(line)

    def url(self):
        assert wait_until(lambda: any(ANNOUNCED.search(x) for x in self.lines), TIMEOUT), (
            self.lines,
            self.process.poll(),
        )
        return next(ANNOUNCED.search(x).group(1) for x in self.lines if ANNOUNCED.search(x))

    def wait(self):
        code = self.process.wait(TIMEOUT)
        self._reader.join(TIMEOUT)
        return code, "".join(self.lines), self.process.stderr.read()


def fetch(url, data=None, headers=None):
    request = urllib.request.Request(url, data=data, headers=headers or {})
    try:
        with urllib.request.urlopen(request, timeout=30) as response:
            return response.status, response.read()
    except urllib.error.HTTPError as e:
        return e.code, e.read()


def snapshot(url):
    base, _, query = url.partition("?")
    status, body = fetch(base + "api/snapshot" + (f"?{query}" if query else ""))
    assert status == 200
    return json.loads(body)


def test_run_serves_the_page_while_it_runs(tmp_path):
    document = save_demo(tmp_path)
    names = sorted(entry["config"]["name"] for entry in json.loads(document.read_text())["nodes"])
    command = Command(tmp_path, "run", document, "--monitor", "127.0.0.1:0", "--duration", "4")
    url = command.url()
    assert url.startswith("http://127.0.0.1:") and "token" not in url
    assert fetch(url)[0] == 200
    assert wait_until(lambda: snapshot(url)["pipeline"]["state"] == "Running", TIMEOUT)
    assert sorted(e["name"] for e in snapshot(url)["elements"]) == names
    code, out, err = command.wait()
    assert code == 0, err
    # The page goes with the command.
    with pytest.raises(OSError):
        urllib.request.urlopen(url, timeout=5)


def test_stop_from_the_page_ends_the_run(tmp_path):
    document = save_demo(tmp_path)
    command = Command(tmp_path, "run", document, "--monitor", "0", "--allow-control")
    url = command.url()
    token = url.partition("token=")[2]
    assert token
    assert wait_until(lambda: snapshot(url)["pipeline"]["state"] == "Running", TIMEOUT)
    base = url.partition("?")[0]
    headers = {"Content-Type": "application/json", "X-Flowmesh-Token": token}
    assert fetch(base + "api/stop", b"{}", {"Content-Type": "application/json"})[0] == 401
    assert fetch(base + "api/stop", b"{}", headers)[0] == 200
    code, out, err = command.wait()
    assert code == 0, err


def test_the_demo_serves_its_page(tmp_path):
    command = Command(
        tmp_path, "demo", "--monitor", "127.0.0.1:0", "--duration", "3", "--output", tmp_path / "o"
    )
    url = command.url()
    assert wait_until(lambda: snapshot(url)["pipeline"]["state"] == "Running", TIMEOUT)
    names = {e["name"] for e in snapshot(url)["elements"]}
    assert {"eeg", "average"} <= names
    code, out, err = command.wait()
    assert code == 0, err


@pytest.mark.parametrize(
    "args, texts",
    [
        (["--monitor", "nope"], ["--monitor", "nope"]),
        (["--monitor", "99999"], ["--monitor", "99999"]),
        (["--monitor", "::1:80"], ["--monitor"]),
        (["--allow-control"], ["--allow-control", "--monitor"]),
    ],
)
def test_bad_monitor_options_are_usage_errors(tmp_path, args, texts):
    document = save_demo(tmp_path)
    assert_one_line_error(flowmesh(tmp_path, "run", document, *args), 2, *texts)


def test_a_monitor_port_in_use_fails_the_command_in_one_line(tmp_path):
    import socket

    document = save_demo(tmp_path)
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        done = flowmesh(tmp_path, "run", document, "--monitor", port, "--duration", "1")
    assert_one_line_error(done, 1, "monitor", str(port))


BEYOND_LOOPBACK = """
import json, subprocess, sys, time, urllib.error, urllib.request
command, document = json.loads(sys.argv[1]), sys.argv[2]
process = subprocess.Popen([*command, "run", document, "--monitor", "0.0.0.0:0", "--duration", "6"],
                           stdout=subprocess.PIPE, text=True)
url = None
for line in process.stdout:
    if line.startswith("Monitor: "):
        url = line.split()[1]
        break
base, _, query = url.partition("?")
port = base.rsplit(":", 1)[1].strip("/")
def status(path):
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=30) as r:
            return r.status
    except urllib.error.HTTPError as e:
        return e.code
seen = {"url": url, "without": status("/api/snapshot"), "with": status("/api/snapshot?" + query)}
process.wait(60)
print(json.dumps(seen))
"""


def test_run_beyond_loopback_needs_the_token(tmp_path):
    document = save_demo(tmp_path)
    result = run_isolated(
        [sys.executable, "-c", BEYOND_LOOPBACK, json.dumps(COMMAND), str(document)],
        env=environment(tmp_path),
    )
    assert result.returncode == 0, result.stderr
    seen = json.loads(result.stdout.strip().splitlines()[-1])
    assert "?token=" in seen["url"]
    assert (seen["without"], seen["with"]) == (401, 200)
