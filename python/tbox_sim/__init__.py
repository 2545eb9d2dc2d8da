"""Drive the box simulator (tbox-simd) and an application under test from Python.

A Simulator runs a private dbus-daemon and a tbox-simd on it, where permitted in an IPC namespace of
its own so that the fixed queue keys 1 and 2 meet nobody else's. An App runs a program against it. The
pytest fixtures `sim` and `app` (tbox_sim.plugin, loaded by `pytest -p tbox_sim`) wrap both.

Only the standard library and Debian's python3-gi (Gio) are used. docs/testing.md is the user's guide.
"""

import ctypes
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time

import gi

gi.require_version("Gio", "2.0")
gi.require_version("GLib", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

# `pytest -p tbox_sim` registers this module as a plugin; pytest then loads the fixtures from here.
pytest_plugins = ["tbox_sim.plugin"]

__all__ = ["App", "AppFailure", "SimError", "Simulator", "find_program", "nmea_sentence", "parse_time"]

SIM_NAME = "ky.sim"
SIM_PATH = "/ky/sim"
SIM_INTERFACE = "ky.sim"
STOP_GRACE = 3.0  # seconds between SIGTERM and SIGKILL


class SimError(Exception):
    """The simulator refused something (a bad event, a call it could not answer) or did not start."""


class AppFailure(AssertionError):
    """An application exited with a non-zero status or ran past its time-out. The message carries its
    output, so a test that lets it propagate shows what the application printed."""


def find_program(name, env_var):
    """The path of `name`: $env_var if set, else $TBOX_BUILD/tools/<name> when TBOX_BUILD names a
    build tree, else PATH, else the bin directory of the SDK this package was installed with."""
    given = os.environ.get(env_var)
    if given:
        return given
    build = os.environ.get("TBOX_BUILD")
    if build and os.access(os.path.join(build, "tools", name), os.X_OK):
        return os.path.join(build, "tools", name)
    found = shutil.which(name)
    if found:
        return found
    try:
        from tbox_sim import _install  # written by the SDK's install step only
    except ImportError:
        _install = None
    if _install is not None and os.access(os.path.join(_install.BINDIR, name), os.X_OK):
        return os.path.join(_install.BINDIR, name)
    raise SimError(f"{name} not found: set {env_var} (or TBOX_BUILD to a build tree), or put it on PATH")


def nmea_sentence(body):
    """`body` (the text between '$' and '*') as a whole sentence with its checksum."""
    checksum = 0
    for byte in body.encode("ascii"):
        checksum ^= byte
    return f"${body}*{checksum:02X}"


_TIME = re.compile(r"^(\+?)(\d+(?:\.\d+)?)(ms|s)$")


def parse_time(text, previous=0.0):
    """Seconds since the start of a scenario for its time field ("250ms", "1.5s", "+100ms")."""
    match = _TIME.match(text)
    if not match:
        raise SimError(f'"{text}" is not a time (250ms, 1.5s, +100ms)')
    seconds = float(match.group(2)) / (1000.0 if match.group(3) == "ms" else 1.0)
    at = previous + seconds if match.group(1) else seconds
    if at < previous:
        raise SimError(f'"{text}" goes back in time')
    return at


_prctl = ctypes.CDLL(None, use_errno=True).prctl  # looked up here: the child after fork only calls it


def _die_with_parent():
    # Runs in the child before exec: a helper never outlives the test process, even one killed hard.
    _prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


class _Output:
    """Collects the lines of one pipe on a thread of its own; waiters are woken on every line."""

    def __init__(self, stream, changed):
        self._lines = []
        self._changed = changed
        self._thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self._thread.start()

    def _read(self, stream):
        for raw in iter(stream.readline, b""):
            with self._changed:
                self._lines.append(raw.decode("utf-8", "replace"))
                self._changed.notify_all()
        stream.close()

    def text(self):
        with self._changed:
            return "".join(self._lines)

    def join(self, timeout):
        self._thread.join(timeout)


class _Process:
    """A child whose stdout and stderr are collected, stopped with SIGTERM and then SIGKILL."""

    def __init__(self, argv, env=None, cwd=None):
        self.argv = list(argv)
        self._changed = threading.Condition()
        self.proc = subprocess.Popen(self.argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env, cwd=cwd, preexec_fn=_die_with_parent)
        self._out = _Output(self.proc.stdout, self._changed)
        self._err = _Output(self.proc.stderr, self._changed)

    @property
    def pid(self):
        return self.proc.pid

    @property
    def stdout(self):
        return self._out.text()

    @property
    def stderr(self):
        return self._err.text()

    def running(self):
        return self.proc.poll() is None

    def wait_until(self, condition, timeout):
        """Waits until condition() holds or the process has ended (and its output is read) or
        `timeout` seconds passed; condition()'s last value."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                value = condition()
                if value or time.monotonic() >= deadline:
                    return value
                if self.proc.poll() is not None:
                    break
                self._changed.wait(min(0.05, max(0.0, deadline - time.monotonic())))
        self._finish(max(0.0, deadline - time.monotonic()))
        return condition()

    def _finish(self, timeout):
        self._out.join(timeout)
        self._err.join(timeout)

    def stop(self, grace=STOP_GRACE):
        """SIGTERM, then SIGKILL after `grace` seconds; the exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(grace)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._finish(grace)
        return self.proc.returncode


class App:
    """An application under test, started against a simulator. Its output is collected while it runs;
    past `timeout` seconds it is stopped (SIGTERM, then SIGKILL) and reported as hanging."""

    def __init__(self, argv, env, prefix=(), timeout=30.0, cwd=None, grace=STOP_GRACE):
        self.argv = [str(a) for a in argv]
        self.name = os.path.basename(self.argv[0])
        self.timeout = timeout
        self.timed_out = False
        self.reported = False
        self._grace = grace
        self._process = _Process(list(prefix) + self.argv, env=env, cwd=cwd)
        self._watchdog = threading.Timer(timeout, self._expire)
        self._watchdog.daemon = True
        self._watchdog.start()

    def _expire(self):
        if self._process.running():
            self.timed_out = True
            self._process.stop(self._grace)

    @property
    def pid(self):
        return self._process.pid

    @property
    def stdout(self):
        return self._process.stdout

    @property
    def stderr(self):
        return self._process.stderr

    @property
    def returncode(self):
        return self._process.proc.poll()

    def running(self):
        return self._process.running()

    def report(self, what):
        """`what`, followed by the application's command line and output."""
        return (f"{self.name} {what}\ncommand: {' '.join(self.argv)}\n"
                f"--- stdout ---\n{self.stdout}--- stderr ---\n{self.stderr}--- end ---")

    def _fail_if_hung(self):
        if self.timed_out:
            self.reported = True
            raise AppFailure(self.report(f"ran past its time-out of {self.timeout:g} s and was stopped"))

    def expect(self, text, timeout=10.0):
        """Waits until the application has printed `text` on stdout (a substring, or a compiled regular
        expression); the match. Fails with the output if it does not come in time or the app ends first."""
        def seen():
            out = self.stdout
            return text.search(out) if hasattr(text, "search") else (text if text in out else None)
        found = self._process.wait_until(seen, timeout)
        if found:
            return found
        self._fail_if_hung()
        pattern = getattr(text, "pattern", text)
        state = "ended before printing" if not self.running() else f"did not print within {timeout:g} s"
        self.reported = True
        raise AppFailure(self.report(f"{state} {pattern!r}"))

    def wait(self, check=True):
        """Waits for the application to end (at most its time-out); its exit status. With `check`, a
        non-zero status fails with the output; a hang always does."""
        self._process.wait_until(lambda: False, self.timeout + self._grace + 1.0)
        if self.running():  # the watchdog is stopping it right now
            self._process.stop(self._grace)
        self._watchdog.cancel()
        self._fail_if_hung()
        code = self.returncode
        if check and code != 0:
            self.reported = True
            raise AppFailure(self.report(f"exited with status {code}"))
        return code

    def stop(self):
        """Stops the application if it still runs (SIGTERM, then SIGKILL); its exit status."""
        self._watchdog.cancel()
        return self._process.stop(self._grace)


_BUS_CONF = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:dir={dir}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
"""


class Simulator:
    """A private bus with tbox-simd on it. `args` are further tbox-simd options ("--gb-interval", "0",
    "--scenario", path, ...). With `queues`, the simulator also serves the message queues, in an IPC
    namespace of its own when one may be made; else `queues` ends up False and `no_queues_reason` says
    why. `on_bus(address)`, if given, is called once the bus runs and before tbox-simd starts (to watch
    it from its first signal). Use as a context manager, or call start() and stop()."""

    def __init__(self, args=(), queues=True, simd=None, ready_timeout=10.0, on_bus=None):
        self.args = [str(a) for a in args]
        self.want_queues = queues
        self.queues = False
        self.no_queues_reason = "not asked for" if not queues else ""
        self.simd_path = simd or find_program("tbox-simd", "TBOX_SIMD")
        self.ready_timeout = ready_timeout
        self._on_bus = on_bus
        self.address = None
        self.socket_path = None
        self.workdir = None
        self.queues_at_stop = []
        self._bus = self._simd = self._holder = self._connection = None
        self._context = GLib.MainContext.new()
        self._ran = []
        self._subscription = 0

    # --- life cycle ---------------------------------------------------------------------------------
    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        try:
            self._start()
        except BaseException:
            self.stop()
            raise
        return self

    def _start(self):
        self.workdir = tempfile.mkdtemp(prefix="tbox-sim-")
        conf = os.path.join(self.workdir, "bus.conf")
        with open(conf, "w", encoding="utf-8") as f:
            f.write(_BUS_CONF.format(dir=self.workdir))
        self._bus = _Process(["dbus-daemon", f"--config-file={conf}", "--nofork", "--nopidfile", "--print-address=1"])
        self._bus.wait_until(lambda: "\n" in self._bus.stdout, self.ready_timeout)
        self.address = self._bus.stdout.split("\n", 1)[0].strip()
        if not self.address:
            raise SimError(f"dbus-daemon did not start: {self._bus.stderr.strip()}")
        found = re.search(r"unix:path=([^,]+)", self.address)
        self.socket_path = GLib.uri_unescape_string(found.group(1), None) if found else None

        if self._on_bus is not None:
            self._on_bus(self.address)
        argv = [self.simd_path, "--address", self.address] + self.args
        if self.want_queues:
            self._enter_private_ipc()
            if self.queues:
                argv = self.namespace_prefix() + argv + ["--queues"]
        self._simd = _Process(argv)
        if not self._simd.wait_until(lambda: "tbox-simd: ready" in self._simd.stdout, self.ready_timeout):
            raise SimError(f"tbox-simd did not get ready:\n{self.output}")

        self._connection = Gio.DBusConnection.new_for_address_sync(
            self.address,
            Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
            None, None)
        self._context.push_thread_default()
        try:
            self._subscription = self._connection.signal_subscribe(
                SIM_NAME, SIM_INTERFACE, "EventRan", SIM_PATH, None, Gio.DBusSignalFlags.NONE,
                lambda _c, _s, _p, _i, _n, params: self._ran.append(params.unpack()[0]))
        finally:
            self._context.pop_thread_default()
        self._call("ClearReceived", None)  # the signal match is in place: what ran from here is seen

    def _enter_private_ipc(self):
        # A process that only holds the namespace: it ends when its stdin closes (at stop, or when this
        # process dies), and the namespace, with every queue in it, goes with the last process inside.
        argv = ["unshare", "--ipc", "--", "cat"]
        if os.geteuid() != 0:  # a user namespace of our own; keeping our uid keeps the bus's EXTERNAL auth
            argv[1:1] = ["--map-current-user"]
        self._holder = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, preexec_fn=_die_with_parent)
        probe = None
        for _ in range(100):  # until unshare has made the namespace and exec'd cat
            if self._holder.poll() is not None:
                break
            probe = subprocess.run(self.namespace_prefix() + ["true"], capture_output=True, check=False)
            if probe.returncode == 0 and self._own_namespace():
                self.queues = True
                return
            time.sleep(0.02)
        why = self._holder.stderr.read().decode(errors="replace").strip() if self._holder.poll() is not None else ""
        if not why and probe is not None:
            why = probe.stderr.decode(errors="replace").strip()
        self.no_queues_reason = f"may not make an IPC namespace: {why or 'unknown reason'}"
        self._stop_holder()

    def _own_namespace(self):
        try:
            return os.readlink(f"/proc/{self._holder.pid}/ns/ipc") != os.readlink("/proc/self/ns/ipc")
        except OSError:
            return False

    def require_queues(self):
        """Skips the calling pytest test, saying why, when this simulator serves no message queues."""
        if not self.queues:
            import pytest  # only tests call this

            pytest.skip(f"no message queues: {self.no_queues_reason}")

    def namespace_prefix(self):
        """The command words that run a program in the simulator's IPC namespace ([] without one)."""
        if self._holder is None:
            return []
        prefix = ["nsenter", "-t", str(self._holder.pid), "--ipc"]
        if os.geteuid() != 0:
            prefix += ["--user", "--preserve-credentials"]
        return prefix + ["--"]

    def environment(self, extra=None):
        """The environment for an application: ours, with DBUS_SYSTEM_BUS_ADDRESS set to this bus."""
        env = dict(os.environ)
        env["DBUS_SYSTEM_BUS_ADDRESS"] = self.address
        env.update(extra or {})
        return env

    def ipc_queues(self):
        """(key, msqid) of every message queue in the simulator's IPC namespace."""
        if not self.queues or self._holder is None or self._holder.poll() is not None:
            return []
        out = subprocess.run(self.namespace_prefix() + ["cat", "/proc/sysvipc/msg"], capture_output=True,
                             text=True, check=True).stdout
        return [(int(f[0]), int(f[1])) for f in (line.split() for line in out.splitlines()[1:]) if f]

    @property
    def pids(self):
        """Process ids of the helpers (bus, simulator, namespace holder) that still run."""
        procs = [p.proc for p in (self._bus, self._simd) if p is not None] + [self._holder]
        return [p.pid for p in procs if p is not None and p.poll() is None]

    @property
    def output(self):
        """What tbox-simd printed so far (stdout, then stderr)."""
        if self._simd is None:
            return ""
        return self._simd.stdout + self._simd.stderr

    def stop(self):
        """Stops the simulator, notes the queues it left (queues_at_stop), ends the namespace and the
        bus and removes the working directory. Returns tbox-simd's exit status (None if never run)."""
        status = None
        if self._connection is not None:
            if self._subscription:
                self._connection.signal_unsubscribe(self._subscription)
            self._connection.close_sync(None)
            self._connection = None
        if self._simd is not None:
            status = self._simd.stop()
        if self._holder is not None and self.queues:
            self.queues_at_stop = self.ipc_queues()
        self._stop_holder()
        if self._bus is not None:
            self._bus.stop()
        if self.workdir:
            shutil.rmtree(self.workdir, ignore_errors=True)
        return status

    def _stop_holder(self):
        if self._holder is None:
            return
        self._holder.stdin.close()
        try:
            self._holder.wait(STOP_GRACE)
        except subprocess.TimeoutExpired:
            self._holder.kill()
            self._holder.wait()
        self._holder.stderr.close()

    # --- ky.sim -------------------------------------------------------------------------------------
    def _call(self, method, params, reply_type=None, timeout_ms=10000):
        try:
            reply = self._connection.call_sync(SIM_NAME, SIM_PATH, SIM_INTERFACE, method, params,
                                               GLib.VariantType.new(reply_type) if reply_type else None,
                                               Gio.DBusCallFlags.NONE, timeout_ms, None)
        except GLib.Error as error:
            raise SimError(re.sub(r"^GDBus\.Error:[^ ]+: ", "", error.message)) from None
        return reply.unpack() if reply is not None else ()

    def inject(self, event):
        """Runs one event now ("net.down 1"); SimError with the simulator's reason if it is refused."""
        self._call("Inject", GLib.Variant("(s)", (event,)))

    def received(self, prefix=""):
        """What the simulator received whose record begins with `prefix`, oldest first."""
        return list(self._call("Received", GLib.Variant("(s)", (prefix,)), "(as)")[0])

    def clear_received(self):
        self._call("ClearReceived", None)

    def events(self):
        """Every event the simulator understands, with its parameters and a line of help."""
        return list(self._call("Events", None, "(as)")[0])

    def ran(self):
        """The events that ran (EventRan signals) since the simulator became ready, oldest first."""
        self._pump()
        return list(self._ran)

    def _pump(self):
        while self._context.iteration(False):
            pass

    def wait_for(self, what, timeout=5.0):
        """Waits until `what` holds: a callable returning something true (its value is returned), or an
        event text: true once an event that equals it, or begins with it and a blank, has run (at any
        time since the start; the event is returned). Fails with what ran and the simulator's output."""
        if callable(what):
            check = what
        else:
            def check():
                return next((e for e in self.ran() if e == what or e.startswith(what + " ")), None)
        deadline = time.monotonic() + timeout
        while True:
            self._pump()
            value = check()
            if value:
                return value
            if time.monotonic() >= deadline:
                break
            self._context.iteration(False) or time.sleep(0.01)
        name = getattr(what, "__name__", repr(what))
        raise AssertionError(f"{name} did not hold within {timeout:g} s\nevents that ran: {self.ran()}\n"
                             f"--- tbox-simd ---\n{self.output}--- end ---")

    def play(self, scenario):
        """Plays a scenario (its text, or the path of a file) through Inject, paced as written: times
        count from this call. Returns when the last event has run; SimError names a refused line."""
        if isinstance(scenario, os.PathLike) or (isinstance(scenario, str) and "\n" not in scenario
                                                  and os.path.isfile(scenario)):
            name = str(scenario)
            with open(scenario, encoding="utf-8") as f:
                scenario = f.read()
        else:
            name = "scenario"
        start, at = time.monotonic(), 0.0
        for number, line in enumerate(scenario.splitlines(), 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            when, _, event = line.partition(" ")
            try:
                at = parse_time(when, at)
                time.sleep(max(0.0, start + at - time.monotonic()))
                self.inject(event.strip())
            except SimError as error:
                raise SimError(f"{name}:{number}: {error}") from None
