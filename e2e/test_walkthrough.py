#!/usr/bin/env python3
"""Self-check of the walkthrough runner: a step's expectations and status
are enforced, exported variables reach later steps, and a failed step stops
the steps after it. Runs under ctest; the walkthrough itself runs in the e2e
suite."""

import os
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import walkthrough  # noqa: E402


def run_doc(text):
    """Runs a document; returns the list of problem lists, one per step."""
    with tempfile.TemporaryDirectory() as folder:
        doc = os.path.join(folder, "doc.md")
        with open(doc, "w") as f:
            f.write(text)
        results = walkthrough.run_walkthrough(doc, os.path.join(folder, "work"), folder,
                                              report=lambda line: None)
    return [problems for _, problems in results]


def block(body, lang="sh"):
    return "```%s\n%s\n```\n" % (lang, body)


class WalkthroughRunnerTest(unittest.TestCase):
    def test_verdicts(self):
        cases = [
            # (name, step body, passes)
            ("expectation met", "echo 'result: ok'\n# expect: result: ok", True),
            ("expectation on stderr", "echo boom >&2\n# expect: boom", True),
            ("expectation missing", "echo 'result: 1 errors'\n# expect: result: ok", False),
            ("failing command", "false\necho after", False),
            ("status expected", "exit 3\n# status: 3", True),
            ("status other than expected", "exit 1\n# status: 3", False),
            ("success where a failure is expected", "true\n# status: 1", False),
            ("unset variable", "echo $NOT_SET_ANYWHERE", False),
        ]
        for name, body, passes in cases:
            with self.subTest(name):
                problems = run_doc(block(body))
                self.assertEqual(len(problems), 1)
                self.assertEqual(not problems[0], passes, problems[0])

    def test_state_reaches_later_steps_and_failure_stops_them(self):
        doc = (block("export GREETING=hello\ntouch made") + "text\n" +
               block("ignored: not a step", lang="toml") +
               block("echo \"$GREETING $ORV_BUILD\"; ls made\n# expect: hello /") +
               block("false") + block("echo never\n# expect: never"))
        problems = run_doc(doc)
        self.assertEqual(len(problems), 4)
        self.assertEqual(problems[:2], [[], []])
        self.assertTrue(problems[2])
        self.assertEqual(problems[3], ["not run: step 3 failed"])

    def test_unclosed_block_is_refused(self):
        with self.assertRaises(ValueError):
            walkthrough.parse_steps("```sh\necho open\n")


if __name__ == "__main__":
    unittest.main()
