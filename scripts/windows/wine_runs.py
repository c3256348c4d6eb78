#!/usr/bin/env python3
"""Runs the real drvupdate.exe under Wine and checks each run.

The program writes only to the debugger output; with WINEDEBUG=+debugstr Wine
shows each OutputDebugStringA text on standard error as a C-escaped string,
and with +relay (limited to the calls the program makes) every call with its
arguments and its return value. Each run is checked against those returns:
the search must walk the set the system gave, "Found:" must follow a member
that could be read, the update and staging messages must follow what the
update and copy calls returned, and the exit status must match the outcome.
Wine's own behaviour (an update call that succeeds whatever matches, staging
under the INF's own name) is not what is checked; the program's answers to it
are.

Runs, in a private Wine prefix:
  update     a device present under HKLM\\System\\CurrentControlSet\\Enum with a
             ClassGUID; the INF path (with a space) given as two arguments and
             the hardware identifier in another letter case.
  stage      no device has the hardware identifier: the INF is staged.
  stage-fail the "INF" is an empty file, which the system will not stage.
  usage      one argument only.
  too-long   an INF path longer than 255 characters.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time

NET_CLASS_GUID = "{4d36e972-e325-11ce-bfc1-08002be10318}"
DEVICE_KEY = r"HKLM\System\CurrentControlSet\Enum\PCMCIA\MIREL-WLAN11B-7D37\1"
INSTANCE_ID = r"PCMCIA\MIREL-WLAN11B-7D37\1"
HARDWARE_ID_OTHER_CASE = r"pcmcia\mirel-wlan11b-7d37"
ABSENT_HARDWARE_ID = r"PCMCIA\NO-SUCH-CARD-0000"
PACKAGE_DIR = "mirel pkg"  # under C:\, with a space on purpose
RELAYED = [
    "GetVersionExA",
    "SetupDiGetClassDevsA",
    "SetupDiEnumDeviceInfo",
    "SetupDiGetDeviceInstanceIdA",
    "SetupDiDestroyDeviceInfoList",
    "UpdateDriverForPlugAndPlayDevicesA",
    "SetupCopyOEMInfA",
]
RUN_TIMEOUT = 120
BOOT_TIMEOUT = 300

EXIT_DONE, EXIT_USAGE, EXIT_UPDATE_FAILED, EXIT_STAGING_FAILED = 0, 1, 2, 3


class Failure(Exception):
    pass


# --- Wine ---------------------------------------------------------------------------


class Wine:
    def __init__(self, prefix, logs):
        self.prefix = os.path.abspath(prefix)
        self.logs = logs
        self.env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            self.env.pop(name, None)
        self.env.update(
            WINEPREFIX=self.prefix,
            WINEARCH="win64",
            WINEDEBUG="-all",
            # No Mono or Gecko installer prompts.
            WINEDLLOVERRIDES="mscoree,mshtml=",
        )

    def _run(self, argv, timeout, debug="-all"):
        env = dict(self.env, WINEDEBUG=debug)
        try:
            return subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
        except subprocess.TimeoutExpired:
            self.stop()
            raise Failure(f"timed out after {timeout} s: {' '.join(argv)}")

    def stop(self):
        """Ends the prefix's server and everything it runs, and waits for it."""
        subprocess.run(["wineserver", "-k"], env=self.env, capture_output=True, timeout=60)
        subprocess.run(["wineserver", "-w"], env=self.env, capture_output=True, timeout=60)

    def ensure_prefix(self):
        marker = os.path.join(self.prefix, ".mirel-ready")
        if os.path.exists(marker):
            return
        shutil.rmtree(self.prefix, ignore_errors=True)
        os.makedirs(os.path.dirname(self.prefix), exist_ok=True)
        started = time.monotonic()
        result = self._run(["wine", "wineboot", "--init"], BOOT_TIMEOUT)
        self.stop()
        if not os.path.exists(os.path.join(self.prefix, "system.reg")):
            raise Failure("wineboot did not create the prefix:\n" + result.stderr.decode(errors="replace"))
        open(marker, "w").close()
        print(f"wine: prefix created in {time.monotonic() - started:.1f} s")

    def reg_add(self, key, name, kind, data):
        result = self._run(["wine", "reg", "add", key, "/v", name, "/t", kind, "/d", data, "/f"], RUN_TIMEOUT)
        if result.returncode != 0:
            raise Failure(f"reg add {key} {name} failed:\n" + result.stderr.decode(errors="replace"))

    def drive_c(self, *parts):
        return os.path.join(self.prefix, "drive_c", *parts)

    def unix_path(self, windows_path):
        """The file behind a C:\\ path, its components matched without regard to case."""
        if not windows_path[:3].lower() == "c:\\":
            return None
        path = self.drive_c()
        for part in windows_path[3:].split("\\"):
            try:
                names = {name.lower(): name for name in os.listdir(path)}
            except OSError:
                return None
            if part.lower() not in names:
                return None
            path = os.path.join(path, names[part.lower()])
        return path

    def run_program(self, exe, arguments, name):
        self.stop()  # every run starts from a fresh server
        result = self._run(["wine", exe] + arguments, RUN_TIMEOUT, debug="-all,+debugstr,+relay")
        stderr = result.stderr.decode("utf-8", errors="replace")
        with open(os.path.join(self.logs, name + ".stderr"), "w") as log:
            log.write(stderr)
        self.stop()
        return result.returncode, result.stdout, stderr


