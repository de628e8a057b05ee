"""Failures of the flash component: fault rules switched between runs, and
the matrix of every operation of the update failing once on IC 0.
"""

from harness import BANNER, EFI_DEVICE_ERROR, EFI_SUCCESS, Case
from fixture import (COMP, EFI_NOT_READY, ERASED, SIM, TARGET, V1, V2, V3, bank_files,
                     flash, ic_lines, load_error, unchanged_since)

def fault_cases(fx):
    """Fresh flash, components loaded by the first case. Faults are switched
    by copying a rule file to OrvSim\\Faults.ini between runs."""
    snap = bank_files()
    faults = "%s\\Faults.ini" % SIM
    v3 = "%s\\ocm_v3.hex" % COMP
    override = "Override OCM zone file, using " + v3

    def use(fault):
        return ["cp -q %s\\%s %s" % (SIM, fault, faults)]

    clear = ["rm -q " + faults]
    return [
        # Erasing IC 0's inactive bank fails: it keeps running section 0 with
        # its old image; IC 1 is still updated and the run reports the failure.
        Case("erasefail", "OrvUpdate.efi 0 1",
             [BANNER, TARGET,
              "IC 0, current section 0, ver %X" % V1,
              "Start Update Chip 0 OCM section 1",
              "EraseBank Ic 0 error 7",
              "IC 0 update OCM error 7, current section 0",
              "IC 0 update error 7"]
             + ic_lines(1, 0, V1, target=1, new_ver=V2),
             EFI_DEVICE_ERROR, setup=use("f_erase0.ini"), snapshot=snap,
             checks=[flash(0, active=0, ocm0=fx.ocm_v1, ocm1=ERASED, cust0=ERASED),
                     flash(1, active=1, ocm0=fx.ocm_v1, ocm1=fx.ocm_v2, cust0=fx.cust_a)]),
        # The read-back of IC 1's new bank differs: the bank is not switched,
        # the running section and its image stay as they were.
        Case("corruptread", "OrvUpdate.efi 1 -o " + v3,
             [BANNER, TARGET, override,
              "IC 1, current section 1, ver %X" % V2,
              "Start Update Chip 1 OCM section 0",
              "image read back compare fail at 100",
              "IC 1 update OCM error 7, current section 1",
              "IC 1 update error 7"],
             EFI_DEVICE_ERROR,
             setup=use("f_corrupt1.ini"), snapshot=snap,
             checks=[flash(1, active=1, ocm0=fx.ocm_v3, ocm1=fx.ocm_v2, cust0=fx.cust_a),
                     flash(0, active=0, ocm0=fx.ocm_v1)]),
        # Faults gone: the same update now succeeds.
        Case("recovered", "OrvUpdate.efi 1 -o " + v3,
             [BANNER, TARGET, override] + ic_lines(1, 1, V2, target=0, new_ver=V3),
             EFI_SUCCESS, setup=clear, snapshot=snap,
             checks=[flash(1, active=0, ocm0=fx.ocm_v3, ocm1=fx.ocm_v2, cust0=fx.cust_a)]),
        # The hardware check of the customer zone leaves the verdict 0.
        Case("checkzero", "OrvUpdate.efi 1",
             [BANNER, TARGET, "IC 1, current section 0, ver %X" % V3,
              "Not Update! Image Ver %X" % (V2 & 0xFFFF),
              "Start Update Chip 1 Customer Zone!",
              "HardwareCheckBank Ic 1, check 0, sta 0",
              "IC 1 update error 7"],
             EFI_DEVICE_ERROR, setup=use("f_check1.ini")),
        # The hardware finds IC 0's new OCM bank bad although every call
        # succeeded: the IC must not be switched to it.
        Case("checkzeroocm", "OrvUpdate.efi 0 -o " + v3,
             [BANNER, TARGET, override,
              "IC 0, current section 0, ver %X" % V1,
              "Start Update Chip 0 OCM section 1",
              "HardwareCheckBank Ic 0, check 0, sta 0",
              "IC 0 update OCM error 7, current section 0",
              "IC 0 update error 7"],
             EFI_DEVICE_ERROR, setup=use("f_check0.ini"), snapshot=snap,
             checks=[flash(0, active=0, ocm0=fx.ocm_v1, ocm1=fx.ocm_v3, cust0=ERASED)]),
        Case("icinitfail", "OrvUpdate.efi 0",
             [BANNER, TARGET, "IC init error 7"], EFI_DEVICE_ERROR,
             setup=clear + use("f_icinit.ini"), snapshot=snap,
             checks=[unchanged_since("checkzeroocm")]),
    ] + [
        # Each run that ends at IcInit releases its two images: the image
        # parser holds 8, so without that the fifth run would fail to load.
        Case("icinitfail%d" % n, "OrvUpdate.efi 0",
             [BANNER, TARGET, "IC init error 7"], EFI_DEVICE_ERROR)
        for n in range(2, 6)
    ] + [
        Case("aftericinitfails", "OrvUpdate.efi 0",
             [BANNER, TARGET] + ic_lines(0, 0, V1, target=1, new_ver=V2), EFI_SUCCESS,
             setup=clear),
        Case("pathinitfail", "OrvUpdate.efi 0",
             [BANNER, TARGET, "pOrvPathProtocolInterface init ERROR 6"]
             + load_error(EFI_NOT_READY), EFI_NOT_READY,
             setup=clear + use("f_pathinit.ini")),
        # Flags from the settings: forced, customer backup, and bit 0 of the
        # reduce mask, which skips the OCM read-back only. Every read-back of
        # IC 1 is corrupted: the OCM zone goes through, the customer zone is
        # caught and its backup bank is not attempted.
        Case("settingsflags", "OrvUpdate.efi 1",
             [BANNER, TARGET, "IC 1, current section 0, ver %X" % V3,
              "Force Update Is set, Ignore veriosn!!",
              "Start Update Chip 1 OCM section 1",
              "IC 1 update success,runing section 1, ver %X" % V2,
              "Start Update Chip 1 Customer Zone!",
              "image read back compare fail at 100",
              "IC 1 update error 7"],
             EFI_DEVICE_ERROR,
             setup=["cp -q %s\\flags.ini %s\\OrvUpdateSettings.ini" % (COMP, COMP)]
             + use("f_corruptall1.ini"), snapshot=snap,
             checks=[flash(1, active=1, ocm0=fx.ocm_v3, ocm1=fx.ocm_v2, cust1=ERASED)]),
        Case("settingsflagsclean", "OrvUpdate.efi 1",
             [BANNER, TARGET]
             + ic_lines(1, 1, V2, target=0, force=True, new_ver=V2, backup=True),
             EFI_SUCCESS, setup=clear, snapshot=snap,
             checks=[flash(1, active=0, ocm0=fx.ocm_v2, ocm1=fx.ocm_v2, cust0=fx.cust_a,
                           cust1=fx.cust_a)]),
    ]


