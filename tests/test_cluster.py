"""Folder runs on a real Dask cluster (scheduler and workers as subprocesses on
127.0.0.1) and through fsspec stores, held to the local run bit for bit; run_folder."""

import os
import re
import shutil
import signal
import subprocess
import time

import numpy as np
import pytest

from cluster import Cluster, S3Server, s3_environment
from conftest import TOOL, bursts, stop, talvane, talvane_process
from talvane_rs import Outcome, run_folder

pytestmark = pytest.mark.slow

sf = pytest.importorskip("soundfile")
pytest.importorskip("tqdm")
pytest.importorskip("distributed", reason="dask[distributed] is not installed (pip install '.[test]')")
fsspec = pytest.importorskip("fsspec")
if os.name != "posix":
    pytest.skip("the cluster's processes are ended by process group, which this platform lacks", allow_module_level=True)

RATE = 16000
SPEED = re.compile(r"[\d,]+x real time")  # the one part of a summary that differs between runs


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    """talks/: float and 16-bit WAV, stereo FLAC, OGG in a subfolder, a broken file
    and a stray text file."""
    root = tmp_path_factory.mktemp("cluster-audio")
    talks = root / "talks"
    (talks / "sub").mkdir(parents=True)
    for i in range(4):
        x = bursts(RATE, 3.0, [(0.4 + 0.2 * i, 1.2), (1.8, 2.5 - 0.1 * i)], seed=10 + i)
        sf.write(talks / f"{i}.wav", x, RATE, subtype="FLOAT" if i % 2 else "PCM_16")
    left = bursts(22050, 2.0, [(0.3, 0.9)], seed=20)
    sf.write(talks / "stereo.flac", np.stack([left, 0.5 * left], axis=1), 22050)
    sf.write(talks / "sub" / "deep.ogg", bursts(RATE, 1.0, [(0.2, 0.6)], seed=21), RATE)
    (talks / "broken.wav").write_text("not audio")
    (talks / "notes.txt").write_text("passed over")
    return root


def content(path):
    """A file's bytes; for audio its format and its samples' bits, since the
    headers of float WAV (a time stamp) and OGG (a random serial) differ between runs."""
    if path.suffix not in (".wav", ".flac", ".ogg"):
        return path.read_bytes()
    with sf.SoundFile(path) as f:
        return f.format, f.subtype, f.samplerate, f.channels, f.read(dtype="float32").tobytes()


def outputs(folder):
    """Every file under folder by its relative name, with its content."""
    return {str(p.relative_to(folder)): content(p) for p in sorted(folder.rglob("*")) if p.is_file()}


def steady(text):
    """Output lines with the speed taken out, in order of name (workers finish in any order)."""
    return sorted(SPEED.sub("", line) for line in text.splitlines())


@pytest.mark.parametrize(
    "args",
    [["gate", "-o", "out/"], ["cut", "--keep-pause", "200ms", "-o", "out/"], ["mask", "-o", "out/all.json"]],
    ids=["gate", "cut", "mask-combined"],
)
def test_cluster_run_is_the_local_run(dask_cluster, tree, tmp_path, args):
    command, *rest = args
    runs = {}
    for side, how in [("local", []), ("dask", ["--dask", dask_cluster.address])]:
        (tmp_path / side).mkdir()
        shutil.copytree(tree / "talks", tmp_path / side / "talks")
        # Relative names: the workers start from this process's working folder, not their own.
        r = talvane(command, "talks", "-r", *rest, *how, cwd=tmp_path / side)
        assert r.returncode == 1, r.stderr  # broken.wav
        runs[side] = (outputs(tmp_path / side / "out"), steady(r.stdout), steady(r.stderr))
        assert r.stderr.splitlines()[-1] == "6 done, 1 failed, 1 skipped"
    assert runs["dask"] == runs["local"]
    assert len(runs["dask"][0]) == (1 if command == "mask" else 6)


