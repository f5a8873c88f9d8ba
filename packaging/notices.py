#!/usr/bin/env python3
"""Writes THIRD-PARTY-NOTICES.txt for the Windows package: the licence text of
every third-party library that the linker put into a shipped binary.

  notices.py OUTPUT SOURCE_CACHE BINARY.map...

What went in is read from each binary's linker map (BINARY.map, written with
-Wl,-Map): the static libraries members were taken from, and for SimpleIni,
a header-only library, the sections of its template code.  The texts are the
Debian copyright files: of the source package a library was built from (in
SOURCE_CACHE, the unpacked sources of cmake/windows/deps.sh), else of the
installed Debian package it comes from.  A linked library without a known
text, or a text that cannot be found, is an error: the package is not made.
Prints which library went into which binary.
"""

import glob
import os
import re
import sys

DOC = "/usr/share/doc/%s/copyright"

# name, what it does here, archive names (or "section:TEXT"), texts (globs,
# first match wins).
LIBRARIES = [
    ("zlib", "deflate and inflate, checksums",
     ["libz.a"], [DOC % "libz-mingw-w64-dev"]),
    ("minizip (zlib's contrib/minizip)", "reading the repair tool's skin archive",
     ["libminizip.a"], ["{src}/zlib_*/tree/debian/copyright", DOC % "zlib1g"]),
    ("bzip2", "bzip2 decompression",
     ["libbz2.a"], ["{src}/bzip2_*/tree/debian/copyright", DOC % "libbz2-dev"]),
    ("libtomcrypt", "MD5",
     ["libtomcrypt.a"], ["{src}/libtomcrypt_*/tree/debian/copyright", DOC % "libtomcrypt-dev"]),
    ("libtommath", "the math back end of libtomcrypt",
     ["libtommath.a"], ["{src}/libtommath_*/tree/debian/copyright", DOC % "libtommath-dev"]),
    ("TinyXML", "reading XML files",
     ["libtinyxml.a"], ["{src}/tinyxml_*/tree/debian/copyright", DOC % "libtinyxml-dev"]),
    ("SimpleIni", "reading the download and restore lists",
     ["section:CSimpleIniTempl"], [DOC % "libsimpleini-dev"]),
    ("LZMA SDK decoder", "LZMA decompression",
     ["libnqov_lzmadec.a"], [DOC % "lzma-dev"]),
    ("libcurl", "HTTP transfers",
     ["libcurl.a"], [DOC % "libcurl4-openssl-dev"]),
    ("mingw-w64 runtime and winpthreads", "the C run-time start-up and POSIX threads",
     ["libwinpthread.a", "libmingwex.a", "libmingw32.a"], [DOC % "mingw-w64-x86-64-dev"]),
    ("GCC run-time libraries (libstdc++, libgcc)", "the C++ standard library and compiler support",
     ["libstdc++.a", "libgcc.a", "libgcc_eh.a"], [DOC % "gcc-mingw-w64-base"]),
]

# Archives that are the project's own, or import libraries of system DLLs.
ARCHIVE = re.compile(r"([^\s()]+\.a)\(")


def linked(map_text):
    """The archive names and the section names of a linker map."""
    archives = {os.path.basename(path) for path in ARCHIVE.findall(map_text)}
    return archives, map_text


def find_text(patterns, source_cache):
    for pattern in patterns:
        for path in sorted(glob.glob(pattern.format(src=source_cache))):
            if os.path.isfile(path):
                return path
    return None


def main():
    if len(sys.argv) < 4:
        print(__doc__, file=sys.stderr)
        return 2
    output, source_cache, maps = sys.argv[1], sys.argv[2], sys.argv[3:]
    used = {}  # library name -> binaries
    for map_path in maps:
        binary = os.path.basename(map_path)[:-len(".map")]
        with open(map_path, encoding="utf-8", errors="replace") as f:
            archives, text = linked(f.read())
        for name, _, markers, _ in LIBRARIES:
            for marker in markers:
                hit = (marker[len("section:"):] in text) if marker.startswith("section:") \
                    else marker in archives
                if hit:
                    used.setdefault(name, []).append(binary)
                    break
    parts = ["Third-party software in this package",
             "=====================================",
             "",
             "These libraries are compiled into the binaries of this package.  Their",
             "licences follow, as the Debian packages they were built from state them.",
             ""]
    texts = []
    for name, purpose, _, patterns in LIBRARIES:
        if name not in used:
            continue
        path = find_text(patterns, source_cache)
        if path is None:
            print("error: no licence text for %s (%s)" % (name, ", ".join(patterns)), file=sys.stderr)
            return 1
        binaries = ", ".join(sorted(set(used[name])))
        print("%-45s %s  (%s)" % (name, binaries, path))
        parts.append("- %s: %s; in %s" % (name, purpose, binaries))
        with open(path, encoding="utf-8", errors="replace") as f:
            texts += ["", "-" * 78, "%s (in %s)" % (name, binaries),
                      "Source of this text: Debian, %s" % debian_name(path), "-" * 78, "",
                      f.read().rstrip("\n")]
    with open(output, "w", encoding="utf-8", newline="\r\n") as f:
        f.write("\n".join(parts + texts) + "\n")
    return 0


def debian_name(path):
    """'package libbz2-dev' or 'source package bzip2 1.0.8-5' for a text's path."""
    match = re.search(r"/share/doc/([^/]+)/copyright$", path)
    if match:
        return "package " + match.group(1)
    match = re.search(r"/([^/_]+)_([^/]+)/tree/debian/copyright$", path)
    if match:
        return "source package %s %s" % (match.group(1), match.group(2).replace("_", ":", 1)
                                          if match.group(2).startswith("1_") else match.group(2))
    return path


if __name__ == "__main__":
    sys.exit(main())
