"""pytest fixtures `sim` and `app` (docs/testing.md). Loaded by `pytest -p tbox_sim`, by
`pytest_plugins = ["tbox_sim.plugin"]` in a conftest.py, or automatically where the package is installed
with its pytest11 entry point.

    @pytest.mark.tbox_sim(args=["--gb-interval", "0"], queues=True)
    def test_something(sim, app): ...
"""

import pytest

from tbox_sim import App, SimError, Simulator


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "tbox_sim(args=[], queues=True): tbox-simd options for the sim fixture, and whether it "
        "serves the message queues (in a private IPC namespace)")


class AppRunner:
    """The `app` fixture: app(program, *args, timeout=30) starts an application against the simulator,
    app.run(...) also waits for it. Every application still running at the end of the test is stopped."""

    def __init__(self, simulator):
        self._sim = simulator
        self.started = []

    def __call__(self, program, *args, timeout=30.0, env=None, cwd=None):
        started = App([program, *args], self._sim.environment(env), prefix=self._sim.namespace_prefix(),
                      timeout=timeout, cwd=cwd)
        self.started.append(started)
        return started

    def run(self, program, *args, check=True, **kwargs):
        """Starts the application and waits for it to end; the App (returncode, stdout, stderr)."""
        started = self(program, *args, **kwargs)
        started.wait(check=check)
        return started

    def hung(self):
        """The reports of applications that ran past their time-outs and were not reported yet."""
        found = [a for a in self.started if a.timed_out and not a.reported]
        for a in found:
            a.reported = True
        return [a.report(f"ran past its time-out of {a.timeout:g} s and was stopped") for a in found]

    def close(self):
        """Stops what still runs; hung()."""
        for started in self.started:
            started.stop()
        return self.hung()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    # A test that let an application hang past its time-out without waiting for it fails, with the
    # application's output, as if it had waited.
    outcome = yield
    report = outcome.get_result()
    runner = getattr(item, "_tbox_sim_apps", None)
    if call.when == "call" and runner is not None and report.passed:
        hung = runner.hung()
        if hung:
            report.outcome = "failed"
            report.longrepr = "\n\n".join(hung)


@pytest.fixture
def sim(request):
    """A tbox-simd on a private bus (and, where permitted, in a private IPC namespace with the message
    queues), stopped after the test."""
    marker = request.node.get_closest_marker("tbox_sim")
    options = dict(marker.kwargs) if marker else {}
    try:
        simulator = Simulator(args=options.get("args", ()), queues=options.get("queues", True))
        simulator.start()
    except SimError as error:
        pytest.fail(f"the simulator did not start: {error}", pytrace=False)
    yield simulator
    simulator.stop()


@pytest.fixture
def app(request, sim):
    """Runs applications under test against `sim`; see AppRunner."""
    runner = AppRunner(sim)
    request.node._tbox_sim_apps = runner
    yield runner
    hung = runner.close()
    if hung:
        pytest.fail("\n\n".join(hung), pytrace=False)

