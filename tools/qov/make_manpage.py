#!/usr/bin/env python3
"""Writes qov's manual page from its own help texts: the overview of
'qov help' and the text of 'qov help COMMAND' for every command the overview
lists, so that the page has every command and says what the program says.

  make_manpage.py QOV OUTPUT

The page's date is that of SOURCE_DATE_EPOCH when it is set (the commit's,
in a release build), else there is none: the page depends on nothing but the
program.
"""

import datetime
import os
import re
import subprocess
import sys


def run(qov, *args):
    return subprocess.run([qov] + list(args), check=True, capture_output=True,
                          text=True).stdout.replace("\r\n", "\n")


def roff(text):
    """Escapes text for a roff line: backslashes, and a leading . or '."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    if text.startswith((".", "'")):
        text = "\\&" + text
    return text


def commands(overview):
    """The (name, summary) lines of the overview's command list."""
    listed = overview.split("Commands:\n", 1)[1].split("\n\n", 1)[0]
    found = []
    for line in listed.splitlines():
        match = re.match(r"^  (\S+)\s+(.*)$", line)
        if match and not match.group(1).startswith("-") and match.group(1) != "help":
            found.append((match.group(1), match.group(2)))
    return found


def block(text):
    """A help text as lines kept as they are (the texts are laid out)."""
    out = [".nf"]
    out += [roff(line) if line else "" for line in text.rstrip("\n").splitlines()]
    out.append(".fi")
    return out


def page(qov):
    version = run(qov, "--version").split()[1]
    overview = run(qov, "help")
    date = ""
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if epoch and epoch.isdigit():
        date = datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc).strftime("%Y-%m-%d")
    lines = ['.TH QOV 1 "%s" "qov %s" "User Commands"' % (date, version),
             ".SH NAME",
             "qov \\- create, read, verify and repair QOV archives",
             ".SH SYNOPSIS",
             ".B qov",
             ".I COMMAND",
             "[\\fIOPTIONS\\fR] \\fIARGUMENTS\\fR",
             ".br",
             ".B qov help",
             "[\\fICOMMAND\\fR]",
             ".br",
             ".B qov \\-\\-version",
             ".SH DESCRIPTION"]
    lines += block(overview)
    lines.append(".SH COMMANDS")
    for name, summary in commands(overview):
        lines += [".SS %s" % roff(name), roff(summary[:1].upper() + summary[1:]) + ".", ".PP"]
        lines += block(run(qov, "help", name))
    lines += [".SH VERSION", "This page describes qov %s." % roff(version), ""]
    return "\n".join(lines)


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    qov, output = sys.argv[1:]
    text = page(qov)
    with open(output + ".tmp", "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(output + ".tmp", output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
