"""The cases of the end-to-end suite, one module per area.

Every module in this folder whose name does not start with "_" is loaded
by e2e_suite.py, in name order. A module adds to the suite by defining any
of these names at its top level:

    BOOTS       [(name, with_settings, make_cases)]: one QEMU boot per entry;
                make_cases(fx) returns the harness.Case list run in order in
                that boot; with_settings puts the suite's settings file on
                the volume (False: the cases bring their own)
    SEQUENCES   [(name, run)]: several boots on one disk (a power cut and its
                recovery); run(suite, fx) boots and reports its own cases
    BOOT_FILES  {boot name: [add_files(fx, volume)]}: more files on that
                boot's volume, put after the common ones
    FAULTS      {file name: fault rule text}: put into OrvSim\\ of every
                volume, for cases that copy them to OrvSim\\Faults.ini

Boot, sequence and case names are unique across the suite (E2E_ONLY picks
them by name). The Fixture (fixture.py) gives the common files and images,
fixture.py also the flash checks and expected lines several areas share.
"""

import importlib
import os
import pkgutil


class Registry:
    def __init__(self):
        self.boots = []
        self.sequences = []
        self.boot_files = {}
        self.faults = {}


def load():
    """Imports every case module and collects what they define. Raises
    ValueError when two modules use the same boot, sequence or file name."""
    reg = Registry()
    folder = os.path.dirname(os.path.abspath(__file__))
    names = sorted(m.name for m in pkgutil.iter_modules([folder]) if not m.name.startswith("_"))
    for name in names:
        module = importlib.import_module("%s.%s" % (__name__, name))
        reg.boots += getattr(module, "BOOTS", [])
        reg.sequences += getattr(module, "SEQUENCES", [])
        for boot, adders in getattr(module, "BOOT_FILES", {}).items():
            reg.boot_files.setdefault(boot, []).extend(adders)
        _merge(reg.faults, getattr(module, "FAULTS", {}), name)
    seen = [entry[0] for entry in reg.boots + reg.sequences]
    twice = sorted({n for n in seen if seen.count(n) > 1})
    if twice:
        raise ValueError("boot or sequence defined twice: %s" % ", ".join(twice))
    return reg


def _merge(into, more, module):
    for key, value in more.items():
        if key in into and into[key] != value:
            raise ValueError("case module %s redefines %s" % (module, key))
        into[key] = value
