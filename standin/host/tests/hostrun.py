"""Running MORLHost.exe and reading what it prints.

Shared by the host's own test (test_host_cli.py) and the plug-in's end-to-end
test (e2e/test_repair_e2e.py).  The environment variable BREVIK_EMULATOR
(the build's wine-run in the windows flavour) is put in front of the program.
"""

import os
import re
import shlex
import subprocess
from dataclasses import dataclass, field

EMULATOR = shlex.split(os.environ.get("BREVIK_EMULATOR", ""))

EXIT_SUCCESS, EXIT_FAILURE, EXIT_TIMEOUT, EXIT_STOPPED, EXIT_CANNOT_RUN = 0, 1, 2, 3, 4

_LINE = re.compile(r"^(?:\+(\d+)ms )?(.*)$")


def windows_path(path):
    """The path as a Windows program sees it: under Wine, Z: is the root."""
    path = os.path.abspath(path)
    if not EMULATOR or os.name == "nt":
        return path
    return "Z:" + path.replace("/", "\\")


@dataclass
class Call:
    """One line of the host: a sink call, or one of the host's own lines."""
    name: str            # OnProgress, OnSuccess, OnFail, OnMessage, host, or trace
                         # (anything else: the plug-in's trace when not sent apart)
    text: str = ""       # the text of OnProgress and OnFail, the rest of a host line
    percent: int = None  # OnProgress only
    ms: int = None       # with --timestamps: milliseconds since the host started
    fields: dict = field(default_factory=dict)  # OnMessage: flags, answer, caption, text


def parse_line(line):
    match = _LINE.match(line)
    ms = int(match.group(1)) if match.group(1) else None
    rest = match.group(2)
    name, _, tail = rest.partition(" ")
    if name == "OnProgress":
        percent, _, text = tail.partition(" ")
        return Call(name, text, int(percent), ms)
    if name == "OnMessage":
        found = re.match(r"flags=(\d+) answer=(-?\d+) caption=(.*?) text=(.*)$", tail)
        fields = {}
        if found:
            fields = {"flags": int(found.group(1)), "answer": int(found.group(2)),
                      "caption": found.group(3), "text": found.group(4)}
        return Call(name, fields.get("text", ""), None, ms, fields)
    if name == "host:":
        return Call("host", tail, None, ms)
    if name in ("OnSuccess", "OnFail"):
        return Call(name, tail, None, ms)
    return Call("trace", rest, None, ms)


@dataclass
class HostRun:
    code: int
    stdout: str
    stderr: str
    calls: list

    def sink_calls(self):
        return [c for c in self.calls if c.name not in ("host", "trace")]

    def names(self):
        return [c.name for c in self.sink_calls()]

    def progress(self):
        return [c for c in self.calls if c.name == "OnProgress"]

    def describe(self):
        return "exit %d\n--- stdout\n%s--- stderr\n%s" % (self.code, self.stdout, self.stderr)


def run_host(host_exe, target, options=(), env=None, timeout=300):
    """Runs MORLHost.exe on TARGET (a game folder or a Brevik.dll) with OPTIONS;
    returns a HostRun.  TIMEOUT guards against a hang of the whole process."""
    command = EMULATOR + [host_exe] + list(options) + [windows_path(target)]
    environment = dict(os.environ)
    environment.update(env or {})
    done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=environment, timeout=timeout)
    stdout = done.stdout.decode("utf-8", errors="replace")
    stderr = done.stderr.decode("utf-8", errors="replace")
    calls = [parse_line(line) for line in stdout.splitlines() if line]
    return HostRun(done.returncode, stdout, stderr, calls)
