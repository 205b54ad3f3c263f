"""A PulseAudio server of the tests' own, in a temporary runtime folder: one null
sink whose monitor is the default source, so what is played into the sink is
what a recording client captures. PortAudio reaches it through ALSA's pulse
plugin; clients find it through the environment in SoundServer.env."""

import os
import shutil
import subprocess
import threading
import time

from conftest import stop

SINK = "talvane_test"  # what is played for the tests; its monitor is the default source
OUT = "talvane_out"  # the default sink: where an output device plays
SERVER_SECONDS = 600  # the longest the server lives, whatever becomes of the tests
START_SECONDS = 30
TOOLS = ("pulseaudio", "pactl", "paplay")


def no_sounddevice():
    """Why sounddevice cannot be used here, or None."""
    try:
        import sounddevice  # noqa: F401
    except ImportError:
        return "needs sounddevice (pip install '.[test]')"
    except OSError as e:
        return f"needs the PortAudio library (apt-get install libportaudio2 libasound2-plugins): {e}"
    return None


def unavailable():
    """Why no server can be started and reached here, or None."""
    missing = [tool for tool in TOOLS if shutil.which(tool) is None]
    if missing:
        return f"needs {', '.join(missing)} (apt-get install pulseaudio pulseaudio-utils)"
    return no_sounddevice()


class SoundServer:
    """pulseaudio in user mode, stopped (SIGTERM, then SIGKILL) by stop() or by its own timer."""

    def __init__(self, folder, rate=48000):
        runtime, home = folder / "runtime", folder / "home"
        runtime.mkdir(mode=0o700)
        home.mkdir()
        socket = runtime / "pulse" / "native"
        self.env = {**os.environ, "XDG_RUNTIME_DIR": str(runtime), "PULSE_SERVER": f"unix:{socket}",
                    "PULSE_SOURCE": f"{SINK}.monitor", "PULSE_SINK": OUT}  # fmt: skip
        self.log = open(folder / "pulseaudio.log", "w")
        self.proc = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
             "-L", "module-native-protocol-unix auth-anonymous=1",
             "-L", f"module-null-sink sink_name={SINK} rate={rate} channels=1",
             "-L", f"module-null-sink sink_name={OUT} rate={rate} channels=1"],
            env={**self.env, "HOME": str(home)}, stdout=self.log, stderr=subprocess.STDOUT, start_new_session=True,
        )  # fmt: skip
        self.deadline = threading.Timer(SERVER_SECONDS, self.proc.kill)
        self.deadline.start()
        end = time.monotonic() + START_SECONDS
        while self.pactl("info").returncode != 0:
            if self.proc.poll() is not None or time.monotonic() > end:
                self.stop()
                raise RuntimeError(f"pulseaudio did not start: {(folder / 'pulseaudio.log').read_text()}")
            time.sleep(0.1)
        self.pactl("set-default-source", f"{SINK}.monitor")
        self.pactl("set-default-sink", OUT)

    def pactl(self, *args):
        return subprocess.run(["pactl", *args], env=self.env, capture_output=True, text=True, timeout=30)

    def recording(self):
        """Whether a client is recording from a source."""
        return bool(self.pactl("list", "short", "source-outputs").stdout.strip())

    def wait_for_recording(self, proc, seconds=60):
        """Waits until a client records; False if proc ended or the time ran out first."""
        end = time.monotonic() + seconds
        while not self.recording():
            if proc.poll() is not None or time.monotonic() > end:
                return False
            time.sleep(0.05)
        return True

    def play(self, path):
        """paplay of path into the sink, started."""
        return subprocess.Popen(["paplay", f"--device={SINK}", str(path)], env=self.env)

    def stop(self):
        try:
            stop(self.proc, seconds=10)
        finally:
            self.deadline.cancel()
            self.log.close()
