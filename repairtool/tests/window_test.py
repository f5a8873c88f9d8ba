#!/usr/bin/env python3
"""The repair tool's real window under Xvfb and Wine.

Starts MORLRepairTools.exe in a scratch program folder beside a prepared
MORLFilelist.ini and MORLDownload, and drives it with xdotool:

  * the start button (found where the skin put it) runs a pass whose final
    status text lists the damaged and the missing archives;
  * a second click after the end starts a new pass, a double click during a
    pass starts one only;
  * dragging the caption moves the window, double-clicking it does not
    maximise it;
  * the close button ends the program with exit code 0, also while a pass
    runs.

What the window shows is read back through the program's test hook (the
file named by MORLREPAIRTOOLS_TEST_LOG, see repairtool/TestHook.h).
Screenshots of the screen before and after a pass are kept in the artefact
folder.

  window_test.py WINE_RUN EXE_DIR QOV_EXE WORK_DIR ARTEFACT_DIR
"""

import os
import random
import shutil
import subprocess
import sys
import time

SKIP = 77

FAILED_PREFIX = "修复包失败："
SUCCEEDED = "修复成功！"


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_for(predicate, what, timeout=60.0):
    """A hang guard, not a measurement: polls until predicate() holds."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise Failure("timed out waiting for " + what)


def move_mouse(x, y):
    # Not "mousemove --sync": it can wait for good when the pointer is
    # already there.
    xdotool("mousemove", x, y)
    time.sleep(0.1)


def xdotool(*args):
    return subprocess.run(["timeout", "20", "xdotool"] + [str(a) for a in args], check=True,
                          capture_output=True, text=True).stdout


class ProgramFolder:
    def __init__(self, root, exe_dir, wine_run, qov):
        self.root = root
        self.wine_run = wine_run
        self.qov = qov
        shutil.rmtree(root, ignore_errors=True)
        os.makedirs(os.path.join(root, "MORLDownload"))
        for name in ("MORLRepairTools.exe", "MORLRepairTools.zip"):
            shutil.copy(os.path.join(exe_dir, name), root)

    def archive(self, name):
        return os.path.join(self.root, "MORLDownload", name)

    def display_path(self, name):
        return windows_path(self.archive(name))

    def make_archive(self, name, size, piece_size):
        payload = os.path.join(self.root, "payload.bin")
        with open(payload, "wb") as f:
            f.write(random.Random(size).randbytes(size))
        for args in (["create", "--piece-size", str(piece_size), windows_path(self.archive(name))],
                     ["add", "--no-compress", windows_path(self.archive(name)), windows_path(payload)]):
            subprocess.run([self.wine_run, self.qov] + args, check=True, stdout=subprocess.DEVNULL)
        os.remove(payload)

    def damage(self, name):
        with open(self.archive(name), "r+b") as f:
            f.seek(0, 2)
            middle = f.tell() // 2
            f.seek(middle)
            byte = f.read(1)
            f.seek(middle)
            f.write(bytes([byte[0] ^ 0x5A]))

    def write_list(self, names):
        lines = ["[FileList]", "FileCount=%d" % len(names)]
        for i, name in enumerate(names):
            lines += ["[FileItem%d]" % i, "FileName=" + name]
        with open(os.path.join(self.root, "MORLFilelist.ini"), "wb") as f:
            f.write(("\r\n".join(lines) + "\r\n").encode("utf-16"))


class RunningTool:
    """One run of the program, with its test-hook log."""

    def __init__(self, folder):
        self.log = os.path.join(folder.root, "hook.log")
        if os.path.exists(self.log):
            os.remove(self.log)
        env = dict(os.environ, MORLREPAIRTOOLS_TEST_LOG=windows_path(self.log))
        self.process = subprocess.Popen(
            [folder.wine_run, windows_path(os.path.join(folder.root, "MORLRepairTools.exe"))],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.controls = wait_for(lambda: self._controls(), "the window's controls")
        self.window = wait_for(self._find_window, "the window on the X display").split()[0]

    def _find_window(self):
        try:
            return xdotool("search", "--name", "Orvane")
        except subprocess.CalledProcessError:
            return None

    def events(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log, encoding="utf-8") as f:
            # Each line ends with the program's tick count: not needed here.
            return [line.rstrip("\n").split("\t")[:-1] for line in f if line.endswith("\n")]

    def _controls(self):
        controls = {}
        for event in self.events():
            if event[0] == "control":
                controls[event[1]] = [int(v) for v in event[2].split(",")]
            elif event[0] == "caption":
                controls["caption"] = [int(v) for v in event[1].split(",")]
        return controls if {"ButtonUI1", "ButtonUI2", "caption"} <= controls.keys() else None

    def count(self, kind, value):
        return sum(1 for e in self.events() if e[0] == kind and e[1] == value)

    def statuses(self):
        return [e[1] for e in self.events() if e[0] == "status"]

    def geometry(self):
        values = dict(line.split("=") for line in xdotool("getwindowgeometry", "--shell", self.window).split())
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def screen_point(self, client_x, client_y):
        x, y, _, _ = self.geometry()
        return x + client_x, y + client_y

    def centre_of(self, name):
        l, t, r, b = self.controls[name]
        return self.screen_point((l + r) // 2, (t + b) // 2)

    def click(self, name, repeat=1):
        x, y = self.centre_of(name)
        move_mouse(x, y)
        xdotool("click", "--repeat", repeat, "--delay", 60, 1)

    def wait_for_passes(self, count, timeout=120.0):
        wait_for(lambda: self.count("pass", "end") >= count, "pass %d to end" % count, timeout)

    def wait_exit(self, timeout=60.0):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise Failure("the program did not end")


def screenshot(path):
    subprocess.run(["import", "-window", "root", path], check=True)


def test_pass_buttons_and_caption(folder, artefacts):
    folder.make_archive("good.qov", 3_000_000, 65536)
    folder.make_archive("damaged.qov", 1_000_000, 16384)
    folder.damage("damaged.qov")
    names = ["good.qov", "damaged.qov", "missing_one.qov", "missing_two.qov"]
    folder.write_list(names)
    before = {n: open(folder.archive(n), "rb").read() for n in names[:2]}

    tool = RunningTool(folder)
    time.sleep(0.5)
    screenshot(os.path.join(artefacts, "window-before-pass.png"))

    tool.click("ButtonUI2")
    tool.wait_for_passes(1)
    expected = FAILED_PREFIX + "".join(folder.display_path(n) + " " for n in names[1:])
    check(tool.statuses()[-1] == expected, "final status %r, expected %r" % (tool.statuses()[-1], expected))
    time.sleep(0.5)
    screenshot(os.path.join(artefacts, "window-after-pass.png"))
    for name, content in before.items():
        check(open(folder.archive(name), "rb").read() == content, name + " changed on disk")

    tool.click("ButtonUI2")
    tool.wait_for_passes(2)
    check(tool.count("pass", "start") == 2, "a click after the end starts a new pass")
    check(tool.statuses()[-1] == expected, "the second pass ends as the first")

    # Dragging the caption (on the title, away from the close button).
    x0, y0, w0, h0 = tool.geometry()
    caption = tool.controls["caption"]
    grab_x, grab_y = x0 + 60, y0 + (caption[1] + caption[3]) // 2
    move_mouse(grab_x, grab_y)
    xdotool("mousedown", 1)
    for step in range(1, 6):
        xdotool("mousemove", grab_x + 12 * step, grab_y + 8 * step)
        time.sleep(0.05)
    xdotool("mouseup", 1)
    x1, y1, w1, h1 = wait_for(lambda: tool.geometry() if tool.geometry()[:2] != (x0, y0) else None,
                              "the window to move", 10)
    check((x1 - x0, y1 - y0) == (60, 40), "dragged by (60, 40), moved by (%d, %d)" % (x1 - x0, y1 - y0))

    # A double click on the caption leaves the size alone.
    move_mouse(x1 + 60, grab_y + 40)
    xdotool("click", "--repeat", 2, "--delay", 60, 1)
    time.sleep(1.0)
    check(tool.geometry()[2:] == (w0, h0), "the caption's double click changed the size")

    tool.click("ButtonUI1")
    check(tool.wait_exit() == 0, "exit code after the close button")


def test_clicks_and_close_during_a_pass(folder):
    # A pass long enough to click into: one big archive of small pieces,
    # listed many times.
    folder.make_archive("big.qov", 24 << 20, 4096)
    folder.write_list(["big.qov"] * 6)

    tool = RunningTool(folder)
    started = time.monotonic()
    tool.click("ButtonUI2", repeat=2)
    wait_for(lambda: tool.count("pass", "start") >= 1, "the pass to start")
    time.sleep(0.5)
    check(tool.count("pass", "end") == 0, "the pass is long enough to be clicked into")
    tool.click("ButtonUI2")
    check(tool.count("pass", "end") == 0, "the click came while the pass ran")
    tool.wait_for_passes(1, timeout=300)
    print("the long pass took %.1f s" % (time.monotonic() - started))
    check(tool.count("pass", "start") == 1,
          "a double click and a click during a pass start one pass only (%d)" % tool.count("pass", "start"))
    check(tool.statuses()[-1] == SUCCEEDED, "the long pass succeeds")

    # Closed while a pass runs: the program ends by itself, with code 0.
    tool.click("ButtonUI2")
    wait_for(lambda: tool.count("pass", "start") == 2 and tool.count("progress", "0") >= 1, "the second pass")
    tool.click("ButtonUI1")
    check(tool.wait_exit() == 0, "exit code after closing during a pass")
    events = tool.events()
    stopping = events.index(["pass", "stopping"])
    check(events[-1] == ["pass", "end"] and tool.count("pass", "end") == 2,
          "the window waits for the pass to end before it goes")
    check(not any(e[0] in ("status", "progress") for e in events[stopping:]),
          "nothing is shown after the close")
    second_pass = len(events) - 1 - events[::-1].index(["pass", "start"])
    archives = sum(1 for e in events[second_pass:] if e[0] == "status" and e[1].endswith("big.qov"))
    check(archives < 6, "the pass stopped before the end of its list (%d archives)" % archives)


def main():
    if len(sys.argv) != 6:
        print(__doc__)
        return 2
    wine_run, exe_dir, qov, work, artefacts = sys.argv[1:]
    if not os.environ.get("DISPLAY"):
        print("no X display: run the tests under xvfb-run")
        return SKIP
    for tool in ("xdotool", "import"):
        if shutil.which(tool) is None:
            print(tool + " is missing")
            return SKIP
    os.makedirs(artefacts, exist_ok=True)
    try:
        test_pass_buttons_and_caption(ProgramFolder(os.path.join(work, "pass"), exe_dir, wine_run, qov),
                                      artefacts)
        print("pass, buttons and caption: ok")
        test_clicks_and_close_during_a_pass(ProgramFolder(os.path.join(work, "busy"), exe_dir, wine_run, qov))
        print("clicks and close during a pass: ok")
    except Failure as failure:
        print("FAILED: %s" % failure)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
