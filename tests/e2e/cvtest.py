"""Support for the end-to-end tests: run the built programs under Wine (the prefix, display and
loader that scripts/test prepared), scratch folders inside the prefix, the log file, time bounds.

Every run has a time bound; a program still running at its end is killed by its process id."""

import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

# The function names the program's log lines carry (the constants FN_... of its classes).
FN_INIT_INSTANCE = "cCV_INSTALLER::InitInstance"
FN_EXIT_INSTANCE = "cCV_INSTALLER::ExitInstance"
FN_START_LOGGER = "cCV_INSTALLER::startLogger"
FN_PARSE_COMMAND_LINE = "cCV_INSTALLER::parseCommandLine"
FN_FIND_PREVIOUS_INSTANCE = "cCV_INSTALLER::findPreviousInstance"
FN_CHECK_OLD_CV_VERSIONS = "cCV_INSTALLER::checkOldCVversions"
FN_DECIDE_PUBLISHER_PIN = "cCV_INSTALLER::decidePublisherPin"
FN_UPDATE = "cWebupdater::updateFile"
FN_DOWNLOAD = "cWebupdater::downloadFile"
FN_LOGGER = "Logger::log"

SOURCE_DIR = os.environ.get("CV_SOURCE_DIR") or os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD_DIR = os.environ.get("CV_BUILD_DIR") or os.path.join(SOURCE_DIR, "build", "win64")
WINE_RUN = os.path.join(SOURCE_DIR, "cmake", "wine-run")


def _take_worker():
    """A test that holds one of CTest's "instance" resources (scripts/winenv.sh) runs in that
    worker's prefix and on its display; everything started from here inherits them."""
    # Taken once: what the test starts with a prefix of its own (WINEPREFIX given) keeps it.
    group = os.environ.pop("CTEST_RESOURCE_GROUP_0_INSTANCE", "")
    if not group.startswith("id:"):
        return
    worker = group[3:].split(",")[0]
    for variable, name in (("WINEPREFIX", "CV_WORKER_PREFIX_"), ("DISPLAY", "CV_WORKER_DISPLAY_")):
        if os.environ.get(name + worker):
            os.environ[variable] = os.environ[name + worker]


_take_worker()
# The demo client started by an update shows its window this long (4 s outside the tests), and a
# test waits for it to end before the next run looks at the display or the folder.
DEMO_CLIENT_SECONDS = 1.0
os.environ["CV_DEMOCLIENT_MS"] = str(int(DEMO_CLIENT_SECONDS * 1000))
# How long an ended run's output is still read while processes it started hold it open.
OUTPUT_GRACE_SECONDS = 3
PREFIX = os.environ.get("WINEPREFIX") or os.path.join(SOURCE_DIR, "build", "wineprefix")
USER = os.environ.get("USER") or "root"


def built(name):
    """Path of a program of the test build (CV_setup.exe or fixtures/NAME.exe)."""
    return os.path.join(BUILD_DIR, name)


def fixture(name):
    return os.path.join(BUILD_DIR, "fixtures", name)


def bench_program(name):
    """Path of a program of the benchmarks (bench/NAME.cpp, built into the build's bench/)."""
    return os.path.join(BUILD_DIR, "bench", name)


def appdata():
    """The prefix's application-data folder as a Unix path."""
    base = os.path.join(PREFIX, "drive_c", "users")
    for cand in (USER, os.environ.get("LOGNAME", ""), "root"):
        p = os.path.join(base, cand, "AppData", "Roaming") if cand else ""
        if p and os.path.isdir(p):
            return p
    return os.path.join(base, USER, "AppData", "Roaming")


def log_dir():
    return os.path.join(appdata(), "Vendra")


