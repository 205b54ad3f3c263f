"""Running a list of jobs on this machine: one after another in this process, or
in a pool of worker processes; each outcome is recorded as it comes, and a stop
signal ends the work under way at once, leaving no temporary file behind.

The runners report to a callable and stop on the run's StopSignals; they know
nothing of the command line.
"""

from __future__ import annotations

import os
import queue
import signal
import sys
import time
from collections.abc import Callable, Iterator
from concurrent.futures import Future
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, Protocol

from talvane_rs.engine.flow import process
from talvane_rs.engine.jobs import Job, Outcome, sweep_temporaries
from talvane_rs.errors import Stopped, StopSignals

if TYPE_CHECKING:
    from concurrent.futures import ProcessPoolExecutor


@contextmanager
def sigint_blocked() -> Iterator[None]:
    """SIGINT blocked in this thread, and so in the processes it starts meanwhile."""
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def end_workers(pool: ProcessPoolExecutor, grace: float = 5.0) -> None:
    """Ends the pool's worker processes now: SIGTERM, then SIGKILL for any still
    running after grace seconds. The pool has no public way to do this before
    Python 3.14, hence the guarded reach into it."""
    from multiprocessing.connection import wait

    processes = list((getattr(pool, "_processes", None) or {}).values())
    for p in processes:
        p.terminate()
    # Waiting on the sentinels rather than join(): the pool's own thread may be
    # reaping the same processes, and a reaped process's id is not ours to kill.
    running = {p.sentinel: p for p in processes}
    deadline = time.monotonic() + grace
    while running and (left := deadline - time.monotonic()) > 0:
        for sentinel in wait(list(running), left):
            del running[sentinel]
    for p in running.values():
        p.kill()


def start_worker() -> None:
    """Readies a worker process of a folder run. A terminal's Ctrl-C reaches the
    whole process group, but only the parent decides what it means, so workers
    ignore it. SIGTERM keeps its default: the parent ends workers with it, and
    then removes the temporary file a worker leaves."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # The parent started this process with SIGINT blocked, so that one arriving
    # before now was held rather than acted on; ignored, it is dropped.
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})


class Backend(Protocol):
    """Where a folder run's jobs execute: submit() returns a future of the
    outcome; abort() ends the work under way at once; close() releases it."""

    def submit(self, job: Job) -> Future[Outcome]: ...

    def abort(self) -> None: ...

    def close(self) -> None: ...


class ProcessBackend:
    """Spawned worker processes that ignore SIGINT (the parent decides what it means)."""

    def __init__(self, workers: int) -> None:
        import multiprocessing
        from concurrent.futures import ProcessPoolExecutor
        from multiprocessing import resource_tracker

        # Spawned, not forked: the parent already runs threads (the progress bar's).
        # Workers start with SIGINT blocked until they ignore it. Starting the
        # resource tracker unblocks SIGINT, so it starts first.
        if os.name == "posix":
            resource_tracker.ensure_running()
        self._blocked = sigint_blocked()
        self._blocked.__enter__()
        context = multiprocessing.get_context("spawn")
        self.pool = ProcessPoolExecutor(max_workers=workers, mp_context=context, initializer=start_worker)

    def submit(self, job: Job) -> Future[Outcome]:
        return self.pool.submit(process, job)

    def started(self) -> None:
        """Every job is submitted (so every worker started): SIGINT is unblocked here again."""
        self._blocked.__exit__(None, None, None)

    def abort(self) -> None:
        end_workers(self.pool)

    def close(self) -> None:
        self.pool.shutdown(wait=True, cancel_futures=True)


def run_in_backend(jobs: list[Job], backend: Backend, stop: StopSignals, record: Callable[[Outcome], None]) -> None:
    """Runs the jobs through the backend, recording each outcome as it comes."""
    futures: dict[Future[Outcome], Job] = {}
    # Finished jobs, and None for a signal, in the order they come. The handler
    # runs between any two steps of this thread, even inside put() or get();
    # SimpleQueue is the queue that stays sound when so re-entered.
    events: queue.SimpleQueue[Future[Outcome] | None] = queue.SimpleQueue()
    stop.wake = lambda: events.put(None)
    try:
        try:
            for job in jobs:
                future = backend.submit(job)
                futures[future] = job
                future.add_done_callback(events.put)
        finally:
            started = getattr(backend, "started", None)
            if started is not None:
                started()
        while futures:
            try:
                # The timeout only bounds the wait should a signal's wake-up go astray.
                finished = events.get(timeout=1.0)
            except queue.Empty:
                finished = None
            stop.check()  # before the result: workers ended by the same signal fail their jobs
            if finished is None:
                continue
            job = futures.pop(finished)
            try:
                outcome = finished.result()
            except Exception as e:  # the worker died: a crash, not a bad file
                outcome = Outcome(src=job.name, error=f"{job.name}: worker process failed ({e})")
            record(outcome)
    except BaseException as e:
        # Ending the workers ends the jobs under way, and no other job can start:
        # the broken pool fails every pending future itself. (Cancelling them here
        # races its thread, which in some versions then fails on a cancelled one.)
        # The workers are gone before this process exits, so none writes after it.
        backend.abort()
        backend.close()
        if isinstance(e, Stopped):
            # Jobs that finished while the run was stopping wrote their outputs: they count.
            for future in futures:
                if future.done() and not future.cancelled() and future.exception() is None:
                    record(future.result())
        raise
    finally:
        stop.wake = None
        backend.close()


def run(
    jobs: list[Job],
    backend: Callable[[], Backend] | None,
    show_progress: bool,
    stop: StopSignals,
    record: Callable[[Outcome], None],
) -> None:
    """Runs the jobs in this process (backend None) or through the backend made
    by the callable, recording each outcome as it comes; those that a stop
    signal kept from finishing have none."""
    if show_progress:
        from tqdm import tqdm

        bar: Any = tqdm(total=len(jobs), unit="file", disable=None, file=sys.stderr)
    else:
        bar = None

    def counted(outcome: Outcome) -> None:
        record(outcome)
        if bar is not None:
            bar.update()

    try:
        if backend is None:
            for job in jobs:
                stop.check()
                counted(process(job, stop.check, stop.blocking))
        else:
            run_in_backend(jobs, backend(), stop, counted)
    except Stopped:
        pass  # the outcomes so far are the run's
    finally:
        if bar is not None:
            bar.close()
        # Workers ended in the middle of a write leave their temporary files.
        sweep_temporaries(jobs)