# --- reading the trace ---------------------------------------------------------------

DEBUG_RE = re.compile(r"^([0-9a-f]+):[a-z]+:debugstr:OutputDebugStringA (.*)$")
CALL_RE = re.compile(r"^([0-9a-f]+):Call ([A-Za-z0-9_]+)\.([A-Za-z0-9_]+)\((.*)\) ret=([0-9a-f]+)$")
RET_RE = re.compile(r"^([0-9a-f]+):Ret  ([A-Za-z0-9_]+)\.([A-Za-z0-9_]+)\(\) retval=([0-9a-f]+) ret=([0-9a-f]+)$")


def unescape(quoted):
    """The text of a C-escaped string as Wine prints it; None if it is not one
    complete quoted string (Wine marks a cut string with ... after the quote)."""
    if len(quoted) < 2 or quoted[0] != '"' or quoted[-1] != '"':
        return None
    body, out, i = quoted[1:-1], [], 0
    simple = {"n": "\n", "r": "\r", "t": "\t", '"': '"', "\\": "\\", "a": "\a", "b": "\b", "f": "\f", "v": "\v"}
    while i < len(body):
        c = body[i]
        if c == '"':
            return None  # an unescaped quote: not one string
        if c != "\\":
            out.append(c)
            i += 1
            continue
        if i + 1 >= len(body):
            return None
        e = body[i + 1]
        if e in simple:
            out.append(simple[e])
            i += 2
        elif e == "x":
            digits = re.match(r"[0-9a-fA-F]{1,2}", body[i + 2 :])
            if not digits:
                return None
            out.append(chr(int(digits.group(0), 16)))
            i += 2 + len(digits.group(0))
        elif e in "01234567":
            digits = re.match(r"[0-7]{1,3}", body[i + 1 :]).group(0)
            out.append(chr(int(digits, 8)))
            i += 1 + len(digits)
        else:
            return None
    return "".join(out)


def c_escape(text):
    out = []
    for c in text:
        if c == "\n":
            out.append("\\n")
        elif c == "\\":
            out.append("\\\\")
        elif c == '"':
            out.append('\\"')
        elif " " <= c <= "~":
            out.append(c)
        else:
            out.append("\\x%02x" % ord(c))
    return '"' + "".join(out) + '"'


