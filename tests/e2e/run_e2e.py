#!/usr/bin/env python3
"""End-to-end tests of the Windows program (oddfw.exe) under wine64.

Every case runs in a wine prefix of its own, copied from a template that is
made once per run of this script: hard links for the bulk, real copies of the
three registry files (the only files wine rewrites). In the case's prefix a
wineserver is started, the Windows version of the program and the case's
registry keys are imported with regedit, a helper (e2e-boxes.exe) answers the
message boxes, and the program runs with its standard output on a pipe. Its
bytes, its exit code, its boxes (text and buttons, as the helper read them),
its MessageBoxA calls (owner, caption, type and result, from wine's relay
trace) and its attempts to load the ASPI layer (LoadLibraryA of WNASPI32.DLL,
made on Windows 95, 98 and Me only) are compared with what oddfw-sim prints
for the same scenario, or with an expectation written out in the case.

A case built on a scenario takes from it what the wine prefix can show: the
Windows version (host.windows), the registry keys (host.registry, imported
with regedit, HKEY_DYN_DATA included), the answers and the code page (932:
the program runs with LC_ALL=ja_JP.UTF-8). A Windows 95/98/Me case with an
ASPI layer (host.aspi) gets the simulated WNASPI32.DLL beside the program,
with the scenario beside it as WNASPI32.JSON: the drives at adapters and
target ids are there for the program as they are for oddfw-sim, and the
commands the DLL traces are held against oddfw-sim's trace (everything but
the times). Wine cannot bring a simulated drive to a drive letter, so for
the pass-through host the expectation is oddfw-sim on the scenario without
its drives at letters. oddfw-sim runs in the case's working folder first,
so the scenario's files (firmware images) are there for the program too.

The graphics driver is "null": boxes exist without a display. Everything
runs under `timeout`. Cases run side by side, each with its own prefix and
wineserver, and the whole run lives in a temporary folder of its own, so runs
of this script do not disturb each other.

A case marked `pending` depends on a part of the program that is not in this
branch yet: its failure is reported (XFAIL) without failing the run, and a
pass is reported as XPASS so the mark can be taken away.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import dataclasses
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable, Optional

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
REG_FILES = ("system.reg", "user.reg", "userdef.reg")
SOURCE_DIR = Path(__file__).resolve().parents[2]

ID_NAMES = {1: "ok", 2: "cancel", 6: "yes", 7: "no"}
TIMED_OUT = 124  # the exit code of `timeout` when it had to stop the command
# The simulated WNASPI32.DLL completes a request after a tenth of the drive's
# time for it (the drive still counts the full time). None of the cases lets
# a time limit of the program race against a drive's command.
ASPI_TIME_SCALE = 10
ERROR_ACCESS_DENIED = 5

@dataclasses.dataclass
class Box:
    """One message box: its type, its text and the button that closed it."""

    type: int
    text: bytes
    answer: str

    @property
    def kind(self) -> str:
        return {4: "yesno", 1: "okcancel"}.get(self.type & 0x0F, "ok")


@dataclasses.dataclass
class Expect:
    stdout: bytes
    exit_code: int
    boxes: list[Box]
    commands: Optional[list[dict]] = None  # oddfw-sim's trace of the SCSI commands
    keep_awake: list[bool] = dataclasses.field(default_factory=list)  # its power lines


@dataclasses.dataclass
class Case:
    name: str
    # The AppDefaults Version of the program; a scenario's host.windows when
    # not given ("winxp" without either).
    windows: Optional[str] = None
    # LC_ALL; ja_JP.UTF-8 makes the OEM code page 932 (so does a scenario's
    # host.codePage 932, or --code-page 932 among sim_args).
    locale: Optional[str] = None
    dll_overrides: str = ""  # WINEDLLOVERRIDES, e.g. "wnaspi32=n"
    registry: str = ""  # REGEDIT4 sections imported before the run, beside the scenario's
    args: tuple[str, ...] = ()
    # Answers to question boxes, as oddfw-sim takes them; the scenario's
    # "answers" when not given.
    answers: Optional[str] = None
    # The expectation: oddfw-sim on this scenario with these options...
    scenario: Optional[str] = None
    sim_args: tuple[str, ...] = ()
    # ...or written out.
    expect: Optional[Expect] = None
    pending: Optional[str] = None  # the missing part this case waits for
    # For cases that run another program than oddfw.exe (the backend check).
    program: Optional[str] = None
    check: Optional[Callable[["Outcome"], list[str]]] = None
    files: dict[str, bytes] = dataclasses.field(default_factory=dict)
    # Extra checks of the outcome, after the comparison with the expectation.
    extra: Optional[Callable[["Outcome"], list[str]]] = None

    def scenario_json(self) -> dict:
        if self.scenario is None:
            return {}
        return json.loads((SOURCE_DIR / self.scenario).read_text(encoding="utf-8"))

    def host(self) -> dict:
        return self.scenario_json().get("host") or {}

    def windows_version(self) -> str:
        if self.windows:
            return self.windows
        return WINDOWS_VERSIONS.get(str(self.host().get("windows", "xp")), "winxp")

    def code_page(self) -> int:
        args = list(self.sim_args)
        if "--code-page" in args:
            return int(args[args.index("--code-page") + 1])
        return int(self.host().get("codePage", 437))

    def locale_name(self) -> str:
        if self.locale:
            return self.locale
        return "ja_JP.UTF-8" if self.code_page() == 932 else "C.UTF-8"

    def answer_list(self) -> str:
        if self.answers is not None:
            return self.answers
        return ",".join(self.scenario_json().get("answers", []))

    def aspi_host(self) -> bool:
        return self.windows_version() in ("win95", "win98", "winme")

    def uses_aspi_dll(self) -> bool:
        """A Windows 95/98/Me scenario with an ASPI layer runs with the
        simulated WNASPI32.DLL."""
        return self.program is None and self.aspi_host() and bool(self.host().get("aspi"))

    def refused_letters(self) -> list[dict]:
        """The scenario's drives at letters that refuse the program's
        opening for want of access rights (ERROR_ACCESS_DENIED): wine can
        show such letters (see map_refused_letters)."""
        if self.aspi_host():
            return []
        return [d for d in self.scenario_json().get("drives", [])
                if "letter" in d and d.get("openError") == ERROR_ACCESS_DENIED]

    def registry_sections(self) -> str:
        return reg_sections(self.host().get("registry") or {}) + self.registry


# The AppDefaults Version for a scenario's host.windows.
WINDOWS_VERSIONS = {"95": "win95", "98": "win98", "me": "winme", "nt4": "nt40",
                    "2000": "win2k", "xp": "winxp", "2003": "win2003", "vista": "vista"}


def reg_text(text: str) -> str:
    return text.replace("\\", "\\\\").replace('"', '\\"')


def reg_sections(registry: dict) -> str:
    """REGEDIT4 sections for a scenario's host.registry."""
    roots = {"HKLM": "HKEY_LOCAL_MACHINE", "HKEY_LOCAL_MACHINE": "HKEY_LOCAL_MACHINE",
             "HKEY_DYN_DATA": "HKEY_DYN_DATA"}
    out = ""
    for path, values in registry.items():
        root, _, rest = path.partition("\\")
        out += f"\n[{roots[root.upper()]}\\{rest}]\n"
        for name, value in values.items():
            if isinstance(value, str):
                data = f'"{reg_text(value)}"'
            elif "binary" in value:
                digits = "".join(value["binary"].split())
                data = "hex:" + ",".join(digits[i:i + 2] for i in range(0, len(digits), 2))
            else:
                data = f"dword:{value['dword']:08x}"
            out += f'"{reg_text(name)}"={data}\n'
    return out


