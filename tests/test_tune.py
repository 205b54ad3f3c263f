"""talvane tune in a real browser: the server started as a person starts it, the
page driven in headless Chromium, every number it shows held to the library's."""

import io
import json
import selectors
import shlex
import shutil
import signal
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request
from pathlib import Path

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")
pytest.importorskip("tornado")

from conftest import stop, talvane  # noqa: E402
from talvane_rs import analyse, cut  # noqa: E402
from talvane_rs.cli.parser import build_parser, join_values  # noqa: E402
from talvane_rs.params import PRODUCT_PARAMETERS, GateSettings  # noqa: E402
from talvane_rs.tune.settings import python_calls, read_settings, shell_command  # noqa: E402
from talvane_rs.units import format_db  # noqa: E402

EXAMPLE = Path(__file__).parent.parent / "examples" / "speech_in_noise.flac"
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
CHROMEDRIVER = shutil.which("chromedriver")
SERVER_SECONDS = 300  # the longest any server of these tests lives


class Server:
    """talvane tune FILE in a subprocess, stopped (SIGTERM, then SIGKILL) however the test ends."""

    def __init__(self, folder, name, *options):
        self.folder = folder
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "talvane_rs", "tune", name, "--no-browser", *options],
            cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        )
        self.deadline = threading.Timer(SERVER_SECONDS, self.proc.kill)  # whatever becomes of the test
        self.deadline.start()
        with selectors.DefaultSelector() as wait:
            wait.register(self.proc.stdout, selectors.EVENT_READ)
            ready = wait.select(timeout=120)
        line = self.proc.stdout.readline() if ready else ""
        if "http://127.0.0.1:" not in line:
            self.stop()
            pytest.fail(f"the server did not start: {line!r} {self.proc.stderr.read()!r}")
        self.url = line.split()[-1]

    def get(self, path, **headers):
        request = urllib.request.Request(self.url + path, headers=headers)
        with urllib.request.urlopen(request, timeout=60) as response:
            return response.read()

    def stop(self):
        try:
            return stop(self.proc, signal.SIGINT, seconds=20)  # Ctrl-C
        finally:
            self.deadline.cancel()
            self.proc.stdout.close()
            self.proc.stderr.close()


@pytest.fixture
def talk(tmp_path):
    shutil.copy(EXAMPLE, tmp_path / "talk.flac")
    return tmp_path


@pytest.fixture
def browser():
    webdriver = pytest.importorskip("selenium.webdriver")
    if CHROMIUM is None or CHROMEDRIVER is None:
        pytest.skip("needs chromium and chromedriver (apt-get install chromium chromium-driver)")
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1000",
                "--autoplay-policy=no-user-gesture-required", "--mute-audio"):
        options.add_argument(arg)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    driver.set_script_timeout(60)
    try:
        yield driver
    finally:
        driver.quit()