def split_arguments(text):
    """Relay arguments: hex values, strings shown as: 0021fbc0 "text"."""
    parts, current, quoted, i = [], "", False, 0
    while i < len(text):
        c = text[i]
        if c == "\\" and quoted and i + 1 < len(text):
            current += text[i : i + 2]
            i += 2
            continue
        if c == '"':
            quoted = not quoted
        if c == "," and not quoted:
            parts.append(current)
            current = ""
        else:
            current += c
        i += 1
    if text:
        parts.append(current)
    arguments = []
    for part in parts:
        value, _, string = part.strip().partition(" ")
        arguments.append((int(value, 16), unescape(string) if string else None))
    return arguments


class Debug:
    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return "OutputDebugStringA " + c_escape(self.text)


class Call:
    def __init__(self, function, arguments):
        self.function = function
        self.arguments = arguments
        self.retval = None

    def __repr__(self):
        shown = []
        for value, string in self.arguments:
            shown.append("%x" % value + (" " + c_escape(string) if string is not None else ""))
        ret = "?" if self.retval is None else "%x" % self.retval
        return f"{self.function}({', '.join(shown)}) -> {ret}"


def program_events(stderr, first_argument):
    """The program's own messages and calls, in order.

    The program's thread is the one that wrote the first argument. Calls the
    system makes inside a relayed call (the update walks devices itself) are
    not the program's and are left out, as is everything of other processes.
    """
    lines = stderr.splitlines()
    thread = None
    for line in lines:
        m = DEBUG_RE.match(line)
        if m and unescape(m.group(2)) == first_argument:
            thread = m.group(1)
            break
    if thread is None:
        raise Failure("the program wrote nothing (its first argument never reached the debugger output)")

    events, depth, open_call = [], 0, None
    for line in lines:
        if not line.startswith(thread + ":"):
            continue
        m = DEBUG_RE.match(line)
        if m:
            text = unescape(m.group(2))
            if text is None:
                raise Failure("debugger text that is not one complete string: " + line)
            if depth == 0:
                events.append(Debug(text))
            continue
        m = CALL_RE.match(line)
        if m:
            if depth == 0:
                open_call = Call(m.group(3), split_arguments(m.group(4)))
                events.append(open_call)
            depth += 1
            continue
        m = RET_RE.match(line)
        if m:
            depth -= 1
            if depth == 0:
                if open_call is None or open_call.function != m.group(3):
                    raise Failure("relay trace out of order at: " + line)
                open_call.retval = int(m.group(4), 16)
                open_call = None
    if depth != 0:
        raise Failure("the trace ends inside a call")
    if not any(isinstance(e, Call) for e in events):
        raise Failure("no relayed call seen: is RelayInclude set in the prefix?")
    return events


# --- checking a run ------------------------------------------------------------------


class Run:
    """Walks a run's events in order and checks each against the program's
    algorithm, taking the system's answers from the trace."""

    def __init__(self, name, events):
        self.name = name
        self.events = events
        self.position = 0

    def fail(self, message):
        shown = "\n".join(
            ("  > " if i == self.position else "    ") + repr(e) for i, e in enumerate(self.events)
        )
        raise Failure(f"{self.name}: {message}\n  events (> where it went wrong):\n{shown}")

    def peek(self):
        return self.events[self.position] if self.position < len(self.events) else None

    def debug(self, expected=None):
        event = self.peek()
        if not isinstance(event, Debug):
            self.fail(f"expected the message {c_escape(expected) if expected is not None else '(any)'}")
        if expected is not None and event.text != expected:
            self.fail(f"expected the message {c_escape(expected)}")
        self.position += 1
        return event.text

    def call(self, function, arguments):
        """The next event must be this call; None in `arguments` accepts any
        value there, a str must be the string shown for it."""
        event = self.peek()
        if not isinstance(event, Call) or event.function != function:
            self.fail(f"expected a call to {function}")
        if len(event.arguments) != len(arguments):
            self.fail(f"{function} with {len(event.arguments)} arguments")
        for index, (want, (value, string)) in enumerate(zip(arguments, event.arguments)):
            if want is None:
                continue
            if isinstance(want, str):
                if string != want:
                    self.fail(f"{function} argument {index + 1} is {string!r}, not {want!r}")
            elif value != want:
                self.fail(f"{function} argument {index + 1} is {value:#x}, not {want:#x}")
        self.position += 1
        return event

    def end(self):
        if self.peek() is not None:
            self.fail("the program went on after its last step")