@dataclasses.dataclass
class Outcome:
    stdout: bytes
    stderr: bytes
    exit_code: int
    boxes: list[tuple[str, bytes]]  # (kind, text) as the helper read them
    calls: list[dict]  # MessageBoxA calls from the relay trace
    aspi_loads: list[int]  # results of LoadLibraryA("WNASPI32.DLL")
    seconds: float
    commands: Optional[list[dict]] = None  # the SCSI commands the simulated DLL traced
    keep_awake: list[bool] = dataclasses.field(default_factory=list)  # SetThreadExecutionState


def backend_check(outcome: Outcome) -> list[str]:
    """The backend check prints its own findings; it passes with exit code 0."""
    problems = []
    if outcome.exit_code != 0:
        problems.append(
            f"e2e-backend-check exited with {outcome.exit_code}:\n"
            + outcome.stderr.decode("utf-8", "replace")
        )
    # The console area writes these bytes (see backend_check.cpp).
    expected = b"\x00\r\n100%% \x82\xa0\xb1\n" + bytes(range(256))
    if outcome.stdout != expected:
        problems.append(f"console bytes {outcome.stdout!r}, expected {expected!r}")
    if outcome.boxes != [("yesno", b"question"), ("okcancel", b"ok or cancel"), ("ok", b"notice")]:
        problems.append(f"boxes {outcome.boxes}")
    return problems


