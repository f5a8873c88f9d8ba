"""A game folder for the archive-backed engine: sample files packed into a
mirror archive with the qov tool, a game archive copied from it with damaged
pieces, and the plug-in folder (Brevik.dll, the stand-ins, the two lists and
the engine's settings).  Shared by the end-to-end tests beside this file and
by the demo (demo/demo.sh).

The qov tool is the build's own: qov.exe under the Windows emulator (the
BREVIK_EMULATOR of standin/host/tests/hostrun.py), or a native qov.
"""

import json
import os
import random
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "host", "tests"))
import hostrun  # noqa: E402

PLUGIN_FOLDER = "MORL"
CLIENT_VERSION = "1.0.3.7"
BINARIES = ("Brevik.dll", "morl.dll", "MORLCheck.dll")
# The kinds of stored file, with the options of `qov add` that make them.
KINDS = {"plain": ["--no-compress"], "comp": [], "enc": ["--encrypt"]}


class Qov:
    """Runs the qov tool; paths are given as Linux paths."""

    def __init__(self, program):
        self.program = program
        self.windows = program.lower().endswith(".exe")

    def path(self, path):
        return hostrun.windows_path(path) if self.windows else os.path.abspath(path)

    def run(self, *args, ok=(0,)):
        command = (hostrun.EMULATOR if self.windows else []) + [self.program] + list(args)
        done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=300)
        if done.returncode not in ok:
            raise RuntimeError("%s: exit %d\n%s%s" % (" ".join(command), done.returncode,
                                                      done.stdout.decode(errors="replace"),
                                                      done.stderr.decode(errors="replace")))
        return done.stdout.decode("utf-8", errors="replace")

    def info(self, archive):
        return json.loads(self.run("info", "--json", self.path(archive)))

    def verify(self, archive):
        """{"pieces", "last_piece_size", "bad_pieces", "bad_files", "deep"}:
        every piece checked and every file read (--deep), so that
        "bad_files" are the files whose content is damaged."""
        return json.loads(self.run("verify", "--deep", "--json", self.path(archive), ok=(0, 1)))


def sample_files(seed, counts, smallest=2000, largest=60000):
    """{kind: {name inside the archive: content}}: random (incompressible)
    content, so that the stored size of a compressed file is close to its
    size and the damage lands where it is aimed."""
    rng = random.Random(seed)
    files = {}
    for kind, count in counts.items():
        files[kind] = {}
        for n in range(count):
            size = rng.randrange(smallest, largest)
            files[kind]["%s\\%s%03d.dat" % (kind, kind[0], n)] = rng.randbytes(size)
    return files


