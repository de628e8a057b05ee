#!/usr/bin/env python3
"""The install scripts' reading of apt's package sources (scripts/lib/
apt-sources.sh), run on sample configuration folders of either form."""

import os
import subprocess
import tempfile
import unittest

LIB = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "lib",
                   "apt-sources.sh")

CLASSIC = ("deb http://ftp.example.org/debian bookworm main\n"
           "deb http://security.debian.org/debian-security bookworm-security main\n")
DEB822 = ("Types: deb\n"
          "# http://snapshot.debian.org/archive/debian/20250520T000000Z\n"
          "URIs: http://mirror.example.net/debian/\n"
          "Suites: bookworm bookworm-updates\n"
          "Components: main\n"
          "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n"
          "\n"
          "Types: deb\n"
          "URIs: http://deb.debian.org/debian-security\n"
          "Suites: bookworm-security\n"
          "Components: main\n")

# (what, {file below etc/apt: text}, mirror printed or None for "none found")
CASES = [
    ("classic only", {"sources.list": CLASSIC}, "http://ftp.example.org/debian"),
    ("deb822 only", {"sources.list.d/debian.sources": DEB822},
     "http://mirror.example.net/debian"),
    ("both forms: sources.list first", {"sources.list": CLASSIC,
                                        "sources.list.d/debian.sources": DEB822},
     "http://ftp.example.org/debian"),
    ("neither", {}, None),
    ("only comments", {"sources.list": "# deb http://old.example.org/debian bookworm main\n\n"},
     None),
    ("commented lines skipped",
     {"sources.list": "#deb http://old.example.org/debian bookworm main\n" + CLASSIC},
     "http://ftp.example.org/debian"),
    ("signed-by option in a classic line",
     {"sources.list": "deb [arch=amd64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]"
                      " http://opt.example.org/debian bookworm main contrib\n"},
     "http://opt.example.org/debian"),
    ("security line first, suite decides",
     {"sources.list": "deb http://security.debian.org/debian-security bookworm-security main\n"
                      "deb http://ftp.example.org/debian bookworm main\n"},
     "http://ftp.example.org/debian"),
    ("only deb-src lines", {"sources.list": "deb-src http://src.example.org/debian bookworm main\n"},
     "http://src.example.org/debian"),
    ("disabled deb822 stanza",
     {"sources.list.d/a.sources": "Enabled: no\n" + DEB822.split("\n\n")[0] + "\n",
      "sources.list.d/b.list": "deb http://list.example.org/debian bookworm main\n"},
     "http://list.example.org/debian"),
    ("files of other names ignored",
     {"sources.list.d/x.sources.disabled": DEB822, "sources.list.d/x.list.save": CLASSIC}, None),
    ("no suite match: first non-security mirror",
     {"sources.list": "deb http://ftp.example.org/debian trixie main\n"},
     "http://ftp.example.org/debian"),
]


def mirror(etc):
    script = 'set -euo pipefail; . "$1"; orv_debian_mirror bookworm "$2"'
    proc = subprocess.run(["bash", "-c", script, "test", LIB, etc], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True)
    return proc.returncode, proc.stdout.strip()


class DebianMirror(unittest.TestCase):
    def test_cases(self):
        for what, files, expected in CASES:
            with self.subTest(what), tempfile.TemporaryDirectory() as etc:
                os.makedirs(os.path.join(etc, "sources.list.d"))
                for name, text in files.items():
                    with open(os.path.join(etc, name), "w") as f:
                        f.write(text)
                rc, out = mirror(etc)
                if expected is None:
                    self.assertEqual((rc, out), (1, ""))
                else:
                    self.assertEqual((rc, out), (0, expected))


if __name__ == "__main__":
    unittest.main()
