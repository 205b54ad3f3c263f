"""Makes docs/tune.png, the picture of talvane tune in the README: the page over
the bundled example, in headless Chromium (apt-get install chromium
chromium-driver; pip install selenium), as the browser test drives it.

    python docs/screenshot.py [OUT.png]
"""

import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

ROOT = Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "speech_in_noise.flac"


def wait_for(driver, script, timeout=60.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if driver.execute_script(script):
            return
        time.sleep(0.05)
    raise TimeoutError(script)


def main(out: Path) -> None:
    with tempfile.TemporaryDirectory() as folder:
        shutil.copy(EXAMPLE, Path(folder, "speech_in_noise.flac"))
        server = subprocess.Popen(
            [sys.executable, "-m", "talvane_rs", "tune", "speech_in_noise.flac", "--no-browser",
             "--pad-voice-windows", "100ms", "--keep-pause", "300ms", "--crossfade", "10ms"],
            cwd=folder, stdout=subprocess.PIPE, text=True,
        )
        options = webdriver.ChromeOptions()
        options.binary_location = shutil.which("chromium") or "chromium"
        for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,980",
                    "--hide-scrollbars", "--force-device-scale-factor=1"):
            options.add_argument(arg)
        driver = webdriver.Chrome(service=Service(shutil.which("chromedriver") or "chromedriver"), options=options)
        try:
            url = server.stdout.readline().split()[-1]
            driver.get(url)
            wait_for(driver, "return window.tune && window.tune.settled() && window.tune.firstDraw !== null")
            time.sleep(0.3)
            driver.save_screenshot(str(out))
        finally:
            driver.quit()
            server.terminate()
            server.wait(timeout=20)
    print(f"wrote {out}")


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "docs" / "tune.png")