def check_start(run, arguments):
    version = run.call("GetVersionExA", [None])
    for argument in arguments:
        run.debug(argument)
        run.debug("\n")
    return version


def check_program(run, arguments, exit_status):
    """The whole algorithm for a run with at least two arguments that fit.
    Returns what happened: the instance identifier found, the staged name."""
    check_start(run, arguments)
    inf_path, hardware_id = " ".join(arguments[:-1]), arguments[-1]
    run.debug(inf_path)
    run.debug("2\n")

    outcome = {"found": None, "staged": None, "updated": None, "copied": None}
    devices = run.call("SetupDiGetClassDevsA", [0, 0, 0, 0x6])
    handle = devices.retval
    if handle not in (0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF):
        index = 0
        while True:
            member = run.call("SetupDiEnumDeviceInfo", [handle, index, None])
            if member.retval == 0:
                break
            member_data = member.arguments[2][0]
            instance = run.call("SetupDiGetDeviceInstanceIdA", [handle, member_data, None, 255, 0])
            following = run.peek()
            if isinstance(following, Debug) and following.text == "Found:":
                if instance.retval == 0:
                    run.fail("a device reported whose instance identifier could not be read")
                run.debug("Found:")
                outcome["found"] = run.debug()
                length = len(hardware_id)
                if length == 0 or outcome["found"][: length - 1].lower() != hardware_id[: length - 1].lower():
                    run.fail(f"{outcome['found']!r} does not match {hardware_id!r}")
                break
            index += 1
        run.call("SetupDiDestroyDeviceInfoList", [handle])

    if outcome["found"] is not None:
        run.debug("\nUpdating driver...\n")
        update = run.call("UpdateDriverForPlugAndPlayDevicesA", [0, hardware_id, inf_path, 1, None])
        outcome["updated"] = update.retval != 0
        if update.retval != 0:
            run.debug("Update driver Success...\n")
            following = run.peek()
            if isinstance(following, Debug) and following.text == "Reboot Required...\n":
                run.debug()
            expected_status = EXIT_DONE
        else:
            run.debug("Update driver Failed...\n")
            expected_status = EXIT_UPDATE_FAILED
    else:
        run.debug("There is No Adapter\n")
        # Wine presents itself as an NT-family system.
        copy = run.call("SetupCopyOEMInfA", [inf_path, 0, 1, 0, None, 255, 0, 0])
        outcome["copied"] = copy.retval != 0
        if copy.retval != 0:
            run.debug("\n")
            run.debug(inf_path)
            run.debug(" was copied to ")
            outcome["staged"] = run.debug()
            run.debug("\n")
            expected_status = EXIT_DONE
        else:
            run.debug("Fail to copy the inf\n")
            expected_status = EXIT_STAGING_FAILED
    run.end()
    if exit_status != expected_status:
        run.fail(f"exit status {exit_status}, expected {expected_status}")
    return outcome


def check_refusal(run, arguments, reason, exit_status):
    check_start(run, arguments)
    run.debug(reason)
    run.end()
    if exit_status != EXIT_USAGE:
        run.fail(f"exit status {exit_status}, expected {EXIT_USAGE}")