def wait_for(driver, script, timeout=60.0):
    """The value of script once it is truthy."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = driver.execute_script(script)
        if value:
            return value
        time.sleep(0.02)
    pytest.fail(f"timed out waiting for: {script}")


SETTLED = "return window.tune.settled() && window.tune.drawn"


def open_page(driver, server):
    driver.get(server.url)
    wait_for(driver, "return window.tune && window.tune.firstDraw !== null")
    return wait_for(driver, SETTLED)


def press(driver, name, key, times):
    from selenium.webdriver.common.by import By

    slider = driver.find_element(By.NAME, name)
    driver.execute_script("arguments[0].focus()", slider)
    for _ in range(times):
        slider.send_keys(key)
    return wait_for(driver, SETTLED)


def type_value(driver, name, text):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys

    box = driver.find_element(By.NAME, f"{name}-text")
    box.clear()
    box.send_keys(text, Keys.ENTER)
    return wait_for(driver, SETTLED)


def shown(driver, what):
    from selenium.webdriver.common.by import By

    return driver.find_element(By.CSS_SELECTOR, f'.snippet[data-what="{what}"] code').text


@pytest.mark.slow
def test_the_page_shows_plays_and_saves_what_the_library_computes(talk, browser, record_property):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import Select

    mix, rate = sf.read(talk / "talk.flac", dtype="float32")
    server = Server(talk, "talk.flac")
    try:
        # The page opens on the command line's default preset, and switches to another.
        opened = open_page(browser, server)
        assert opened["threshold"] == analyse(mix, rate, preset="speech").threshold and opened["music"] is None
        assert not browser.find_element(By.ID, "music").is_displayed()
        # The speech-music preset draws the music panel over every window; its switch takes it off again.
        Select(browser.find_element(By.NAME, "preset")).select_by_value("speech-music")
        drawn = wait_for(browser, SETTLED + " && window.tune.drawn.music && window.tune.drawn")
        view = analyse(mix, rate, preset="speech-music")
        assert (drawn["music"]["count"], drawn["music"]["raised"]) == (len(view.energies),
                                                                       np.mean(view.music_factor > 1))
        inked = browser.execute_script("const c = document.getElementById('music'); let n = 0; "
                                       "for (const a of c.getContext('2d').getImageData(0, 0, c.width, c.height)"
                                       ".data.filter((_, i) => i % 4 === 3)) n += a > 0; return n")
        assert browser.find_element(By.ID, "music").is_displayed() and inked > 1000
        browser.find_element(By.NAME, "music").click()
        wait_for(browser, SETTLED + " && window.tune.drawn.music === null && window.tune.drawn")
        assert Select(browser.find_element(By.NAME, "preset")).first_selected_option.text == "speech"
        Select(browser.find_element(By.NAME, "preset")).select_by_value("classic")
        before = wait_for(browser, SETTLED + " && window.tune.drawn.band === 'off' && window.tune.drawn")
        assert before["threshold"] == analyse(mix, rate).threshold
        # Twelve steps of 0.5 dB up from -42 dB: a real slider, moved by keys.
        after = press(browser, "base_thresh", Keys.ARROW_RIGHT, 12)
        settings = {"base_thresh": 10.0 ** (-36 / 20.0)}
        view = analyse(mix, rate, **settings)
        assert (view.clamped, after["threshold"]) == ("low", view.threshold)
        assert after["thresholdY"] < before["thresholdY"]  # drawn higher up
        kept = sum(r.end - r.start for r in view.regions)
        assert f"kept {kept / len(mix):.1%} in {len(view.regions)} regions" in after["summary"]
        assert format_db(view.threshold) in after["summary"]
        assert "base-thresh" in browser.find_element(By.ID, "advice").text

        settings["crossfade_ms"] = 10.0
        type_value(browser, "crossfade", "10ms")
        browser.find_element(By.ID, "play").click()
        playing = wait_for(browser, "return document.getElementById('player').currentTime > 0.3 && window.tune.audio")
        assert (playing["kind"], playing["start"], playing["end"]) == ("gated", 0, len(mix))
        # Switched while playing, the cut audio starts where the gated one was.
        browser.find_element(By.CSS_SELECTOR, "input[name=kind][value=cut]").click()
        switched = wait_for(browser, "return window.tune.audio.kind === 'cut' "
                            "&& document.getElementById('player').currentTime > 0.1 && window.tune.audio")
        assert switched["start"] >= 0.3 * rate
        for kind, expected in (("gated", mix * view.gains), ("cut", cut(mix, rate, **settings))):
            got, got_rate = sf.read(io.BytesIO(server.get(f"audio?kind={kind}&start=0&end={len(mix)}")),
                                    dtype="float32")  # fmt: skip
            assert got_rate == rate
            np.testing.assert_array_equal(got.view(np.uint32), expected.view(np.uint32))
        browser.find_element(By.ID, "play").click()
        browser.save_screenshot(str(talk / "tune.png"))

        # What the save button writes, the command shown writes too, byte for byte.
        for action, tag in (("gate", "gated"), ("cut", "cut")):
            browser.find_element(By.ID, f"save-{action}").click()
            saved = wait_for(browser, "return window.tune.saved")
            browser.execute_script("window.tune.saved = null")
            assert saved["error"] is None
            out = talk / f"talk.{tag}.flac"
            (talk / "saved.flac").write_bytes(out.read_bytes())
            out.unlink()
            words = shlex.split(shown(browser, f"talvane {action}"))
            assert words[:3] == ["talvane", action, "talk.flac"] and "--base-thresh=-36dB" in words
            assert talvane(*words[1:], cwd=talk).returncode == 0
            assert out.read_bytes() == (talk / "saved.flac").read_bytes()
        assert sf.read(talk / "talk.flac", dtype="float32")[0].tobytes() == mix.tobytes()  # never over the input
        record_property("slider_redraw_ms", browser.execute_script("return window.tune.timings"))
    finally:
        assert server.stop() == 0  # Ctrl-C stops it cleanly


def http_error(request):
    with pytest.raises(urllib.error.HTTPError) as refused:
        urllib.request.urlopen(request, timeout=30)
    with refused.value:
        return refused.value.code, refused.value.read().decode()


@pytest.mark.slow
def test_requests_without_the_token_are_refused(talk):
    server = Server(talk, "talk.flac")
    try:
        base = server.url.rsplit("/", 2)[0]
        assert json.loads(server.get("state"))["rate"] == 16000
        for url, headers in ((base + "/", {}), (base + "/state", {}), (base + "/x" + server.url[-5:] + "state", {}),
                             (server.url + "state", {"Host": "attacker.example:80"})):
            code, page = http_error(urllib.request.Request(url, headers=headers))
            assert code == 403 and "the address the\n<code>talvane tune</code> command printed" in page, url
        # The address without its final slash is sent on to the page.
        with urllib.request.urlopen(server.url[:-1], timeout=30) as response:
            assert response.url == server.url and b"tune.js" in response.read()
    finally:
        assert server.stop() == 0


@pytest.mark.slow
def test_wrong_settings_and_a_changed_file_leave_the_page_as_it_was(talk):
    server = Server(talk, "talk.flac")
    try:
        post = lambda path, texts: urllib.request.Request(  # noqa: E731
            server.url + path, data=json.dumps(texts).encode(), method="POST")
        with urllib.request.urlopen(post("analyse", {"threshold_ratio": "3"}), timeout=60) as response:
            shown = json.loads(response.read())["summary"]
        code, body = http_error(post("analyse", {"pad_voice_windows": "1e300s"}))
        assert code == 400 and list(json.loads(body)["errors"]) == ["pad_voice_windows"]
        assert json.loads(server.get("view"))["result"]["summary"] == shown  # the last valid view stays
        (talk / "talk.flac").write_bytes((talk / "talk.flac").read_bytes())  # the same bytes, another file
        with urllib.request.urlopen(post("save?action=gate", {}), timeout=60) as response:
            saved = json.loads(response.read())
        assert saved["error"] == ("talk.flac changed since the page read it: nothing saved; start talvane tune "
                                  "again to tune the file as it is now")
        (talk / "talk.flac").unlink()
        with urllib.request.urlopen(post("save?action=cut", {}), timeout=60) as response:
            assert " is gone since the page read it" in json.loads(response.read())["error"]
        assert sorted(p.name for p in talk.iterdir()) == []
    finally:
        assert server.stop() == 0
    r = talvane("tune", "-", "--no-browser", cwd=talk)
    assert r.returncode == 2 and r.stderr.strip().splitlines()[-1] == (
        "talvane: error: tune needs a file it can read again when it saves the result beside it, not standard input (-)")


@pytest.mark.slow
def test_a_band_refilters_and_the_threshold_follows(talk, browser):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select

    from talvane_rs import band_filter

    mix, rate = sf.read(talk / "talk.flac", dtype="float32")
    server = Server(talk, "talk.flac", "--preset", "classic")
    try:
        open_page(browser, server)
        Select(browser.find_element(By.NAME, "band")).select_by_value("speech")
        drawn = wait_for(browser, SETTLED + " && window.tune.drawn.band === 'speech' && window.tune.drawn")
        view = analyse(mix, rate, band="speech")
        assert drawn["threshold"] == view.threshold == analyse(band_filter(mix, rate, "speech"), rate).threshold
        assert "--band=speech" in shown(browser, "talvane gate")
    finally:
        assert server.stop() == 0


@pytest.mark.parametrize("texts", [
    {"base_thresh": "-45dB", "max_silence_gap_windows": "300ms", "attenuation": "-inf dB", "crossfade": "10"},
    {"max_thresh": "inf", "threshold_ratio": "9.5dB", "pad_voice_windows": "0.1s", "keep_pause": "250ms",
     "band": "150-3400"},
    {"enabled": "false", "window_ms": "20ms", "smooth_alpha": "0.35", "fade_ms": "12", "min_voice_windows": " 3 "},
    {"band": "speech", "attenuation": "-20dB"},
    {"music": "on", "rule": "noise", "base_thresh": "-50dB"},
], ids=["levels-in-db", "inf-and-seconds-band", "flags-and-plain-numbers", "speech-band", "music-noise-rule"])
def test_what_the_page_shows_does_what_the_page_did(talk, monkeypatch, texts):
    """The command shown reads back as the settings the page used, and the
    Python calls shown compute what it computed."""
    shutil.move(talk / "talk.flac", talk / "my talk.flac")
    monkeypatch.chdir(talk)
    mix, rate = sf.read("my talk.flac", dtype="float32")
    settings, errors = read_settings(texts, rate)
    assert errors == {}
    for action in ("gate", "cut"):
        parser, sub = build_parser(action)
        args = parser.parse_args(join_values(sub, shlex.split(shell_command(action, "my talk.flac", settings))[1:]))
        assert args.inputs == ["my talk.flac"]
        given = {p.name: getattr(args, p.name) for p in PRODUCT_PARAMETERS if hasattr(args, p.name)}
        shown = GateSettings(**given).resolved(rate)
        assert all(getattr(shown, name) == getattr(settings.resolved, name) for name in given)
        if action == "cut":
            assert (args.keep_pause, args.crossfade) == (settings.cut["keep_pause"], settings.cut["crossfade"])
    done = {}
    for code in python_calls("my talk.flac", settings).values():
        exec(code, done)
    resolved = {p.name: getattr(settings.resolved, p.name) for p in PRODUCT_PARAMETERS}
    expected = analyse(mix, rate, **resolved)
    assert (done["view"].threshold, done["view"].regions) == (expected.threshold, expected.regions)
    cut_ms = {f"{k}_ms": v * 1000.0 for k, v in settings.cut.items()}
    analysis_only = {k: v for k, v in resolved.items() if k not in ("attenuation", "fade_ms", "enabled")}
    assert done["speech"].tobytes() == cut(mix, rate, **cut_ms, **analysis_only).tobytes()
    if "gate" not in done:  # the native class takes no band, noise rule or music measure
        assert settings.band is not None or settings.resolved.native_rule or settings.resolved.music
        return
    gated = np.array(done["gate"].apply_array(mix, rate), dtype=np.float32)  # the list method: the gains' products
    assert gated.tobytes() == (mix * expected.gains).tobytes()


@pytest.mark.parametrize("music, cols", [("off", 4096), ("on", 4096), ("on", 100)])
def test_the_page_gets_the_music_measure_per_column(music, cols):
    """One column per window: the library's values, and the threshold drawn is the
    one each window's voice flag was decided by; fewer columns: their means."""
    from talvane_rs.tune.session import Session, load

    session = Session(load(EXAMPLE))
    settings, _ = read_settings({"band": "speech", "music": music}, session.file.rate)
    session.update(settings)
    columns, raised = session.columns(0, session.n, cols), session.summary()["music_raised"]
    if music == "off":
        assert columns["music"] is None and raised is None
        return
    got = columns["music"]
    expected = analyse(session.file.mix, session.file.rate, band="speech", music=True)
    assert raised == np.mean(expected.music_factor > 1)
    if columns["count"] == len(expected.energies):
        for name in ("steadiness", "novelty"):
            np.testing.assert_allclose(got[name], getattr(expected, f"music_{name}"), atol=5e-5)
        np.testing.assert_allclose(got["factor_high"], expected.music_factor, atol=5e-5)
        margin = 20 * np.log10(expected.smoothed) - np.array(got["threshold_high"])
        sure = np.abs(margin) > 0.001  # off the rounding of the dB sent
        assert np.array_equal((margin > 0)[sure], expected.voice[sure]) and sure.mean() > 0.9
        return
    windows = np.diff(np.append(np.arange(cols) * len(expected.energies) // cols, len(expected.energies)))
    assert len(got["steadiness"]) == cols and np.all(np.array(got["factor_low"]) <= got["factor_high"])
    assert np.average(got["novelty"], weights=windows) == pytest.approx(np.mean(expected.music_novelty), abs=1e-4)


@pytest.mark.parametrize("texts, wrong", [
    ({"base_thresh": "-20dB", "max_thresh": "-30dB"}, {"max_thresh": "must not be below base-thresh"}),
    ({"window_ms": "0", "attenuation": "2"}, {"window_ms": ..., "attenuation": ...}),
    ({"band": "200-9000"}, {"band": ...}),
], ids=["limits-out-of-order", "out-of-range", "band-beyond-the-rate"])
def test_wrong_texts_are_named(texts, wrong):
    settings, errors = read_settings(texts, 16000)
    assert settings is None and errors.keys() == wrong.keys()
    assert all(wrong[k] in (..., errors[k]) for k in wrong)


def write_noise_and_bursts(path, seconds, rate=48000):
    """A long 16-bit WAV of noise with a loud burst each few seconds: one minute, made
    once and written as often as it takes."""
    t = np.arange(60 * rate) / rate
    block = np.random.default_rng(5).normal(0, 0.005, len(t)) + 0.3 * np.sin(2 * np.pi * 220 * t) * ((t % 7) < 2)
    block = np.round(block * 32767).astype(np.int16)
    with sf.SoundFile(path, "w", samplerate=rate, channels=1, subtype="PCM_16") as f:
        for _ in range(0, seconds, 60):
            f.write(block)


@pytest.mark.slow
def test_long_files_draw_and_follow_a_slider(tmp_path, browser, record_property):
    """The figures of the targets (not asserted: times depend on the machine):
    the first draw of a 1-hour 48 kHz file, and slider changes on 10 minutes."""
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import Select

    write_noise_and_bursts(tmp_path / "hour.wav", 3600)
    write_noise_and_bursts(tmp_path / "ten.wav", 600)
    figures = {}
    for name in ("hour.wav", "ten.wav"):
        server = Server(tmp_path, name)
        try:
            started = time.perf_counter()
            open_page(browser, server)
            figures[f"{name} page load to first draw, ms"] = round(
                browser.execute_script("return window.tune.firstDraw"))
            figures[f"{name} navigation to settled, ms"] = round((time.perf_counter() - started) * 1000)
            if name == "ten.wav":
                for key in [Keys.ARROW_RIGHT] * 6 + [Keys.ARROW_LEFT] * 6:
                    press(browser, "base_thresh", key, 1)
                timings = browser.execute_script("return window.tune.timings")
                figures["ten.wav slider change to redraw, ms (median, max)"] = (
                    round(float(np.median(timings))), round(max(timings)))
                for band in ("speech", "off", "speech"):
                    Select(browser.find_element(By.NAME, "band")).select_by_value(band)
                    wait_for(browser, SETTLED + f" && window.tune.drawn.band === '{band}' && window.tune.drawn")
                timings = browser.execute_script("return window.tune.timings")[-3:]
                figures["ten.wav band change to redraw, ms (speech, off, speech)"] = [round(t) for t in timings]
            # Zoomed down to a few windows, the page still draws single windows.
            browser.execute_script("document.getElementById('zoom-all').click()")
            for _ in range(20):
                browser.execute_script("document.getElementById('zoom-in').click()")
            drawn = wait_for(browser, SETTLED)
            assert drawn["end"] - drawn["start"] < 48000
        finally:
            assert server.stop() == 0
    for key, value in figures.items():
        record_property(key, value)
    print(figures)
