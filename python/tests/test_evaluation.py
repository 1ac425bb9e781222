"""Running graphs: only what a change reaches recomputes, asynchronous jobs with progress,
cancellation, time-outs and callbacks, and failures on any thread as EvaluationError."""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import data_flow as df
from conftest import Fail, chain


def test_second_run_recomputes_only_what_the_change_reaches():
    g, sink = chain()
    first = g.run()
    assert list(first) == ["ramp", "gain"] and all(t.recomputed for t in first.values())
    g[sink].params["gain"] = 5.0
    second = g.run()
    assert not second["ramp"].recomputed and second["gain"].recomputed
    np.testing.assert_array_equal(g[sink].outputs["y"].value, [0, 5, 10, 15])


def test_job_reports_progress_and_calls_back_with_the_gil():
    g, sink = chain("py-sleep", "py-sleep")
    g["n0"].params["seconds"] = g["n1"].params["seconds"] = 0.1
    seen = []

    def on_done(job: df.Job) -> None:
        # Python code runs here, on the job's thread, with the GIL held.
        seen.append((threading.get_ident(), job.done, job.wait(), sys.getrefcount(job) > 0))

    job = g.run_async(callback=on_done)
    assert not job.wait(timeout=0.05) and not job.done and job.times is None
    assert job.progress[0] < 4
    with pytest.raises(df.Error, match="being evaluated"):
        g["gain"].params["gain"] = 1.0
    assert job.wait(timeout=10)
    assert job.done and job.completed and job.progress == (4, 0)
    assert list(job.times) == ["ramp", "n0", "n1", "gain"] and job.times == g.times
    assert job.times["n0"].recomputed and job.times["n0"].ms >= 100
    assert seen == [(seen[0][0], True, True, True)] and seen[0][0] != threading.get_ident()
    np.testing.assert_array_equal(g[sink].outputs["y"].value, [0, 2, 4, 6])


def test_cancel_stops_before_the_rest_and_leaves_the_graph_usable():
    g, sink = chain("py-sleep", "py-sleep", "py-sleep")
    started = time.monotonic()
    job = g.run_async()
    time.sleep(0.05)
    job.cancel()
    assert job.wait(timeout=10) and not job.completed
    assert time.monotonic() - started < 0.5 and job.progress[0] < 3
    assert g[sink].outputs["y"].value is None
    for n in ("n0", "n1", "n2"):
        g[n].params["seconds"] = 0.0
    finished = g.run_async()
    finished.wait()
    finished.cancel()  # over: it must not stop the next evaluation
    job = g.run_async()
    assert job.wait(timeout=10) and job.completed
    np.testing.assert_array_equal(g[sink].outputs["y"].value, [0, 2, 4, 6])


def test_the_interpreter_exits_with_jobs_finished_and_running():
    """Exit cancels what runs and waits for it, whether Python still holds the jobs or not."""
    script = ("import conftest, data_flow as df\n"
              "for kind in (conftest.Ramp, conftest.Sleep, conftest.Gain): df.register(kind)\n"
              "g, _ = conftest.chain('py-sleep', 'py-sleep')\n"
              "done = g.run_async(); done.wait(); running = g.run_async()\n")
    env = {**os.environ, "PYTHONPATH": str(pathlib.Path(df.__file__).parents[1])}
    subprocess.run([sys.executable, "-c", script], cwd=pathlib.Path(__file__).parent, env=env,
                   timeout=60, check=True)


@pytest.mark.parametrize("run", ["sync", "async"])
def test_python_failure_becomes_evaluation_error_with_traceback(run):
    g, sink = chain("py-fail")
    with pytest.raises(df.EvaluationError) as raised:
        g.run() if run == "sync" else g.run_async().wait()
    error = raised.value
    assert error.node == "n0" and error.file == sys.modules[Fail.__module__].__file__
    assert error.line == Fail.process.__code__.co_firstlineno + 1
    assert error.message.startswith("Traceback") and "ValueError: no good input" in error.message
    g.remove("n0")
    g.connect("ramp.x", "gain.x")
    g.run()  # the failure left the graph ready for the next evaluation


def test_a_result_that_does_not_fit_its_output_fails_the_node():
    g, sink = chain("py-misfit")
    with pytest.raises(df.EvaluationError, match='output "x": cannot use \'text\' as a FloatVector'):
        g.run()