# --- the runs ------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True, help="drvupdate.exe")
    parser.add_argument("--inf", required=True, help="driver/mirelnd.inf")
    parser.add_argument("--prefix", required=True, help="private Wine prefix (created when missing)")
    parser.add_argument("--logs", required=True, help="folder for the traces of the runs")
    options = parser.parse_args()

    os.makedirs(options.logs, exist_ok=True)
    wine = Wine(options.prefix, options.logs)
    wine.stop()
    wine.ensure_prefix()

    # Relay only the calls the program makes, and make the device present.
    wine.reg_add(r"HKCU\Software\Wine\Debug", "RelayInclude", "REG_SZ", ";".join(RELAYED))
    wine.reg_add(DEVICE_KEY, "ClassGUID", "REG_SZ", NET_CLASS_GUID)
    package = wine.drive_c(PACKAGE_DIR)
    os.makedirs(package, exist_ok=True)
    shutil.copyfile(options.inf, os.path.join(package, "mirelnd.inf"))
    open(os.path.join(package, "empty.inf"), "w").close()
    inf_store = wine.drive_c("windows", "inf")

    exe = os.path.abspath(options.exe)
    path_parts = ["C:\\mirel", "pkg\\mirelnd.inf"]
    inf_path = "C:\\" + PACKAGE_DIR + "\\mirelnd.inf"
    long_path = "C:\\" + PACKAGE_DIR + "\\" + "l" * 252 + ".inf"
    runs = [
        ("update", path_parts + [HARDWARE_ID_OTHER_CASE]),
        ("stage", path_parts + [ABSENT_HARDWARE_ID]),
        ("stage-fail", ["C:\\" + PACKAGE_DIR + "\\empty.inf", ABSENT_HARDWARE_ID]),
        ("usage", [inf_path]),
        ("too-long", [long_path, HARDWARE_ID_OTHER_CASE]),
    ]

    failures = 0
    for name, arguments in runs:
        started = time.monotonic()
        # What an earlier run staged must not pass for this run's work.
        for staged_file in os.listdir(inf_store):
            if staged_file.lower().startswith(("mirelnd.", "empty.")):
                os.remove(os.path.join(inf_store, staged_file))
        try:
            status, stdout, stderr = wine.run_program(exe, arguments, name)
            run = Run(name, program_events(stderr, arguments[0]))
            if stdout:
                run.fail("the program wrote to standard output: " + repr(stdout[:200]))
            if name == "update":
                outcome = check_program(run, arguments, status)
                if outcome["found"] != INSTANCE_ID:
                    run.fail(f"found {outcome['found']!r}, not the device made present ({INSTANCE_ID})")
            elif name == "stage":
                outcome = check_program(run, arguments, status)
                if outcome["found"] is not None:
                    run.fail("a device was found for a hardware identifier no device has")
                if not outcome["copied"]:
                    run.fail("the INF could not be staged")
                staged = wine.unix_path(outcome["staged"])
                if staged is None:
                    run.fail(f"the staged name {outcome['staged']!r} is no file in the prefix")
                with open(staged, "rb") as a, open(options.inf, "rb") as b:
                    if a.read() != b.read():
                        run.fail(f"{outcome['staged']} is not a copy of the INF")
            elif name == "stage-fail":
                outcome = check_program(run, arguments, status)
                if outcome["found"] is not None or outcome["copied"] is not False:
                    run.fail("an empty file was expected to be refused by the system")
            elif name == "usage":
                check_refusal(run, arguments, "Usage: drvupdate inf-path hardware-id\n", status)
            elif name == "too-long":
                check_refusal(run, arguments, "The INF path is longer than 255 characters\n", status)
            print(f"wine: {name}: ok, exit status {status}, {time.monotonic() - started:.1f} s; debugger output:")
            for event in run.events:
                if isinstance(event, Debug):
                    print("    " + c_escape(event.text))
        except Failure as failure:
            failures += 1
            print(f"wine: {name}: FAILED: {failure}")
            print(f"      trace: {os.path.join(options.logs, name + '.stderr')}")
    wine.stop()
    print(f"wine: {len(runs) - failures} of {len(runs)} runs as expected")
    return 1 if failures else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Failure as failure:
        print(f"wine: FAILED: {failure}")
        sys.exit(1)
