"""The board team's walkthrough (docs/board-teams.md) run step by step, as a
reader runs it: each shell step of the document is one case.
"""

import os

import walkthrough
from harness import EFI_SUCCESS, Case

# The steps run at a lower priority than the suite's other boots, so their
# builds do not starve those boots' consoles past the no-progress limit; the
# steps' own boots (scripts/boot.sh) then get a longer limit of their own.
NICENESS = 10
STEP_ENV = {"E2E_STALL_TIMEOUT": "120", "BOOT_TIMEOUT": "600"}


def walkthrough_sequence(suite, fx):
    workdir = os.path.join(fx.workdir, "walkthrough")
    try:
        results = walkthrough.run_walkthrough(walkthrough.DEFAULT_DOC, workdir, fx.build,
                                              report=lambda line: None, niceness=NICENESS,
                                              extra_env=dict(STEP_ENV, BOOT_WORKDIR=os.path.join(
                                                  workdir, "boot")))
    except (OSError, ValueError) as exc:   # the document is missing or malformed
        results, trouble = [], "%s: %s" % (walkthrough.DEFAULT_DOC, exc)
    else:
        trouble = "%s has no steps" % walkthrough.DEFAULT_DOC
    cases = [(Case("walkthrough_%d" % step.number, "line %d: %s" % (step.line, step.title()),
                   [], EFI_SUCCESS), problems) for step, problems in results]
    if not cases:
        cases = [(Case("walkthrough_0", "", [], EFI_SUCCESS),
                  [trouble])]
    suite.report_checked("-- walkthrough %s (work folder %s)"
                         % (walkthrough.DEFAULT_DOC, workdir), cases)


SEQUENCES = [("walkthrough", walkthrough_sequence)]