def to_windows(path):
    """A Unix path as Wine sees it (drive Z: is the Unix root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read_log(name="CV.log"):
    p = os.path.join(log_dir(), name)
    if not os.path.exists(p):
        return ""
    with open(p, "rb") as f:
        return f.read().decode("cp1252")


def clear_logs():
    d = log_dir()
    if os.path.isdir(d):
        shutil.rmtree(d, ignore_errors=True)


def log_lines(text):
    return [l for l in text.split("\r\n") if l]


def message_of(line):
    """The message part of a log line (after the padded function name)."""
    parts = line.split("\t")
    if len(parts) < 5:
        return line
    tail = "\t".join(parts[4:])
    return tail


def function_and_message(line):
    tail = message_of(line)
    name = tail.split(" ", 1)[0]
    rest = tail[len(name):].lstrip(" ")
    return name, rest


def level_of(line):
    return line[:10]


class Run:
    """A program started under Wine; killed (by its own process group) when still running at close."""

    def __init__(self, exe, args=(), cwd=None, env=None):
        e = dict(os.environ)
        e["WINEPREFIX"] = PREFIX
        if env:
            for k, v in env.items():
                if v is None:
                    e.pop(k, None)
                else:
                    e[k] = v
        self.proc = subprocess.Popen([WINE_RUN, exe, *args], cwd=cwd or os.path.dirname(exe), env=e,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)
        self.output = b""
        self._chunks = []
        self._reader = None

    def _start_reading(self):
        """Reads the output on a thread of its own from here on (a test may have read its first
        lines itself), so that a talkative program never stands on a full pipe."""
        if self._reader:
            return

        def read():
            try:
                while True:
                    data = self.proc.stdout.read1(65536)
                    if not data:
                        return
                    self._chunks.append(data)
            except (OSError, ValueError):
                return

        self._reader = threading.Thread(target=read, daemon=True)
        self._reader.start()

    def _drain(self):
        """What the ended program wrote: all of it once its children have let go of the output,
        or what arrived within OUTPUT_GRACE_SECONDS (the reader then ends with the last of them)."""
        self._start_reading()
        self._reader.join(OUTPUT_GRACE_SECONDS)
        return b"".join(self._chunks)

    def wait(self, timeout):
        # The program's end is the end of its loader process, not the end of its output: every
        # process that Wine starts from it (the client a restart starts, a helper of Wine's own)
        # keeps the output's write end open for as long as it lives.
        self._start_reading()
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            # Where the program stood when it was given up: its threads, then the end of the
            # installer's log.
            program = os.path.basename(self.proc.args[1])
            stacks = wine_backtraces(program)
            self.kill()
            tail = log_lines(read_log())[-12:]
            sys.stderr.write("wine-run %s did not end within %s s; its threads:\n%s\nthe log ends with:\n%s\n" % (
                program, timeout, stacks, "\n".join(tail) or "(no log)"))
            raise
        self.output = self._drain()
        # Wine's own complaints (a loader that could not start the program, a lost server) go to
        # the record: they explain an exit code that the program never set.
        complaints = [l for l in self.output.decode("utf-8", "replace").splitlines() if l.startswith("wine")]
        if complaints:
            sys.stderr.write("wine-run %s exited with %d:\n%s\n" % (
                os.path.basename(self.proc.args[1]), self.proc.returncode, "\n".join(complaints)))
        return self.proc.returncode

    def running(self):
        return self.proc.poll() is None

    def kill(self):
        if self.proc.poll() is None and end_group(self.proc, 10):
            self.output = self._drain()


def end_group(proc, timeout):
    """Kills what proc started in its own session (wine-run and the program) and waits up to
    timeout seconds for proc to end; True when it has."""
    if proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        return False
    return True


def wine_backtraces(program):
    """winedbg's backtraces of every thread of the running processes named program (in this
    prefix), for the record of a run that did not end."""
    env = dict(os.environ, WINEPREFIX=PREFIX)
    try:
        out = subprocess.run([WINE_RUN, "winedbg"], input="bt all\nquit\n", capture_output=True, text=True,
                             errors="replace", timeout=90, env=env).stdout
    except subprocess.TimeoutExpired:
        return "(winedbg did not answer)"
    blocks = re.split(r"\n(?=Backtracing for thread )", out)
    mine = [b.rstrip() for b in blocks
            if b.startswith("Backtracing for thread ") and program.lower() in b.split("\n", 1)[0].lower()]
    return "\n".join(mine) or "(no thread of %s found)" % program


def run(exe, args=(), timeout=60, cwd=None, env=None):
    r = Run(exe, args, cwd=cwd, env=env)
    code = r.wait(timeout)
    return code, r.output.decode("utf-8", "replace")


def wait_until(cond, timeout, step=0.05):
    end = time.time() + timeout
    while time.time() < end:
        if cond():
            return True
        time.sleep(step)
    return cond()


class ScratchDir:
    """A scratch folder under the build folder, visible to Wine through drive Z:."""

    def __init__(self, tag="e2e"):
        base = os.path.join(BUILD_DIR, "e2e-scratch")
        os.makedirs(base, exist_ok=True)
        self.path = tempfile.mkdtemp(prefix=tag + "-", dir=base)

    def file(self, name):
        return os.path.join(self.path, name)

    def cleanup(self):
        shutil.rmtree(self.path, ignore_errors=True)


class _TimedResult(unittest.TextTestResult):
    """Names each test's seconds after its outcome, to see where a run's time goes."""

    def startTest(self, test):
        self._started = time.monotonic()
        super().startTest(test)

    def stopTest(self, test):
        super().stopTest(test)
        if self.showAll:
            self.stream.writeln("    (%.1f s)" % (time.monotonic() - self._started))


def main():
    unittest.main(verbosity=2, testRunner=unittest.TextTestRunner(verbosity=2, resultclass=_TimedResult))


def on_the_32bit_build():
    """True when the tests run the shipped 32-bit build (the wow64 set)."""
    return os.path.basename(os.path.normpath(BUILD_DIR)) == "win32"


def only_these_on_the_32bit_build(module_globals, names, why):
    """On the 32-bit build, skips every case of the module's test classes but names ("Class.test_x"):
    the others show nothing that depends on the build's bitness, and the x86_64 run has them. Each
    class gets its own attribute, so that a subclass's choice does not change its base's."""
    if not on_the_32bit_build():
        return
    classes = [c for c in module_globals.values() if isinstance(c, type) and issubclass(c, unittest.TestCase)]
    chosen = {}
    for cls in classes:
        for name in dir(cls):
            test = getattr(cls, name)
            if name.startswith("test_") and callable(test):
                key = "%s.%s" % (cls.__name__, name)
                chosen[(cls, name)] = test if key in names else unittest.skip("on the x86_64 build only: " + why)(test)
    unknown = set(names) - {"%s.%s" % (c.__name__, n) for c, n in chosen}
    assert not unknown, "no such cases: %s" % sorted(unknown)
    for (cls, name), test in chosen.items():
        setattr(cls, name, test)


def window_ids(name_regex):
    """X window ids whose title matches name_regex (on the test's display)."""
    try:
        out = subprocess.run(["xdotool", "search", "--name", name_regex], capture_output=True, text=True, timeout=10)
    except subprocess.TimeoutExpired:
        return []
    return [w for w in out.stdout.split() if w.strip()]


def visible_windows():
    """Ids of the mapped X windows on the test's display, titled or not (the splash has no title)."""
    try:
        out = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", ""], capture_output=True, text=True,
                             timeout=10)
    except subprocess.TimeoutExpired:
        return []
    return [w for w in out.stdout.split() if w.strip()]


