#!/usr/bin/env python3
"""Self-check of the QEMU launcher: the accelerator choice and its fall-back,
and the rules that stop a boot early, tried with stand-in QEMU commands
(small shell scripts) instead of the real one. Runs under ctest."""

import os
import stat
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
import orvqemu  # noqa: E402

KVM_FAILURE = ("KVM internal error. Suberror: 1\n"
               "extra data[0]: 0x0000000000000001\n"
               "emulation failure\n"
               "EAX=00000000 EBX=00807000 ECX=00000001 EDX=00807154\n")


class StandIn:
    """A stand-in QEMU: a script that writes the given text and then either
    exits with the given status or hangs. It notes each start in a file."""

    def __init__(self, folder, text, hang=True, status=0):
        self.path = os.path.join(folder, "qemu-stand-in")
        self.starts = os.path.join(folder, "starts")
        with open(os.path.join(folder, "out.txt"), "w") as f:
            f.write(text)
        with open(self.path, "w") as f:
            f.write("#!/bin/sh\n"
                    "echo \"$@\" >> '%s'\n"
                    "cat '%s'\n" % (self.starts, os.path.join(folder, "out.txt")))
            f.write("exec sleep 600\n" if hang else "exit %d\n" % status)
        os.chmod(self.path, stat.S_IRWXU)

    def start_count(self):
        if not os.path.exists(self.starts):
            return 0
        with open(self.starts) as f:
            return len(f.readlines())


class LauncherTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.folder = self.dir.name
        self.saved = (orvqemu.QEMU, orvqemu.KVM_DEVICE, orvqemu.OVMF_VARS,
                      orvqemu._accel_args, os.environ.get(orvqemu.KVM_REQUEST))
        # A device node stand-in that can be opened for reading and writing.
        orvqemu.KVM_DEVICE = os.path.join(self.folder, "kvm")
        open(orvqemu.KVM_DEVICE, "w").close()
        orvqemu.OVMF_VARS = os.path.join(self.folder, "vars.fd")
        open(orvqemu.OVMF_VARS, "wb").close()
        orvqemu._accel_args = None
        self.log = []

    def tearDown(self):
        (orvqemu.QEMU, orvqemu.KVM_DEVICE, orvqemu.OVMF_VARS, orvqemu._accel_args,
         request) = self.saved
        if request is None:
            os.environ.pop(orvqemu.KVM_REQUEST, None)
        else:
            os.environ[orvqemu.KVM_REQUEST] = request
        self.dir.cleanup()

    def choose(self, request, stand_in=None):
        if request is None:
            os.environ.pop(orvqemu.KVM_REQUEST, None)
        else:
            os.environ[orvqemu.KVM_REQUEST] = request
        orvqemu.QEMU = stand_in.path if stand_in else os.path.join(self.folder, "no-qemu")
        return orvqemu.accelerator(self.folder, log=self.log.append)

    def test_software_emulation_by_default_without_a_probe(self):
        for request in (None, "", "0", "off"):
            orvqemu._accel_args = None
            stand_in = StandIn(self.folder, "BdsDxe: loading Boot0001\n")
            self.assertEqual(self.choose(request, stand_in), orvqemu.TCG_ARGS)
            self.assertEqual(stand_in.start_count(), 0, "no probe without a request")
        self.assertEqual(self.log, [])

    def test_kvm_failure_at_the_first_instruction_falls_back_to_tcg(self):
        stand_in = StandIn(self.folder, KVM_FAILURE, hang=True)
        self.assertEqual(self.choose("1", stand_in), orvqemu.TCG_ARGS)
        self.assertEqual(len(self.log), 1)
        self.assertIn("probe boot failed", self.log[0])
        self.assertIn("KVM internal error", self.log[0])
        self.assertIn("using software emulation (TCG)", self.log[0])

    def test_device_that_is_not_kvm_falls_back_to_tcg(self):
        stand_in = StandIn(self.folder, "qemu-system-x86_64: -accel kvm: failed to "
                           "initialize kvm: Inappropriate ioctl for device\n",
                           hang=False, status=1)
        self.assertEqual(self.choose("1", stand_in), orvqemu.TCG_ARGS)
        self.assertEqual(len(self.log), 1)
        self.assertIn("failed to initialize kvm", self.log[0])

    def test_probe_that_stops_early_without_a_reason_falls_back(self):
        stand_in = StandIn(self.folder, "something else\n", hang=False, status=0)
        self.assertEqual(self.choose("1", stand_in), orvqemu.TCG_ARGS)
        self.assertIn("exited with status 0", self.log[0])

    def test_unopenable_device_falls_back_without_a_probe(self):
        os.remove(orvqemu.KVM_DEVICE)
        stand_in = StandIn(self.folder, "BdsDxe: loading Boot0001\n")
        self.assertEqual(self.choose("1", stand_in), orvqemu.TCG_ARGS)
        self.assertEqual(stand_in.start_count(), 0)
        self.assertIn("cannot be opened", self.log[0])

    def test_working_kvm_is_used_after_its_probe(self):
        stand_in = StandIn(self.folder, "BdsDxe: loading Boot0001 \"UEFI\"\n", hang=True)
        self.assertEqual(self.choose("1", stand_in), orvqemu.KVM_ARGS)
        self.assertEqual(stand_in.start_count(), 1)
        with open(stand_in.starts) as f:
            self.assertIn("-accel kvm", f.read())
        self.assertIn("using KVM", self.log[0])
        # Chosen once per process: a second question starts no probe.
        self.assertEqual(orvqemu.accelerator(self.folder, log=self.log.append),
                         orvqemu.KVM_ARGS)
        self.assertEqual(stand_in.start_count(), 1)
        self.assertEqual(len(self.log), 1)

    def test_unknown_request_value_is_named_and_tcg_used(self):
        self.assertEqual(self.choose("maybe"), orvqemu.TCG_ARGS)
        self.assertIn("ORV_QEMU_KVM=maybe", self.log[0])

    def test_silent_console_stops_the_boot_before_its_timeout(self):
        stand_in = StandIn(self.folder, "UEFI Interactive Shell v2.2\n", hang=True)
        result = orvqemu.run_qemu([stand_in.path], timeout=120, stall=1)
        self.assertFalse(result.timed_out)
        self.assertEqual(result.stop_reason, "no console output for 1 s")
        self.assertIn("UEFI Interactive Shell v2.2", result.tail())

    def test_kvm_error_stops_the_boot_at_once(self):
        stand_in = StandIn(self.folder, KVM_FAILURE, hang=True)
        # No stall limit: only the failure line can stop it before 120 s.
        result = orvqemu.run_qemu([stand_in.path], timeout=120, stall=None)
        self.assertFalse(result.timed_out)
        self.assertEqual(result.stop_reason, "QEMU reported: KVM internal error. Suberror: 1")

    def test_timeout_still_applies_to_a_busy_console(self):
        folder = self.folder
        path = os.path.join(folder, "chatty")
        with open(path, "w") as f:
            f.write("#!/bin/sh\nwhile :; do echo tick; sleep 0.1; done\n")
        os.chmod(path, stat.S_IRWXU)
        result = orvqemu.run_qemu([path], timeout=1, stall=5)
        self.assertTrue(result.timed_out)
        self.assertEqual(result.stop_reason, "not finished within 1 s")