def no_write_buffer(outcome: Outcome) -> list[str]:
    """Nothing was written to a drive: no WRITE BUFFER among the commands."""
    if not outcome.commands:
        return ["the simulated ASPI layer traced no command"]
    written = [c for c in outcome.commands if c["cdb"].startswith("3B")]
    return [f"WRITE BUFFER sent: {written[0]}"] if written else []


# What the backend check reads: registry keys and files of the working folder.
BACKEND_KEYS = """
[HKEY_LOCAL_MACHINE\\SOFTWARE\\oddfw-e2e]
"Byte"=hex:01
"Text"="SBP2&HALV&LQTB-ZKN"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\oddfw-e2e\\First]

[HKEY_LOCAL_MACHINE\\SOFTWARE\\oddfw-e2e\\Second]

[HKEY_DYN_DATA\\Config Manager\\Enum\\C1234560]
"HardWareKey"="SBP2\\\\HALV&LQTB-ZKN&LUN0"
"""
BACKEND_FILES = {
    "image.bin": bytes(range(256)) * 16,
    "lines.hex": b":00000001FF\r\nsecond\n\r\n" + b"F" * 2500 + b"\r\nlast",
    "empty.hex": b"",
}


CASES = [
    Case("xp-no-drives", scenario="scenarios/no-drives.json"),
    Case(
        "xp-no-drives-japanese",
        locale="ja_JP.UTF-8",
        scenario="scenarios/no-drives.json",
        sim_args=("--code-page", "932"),
    ),
    # A user without administrator rights: every drive letter is refused.
    Case("xp-no-admin-rights", scenario="scenarios/xp-no-admin-rights.json"),
    Case(
        "xp-no-admin-rights-japanese",
        scenario="scenarios/xp-no-admin-rights.json",
        sim_args=("--code-page", "932"),
    ),
    Case("xp-arguments-ignored", args=("--help", "/?", "x"), scenario="scenarios/no-drives.json"),
    # Both Intel IDE driver keys: message 48 twice (the drive at E: of the
    # scenario is out of wine's reach).
    Case("xp-intel-ide-driver-keys", scenario="scenarios/xp-intel-keys.json"),
    Case(
        "98-no-aspi-layer",
        windows="win98",
        dll_overrides="wnaspi32=n",
        scenario="scenarios/win98-no-aspi.json",
    ),
    # The simulated WNASPI32.DLL loads and reports a failed initialisation.
    Case("98-aspi-failed-init", scenario="scenarios/win98-aspi-failed-init.json"),
    # The simulated WNASPI32.DLL: discovery's INQUIRY and vendor identity
    # reads, the revision report and the checks up to the question whether
    # to update; the drive (no family) refuses kernel mode.
    Case("98-one-drive", scenario="scenarios/win98-one-drive.json"),
    Case(
        "98-one-drive-japanese",
        scenario="scenarios/win98-one-drive.json",
        sim_args=("--code-page", "932"),
    ),
    # Answering No to message 82: nothing is written to the drive.
    Case(
        "98-one-drive-answer-no",
        scenario="scenarios/win98-one-drive.json",
        answers="no",
        extra=lambda outcome: no_write_buffer(outcome),
    ),
    Case("98-two-intelata-adapters", scenario="scenarios/win98-two-intelata.json"),
    Case("98-ieee1394-mapper", scenario="scenarios/win98-ieee1394-mapper.json"),
    # Four adapters: ESDI_506, intelata, SCSI and the mapper.
    Case("98-four-adapters", scenario="scenarios/win98-aspi.json"),
    # The whole update of the built-in release, in English and in Japanese.
    Case("98-update", scenario="scenarios/win98-update.json"),
    Case(
        "98-update-japanese",
        scenario="scenarios/win98-update.json",
        sim_args=("--code-page", "932"),
    ),
    Case(
        "98-update-answer-no",
        scenario="scenarios/win98-update.json",
        answers="no",
        extra=lambda outcome: no_write_buffer(outcome),
    ),
    Case(
        "backend-check",
        program="e2e-backend-check.exe",
        args=("--unix-time", "@NOW@", "--oem-code-page", "437", "--windows", "xp"),
        answers="no,cancel",
        registry=BACKEND_KEYS,
        files=BACKEND_FILES,
        dll_overrides="wnaspi32=n",
        check=backend_check,
    ),
    Case(
        "backend-check-98-japanese",
        program="e2e-backend-check.exe",
        windows="win98",
        locale="ja_JP.UTF-8",
        args=("--unix-time", "@NOW@", "--oem-code-page", "932", "--windows", "98"),
        answers="no,cancel",
        registry=BACKEND_KEYS,
        files=BACKEND_FILES,
        dll_overrides="wnaspi32=n",
        check=backend_check,
    ),
]

