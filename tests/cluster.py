"""A real Dask scheduler and workers, and an S3-compatible server, as subprocesses
of the tests: they listen on 127.0.0.1 only, each runs in a session of its own
(so a worker can be ended together with its nanny), the tests end them, and
they end themselves should a test not (the scheduler when idle, a worker once
its scheduler is gone)."""

import json
import os
import socket
import subprocess
import sys

from conftest import stop, wait_for

START_SECONDS = 120  # for the processes to come up; a sanitized interpreter starts slowly
IDLE_TIMEOUT = "600s"
DEATH_TIMEOUT = "60s"
S3_KEYS = {"AWS_ACCESS_KEY_ID": "testing", "AWS_SECRET_ACCESS_KEY": "testing", "AWS_DEFAULT_REGION": "us-east-1"}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def s3_environment(port):
    """What a process needs to reach the S3 server on port: its address for
    fsspec, and the keys it is given."""
    return {**S3_KEYS, "FSSPEC_S3_ENDPOINT_URL": f"http://127.0.0.1:{port}"}


def start(args, folder, name, env):
    log = open(folder / f"{name}.log", "wb")
    try:
        return subprocess.Popen([sys.executable, "-m", *args], stdout=log, stderr=log, env=env,
                                start_new_session=True)  # fmt: skip
    finally:
        log.close()


class Cluster:
    """A scheduler and its workers (one thread each, each under a nanny)."""

    def __init__(self, folder, workers=2, **env):
        self.folder = folder
        self.env = {**os.environ, **env}
        self.s3_port = free_port()
        self.env.update(s3_environment(self.s3_port))
        found = folder / "scheduler.json"
        self.scheduler = start(
            ["dask", "scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
             "--scheduler-file", str(found), "--idle-timeout", IDLE_TIMEOUT], folder, "scheduler", self.env,
        )  # fmt: skip
        self.workers = []
        try:
            wait_for(lambda: found.exists() and found.read_text().rstrip().endswith("}"), "the scheduler",
                     seconds=START_SECONDS, processes=[self.scheduler])  # fmt: skip
            self.address = json.loads(found.read_text())["address"]
            for i in range(workers):
                self.workers.append(start(
                    ["dask", "worker", "--scheduler-file", str(found), "--name", f"w{i}", "--nthreads", "1",
                     "--host", "127.0.0.1", "--no-dashboard", "--memory-limit", "0",
                     "--death-timeout", DEATH_TIMEOUT], folder, f"worker{i}", self.env,
                ))  # fmt: skip
            for i, worker in enumerate(self.workers):
                wait_for(lambda: b"Registered to:" in (folder / f"worker{i}.log").read_bytes(), f"worker {i}",
                         seconds=START_SECONDS, processes=[worker])  # fmt: skip
        except BaseException:
            self.stop()
            raise

    def signal_worker(self, i, how):
        os.killpg(self.workers[i].pid, how)

    def stop(self):
        for process in [*self.workers, self.scheduler]:
            stop(process, group=True)


class S3Server:
    """The S3-compatible server of moto on a port given."""

    def __init__(self, folder, port):
        self.process = start(["moto.server", "-H", "127.0.0.1", "-p", str(port)], folder, "s3", os.environ)
        self.url = f"http://127.0.0.1:{port}"

        def listening():
            with socket.socket() as s:
                return s.connect_ex(("127.0.0.1", port)) == 0

        try:
            wait_for(listening, "the S3 server", seconds=START_SECONDS, processes=[self.process])
        except BaseException:
            self.stop()
            raise

    def stop(self):
        stop(self.process, group=True)