# Every operation of the update failing once on IC 0, which runs section 0
# with V1 and is offered V3. Faults fail with EFI_TIMEOUT (printed 12) so the
# lines show whose status is reported. (operation, rule, lines after the
# override line)
BEFORE_START = ["IC 0, current section 0, ver %X" % V1, "Start Update Chip 0 OCM section 1"]
BANK_FAILED = ["IC 0 update OCM error 7, current section 0", "IC 0 update error 7"]
MATRIX = [
    ("GetActiveSection", "GetActiveSection Ic=0",
     ["Get IC 0 active section error 12", "IC 0 update error 7"]),
    ("GetIcVersion", "GetIcVersion Ic=0 Call=1",
     ["Get IC 0 ver error 12", "IC 0 update error 7"]),
    ("GetImageVersion", "GetImageVersion",
     ["Get OCMFile ver error 12", "IC 0 update error 7"]),
    ("GetImageData", "GetImageData",
     BEFORE_START + ["Get OCMFile data error 12", "IC 0 update error 7"]),
    ("FlashPreOperation", "FlashPreOperation Ic=0",
     BEFORE_START + ["FlashPreOperation Ic 0 error 12",
                     "IC 0 update OCM error 12, current section 0", "IC 0 update error 7"]),
    ("UnlockFlash", "UnlockFlash Ic=0", BEFORE_START + ["UnlockFlash Ic 0 error 12"] + BANK_FAILED),
    ("EraseBank", "EraseBank Ic=0", BEFORE_START + ["EraseBank Ic 0 error 12"] + BANK_FAILED),
    ("WriteBankData", "WriteBankData Ic=0",
     BEFORE_START + ["WriteBankData Ic 0 error 12"] + BANK_FAILED),
    ("lockFlash", "lockFlash Ic=0", BEFORE_START + ["lockFlash Ic 0 error 12"] + BANK_FAILED),
    ("FlashPostOperation", "FlashPostOperation Ic=0",
     BEFORE_START + ["FlashPostOperation Ic 0 error 12"] + BANK_FAILED),
    ("HardwareCheckBank", "HardwareCheckBank Ic=0",
     BEFORE_START + ["HardwareCheckBank Ic 0, check 0, sta 12"] + BANK_FAILED),
    ("SetActiveBank", "SetActiveBank Ic=0",
     BEFORE_START + ["SetActiveBank Ic 0 error 12"] + BANK_FAILED),
]