def windows_path(path: Path) -> str:
    return "Z:" + str(path).replace("/", "\\")


def wine_env(prefix: Path, **extra: str) -> dict[str, str]:
    env = {
        k: v
        for k, v in os.environ.items()
        if k not in ("DISPLAY", "WAYLAND_DISPLAY") and not k.startswith("WINE") and k != "LANG"
    }
    env.update(
        WINEPREFIX=str(prefix),
        WINEDEBUG="-all",
        # No Mono or Gecko installer: nothing here needs them.
        WINEDLLOVERRIDES="mscoree,mshtml=",
        LC_ALL="C.UTF-8",
    )
    env.setdefault("HOME", str(prefix.parent))
    env.update(extra)
    return env


def run(cmd: list[str], env: dict[str, str], seconds: int, **kwargs) -> subprocess.CompletedProcess:
    """Runs a command under `timeout`, so nothing waits without a bound."""
    return subprocess.run(
        ["timeout", "-k", "5", str(seconds), *cmd],
        env=env,
        stdin=subprocess.DEVNULL,
        timeout=seconds + 15,
        **kwargs,
    )


def check_program_file(exe: Path, objdump: str) -> list[str]:
    """What the built oddfw.exe must carry: only system DLLs among its imports
    (the C++ and GCC runtimes are linked in), a manifest that asks for
    administrator rights, and the version 2.59B."""
    problems = []
    dump = subprocess.run([objdump, "-p", str(exe)], stdout=subprocess.PIPE, check=True).stdout
    dlls = {m.upper() for m in re.findall(rb"DLL Name: (\S+)", dump)}
    system = {b"KERNEL32.DLL", b"USER32.DLL", b"ADVAPI32.DLL", b"WINMM.DLL", b"MSVCRT.DLL"}
    if not dlls or not dlls <= system:
        problems.append(f"imports DLLs beyond the system's: {sorted(dlls - system)}")
    data = exe.read_bytes()
    if b'level="requireAdministrator"' not in data:
        problems.append("no manifest asking for administrator rights")
    if "2.59B".encode("utf-16-le") not in data:
        problems.append("no version 2.59B among its resources")
    return problems


def check_aspi_dll(dll: Path, objdump: str) -> list[str]:
    """The simulated WNASPI32.DLL exports its two entry points at ordinals 1
    and 2 and, like the program, needs no runtime DLL of its own."""
    problems = []
    dump = subprocess.run([objdump, "-p", str(dll)], stdout=subprocess.PIPE, check=True).stdout
    text = dump.decode("latin-1")
    base = re.search(r"Ordinal Base (\d+)", text)
    table = text.partition("[Ordinal/Name Pointer] Table")[2].split("\n\n")[0]
    names = re.findall(r"\[\s*(\d+)\] (\S+)", table)
    exports = {name: int(index) + int(base[1]) for index, name in names} if base else {}
    wanted = {"GetASPI32SupportInfo": 1, "SendASPI32Command": 2}
    if exports != wanted:
        problems.append(f"exports {exports}, expected {wanted}")
    dlls = {m.upper() for m in re.findall(rb"DLL Name: (\S+)", dump)}
    if not dlls <= {b"KERNEL32.DLL", b"MSVCRT.DLL"}:
        problems.append(f"imports DLLs beyond the system's: {sorted(dlls)}")
    return problems