class FakeVolume:
    """Just enough of a volume for boot(): the startup script goes nowhere."""

    def __init__(self, folder):
        self.path = os.path.join(folder, "disk.img")

    def put_text(self, *args, **kwargs):
        pass


class SuiteReportTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.saved = (orvqemu.QEMU, orvqemu.OVMF_VARS, orvqemu._accel_args)
        orvqemu.OVMF_VARS = os.path.join(self.dir.name, "vars.fd")
        open(orvqemu.OVMF_VARS, "wb").close()
        orvqemu._accel_args = list(orvqemu.TCG_ARGS)

    def tearDown(self):
        orvqemu.QEMU, orvqemu.OVMF_VARS, orvqemu._accel_args = self.saved
        self.dir.cleanup()

    def run_suite(self, console):
        orvqemu.QEMU = StandIn(self.dir.name, console, hang=True).path
        suite = harness.Suite(self.dir.name, timeout=60)
        cases = [harness.Case("case%d" % i, "OrvUpdate.efi %d" % i, [harness.BANNER], 0)
                 for i in range(20)]
        printed = []
        real_print = harness.print if hasattr(harness, "print") else print
        harness.print = lambda *a, **k: printed.append(" ".join(str(x) for x in a))
        try:
            os.environ["E2E_STALL_TIMEOUT"] = "1"
            suite.run_boot("dead", FakeVolume(self.dir.name), cases)
        finally:
            os.environ.pop("E2E_STALL_TIMEOUT", None)
            harness.print = real_print
        return suite, "\n".join(printed).split("\n")

    def test_boot_that_never_started_is_one_failure_line_and_a_count(self):
        suite, out = self.run_suite(KVM_FAILURE)
        self.assertEqual(suite.passed, 0)
        self.assertEqual(suite.failed, 20)
        self.assertEqual(suite.boot_failures,
                         ["boot dead never started: QEMU reported: KVM internal error. "
                          "Suberror: 1; 20 runs not started"])
        self.assertFalse([l for l in out if l.startswith("FAIL")], "no line per case")
        self.assertIn("    | emulation failure", out)

    def test_boot_that_stops_in_a_run_fails_it_and_counts_the_rest(self):
        console = ("@@E2E-BEGIN case0\n" + harness.BANNER + "\n@@E2E-END case0 RC=0x0\n"
                   "@@E2E-BEGIN case1\n" + harness.BANNER + "\n")
        suite, out = self.run_suite(console)
        self.assertEqual(suite.passed, 1)
        self.assertEqual(suite.failed, 19)
        self.assertEqual(suite.boot_failures, ["boot dead: no console output for 1 s"])
        self.assertIn("FAIL case1: OrvUpdate.efi 1", out)
        self.assertIn("FAIL boot dead: 18 later runs never started (the boot had stopped)", out)
        self.assertEqual(len([l for l in out if l.startswith("FAIL")]), 2)


if __name__ == "__main__":
    unittest.main(verbosity=2)
