"""The line station: orvstick make lays out a stick with its startup.nsh,
which one boot runs to PASS and a second, on a damaged stick, to FAIL.
"""

import json
import os
import subprocess

import images
import orvqemu
from harness import BANNER, EFI_SUCCESS, Case, compare_lines, without_driver_warning
from fixture import (COMP, DRIVERS, EFI_VOLUME_CORRUPTED, FLASHSIM_INI, INFO_BANNER,
                     OCM_BANK, SIM, TARGET, V1, V2, bank_files, ic_lines, info_line,
                     load_error)
from cases.powercut import pc_active

# ------------------------------------------------------------ line station
#
# orvstick make lays out a FAT image from a manifest, with the line-station
# startup.nsh that runs at boot: list, update, verify, each step's output
# appended to a new log file in OrvLog\, a PASS or FAIL line last. A second
# boot of the same image, its OCM image now broken as on a damaged stick,
# must stop at the first step with a FAIL line and keep the first run's log.

STATION_PASS = "*** PASS: list, update, verify (log OrvLog\\run000.log) ***"
STATION_FAIL = "*** FAIL: step list, status 0xA (log OrvLog\\run001.log) ***"


def station_manifest(fx, folder):
    """Writes the manifest (and the simulator's configuration it names) and
    returns its path."""
    sim_ini = os.path.join(folder, "FlashSim.ini")
    with open(sim_ini, "w", newline="\r\n") as f:
        f.write(FLASHSIM_INI)
    # The image parser is built with the demo key: make's check takes the
    # zone images only when they are signed by it.
    files = (images.DEMO_PUB, fx.app, fx.info_app) + tuple(fx.drivers[d] for d in DRIVERS) + \
        (fx.hex["ocm_v2.hex"], fx.hex["cust_a.hex"], sim_ini, fx.hex["ocm_v1.hex"],
         images.DEMO_PUB)
    text = ('target = "SimBoard"\ntrusted_keys = [%s]\n'
            "[applications]\nOrvUpdate = %s\nOrvInfo = %s\n"
            "[components]\nImageParser = %s\nFlashInterface = %s\nDevicePath = %s\n"
            "[images]\nOCM = %s\ncustomer = %s\n"
            '[station]\narguments = ["-a"]\nfinish = "shutdown"\n'
            "[files]\n'OrvSim\\FlashSim.ini' = %s\n'OrvSim\\ocm_v1.hex' = %s\n"
            "'OrvSim\\demo.pub.pem' = %s\n"
            % tuple(json.dumps(path) for path in files))
    manifest = os.path.join(folder, "station.toml")
    with open(manifest, "w") as f:
        f.write(text)
    return manifest


def station_last_line(result):
    lines = [l for l in result.text.split("\n") if l.startswith("*** ")]
    return lines[-1] if lines else None


def station_pass_log():
    info = [INFO_BANNER, TARGET, "ics=2"]
    before = [info_line(ic, 0, V1, 0, "%X" % V2, "newer:bank1") for ic in (0, 1)]
    after = [info_line(ic, 1, V1, V2, "%X" % V2, "current", verify=("match", "match", "-"))
             for ic in (0, 1)]
    update = [BANNER, TARGET] + ic_lines(0, 0, V1, target=1, new_ver=V2) + \
        ic_lines(1, 0, V1, target=1, new_ver=V2)
    return (["== OrvStation run 000: log OrvLog\\run000.log", "== list: OrvInfo.efi -a"]
            + info + before + ["", "== list: status 0x0", "== update: OrvUpdate.efi -a"]
            + update + ["", "== update: status 0x0", "== verify: OrvInfo.efi -v -a"]
            + info + after + ["", "== verify: status 0x0", STATION_PASS])


def station_fail_log(fx):
    return (["== OrvStation run 001: log OrvLog\\run001.log", "== list: OrvInfo.efi -a",
             INFO_BANNER, TARGET,
             fx.bad["bad_crc.hex"][1].format(path=COMP + "\\ocm_v2.hex"),
             "Load OCM Image error, A"] + load_error(EFI_VOLUME_CORRUPTED)
            + ["", "== list: status 0xA", STATION_FAIL])


