"""A recording made by `tboxctl record` replays with `tbox-simd --scenario`: the same signals, in the
same order, at the same pace."""

import subprocess
import time

import pytest
from gi.repository import Gio, GLib

from tbox_sim import SimError, Simulator, find_program


def tboxctl_with_record():
    try:
        tboxctl = find_program("tboxctl", "TBOXCTL")
    except SimError:
        return None
    # A tboxctl without the command answers --help with its general usage, which names no --out.
    shown = subprocess.run([tboxctl, "record", "--help"], capture_output=True, text=True, check=False)
    return tboxctl if shown.returncode == 0 and "--out" in shown.stdout + shown.stderr else None


TBOXCTL = tboxctl_with_record()
pytestmark = pytest.mark.skipif(TBOXCTL is None, reason="this tboxctl has no record command "
                                "(`tboxctl record --help` does not exit 0 with its --out option)")

SCENARIO = """\
0ms     net.down 1
+400ms  pm.wake 2
+300ms  net.up 1 10.64.9.30
+200ms  pm.gsensor
"""
SCENARIO_GAPS = [0.4, 0.3, 0.2]


class Signals:
    """The signals of ky.net and ky.pm on a bus, with the time each arrived."""

    def __init__(self, address):
        self.seen = []
        self._context = GLib.MainContext.new()
        self._context.push_thread_default()
        self._bus = Gio.DBusConnection.new_for_address_sync(
            address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
            None, None)
        for interface in ("ky.net", "ky.pm"):
            self._bus.signal_subscribe(None, interface, None, None, None, Gio.DBusSignalFlags.NONE, self._on_signal)
        self._context.pop_thread_default()

    def _on_signal(self, _bus, _sender, _path, interface, member, params):
        self.seen.append((time.monotonic(), f"{interface}.{member}{params.print_(False)}"))

    def wait(self, count, timeout):
        deadline = time.monotonic() + timeout
        while len(self.seen) < count and time.monotonic() < deadline:
            self._context.iteration(False) or time.sleep(0.01)
        self._bus.close_sync(None)
        return [text for _, text in self.seen], [b[0] - a[0] for a, b in zip(self.seen, self.seen[1:])]


def test_a_recording_replays_the_same_signals_at_the_same_pace(tmp_path):
    recording = tmp_path / "recorded.scn"
    with Simulator(args=["--gb-interval", "0"], queues=False) as first:
        original = Signals(first.address)
        recorder = subprocess.Popen([TBOXCTL, "--address", first.address, "record", "--out", str(recording),
                                     "--duration", "3", "--services", "net,pm"],
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        said = recorder.stdout.readline()  # said once its rules are in place on the bus
        assert "record:" in said, said
        first.play(SCENARIO)  # paced here, so the watcher stamps them only afterwards: order, not times
        played, _ = original.wait(4, timeout=5)
        output = said + recorder.communicate(timeout=10)[0]
        assert recorder.returncode == 0, output

    watch = []
    with Simulator(args=["--gb-interval", "0", "--scenario", recording], queues=False,
                   on_bus=lambda address: watch.append(Signals(address))):
        replay = watch[0]
        replayed, replayed_gaps = replay.wait(4, timeout=10)

    assert replayed == played, recording.read_text()
    assert replayed_gaps == pytest.approx(SCENARIO_GAPS, abs=0.1), recording.read_text()
