"""Folder runs on a Dask cluster: one task per file, each task's future feeding
the run as it completes, and a stop that cancels what is left.

Imported only once distributed is known to be installed. The functions sent to
the workers are this module's, found there by name, so a worker needs
talvane_rs (with its [dask] extra) installed, as its client does.
"""

from __future__ import annotations

import itertools
import os
import queue
import threading
import time
from collections.abc import Callable
from concurrent.futures import Future, wait
from dataclasses import replace
from typing import Any

import distributed

from talvane_rs._version import __version__
from talvane_rs.engine.flow import process
from talvane_rs.engine.jobs import Job, Outcome
from talvane_rs.errors import StopSignals, UsageError

STOP_GRACE = 10.0  # seconds a stop waits for the cancelled tasks under way to end
POLL = 0.05  # seconds between two looks at the workers, or the connection, while waiting
NOTE_AFTER = 2.0  # seconds of waiting for the scheduler before saying so, when the wait may last longer


class Cancelled(Exception):
    """The client cancelled the task under way: it ends at its next checkpoint."""


STOPPED: set[str] = set()  # on a worker: the runs (their keys' prefix) whose client has stopped


def stop_run(prefix: str) -> None:
    """On a worker: the tasks of this run stop at their next checkpoint from now on."""
    STOPPED.add(prefix)


def cancellation() -> tuple[Callable[[], None], list[bool]]:
    """A checkpoint for the task under way on this worker, and a list that is
    not empty once it has fired: it raises Cancelled once the task's run has
    stopped, or its client has cancelled it. It reads the worker's own records,
    which costs no message; outside a worker (or should that record move in a
    later version) the task simply runs to its end."""
    fired: list[bool] = []
    try:
        worker = distributed.get_worker()
        key = str(worker.get_current_task())
        tasks = worker.state.tasks
    except Exception:
        return lambda: None, fired
    run = key[: key.rfind("-") + 1]

    def check() -> None:
        task = tasks.get(key)
        if run in STOPPED or task is None or task.state in ("cancelled", "released", "forgotten"):
            fired.append(True)
            raise Cancelled("cancelled by the client")

    return check, fired


def run_task(job: Job) -> Outcome:
    """One file's job on a worker. A job its checkpoint stopped wrote nothing:
    it raises, so that the run does not count it."""
    check, fired = cancellation()
    outcome = process(job, check)
    if fired:
        raise Cancelled("cancelled by the client")
    return outcome


def worker_version() -> str:
    """This worker's talvane_rs, once it has shown that it can run a job."""
    import talvane_rs.io.read  # noqa: F401  (numpy and soundfile are there)

    return __version__


def executing(dask_worker: Any, prefix: str) -> list[str]:
    """The keys beginning with prefix of the tasks this worker is running."""
    running = getattr(getattr(dask_worker, "state", None), "executing", ())
    return [str(t.key) for t in running if str(t.key).startswith(prefix)]


def underway(dask_worker: Any, prefix: str) -> list[str]:
    """The keys beginning with prefix of the tasks this worker is running or has
    finished and holds (the scheduler may not know of those yet)."""
    tasks = getattr(getattr(dask_worker, "state", None), "tasks", {})
    return [str(k) for k, t in list(tasks.items()) if str(k).startswith(prefix) and t.state in ("executing", "memory")]


def first_line(e: BaseException) -> str:
    text = next(iter(str(e).strip().splitlines()), "")
    return f"{type(e).__name__}: {text}" if text else type(e).__name__


def connect(address: str, notify: Callable[[str], None] | None, stop: StopSignals) -> Any:
    """A client of the scheduler at address whose workers can run talvane's jobs.
    Raises UsageError, in one line, for an address that is not one, cannot be
    reached (within distributed.comm.timeouts.connect), or whose workers cannot
    run them; Stopped for a stop signal while it waits."""
    from distributed.comm.addressing import parse_address, parse_host_port

    try:
        scheme, where = parse_address(address)
        if scheme in ("tcp", "tls", "ws", "wss"):
            parse_host_port(where)
    except (ValueError, TypeError) as e:  # checked first: a client made of a bad address hangs when collected
        raise UsageError(f"--dask {address}: not a scheduler's address ({first_line(e)})") from None
    # Connected in a thread of its own, so that a signal stops the wait, which
    # distributed retries until its connect timeout.
    made: queue.SimpleQueue[tuple[Any, BaseException | None]] = queue.SimpleQueue()

    def attempt() -> None:
        try:
            made.put((distributed.Client(address, set_as_default=False), None))
        except BaseException as e:
            made.put((None, e))

    threading.Thread(target=attempt, name="talvane-connect", daemon=True).start()
    started = time.monotonic()
    if connect_timeout() <= 2 * NOTE_AFTER:
        started = 0.0  # the wait ends soon enough either way: no note
    while True:
        try:
            client, error = made.get(timeout=POLL)
            break
        except queue.Empty:
            stop.check()
            if notify is not None and started and time.monotonic() - started > NOTE_AFTER:
                notify(f"note: waiting for the Dask scheduler at {address}")
                started = 0.0
    if error is not None:
        raise UsageError(f"cannot reach the Dask scheduler at {address}: {first_line(error)}", status=1)
    try:
        check_workers(client, notify)
    except BaseException:
        client.close()
        raise
    return client


