#!/usr/bin/env python3
"""The repair tool's real window under Xvfb and Wine, seen from outside.

Starts MORLRepairTools.exe in a scratch program folder beside a prepared
MORLFilelist.ini and MORLDownload, and drives it with xdotool, as a user
would:

  * the start button runs a pass that ends with MORLRepairResult.txt beside
    the program, listing the damaged and the missing archives, while the
    status box and the progress bar change on the screen;
  * a second click after the end starts a new pass, a double click and a
    click during a pass start one only (each finished pass writes the
    result file once);
  * dragging the caption moves the window, double-clicking it does not
    maximise it;
  * the close button ends the program with exit code 0, also while a pass
    runs (which then ends before its list and writes no result);
  * a failed list longer than the status box leaves the whole list in the
    result file (the box's summary is in a screenshot);
  * without a skin, or with a damaged one, the window opens without
    controls and closes cleanly.

The program has no test hook: what it shows is read from the screen
(ImageMagick's import and convert compare the status box and the progress
bar before and after) and from the files it writes.  Where the controls
are comes from the skin's layout, which SkinTest.TheControlsSitWhere-
TheWindowTestLooks pins.  Screenshots of the window are kept in the
artefact folder.

  window_test.py WINE_RUN EXE_DIR QOV_EXE WORK_DIR ARTEFACT_DIR
"""

import ctypes
import ctypes.util
import os
import random
import shutil
import struct
import subprocess
import sys
import time

SKIP = 77

RESULT_FILE = "MORLRepairResult.txt"

# Client rectangles (left, top, right, bottom) of the skin's controls.
CLOSE_BUTTON = (454, 0, 500, 44)
STATUS_BOX = (28, 94, 472, 240)
PROGRESS_BAR = (28, 252, 472, 260)
START_BUTTON = (336, 272, 472, 308)
CAPTION_HEIGHT = 44


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


class FileWrites:
    """Counts the times a file of a folder is written and closed (inotify)."""

    IN_CLOSE_WRITE = 0x8
    IN_MOVED_TO = 0x80

    def __init__(self, folder, name):
        libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
        self.fd = libc.inotify_init1(os.O_NONBLOCK)
        if self.fd < 0 or libc.inotify_add_watch(self.fd, folder.encode(),
                                                 self.IN_CLOSE_WRITE | self.IN_MOVED_TO) < 0:
            raise Failure("inotify: error %d" % ctypes.get_errno())
        self.name = name.encode()
        self.writes = 0

    def count(self):
        while self.fd >= 0:
            try:
                data = os.read(self.fd, 65536)
            except BlockingIOError:
                return self.writes
            at = 0
            while at + 16 <= len(data):
                _, _, _, length = struct.unpack_from("iIII", data, at)
                if data[at + 16:at + 16 + length].rstrip(b"\0") == self.name:
                    self.writes += 1
                at += 16 + length
        return self.writes

    def close(self):
        if self.fd >= 0:
            self.count()
            os.close(self.fd)
            self.fd = -1