def make_template(template: Path) -> None:
    """A fresh prefix whose graphics driver is null, with relay tracing of
    MessageBoxA and LoadLibraryA prepared (it only prints when WINEDEBUG asks
    for +relay)."""
    env = wine_env(template)
    run([WINE, "wineboot", "-i"], env, 180, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    reg = template.parent / "template.reg"
    reg.write_text(
        "REGEDIT4\n\n"
        "[HKEY_CURRENT_USER\\Software\\Wine\\Drivers]\n"
        '"Graphics"="null"\n\n'
        "[HKEY_CURRENT_USER\\Software\\Wine\\Debug]\n"
        '"RelayInclude"="user32.MessageBoxA;kernel32.LoadLibraryA;'
        'kernel32.SetThreadExecutionState"\n',
        encoding="ascii",
    )
    run([WINE, "regedit", "/S", windows_path(reg)], env, 60, check=True)
    run([WINESERVER, "-w"], env, 60, check=True)
    # Z: is the root of the Unix file system, where the programs are; as a
    # device wine refuses it (ERROR_ACCESS_DENIED), which would be a letter
    # without access rights to the program. A device that opens, and
    # answers no SCSI command, is a letter without a drive.
    (template / "dosdevices" / "z::").symlink_to("/dev/null")


def copy_prefix(template: Path, prefix: Path) -> None:
    subprocess.run(["cp", "-al", str(template), str(prefix)], check=True)
    for name in REG_FILES:
        (prefix / name).unlink()
        shutil.copy2(template / name, prefix / name)


def map_refused_letters(case: Case, prefix: Path) -> None:
    """Drive letters that refuse the program for want of access rights: the
    letter's device ("x::") is a folder, which wine will not open for reading
    and writing (ERROR_ACCESS_DENIED, as a user without administrator rights
    gets it). Such a user is refused every letter: wine's own Z: too."""
    refused = [d["letter"].lower() for d in case.refused_letters()]
    links = [letter + suffix for letter in refused for suffix in (":", "::")]
    # Z: stays where the programs are; only its device is refused.
    for name in links + (["z::"] if refused else []):
        folder = prefix / "refused" / name[0]
        folder.mkdir(parents=True, exist_ok=True)
        link = prefix / "dosdevices" / name
        link.unlink(missing_ok=True)
        link.symlink_to(folder)


def parse_relay(stderr: bytes) -> tuple[list[dict], list[int], list[bool]]:
    """From wine's relay trace: the MessageBoxA calls with their results, the
    results of the attempts to load WNASPI32.DLL, and the SetThreadExecutionState
    calls (true: the system is kept awake, ES_SYSTEM_REQUIRED)."""
    calls: list[dict] = []
    loads: list[int] = []
    awake: list[bool] = []
    loading = False
    for line in stderr.decode("latin-1").splitlines():
        m = re.search(r"Call KERNEL32\.SetThreadExecutionState\(([0-9a-f]+)\)", line, re.IGNORECASE)
        if m:
            awake.append(int(m[1], 16) & 1 != 0)
            continue
        m = re.search(
            r"Call user32\.MessageBoxA\(([0-9a-f]+),.*,[0-9a-f]+ \"(.*)\",([0-9a-f]+)\) ret=", line
        )
        if m:
            calls.append({"owner": int(m[1], 16), "caption": m[2], "type": int(m[3], 16)})
            continue
        m = re.search(r"Ret  user32\.MessageBoxA\(\) retval=([0-9a-f]+)", line)
        if m and calls:
            calls[-1]["result"] = int(m[1], 16)
            continue
        m = re.search(r"Call KERNEL32\.LoadLibraryA\([0-9a-f]+ \"(.*)\"\)", line, re.IGNORECASE)
        if m:
            loading = m[1].upper() == "WNASPI32.DLL"
            continue
        m = re.search(r"Ret  KERNEL32\.LoadLibraryA\(\) retval=([0-9a-f]+)", line, re.IGNORECASE)
        if m and loading:
            loads.append(int(m[1], 16))
            loading = False
    return calls, loads, awake


def parse_boxes(record: Path) -> list[tuple[str, bytes]]:
    if not record.exists():
        return []
    boxes = []
    for line in record.read_text(encoding="ascii").splitlines():
        kind, _, text = line.partition(" ")
        boxes.append((kind, bytes.fromhex(text)))
    return boxes


def trace_commands(path: Path) -> list[dict]:
    """The SCSI commands of a JSON-lines trace, without their times."""
    commands = []
    if not path.exists():
        return commands
    for line in path.read_text(encoding="utf-8").splitlines():
        event = json.loads(line)
        if "scsi" in event:
            commands.append({k: v for k, v in event["scsi"].items() if k not in ("end_ms",)})
    return commands


def run_case(case: Case, template: Path, work: Path, build: Path) -> Outcome:
    case_dir = work / case.name
    prefix = case_dir / "prefix"
    run_dir = case_dir / "run"
    run_dir.mkdir(parents=True, exist_ok=True)
    for name, data in case.files.items():
        (run_dir / name).write_bytes(data)
    copy_prefix(template, prefix)
    map_refused_letters(case, prefix)

    # As a user runs it: the program in the folder of its firmware files.
    built = build / ("tests/e2e/" + case.program if case.program else "src/oddfw.exe")
    program = run_dir / built.name
    shutil.copy2(built, program)
    extra = {"LC_ALL": case.locale_name()}
    overrides = case.dll_overrides
    trace = case_dir / "aspi-trace.jsonl"
    if case.uses_aspi_dll():
        # The simulated layer and its scenario beside the program.
        shutil.copy2(build / "sim/wnaspi32/wnaspi32.dll", run_dir / "WNASPI32.DLL")
        shutil.copy2(SOURCE_DIR / case.scenario, run_dir / "WNASPI32.JSON")
        overrides = overrides or "wnaspi32=n"
        extra["ODDFW_ASPI_TRACE"] = windows_path(trace)
        extra["ODDFW_ASPI_TIME_SCALE"] = str(ASPI_TIME_SCALE)
    if case.aspi_host() and not overrides:
        # Never wine's own ASPI layer: without a DLL of ours there is none.
        overrides = "wnaspi32=n"
    if overrides:
        extra["WINEDLLOVERRIDES"] = "mscoree,mshtml=;" + overrides
    env = wine_env(prefix, **extra)

    reg = case_dir / "case.reg"
    reg.write_text(
        "REGEDIT4\n\n"
        f"[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\{program.name}]\n"
        f'"Version"="{case.windows_version()}"\n' + case.registry_sections(),
        encoding="ascii",
    )
    record = case_dir / "boxes.txt"
    start = time.monotonic()
    helper = None
    try:
        # HKEY_DYN_DATA lives as long as the wineserver: one server for the
        # import and the run.
        run([WINESERVER, "-p"], env, 30, check=True)
        run([WINE, "regedit", "/S", windows_path(reg)], env, 60, check=True)
        with open(case_dir / "helper.log", "wb") as helper_log:
            helper = subprocess.Popen(
                ["timeout", "-k", "5", "120", WINE, str(build / "tests/e2e/e2e-boxes.exe"),
                 windows_path(record), case.answer_list()],
                env=env, stdin=subprocess.DEVNULL, stdout=helper_log, stderr=subprocess.STDOUT,
            )
        args = [str(int(time.time())) if a == "@NOW@" else a for a in case.args]
        result = run(
            [WINE, str(program), *args],
            dict(env, WINEDEBUG="-all,+relay"),
            60,
            cwd=run_dir,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
    finally:
        run([WINESERVER, "-k"], env, 30)
        if helper is not None:
            try:
                helper.wait(timeout=15)
            except subprocess.TimeoutExpired:
                helper.kill()
                helper.wait()
    seconds = time.monotonic() - start
    (case_dir / "stdout.bin").write_bytes(result.stdout)
    (case_dir / "stderr.txt").write_bytes(result.stderr)
    calls, aspi_loads, awake = parse_relay(result.stderr)
    return Outcome(
        stdout=result.stdout,
        stderr=result.stderr,
        exit_code=result.returncode,
        boxes=parse_boxes(record),
        calls=calls,
        aspi_loads=aspi_loads,
        seconds=seconds,
        commands=trace_commands(trace) if case.uses_aspi_dll() else None,
        keep_awake=awake,
    )


def simulate(case: Case, sim: Path, work: Path) -> Expect:
    """What oddfw-sim prints, exits with and shows for the case's scenario,
    run in the case's working folder (where it leaves the scenario's files
    for the program)."""
    case_dir = work / case.name
    run_dir = case_dir / "run"
    run_dir.mkdir(parents=True, exist_ok=True)
    trace = case_dir / "sim-trace.jsonl"
    scenario = SOURCE_DIR / case.scenario
    if not case.aspi_host():
        # Wine brings no simulated drive to a drive letter; it can only
        # refuse a letter for want of access rights.
        document = case.scenario_json()
        document["drives"] = [d for d in document.get("drives", [])
                              if "letter" not in d or d in case.refused_letters()]
        scenario = case_dir / "sim-scenario.json"
        scenario.write_text(json.dumps(document), encoding="utf-8")
    result = subprocess.run(
        ["timeout", "60", str(sim), "--scenario", str(scenario), "--workdir", str(run_dir),
         "--trace", str(trace), *case.sim_args]
        + (["--answers", case.answer_list()] if case.answer_list() else []),
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
    )
    if result.returncode in (2, 3):
        raise SimulatorError(result.stderr.decode("utf-8", "replace").strip())
    boxes = []
    for line in trace.read_text(encoding="utf-8").splitlines():
        event = json.loads(line)
        if "box" in event:
            box = event["box"]
            # Trace texts carry one byte per character.
            text = bytes(ord(c) for c in box["text"])
            boxes.append(Box(int(box["type"], 16), text, box["answer"]))
    keep_awake = [json.loads(line)["power"]["keepAwake"]
                  for line in trace.read_text(encoding="utf-8").splitlines() if '"power"' in line]
    return Expect(stdout=result.stdout, exit_code=result.returncode, boxes=boxes,
                  commands=trace_commands(trace), keep_awake=keep_awake)


class SimulatorError(Exception):
    """oddfw-sim refused the scenario or found the program waiting forever."""


def without_times(commands: list[dict]) -> list[dict]:
    return [{k: v for k, v in c.items() if k != "t_ms"} for c in commands]


def compare(case: Case, expect: Expect, outcome: Outcome) -> list[str]:
    problems = []
    if outcome.stdout != expect.stdout:
        problems.append(f"stdout:\n  got      {outcome.stdout!r}\n  expected {expect.stdout!r}")
    if outcome.exit_code == TIMED_OUT:
        problems.append("the program did not end in time")
    elif outcome.exit_code != expect.exit_code:
        problems.append(f"exit code {outcome.exit_code}, expected {expect.exit_code}")
    wanted_boxes = [(b.kind, b.text) for b in expect.boxes]
    if outcome.boxes != wanted_boxes:
        problems.append(f"boxes:\n  got      {outcome.boxes!r}\n  expected {wanted_boxes!r}")
    calls = [(c["owner"], c["caption"], hex(c["type"]), ID_NAMES.get(c.get("result", -1), "?"))
             for c in outcome.calls]
    wanted_calls = [(0, "TALVEK", hex(b.type), b.answer) for b in expect.boxes]
    if calls != wanted_calls:
        problems.append(
            f"MessageBoxA calls (owner, caption, type, result):\n"
            f"  got      {calls!r}\n  expected {wanted_calls!r}"
        )
    # ASPI on Windows 95, 98 and Me: our simulated DLL loads (a non-zero
    # module handle), no DLL fails to load (0).
    loads = ["loaded" if h != 0 else "failed" for h in outcome.aspi_loads]
    wanted_loads = []
    if case.aspi_host():
        wanted_loads = ["loaded" if case.uses_aspi_dll() else "failed"]
    if loads != wanted_loads:
        problems.append(f"LoadLibraryA(\"WNASPI32.DLL\") {loads}, expected {wanted_loads}")
    if outcome.keep_awake != expect.keep_awake:
        problems.append(f"SetThreadExecutionState keeps the system awake {outcome.keep_awake}, "
                        f"expected {expect.keep_awake}")
    if outcome.commands is not None and expect.commands is not None:
        got, wanted = without_times(outcome.commands), without_times(expect.commands)
        if got != wanted:
            problems.append("SCSI commands (without times):\n" + command_diff(got, wanted))
    return problems


def command_diff(got: list[dict], wanted: list[dict]) -> str:
    for i, (g, w) in enumerate(zip(got, wanted)):
        if g != w:
            return f"  first difference at command {i + 1}:\n  got      {g}\n  expected {w}"
    return f"  {len(got)} commands, expected {len(wanted)}; the first " \
           f"{min(len(got), len(wanted))} agree"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", type=Path, default=SOURCE_DIR / "build/mingw-x64",
                        help="the mingw-x64 build folder")
    parser.add_argument("--build-i686", type=Path, default=SOURCE_DIR / "build/mingw-i686",
                        help="the mingw-i686 build folder (its program is checked, not run)")
    parser.add_argument("--sim", type=Path, default=SOURCE_DIR / "build/debug/tools/oddfw-sim",
                        help="oddfw-sim of a host build")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    parser.add_argument("names", nargs="*", help="run only these cases")
    options = parser.parse_args()

    cases = [c for c in CASES if not options.names or c.name in options.names]
    needed_files = (
        WINE,
        WINESERVER,
        options.sim,
        options.build / "src/oddfw.exe",
        options.build_i686 / "src/oddfw.exe",
        options.build / "tests/e2e/e2e-boxes.exe",
        options.build / "tests/e2e/e2e-backend-check.exe",
        options.build / "sim/wnaspi32/wnaspi32.dll",
        options.build_i686 / "sim/wnaspi32/wnaspi32.dll",
    )
    for needed in needed_files:
        if not Path(needed).exists():
            print(f"e2e: {needed} is missing", file=sys.stderr)
            return 2

    began = time.monotonic()
    passed = failed = waiting = 0
    programs = [
        (options.build / "src/oddfw.exe", "x86_64-w64-mingw32-objdump"),
        (options.build_i686 / "src/oddfw.exe", "i686-w64-mingw32-objdump"),
    ]
    checks = [(exe, objdump, check_program_file, "imports, manifest, version")
              for exe, objdump in programs]
    checks += [(build / "sim/wnaspi32/wnaspi32.dll", objdump, check_aspi_dll, "exports, imports")
                for build, objdump in ((options.build, "x86_64-w64-mingw32-objdump"),
                                       (options.build_i686, "i686-w64-mingw32-objdump"))]
    for exe, objdump, check, what in checks:
        problems = check(exe, objdump)
        print(f"{'FAIL ' if problems else 'PASS '} {exe} ({what})", flush=True)
        for problem in problems:
            print("      " + problem, flush=True)
        failed += bool(problems)
        passed += not problems

    work = Path(tempfile.mkdtemp(prefix="oddfw-e2e-"))
    try:
        template = work / "template"
        make_template(template)
        template_seconds = time.monotonic() - began
        print(f"e2e: template prefix made in {template_seconds:.1f} s", flush=True)

        def one(case: Case) -> tuple[Case, list[str], float]:
            try:
                # oddfw-sim first: it leaves the scenario's files in the
                # case's working folder.
                expect = case.expect
                if expect is None and case.scenario is not None:
                    expect = simulate(case, options.sim, work)
                outcome = run_case(case, template, work, options.build)
            except (subprocess.SubprocessError, OSError, SimulatorError) as e:
                return case, [f"could not run: {e}"], 0.0
            if case.check:
                problems = case.check(outcome)
            else:
                problems = compare(case, expect, outcome)
            if case.extra:
                problems += case.extra(outcome)
            if not problems and not options.keep:
                shutil.rmtree(work / case.name, ignore_errors=True)
            else:
                shutil.rmtree(work / case.name / "prefix", ignore_errors=True)
            return case, problems, outcome.seconds

        with concurrent.futures.ThreadPoolExecutor(max_workers=options.jobs) as pool:
            for case, problems, seconds in pool.map(one, cases):
                if not problems:
                    passed += 1
                    if case.pending:
                        note = f" (waited for {case.pending}: take its pending mark away)"
                        print(f"XPASS {case.name} ({seconds:.1f} s){note}", flush=True)
                    else:
                        print(f"PASS  {case.name} ({seconds:.1f} s)", flush=True)
                    continue
                if case.pending:
                    waiting += 1
                    print(f"XFAIL {case.name} ({seconds:.1f} s): waits for {case.pending}",
                          flush=True)
                else:
                    failed += 1
                    print(f"FAIL  {case.name} ({seconds:.1f} s)", flush=True)
                for problem in problems:
                    print("      " + problem.replace("\n", "\n      "), flush=True)
    finally:
        run([WINESERVER, "-k"], wine_env(work / "template"), 30)
        if failed or options.keep:
            shutil.rmtree(work / "template", ignore_errors=True)
            print(f"e2e: logs kept in {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)
    print(f"e2e: {passed} passed, {failed} failed, {waiting} wait for a missing part; "
          f"{time.monotonic() - began:.1f} s in all")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