def matrix_cases(fx):
    """Fresh flash. Each failing operation must leave IC 0 running section 0
    with its old image; the two operations that fail after the switch come
    last."""
    snap = bank_files([0])
    faults = "%s\\Faults.ini" % SIM
    v3 = "%s\\ocm_v3.hex" % COMP
    head = [BANNER, TARGET, "Override OCM zone file, using " + v3]
    cases = []
    for op, _, lines in MATRIX:
        cases.append(Case(
            "fail_" + op, "OrvUpdate.efi 0 -o " + v3, head + lines, EFI_DEVICE_ERROR,
            setup=["cp -q %s\\m_%s.ini %s" % (SIM, op, faults)], snapshot=snap,
            checks=[flash(0, active=0, ocm0=fx.ocm_v1)]))
    cases += [
        # The version read after a successful switch fails: the switch stands
        # and the line shows version 0.
        Case("fail_GetIcVersionAfterSwitch", "OrvUpdate.efi 0 -o " + v3,
             head + BEFORE_START[:1] + ["Start Update Chip 0 OCM section 1",
                                        "IC 0 update success,runing section 1, ver 0",
                                        "Start Update Chip 0 Customer Zone!"],
             EFI_SUCCESS, setup=["cp -q %s\\m_version2.ini %s" % (SIM, faults)],
             snapshot=snap,
             checks=[flash(0, active=1, ocm0=fx.ocm_v1, ocm1=fx.ocm_v3, cust0=fx.cust_a)]),
        # Closing the pass fails after the switch: the status is reported,
        # and the flash keeps what was done (new bank written and active).
        Case("fail_ICPostOperation", "OrvUpdate.efi 0 -f -o " + v3,
             head + ["IC 0, current section 1, ver %X" % V3,
                     "Force Update Is set, Ignore veriosn!!",
                     "Start Update Chip 0 OCM section 0",
                     "IC 0 update success,runing section 0, ver %X" % V3,
                     "ICPostOperation IC 0 error 12",
                     "IC 0 update OCM error 12, current section 1",
                     "IC 0 update error 7"],
             EFI_DEVICE_ERROR, setup=["cp -q %s\\m_post.ini %s" % (SIM, faults)],
             snapshot=snap,
             checks=[flash(0, active=0, ocm0=fx.ocm_v3, ocm1=fx.ocm_v3, cust0=fx.cust_a)]),
    ]
    return cases


FAULTS = {}
for _op, _rule, _ in MATRIX:
    FAULTS["m_%s.ini" % _op] = _rule + " Status=TIMEOUT\n"
FAULTS["m_version2.ini"] = "GetIcVersion Ic=0 Call=2 Status=TIMEOUT\n"
FAULTS["m_post.ini"] = "ICPostOperation Ic=0 Call=1 Status=TIMEOUT\n"


BOOTS = [("faults", True, fault_cases), ("matrix", True, matrix_cases)]