def catch_a_write(cluster, out, seconds=60):
    """Freezes both workers the moment a temporary file appears in out (once one
    of them is writing), and returns the frozen worker that is writing it and
    the temporary's name; the other worker is left frozen too."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        temporaries = [p.name for p in out.rglob(".*")] if out.exists() else []
        if not temporaries:
            time.sleep(0.001)
            continue
        for i in range(len(cluster.workers)):
            cluster.signal_worker(i, signal.SIGSTOP)
        for i, worker in enumerate(cluster.workers):
            if holds(worker.pid, temporaries):
                return i, temporaries
        for i in range(len(cluster.workers)):
            cluster.signal_worker(i, signal.SIGCONT)
    pytest.fail("no worker was caught writing")


def holds(session, names):
    """Whether a process of the session has one of the named files open."""
    for pid in os.listdir("/proc"):
        try:
            if not pid.isdigit() or os.getsid(int(pid)) != session:
                continue
            for fd in os.listdir(f"/proc/{pid}/fd"):
                if os.path.basename(os.readlink(f"/proc/{pid}/fd/{fd}")) in names:
                    return True
        except OSError:  # gone, or not ours to look at
            continue
    return False


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="finds the writing worker through /proc")
@pytest.mark.parametrize("allowed_failures", [3, 0], ids=["rescheduled", "killed-worker"])
def test_a_worker_lost_while_writing(tmp_path, allowed_failures):
    # A cluster of its own: one of its workers is killed, nanny and all, while
    # it writes an output. Files long enough to be caught writing (a few blocks each).
    talks = tmp_path / "talks"
    talks.mkdir()
    for i in range(4):
        left = bursts(48000, 25.0, [(2.0 + i, 9.0), (14.0, 20.0 - i)], seed=30 + i)
        sf.write(talks / f"{i}.wav", np.stack([left, 0.7 * left], axis=1), 48000, subtype="PCM_16")
    r = talvane("gate", talks, "-o", tmp_path / "local", "--preset", "speech", cwd=tmp_path)  # the cluster run's default
    assert r.returncode == 0, r.stderr
    expected = {p.name: p.read_bytes() for p in (tmp_path / "local").iterdir()}  # 16-bit WAV: the same bytes
    failures = {"DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES": str(allowed_failures)}
    cluster = Cluster(tmp_path, **failures)
    out = tmp_path / "out"
    log = open(tmp_path / "run.log", "w+")
    try:
        run = subprocess.Popen([*TOOL, "gate", str(talks), "-o", str(out), "--dask", cluster.address],
                               stdout=log, stderr=log, start_new_session=True)  # fmt: skip
        lost, writing = catch_a_write(cluster, out)
        cluster.signal_worker(lost, signal.SIGKILL)
        cluster.signal_worker(1 - lost, signal.SIGCONT)
        assert run.wait(timeout=120) == (0 if allowed_failures else 1)
        log.seek(0)
        text = log.read()
    finally:
        log.close()
        if run.poll() is None:
            stop(run, signal.SIGKILL, group=True)
        cluster.stop()
    made = {p.name: p.read_bytes() for p in out.iterdir()}
    assert not [name for name in made if name.startswith(".")], text  # the lost worker's temporary was swept
    failed = sorted(re.findall(r"talvane: error: .*/(\d\.wav): worker process failed \(KilledWorker: ", text))
    assert sorted(made) == sorted(set(expected) - set(failed))
    for name, data in made.items():
        assert data == expected[name], name  # whole and identical, however often it was written
    if allowed_failures:
        assert not failed and text.splitlines()[-1] == f"{len(expected)} done, 0 failed, 0 skipped", text
    else:
        tally = f"{len(expected) - len(failed)} done, {len(failed)} failed, 0 skipped"
        assert failed and text.splitlines()[-1] == tally, text
        assert any(name.startswith(f".{stem[0]}.") for name in writing for stem in failed), (writing, failed)
    print(f"caught {writing} in worker {lost}; failed: {failed}; {text.splitlines()[-1]}")


def test_urls_across_processes(dask_cluster, tree, tmp_path):
    local = tmp_path / "local"
    r = talvane("gate", tree / "talks", "-r", "-o", local, cwd=tmp_path)
    assert r.returncode == 1, r.stderr
    src, dst = f"file://{tree / 'talks'}/", f"file://{tmp_path / 'remote'}/"
    r = talvane("gate", src, "-r", "-o", dst, "--dask", dask_cluster.address, cwd=tmp_path)
    assert r.returncode == 1, r.stderr
    assert outputs(tmp_path / "remote") == outputs(local)
    assert f"talvane: error: file://{tree / 'talks' / 'broken.wav'}: not a readable audio file" in r.stderr
    assert f"-> file://{tmp_path / 'remote' / 'sub' / 'deep.ogg'}" in r.stdout
    assert r.stderr.splitlines()[-1] == "6 done, 1 failed, 1 skipped"


def test_run_folder_in_process_and_with_a_client(dask_cluster, tree, tmp_path):
    from distributed import Client

    memory = fsspec.filesystem("memory")
    for p in (tree / "talks").rglob("*"):
        if p.is_file():
            memory.pipe(f"/talks/{p.relative_to(tree / 'talks')}", p.read_bytes())
    seen = []
    outcomes = run_folder("cut", "memory://talks", "memory://cut/", recursive=True, crossfade_ms=10,
                          on_outcome=seen.append)  # fmt: skip
    assert seen == outcomes and all(isinstance(o, Outcome) for o in outcomes)
    expected = [("memory:///talks/broken.wav", "error"), ("memory:///talks/notes.txt", "skipped")]
    expected += [(f"memory:///talks/{name}", "done") for name in ("0.wav", "1.wav", "2.wav", "3.wav", "stereo.flac",
                                                                  "sub/deep.ogg")]  # fmt: skip
    assert sorted((o.src, "skipped" if o.skipped else "error" if o.error else "done") for o in outcomes) == sorted(expected)
    r = talvane("cut", tree / "talks", "-r", "--crossfade", "10ms", "-o", tmp_path / "local", "--preset", "speech",
                cwd=tmp_path)  # run_folder's default preset, as the command line's
    memory.get("/cut", str(tmp_path / "memory"), recursive=True)
    assert outputs(tmp_path / "memory") == outputs(tmp_path / "local")
    with pytest.raises(ValueError, match=r"memory:// is this process's own, .*; run it here \(without -j\)"):
        run_folder("gate", "memory://talks", "memory://gated/", jobs=2)

    with Client(dask_cluster.address, set_as_default=False) as client:
        outcomes = run_folder("mask", tree / "talks", tmp_path / "all.csv", client=client, recursive=True,
                              base_thresh=0.006)  # fmt: skip
        assert client.status == "running"  # the caller's client stays open
    assert sum(o.record is not None for o in outcomes) == 6
    r = talvane("mask", tree / "talks", "-r", "--base-thresh", "0.006", "-o", tmp_path / "local.csv", "--preset",
                "speech", cwd=tmp_path)  # fmt: skip
    assert r.returncode == 1 and r.stderr.splitlines()[-1] == "6 done, 1 failed, 1 skipped"  # broken.wav
    assert (tmp_path / "all.csv").read_bytes() == (tmp_path / "local.csv").read_bytes()


def test_s3_through_the_cluster(dask_cluster, tree, tmp_path):
    s3fs = pytest.importorskip("s3fs", reason="s3fs is not installed (pip install '.[test-cloud]')")
    pytest.importorskip("moto.server", reason="moto[server] is not installed (pip install '.[test-cloud]')")
    server = S3Server(tmp_path, dask_cluster.s3_port)
    try:
        env = s3_environment(dask_cluster.s3_port)
        s3 = s3fs.S3FileSystem(key=env["AWS_ACCESS_KEY_ID"], secret=env["AWS_SECRET_ACCESS_KEY"],
                               endpoint_url=server.url, skip_instance_cache=True)  # fmt: skip
        s3.mkdir("corpus")
        s3.put(str(tree / "talks"), "corpus/talks", recursive=True)
        r = talvane_process("gate", "s3://corpus/talks/", "-r", "-o", "s3://corpus/gated/", "--dask",
                            dask_cluster.address, cwd=tmp_path, env=env)  # fmt: skip
        assert r.returncode == 1, r.stderr
        assert r.stderr.splitlines()[-1] == "6 done, 1 failed, 1 skipped"
        s3.invalidate_cache()
        s3.get("corpus/gated/", str(tmp_path / "from-s3") + "/", recursive=True)
        talvane("gate", tree / "talks", "-r", "-o", tmp_path / "local", cwd=tmp_path)
        assert outputs(tmp_path / "from-s3") == outputs(tmp_path / "local")  # and no temporary left there
    finally:
        server.stop()