# How long a test waits for the answerer to count an error box after the run ended: the count
# follows the key press, which a loaded display may take seconds to deliver.
BOX_WAIT = 30


class BoxAnswerer:
    """Answers every message box titled "Error" on the test's desktop while it runs, and counts
    them: the fixture boxanswerer.exe presses each box's OK button from inside the prefix (a key
    sent through the X server could miss a box, or reach the next one, depending on the focus)."""

    def __init__(self):
        self.count = 0
        env = dict(os.environ, WINEPREFIX=PREFIX)
        self._proc = subprocess.Popen([WINE_RUN, fixture("boxanswerer.exe")], env=env, stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, start_new_session=True)
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._read, daemon=True)
        self._thread.start()
        # A box that comes before the answerer looks would still be answered; waiting for it keeps
        # the count of a quick run exact.
        self._ready.wait(60)

    def _read(self):
        for line in self._proc.stdout:
            if line.strip() == b"ready":
                self._ready.set()
            elif line.strip() == b"answered":
                self.count += 1
        self._ready.set()

    def stop(self):
        end_group(self._proc, 15)
        self._thread.join(timeout=15)


class InstallerRun:
    """CV_setup.exe (or a copy) started under Wine. answer_boxes: a message box titled "Error" is
    answered as soon as it appears while the run lasts, and counted in boxes_answered."""

    def __init__(self, exe, args=(), env=None, answer_boxes=True):
        self._answerer = BoxAnswerer() if answer_boxes else None
        self.run = Run(exe, args, env=env)

    @property
    def boxes_answered(self):
        return self._answerer.count if self._answerer else 0

    def wait(self, timeout=120):
        try:
            return self.run.wait(timeout)
        finally:
            if self._answerer:
                self._answerer.stop()

    def running(self):
        return self.run.running()

    def kill(self):
        if self._answerer:
            self._answerer.stop()
        self.run.kill()


def append_loopback_block(exe, port):
    """Appends a deployment block that names the loopback update server at `port` (http)."""
    values = [("PROTOCOL", "http"), ("HOST", "127.0.0.1"), ("PORT", str(port)),
              ("PORTAL", "/vazu/portal/req?loadPortal"), ("CLIENT", "/vazu/portal/req?loadPortal"),
              ("EVENTS", "/vazu/webportlets/portal/eventViewer"), ("PRODUCT", "Brightel RudEvuvor"), ("LOGLEVEL", "5")]
    block = "ADDED_SERVERPARAMETERS:" + "".join("ADDED_SERVERPARAMETER_%s<%s>" % kv for kv in values) + "\r\n"
    with open(exe, "ab") as f:
        f.write(block.encode("cp1252"))


def copy_installer(dest_dir, name="CV_setup.exe"):
    dest = os.path.join(dest_dir, name)
    shutil.copy2(built("CV_setup.exe"), dest)
    return dest


