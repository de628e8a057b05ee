"""The board team's walkthrough (docs/board-teams.md) run step by step, as a
reader runs it: each shell step of the document is one case.
"""

import os

import walkthrough
from harness import EFI_SUCCESS, Case


def walkthrough_sequence(suite, fx):
    workdir = os.path.join(fx.workdir, "walkthrough")
    try:
        results = walkthrough.run_walkthrough(walkthrough.DEFAULT_DOC, workdir, fx.build,
                                              report=lambda line: None, niceness=10)
    except (OSError, ValueError) as exc:   # the document is missing or malformed
        results, trouble = [], "%s: %s" % (walkthrough.DEFAULT_DOC, exc)
    else:
        trouble = "%s has no steps" % walkthrough.DEFAULT_DOC
    cases = [(Case("walkthrough_%d" % step.number, "line %d: %s" % (step.line, step.title()),
                   [], EFI_SUCCESS), problems) for step, problems in results]
    if not cases:
        cases = [(Case("walkthrough_0", "", [], EFI_SUCCESS),
                  [trouble])]
    out = ["-- walkthrough %s (work folder %s)" % (walkthrough.DEFAULT_DOC, workdir)]
    suite.report_sequence(cases, out)


SEQUENCES = [("walkthrough", walkthrough_sequence)]