def log_lines(volume, path):
    data = volume.get(path)
    if data is None:
        return None
    lines = data.decode(errors="replace").split("\r\n")
    return lines[:-1] if lines and lines[-1] == "" else lines


def station_boot(suite, volume, name, last_line, log_path, expected_log):
    """Boots the volume with its own startup.nsh; failure texts."""
    result = orvqemu.boot_volume(volume, suite.workdir, timeout=suite.timeout,
                                 log_name="console-%s.log" % name)
    with suite._lock:
        suite.boot_seconds += result.seconds
    problems = []
    if result.stop_reason is not None:
        problems.append("boot %s: %s; console ends with:" % (name, result.stop_reason))
        problems += ["| " + l for l in result.tail()]
        return problems
    if station_last_line(result) != last_line:
        problems.append("the station's last line is %r, expected %r"
                        % (station_last_line(result), last_line))
    log = log_lines(volume, log_path)
    if log is not None:
        log = without_driver_warning(log)
    if log is None:
        problems.append("no log file %s on the volume" % log_path)
    elif log != expected_log:
        problems += ["%s differs:" % log_path] + compare_lines(expected_log, log)
    return problems


def station_sequence(suite, fx):
    folder = os.path.join(fx.workdir, "station")
    os.makedirs(folder, exist_ok=True)
    image = os.path.join(folder, "station.img")
    if os.path.exists(image):
        os.remove(image)
    manifest = station_manifest(fx, folder)
    make = subprocess.run([fx.orvstick, "make", manifest, image],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    cases = []
    make_text = make.stdout.decode(errors="replace")
    signed = make_text.count(", signature verifies\n") == 2  # both zone images, by the demo key
    # The two warnings: the parser is built with the demo key, the ICs hold it.
    problems = [] if make.returncode == 0 and "\nresult: ok, 2 warnings\n" in make_text and signed else \
        ["orvstick make exited %d:" % make.returncode] + ["| " + l for l in make_text.splitlines()]
    volume = orvqemu.Volume(image, existing=True)
    if not problems:
        problems = station_boot(suite, volume, "station_pass", STATION_PASS,
                                "OrvLog/run000.log", station_pass_log())
        for ic in (0, 1):
            if pc_active(volume, ic) != "1" or \
                    volume.get("%s/Ic%dOcm1.bin" % (SIM, ic)) != images.bank(fx.ocm_v2, OCM_BANK):
                problems.append("IC %d does not run the new image from section 1" % ic)
        if volume.get("OrvLog/step.txt") is not None:
            problems.append("the station script left its step file OrvLog\\step.txt")
    cases.append((Case("station_pass", "orvstick make, boot: startup.nsh", [], EFI_SUCCESS),
                  problems))

    # The OCM image broken on the stick: the first step fails, nothing is
    # programmed, the first run's log stays.
    problems = []
    if cases[0][1]:
        problems.append("not run: the first boot failed")
    else:
        first_log = volume.get("OrvLog/run000.log")
        banks = {p: volume.get(p.replace("\\", "/")) for p in bank_files()}
        volume.put_bytes(fx.bad["bad_crc.hex"][0].encode("latin-1"), COMP + "/ocm_v2.hex",
                         fx.workdir)
        problems = station_boot(suite, volume, "station_fail", STATION_FAIL,
                                "OrvLog/run001.log", station_fail_log(fx))
        if volume.get("OrvLog/run000.log") != first_log:
            problems.append("the first run's log OrvLog\\run000.log changed")
        changed = [p for p, data in banks.items() if volume.get(p.replace("\\", "/")) != data]
        if changed:
            problems.append("the failed run changed the flash: %s" % ", ".join(changed))
    cases.append((Case("station_fail", "broken ocm_v2.hex, boot: startup.nsh", [], EFI_SUCCESS),
                  problems))

    suite.report_checked("-- boots station_pass, station_fail (consoles: %s)"
                         % os.path.join(suite.workdir, "console-station_*.log"), cases)


SEQUENCES = [("station", station_sequence)]