def connect_timeout() -> float:
    """Seconds distributed tries to reach a scheduler before giving up."""
    import dask.config
    from dask.utils import parse_timedelta

    try:
        return float(parse_timedelta(dask.config.get("distributed.comm.timeouts.connect"), default="s"))
    except (KeyError, TypeError, ValueError):
        return 30.0


def check_workers(client: Any, notify: Callable[[str], None] | None) -> None:
    """Fails for a worker that cannot run a job; notes a cluster without workers
    and workers running another version."""
    found = client.run(worker_version, on_error="return")
    if not found and notify is not None:
        notify(f"note: the scheduler at {client.scheduler_info()['address']} has no workers yet: "
               "the files wait for some")
    for worker, answer in sorted(found.items()):
        if isinstance(answer, BaseException):
            raise UsageError(f"the Dask worker at {worker} cannot run talvane's jobs ({first_line(answer)}); "
                             "pip install 'talvane_rs[dask]' there, the version this machine has", status=1)
    others = sorted({str(v) for v in found.values()} - {__version__})
    if others and notify is not None:
        notify(f"warning: workers run talvane_rs {', '.join(others)}, this machine {__version__}: "
               "outputs may differ")


class DaskBackend:
    """Runs each job as one task on the cluster of a client. Relative paths are
    sent with this process's working folder, since the workers' own differ; a
    worker elsewhere must see them at the same place (a shared file system)."""

    def __init__(self, client: Any, owned: bool) -> None:
        self.client = client
        self.owned = owned  # close the client with the run
        self.cwd = os.getcwd()
        self.count = itertools.count()
        self.futures: list[Any] = []  # distributed.Future
        self.settled: dict[str, Future[Outcome]] = {}  # each task's future in the run, by key
        self.prefix = ""

    def submit(self, job: Job) -> Future[Outcome]:
        self.prefix = f"talvane-{job.action.name}-{job.token}-"
        remote = self.client.submit(run_task, replace(job, cwd=self.cwd), key=f"{self.prefix}{next(self.count)}",
                                    pure=False)  # fmt: skip
        self.futures.append(remote)
        settled: Future[Outcome] = Future()
        settled.set_running_or_notify_cancel()
        self.settled[remote.key] = settled
        remote.add_done_callback(lambda f: settle(f, settled))
        return settled

    def abort(self) -> None:
        """Stops the run: its tasks stop at their next checkpoint without
        writing, wherever they are. The tasks that finished, or are past their
        last checkpoint, wrote their outputs: their outcomes are awaited, so
        the run counts them even where this client has not heard of them yet;
        the rest is cancelled. Waits (STOP_GRACE at most) until none of the
        run's tasks runs, so that none writes after the run has swept its
        temporary files."""
        try:
            deadline = time.monotonic() + STOP_GRACE
            self.client.run(stop_run, prefix=self.prefix, on_error="ignore")
            held = {k for k, where in self.client.who_has(self.futures).items() if where}
            for keys in self.client.run(underway, prefix=self.prefix, on_error="ignore").values():
                held.update(keys if isinstance(keys, list) else ())
            kept = [f for f in self.futures if f.key in held]
            self.client.cancel([f for f in self.futures if f.key not in held])
            wait([self.settled[f.key] for f in kept], timeout=max(0.0, deadline - time.monotonic()))
            self.client.cancel(kept)
            while time.monotonic() < deadline:
                running = self.client.run(executing, prefix=self.prefix, on_error="ignore")
                if not any(running.values()):
                    break
                time.sleep(POLL)
        except Exception:  # the cluster is gone: nothing of ours runs there
            pass

    def close(self) -> None:
        self.futures.clear()
        self.settled.clear()
        if self.owned:
            self.owned = False
            self.client.close()


def settle(remote: Any, settled: Future[Outcome]) -> None:
    """Passes a task's end to the run's future: its outcome, or why there is none.
    A task whose workers all died is a KilledWorker; the scheduler retries the
    others on other workers by itself."""
    try:
        if remote.status == "finished":
            settled.set_result(remote.result())
            return
        if remote.status == "cancelled":
            settled.set_exception(RuntimeError("the cluster dropped the task (scheduler lost, or cancelled)"))
            return
        error = remote.exception()
        if isinstance(error, distributed.KilledWorker):
            times = error.allowed_failures + 1
            error = RuntimeError(f"KilledWorker: {times} worker{'s' * (times > 1)} died running it, "
                                 f"the last {error.last_worker.address}")  # fmt: skip
        else:
            error = RuntimeError(first_line(error))
        settled.set_exception(error)
    except BaseException as e:  # the client closing under us
        if not settled.done():
            settled.set_exception(RuntimeError(first_line(e)))
