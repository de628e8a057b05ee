#!/usr/bin/env python3
"""make-board (e2e/board.py): the board's FlashSim.ini names the copies of
the files the description names, found beside the description; a missing or
ambiguous file, or an existing output, is refused with the line to fix."""

import os
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "e2e"))

import board  # noqa: E402

# (what, description text, files beside it {relative path: text},
#  board FlashSim.ini lines expected or the text the refusal must hold)
CASES = [
    ("seed by path, key by file name",
     "[Ic0]\nOcm0Seed = OrvSim\\ocm.hex\nPublicKey = keys\\maker.pub.pem\n",
     {"OrvSim/ocm.hex": "seed", "maker.pub.pem": "key"},
     ["[Ic0]", "Ocm0Seed = OrvBoard\\ocm.hex", "PublicKey = OrvBoard\\maker.pub.pem"]),
    ("other keys and comments kept as written",
     "; Address = 0x20\n[Ic0]\nAddress = 0x20\n;PublicKey = gone.pem\n",
     {}, ["; Address = 0x20", "[Ic0]", "Address = 0x20", ";PublicKey = gone.pem"]),
    ("missing file names its line", "[Ic0]\nAddress = 0x20\nCustomer1Seed = cust.hex\n", {},
     "line 3: Customer1Seed = cust.hex: no such file"),
    ("two files of one name", "[Ic0]\nOcm0Seed = a\\x.hex\n[Ic1]\nOcm0Seed = b\\x.hex\n",
     {"a/x.hex": "1", "b/x.hex": "2"}, "line 4: two files named x.hex"),
]


class MakeBoard(unittest.TestCase):
    def test_cases(self):
        for what, text, files, expected in CASES:
            with self.subTest(what), tempfile.TemporaryDirectory() as tmp:
                desc = os.path.join(tmp, "desc")
                for path, content in list(files.items()) + [("FlashSim.ini", text)]:
                    os.makedirs(os.path.dirname(os.path.join(desc, path)), exist_ok=True)
                    with open(os.path.join(desc, path), "w") as f:
                        f.write(content)
                out = os.path.join(tmp, "board")
                if isinstance(expected, str):
                    with self.assertRaises(board.BoardError) as caught:
                        board.make_board(desc, out)
                    self.assertIn(expected, str(caught.exception))
                    self.assertFalse(os.path.exists(out))
                    continue
                board.make_board(desc, out)
                with open(os.path.join(out, "OrvBoard", "FlashSim.ini"), newline="") as f:
                    self.assertEqual(f.read(), "\r\n".join(expected) + "\r\n")
                for path, content in files.items():
                    with open(os.path.join(out, "OrvBoard", os.path.basename(path))) as f:
                        self.assertEqual(f.read(), content)

    def test_existing_output_refused(self):
        with tempfile.TemporaryDirectory() as tmp:
            with open(os.path.join(tmp, "FlashSim.ini"), "w") as f:
                f.write("[FlashSim]\nIcCount = 1\n")
            os.makedirs(os.path.join(tmp, "board", "OrvBoard"))
            with self.assertRaises(board.BoardError) as caught:
                board.make_board(tmp, os.path.join(tmp, "board"))
            self.assertIn("remove it first", str(caught.exception))


if __name__ == "__main__":
    unittest.main()