def exit_code_of(text):
    """The exit code a run's log calls for: the reason of its "Unable to check for update (reason N
    - E)" line, 3 after "Unable to restart", otherwise 0. text: the log of one run."""
    # Only the lines of the last run that was not a restart (a restarted copy logs to the same file).
    runs = {}
    last = None
    for line in log_lines(text):
        name = line[10:line.find("\t")] if "\t" in line else ""
        runs.setdefault(name, []).append(line)
        fn, msg = function_and_message(line)
        if fn == FN_PARSE_COMMAND_LINE and msg.startswith("Parsing commandline: >") and "--restart" not in msg:
            last = name
    code = 0
    for line in runs.get(last, []):
        fn, msg = function_and_message(line)
        if fn != FN_INIT_INSTANCE:
            continue
        m = re.match(r"Unable to check for update \(reason (\d+) - -?\d+\)$", msg)
        if m:
            code = int(m.group(1))
        elif msg == "Unable to restart":
            code = 3
    return code


def messages(text):
    """(level name, function name, message) of every log line."""
    out = []
    for line in log_lines(text):
        fn, msg = function_and_message(line)
        out.append((level_of(line), fn, msg))
    return out


# The deployment block as the server stamps it, through the host build of cvstamp.
MARKER = "ADDED_SERVERPARAMETERS" + ":"
SAMPLE = [
    ("--protocol", "PROTOCOL", "https"),
    ("--host", "HOST", "callvane.vazu.example.de"),
    ("--port", "PORT", "8443"),
    ("--portal", "PORTAL", "/vazu/portal/req?loadPortal"),
    ("--client", "CLIENT", "/vazu/portal/req?loadPortal"),
    ("--events", "EVENTS", "/vazu/webportlets/portal/eventViewer"),
    ("--product", "PRODUCT", "Brightel RudEvuvor"),
    ("--loglevel", "LOGLEVEL", "3"),
]

_host_tools = {}


def host_tool(name):
    """A program of the host build (scripts/test builds it into build/host-tools; otherwise built here)."""
    if name in _host_tools:
        return _host_tools[name]
    for cand in (os.environ.get("CV_STAMPER") if name == "cvstamp" else None,
                 os.path.join(SOURCE_DIR, "build", "host-tools", name)):
        if cand and os.access(cand, os.X_OK):
            _host_tools[name] = cand
            return cand
    out = os.path.join(BUILD_DIR, "host-tools")
    subprocess.run(["cmake", "-S", os.path.join(SOURCE_DIR, "tools"), "-B", out, "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release"], check=True, capture_output=True, timeout=120)
    subprocess.run(["cmake", "--build", out, "--target", name], check=True, capture_output=True, timeout=300)
    _host_tools[name] = os.path.join(out, name)
    return _host_tools[name]


def stamper():
    """The host build of cvstamp."""
    return host_tool("cvstamp")


def program_image(size, machine=0x8664):
    """A complete program image of size bytes for the machine, from the tests' PE builder
    (tests/support/makeprogram): headers and one section holding the rest of the file."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "program.exe")
        subprocess.run([host_tool("makeprogram"), path, str(size), hex(machine)], check=True, capture_output=True,
                       timeout=120)
        return read(path)


def stamp(src, dst, values=SAMPLE, extra=()):
    args = [stamper()]
    for opt, _, val in values:
        args += [opt, val]
    args += list(extra) + [src, dst]
    return subprocess.run(args, capture_output=True, timeout=60)


def show(path):
    return subprocess.run([stamper(), "--show", path], capture_output=True, timeout=60)


def block_bytes(values=SAMPLE):
    return (MARKER + "".join("ADDED_SERVERPARAMETER_%s<%s>" % (w, v) for _, w, v in values) + "\r\n").encode("cp1252")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return path


def digest(path):
    """SHA-256 of a file, in hex."""
    return hashlib.sha256(read(path)).hexdigest()


class LoopbackUpdateCase(unittest.TestCase):
    """An update run's surroundings: a scratch folder with the place of the installer (self.exe), a
    started loopback update server (self.server) and an answerer of error boxes (self.boxes).
    Afterwards a restarted demo client gets the seconds it needs to end before the cleanup."""

    scratch_name = "update"

    def setUp(self):
        from updateserver import UpdateServer

        self.scratch = ScratchDir(self.scratch_name)
        clear_logs()
        self.server = UpdateServer()
        self.server.start()
        self.exe = self.scratch.file("CV_setup.exe")
        self.boxes = BoxAnswerer()

    def tearDown(self):
        self.boxes.stop()
        self.server.stop()
        wait_until(lambda: not os.path.exists(self.exe + ".started.txt") or self.client_done(), 15)
        self.scratch.cleanup()

    def client_done(self):
        """True when the demo client that the restart started has had its seconds."""
        return time.time() - os.path.getmtime(self.exe + ".started.txt") > DEMO_CLIENT_SECONDS + 2

