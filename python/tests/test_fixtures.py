"""The package's own behaviour: what set-up and tear-down leave behind, how applications that fail or
hang are reported, and scenario playing."""

import os
import time

import pytest

from tbox_sim import AppFailure, SimError, Simulator
from tbox_sim.plugin import AppRunner

pytest_plugins = ["pytester"]


def children():
    """Process ids whose parent is this process."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat", encoding="ascii") as f:
                if int(f.read().rsplit(")", 1)[1].split()[1]) == os.getpid():
                    found.append(int(entry))
        except (OSError, ValueError, IndexError):
            pass
    return found


def host_queues():
    with open("/proc/sysvipc/msg", encoding="ascii") as f:
        return f.read()


def test_stop_leaves_no_process_bus_or_queue_behind():
    before_children, before_queues = children(), host_queues()
    sim = Simulator(args=["--gb-interval", "0"]).start()
    runner = AppRunner(sim)
    sleeper = runner("sh", "-c", "echo up; exec sleep 30")
    sleeper.expect("up")
    helpers = sim.pids + [sleeper.pid]
    assert os.path.exists(sim.socket_path)
    if sim.queues:
        # The simulator's queues live in its namespace, which the application shares; the host sees neither.
        assert sorted(key for key, _ in sim.ipc_queues()) == [1, 2]
        assert os.readlink(f"/proc/{sleeper.pid}/ns/ipc") != os.readlink("/proc/self/ns/ipc")
        assert host_queues() == before_queues

    assert runner.close() == []
    sim.stop()

    assert [pid for pid in helpers if os.path.exists(f"/proc/{pid}")] == []
    assert sorted(children()) == sorted(before_children)
    assert not os.path.exists(sim.socket_path) and not os.path.exists(sim.workdir)
    assert sim.queues_at_stop == []  # tbox-simd removed its queues before the namespace ended
    assert host_queues() == before_queues


def test_failing_and_hanging_applications_are_reported_with_their_output(sim, app):
    with pytest.raises(AppFailure) as failed:
        app.run("sh", "-c", "echo to-stdout; echo to-stderr >&2; exit 3")
    assert "exited with status 3" in str(failed.value)
    assert "to-stdout" in str(failed.value) and "to-stderr" in str(failed.value)

    # One that ignores SIGTERM is killed after the grace period.
    started = time.monotonic()
    hung = app("sh", "-c", "trap '' TERM; echo waiting; exec sleep 30", timeout=1)
    with pytest.raises(AppFailure) as stopped:
        hung.wait()
    assert "ran past its time-out of 1 s and was stopped" in str(stopped.value)
    assert "waiting" in str(stopped.value)
    assert not hung.running() and hung.returncode == -9
    assert time.monotonic() - started < 1 + 3 + 2


def test_fixtures_fail_the_test_that_an_application_fails_or_outlives(pytester):
    pytester.makepyfile(
        """
        import time

        def test_failing(app):
            app.run("sh", "-c", "echo partial result; exit 4")

        def test_left_hanging(app):
            app("sh", "-c", "echo still here; exec sleep 30", timeout=0.5)
            time.sleep(1.5)
        """)
    result = pytester.runpytest_subprocess("-p", "tbox_sim", "-p", "no:cacheprovider")
    result.assert_outcomes(failed=2)
    result.stdout.fnmatch_lines(["*sh exited with status 4*", "*partial result*"])
    result.stdout.fnmatch_lines(["*ran past its time-out of 0.5 s and was stopped*", "*still here*"])


@pytest.mark.tbox_sim(args=["--gb-interval", "0"])
def test_play_paces_the_events_and_names_a_refused_line(sim):
    started = time.monotonic()
    sim.play("# the connection drops and returns\n0ms net.down 1\n+300ms net.up 1 10.1.2.3\n")
    assert time.monotonic() - started >= 0.3
    assert sim.wait_for("net.up 1") == "net.up 1 10.1.2.3"
    assert [e for e in sim.ran() if e.startswith("net.")] == ["net.down 1", "net.up 1 10.1.2.3"]

    with pytest.raises(SimError, match=r"^scenario:2: .*bogus"):
        sim.play("0ms net.down 2\n+10ms bogus.event\n")
    with pytest.raises(AssertionError, match="did not hold within 0.2 s"):
        sim.wait_for("pm.sleep", timeout=0.2)