def write_tree(root, files):
    for name, content in files.items():
        path = os.path.join(root, *name.split("\\"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)


def make_mirror(qov, archive, files, work, piece_size):
    """Packs each kind of `files` with its own `qov add`; returns
    {kind: (first byte, end)} of the data area each kind took."""
    if os.path.exists(archive):
        os.remove(archive)
    qov.run("create", "--piece-size", str(piece_size), "--capacity", "8192", qov.path(archive))
    spans = {}
    start = qov.info(archive)["header_size"]
    for kind, kind_files in files.items():
        source = os.path.join(work, "source-" + kind)
        shutil.rmtree(source, ignore_errors=True)
        write_tree(source, {name.split("\\", 1)[1]: content for name, content in kind_files.items()})
        qov.run("add", *KINDS[kind], "--as", kind, qov.path(archive), qov.path(source))
        end = qov.info(archive)["het_pos"]
        spans[kind] = (start, end)
        start = end
    return spans


def damage(archive, positions):
    """Flips one byte at each position."""
    with open(archive, "r+b") as f:
        for position in positions:
            f.seek(position)
            byte = f.read(1)
            f.seek(position)
            f.write(bytes([byte[0] ^ 0x5A]))


def write_ini(path, sections):
    lines = []
    for section, keys in sections.items():
        lines.append("[%s]" % section)
        lines.extend("%s=%s" % (key, value) for key, value in keys.items())
        lines.append("")
    with open(path, "w", encoding="ascii", newline="\r\n") as f:
        f.write("\n".join(lines))


def read_ini(path):
    values = {}
    if os.path.exists(path):
        with open(path, encoding="latin-1") as f:
            for line in f:
                key, sep, value = line.strip().partition("=")
                if sep:
                    values[key] = value
    return values


class GameFolder:
    """The launcher's side of a game: version file, plug-in settings, and the
    plug-in folder with the DLLs, the lists and the engine's settings."""

    def __init__(self, root, bin_dir, micro_version_type=1):
        self.root = root
        shutil.rmtree(root, ignore_errors=True)
        self.plugin = os.path.join(root, PLUGIN_FOLDER)
        os.makedirs(self.plugin)
        os.makedirs(os.path.join(root, "Sidlo"))
        for binary in BINARIES:
            shutil.copy(os.path.join(bin_dir, binary), self.plugin)
        self.micro = micro_version_type
        with open(self.path("Sidlo", "mmog_data.xml"), "w", encoding="utf-8") as f:
            f.write('<?xml version="1.0" encoding="utf-8"?>\n'
                    "<MmogData><ClientConf><Name>Dravik</Name><VersionData>"
                    "<Build>77</Build><Version>%s</Version>"
                    "</VersionData></ClientConf></MmogData>\n" % CLIENT_VERSION)
        # Statistics go to this machine.
        self.settings = {"MicroVersionType": str(micro_version_type), "QosHost": "127.0.0.1"}
        self.archive = {"Game": "game.qov", "Mirror": hostrun.windows_path(self.path("mirror.qov"))}
        self.write_settings()

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def plugin_path(self, *parts):
        return os.path.join(self.plugin, *parts)

    @property
    def game_archive(self):
        return self.plugin_path("game.qov")

    @property
    def mirror_archive(self):
        return self.path("mirror.qov")

    def write_settings(self):
        write_ini(self.path("morlfixedconfig.ini"), {"MORL": self.settings})
        write_ini(self.plugin_path("morl_script.ini"),
                  {"Engine": {"Behaviour": "archive", "CallLog": "calls.log"}, "Archive": self.archive})

    def download_list(self, names):
        sections = {"ListConfig": {"FileCount": str(len(names))}}
        for number, name in enumerate(names):
            sections[str(number)] = {"Src": name}
        write_ini(self.plugin_path("DLList_%d.ini" % self.micro), sections)

    def restore_list(self, names, destination="..\\"):
        """Each name restored to the game folder (the destination is relative
        to the plug-in folder)."""
        sections = {"ListConfig": {"FileCount": str(len(names))}}
        for number, name in enumerate(names):
            sections[str(number)] = {"Src": name, "Dst": destination}
        write_ini(self.plugin_path("RTList_%d.ini" % self.micro), sections)

    def restored_path(self, name):
        return self.path(*name.split("\\"))

    def recorded(self, key):
        return read_ini(self.path("morlfixedconfig.ini")).get(key)

    def statistics(self):
        return {key: int(value) for key, value in read_ini(self.plugin_path("morl_stats.ini")).items()}

    def calls(self):
        path = self.plugin_path("calls.log")
        if not os.path.exists(path):
            return []
        with open(path, encoding="utf-8", errors="replace") as f:
            return [line.rstrip("\r\n") for line in f if line.strip()]

    def run(self, host, *options, timeout=180, trace=None):
        if os.path.exists(self.plugin_path("calls.log")):
            os.remove(self.plugin_path("calls.log"))
        arguments = ["--timestamps", "--timeout", str(timeout)]
        if trace:
            arguments += ["--trace", hostrun.windows_path(trace)]
        # A feedback page opened through the shell is recorded by the
        # prefix's URL handler (cmake/windows/url-recorder.c).
        record = {"BREVIK_URL_RECORD": hostrun.windows_path(self.path("feedback.txt"))}
        return hostrun.run_host(host, self.root, arguments + list(options), env=record,
                                timeout=timeout + 120)


def piece_map(archive):
    """The piece-state map as the archive file holds it (header at 0)."""
    with open(archive, "rb") as f:
        header = f.read(172)
        position = int.from_bytes(header[44:52], "little")
        size = int.from_bytes(header[76:84], "little")
        f.seek(position)
        return f.read(size)