class ProgramFolder:
    def __init__(self, root, exe_dir, wine_run, qov, skin=True):
        self.root = root
        self.wine_run = wine_run
        self.qov = qov
        shutil.rmtree(root, ignore_errors=True)
        os.makedirs(os.path.join(root, "MORLDownload"))
        for name in ("MORLRepairTools.exe", "MORLRepairTools.zip") if skin else ("MORLRepairTools.exe",):
            shutil.copy(os.path.join(exe_dir, name), root)

    def archive(self, name):
        return os.path.join(self.root, "MORLDownload", name)

    def display_path(self, name):
        return windows_path(self.archive(name))

    def result(self):
        """The result file's lines, or None when there is none."""
        path = os.path.join(self.root, RESULT_FILE)
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read().decode("utf-8").splitlines()

    def remove_result(self):
        path = os.path.join(self.root, RESULT_FILE)
        if os.path.exists(path):
            os.remove(path)

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
    """One run of the program and its window on the X display."""

    def __init__(self, folder, artefacts):
        self.folder = folder
        self.artefacts = artefacts
        self.writes = FileWrites(folder.root, RESULT_FILE)
        self.process = subprocess.Popen(
            [folder.wine_run, windows_path(os.path.join(folder.root, "MORLRepairTools.exe"))],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.window = wait_for(self._find_window, "the window on the X display").split()[0]
        # Painted once: the first screenshot shows the skin.
        time.sleep(0.5)

    def _find_window(self):
        try:
            return xdotool("search", "--onlyvisible", "--name", "Orvane")
        except subprocess.CalledProcessError:
            return None

    def visible(self):
        return self._find_window() is not None

    def geometry(self):
        values = dict(line.split("=") for line in xdotool("getwindowgeometry", "--shell", self.window).split())
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def screenshot(self, name):
        path = os.path.join(self.artefacts, name + ".png")
        subprocess.run(["timeout", "20", "import", "-window", self.window, path], check=True,
                       capture_output=True)
        return path

    def look(self, rect):
        """A signature of what the window shows in rect (client coordinates)."""
        shot = os.path.join(self.folder.root, "look.png")
        subprocess.run(["timeout", "20", "import", "-window", self.window, shot], check=True,
                       capture_output=True)
        left, top, right, bottom = rect
        crop = "%dx%d+%d+%d" % (right - left, bottom - top, left, top)
        return subprocess.run(["convert", shot, "-crop", crop, "+repage", "-format", "%#", "info:"],
                              check=True, capture_output=True, text=True).stdout.strip()

    def click_at(self, rect, repeat=1):
        x, y, _, _ = self.geometry()
        left, top, right, bottom = rect
        move_mouse(x + (left + right) // 2, y + (top + bottom) // 2)
        xdotool("click", "--repeat", repeat, "--delay", 60, 1)

    def passes(self):
        """Passes that ran to their end (each writes the result file once)."""
        return self.writes.count()

    def wait_for_passes(self, count, timeout=120.0):
        wait_for(lambda: self.passes() >= count, "pass %d to end" % count, timeout)

    def close_with_keyboard(self):
        xdotool("windowfocus", self.window)
        xdotool("key", "--window", self.window, "alt+F4")

    def wait_exit(self, timeout=60.0):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise Failure("the program did not end")
        finally:
            self.writes.close()


def test_pass_buttons_and_caption(folder, artefacts):
    folder.make_archive("good.qov", 3_000_000, 65536)
    folder.make_archive("damaged.qov", 1_000_000, 16384)
    folder.damage("damaged.qov")
    names = ["good.qov", "damaged.qov", "missing_one.qov", "missing_two.qov"]
    folder.write_list(names)
    before = {n: open(folder.archive(n), "rb").read() for n in names[:2]}

    tool = RunningTool(folder, artefacts)
    tool.screenshot("window-before-pass")
    status_before = tool.look(STATUS_BOX)
    progress_before = tool.look(PROGRESS_BAR)

    tool.click_at(START_BUTTON)
    tool.wait_for_passes(1)
    expected = [folder.display_path(n) for n in names[1:]]
    check(folder.result() == expected, "result file %r, expected %r" % (folder.result(), expected))
    time.sleep(0.5)
    tool.screenshot("window-after-pass")
    check(tool.look(STATUS_BOX) != status_before, "the status box shows the outcome")
    check(tool.look(PROGRESS_BAR) != progress_before, "the progress bar moved")
    for name, content in before.items():
        check(open(folder.archive(name), "rb").read() == content, name + " changed on disk")

    folder.remove_result()
    tool.click_at(START_BUTTON)
    tool.wait_for_passes(2)
    check(folder.result() == expected, "the second pass ends as the first")

    # Dragging the caption (on the title, away from the close button).
    x0, y0, w0, h0 = tool.geometry()
    grab_x, grab_y = x0 + 60, y0 + CAPTION_HEIGHT // 2
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

    tool.click_at(CLOSE_BUTTON)
    check(tool.wait_exit() == 0, "exit code after the close button")
    check(tool.passes() == 2, "two passes, one per click")


def test_clicks_and_close_during_a_pass(folder, artefacts):
    # A pass long enough to click into: one big archive of small pieces,
    # listed many times.
    folder.make_archive("big.qov", 24 << 20, 4096)
    folder.write_list(["big.qov"] * 6)

    tool = RunningTool(folder, artefacts)
    status_idle = tool.look(STATUS_BOX)
    started = time.monotonic()
    tool.click_at(START_BUTTON, repeat=2)
    wait_for(lambda: tool.look(STATUS_BOX) != status_idle, "the pass to show its first archive")
    time.sleep(0.5)
    check(tool.passes() == 0, "the pass is long enough to be clicked into")
    tool.click_at(START_BUTTON)
    check(tool.passes() == 0, "the click came while the pass ran")
    tool.wait_for_passes(1, timeout=300)
    print("the long pass took %.1f s" % (time.monotonic() - started))
    check(folder.result() == [], "the long pass succeeds: an empty result")
    # A second pass (from the double click or the later click) would write
    # the result again when it ends.
    time.sleep(3.0)
    check(tool.passes() == 1, "a double click and a click during a pass start one pass only (%d)" % tool.passes())

    # Closed while a pass runs: the program ends by itself, with code 0,
    # before the pass reached the end of its list.
    folder.remove_result()
    status_done = tool.look(STATUS_BOX)
    tool.click_at(START_BUTTON)
    wait_for(lambda: tool.look(STATUS_BOX) != status_done, "the second pass")
    closed = time.monotonic()
    tool.click_at(CLOSE_BUTTON)
    wait_for(lambda: not tool.visible(), "the window to go out of sight", 10)
    check(tool.wait_exit() == 0, "exit code after closing during a pass")
    print("closed during a pass: the program ended %.2f s after the click" % (time.monotonic() - closed))
    check(folder.result() is None and tool.passes() == 1,
          "the pass stopped before the end of its list and wrote no result")


def test_long_failed_list(folder, artefacts):
    # More failed archives than the status box can hold: the box says how
    # many and where the list is; the result file holds every path.
    names = ["missing_archive_with_a_long_name_%02d.qov" % i for i in range(30)]
    folder.write_list(names)
    tool = RunningTool(folder, artefacts)
    status_before = tool.look(STATUS_BOX)
    tool.click_at(START_BUTTON)
    tool.wait_for_passes(1)
    check(folder.result() == [folder.display_path(n) for n in names], "the result file lists every path")
    time.sleep(0.5)
    tool.screenshot("window-long-failed-list")
    check(tool.look(STATUS_BOX) != status_before, "the status box shows the outcome")
    tool.click_at(CLOSE_BUTTON)
    check(tool.wait_exit() == 0, "exit code after the close button")


def test_without_a_usable_skin(folder_factory, artefacts):
    # No skin archive, then one that is no zip: the window opens without
    # controls, and the keyboard closes it.
    for case in ("no-skin", "damaged-skin"):
        folder = folder_factory(case)
        if case == "damaged-skin":
            with open(os.path.join(folder.root, "MORLRepairTools.zip"), "wb") as f:
                f.write(b"PK\x03\x04 this is not a zip archive" * 10)
        tool = RunningTool(folder, artefacts)
        tool.screenshot("window-" + case)
        check(tool.process.poll() is None, "the program runs without its skin")
        tool.close_with_keyboard()
        check(tool.wait_exit() == 0, "exit code after closing the window without a skin (%s)" % case)


def main():
    if len(sys.argv) != 6:
        print(__doc__)
        return 2
    wine_run, exe_dir, qov, work, artefacts = sys.argv[1:]
    if not os.environ.get("DISPLAY"):
        print("no X display: run the tests under xvfb-run")
        return SKIP
    for tool in ("xdotool", "import", "convert"):
        if shutil.which(tool) is None:
            print(tool + " is missing")
            return SKIP
    os.makedirs(artefacts, exist_ok=True)
    try:
        test_pass_buttons_and_caption(ProgramFolder(os.path.join(work, "pass"), exe_dir, wine_run, qov),
                                      artefacts)
        print("pass, buttons and caption: ok")
        test_clicks_and_close_during_a_pass(ProgramFolder(os.path.join(work, "busy"), exe_dir, wine_run, qov),
                                            artefacts)
        print("clicks and close during a pass: ok")
        test_long_failed_list(ProgramFolder(os.path.join(work, "long"), exe_dir, wine_run, qov), artefacts)
        print("a long failed list: ok")
        test_without_a_usable_skin(
            lambda case: ProgramFolder(os.path.join(work, case), exe_dir, wine_run, qov, skin=case != "no-skin"),
            artefacts)
        print("without a usable skin: ok")
    except Failure as failure:
        print("FAILED: %s" % failure)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
