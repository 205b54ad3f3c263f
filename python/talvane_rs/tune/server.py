"""The tune server: a local web page over one file, on 127.0.0.1 only.

Every address starts with a random token (``http://127.0.0.1:PORT/TOKEN/``);
any request without it, or naming another host (a page in the same browser
reaching 127.0.0.1 through a name it controls), is refused with 403. No request
names a file: the server reads its one input and writes only the results
beside it, under the names the command line gives them.
"""

from __future__ import annotations

import asyncio
import hmac
import json
import math
import secrets
import webbrowser
from collections.abc import Callable
from importlib import resources
from typing import Any

import tornado.httpserver
import tornado.iostream
import tornado.netutil
import tornado.web

from talvane_rs.errors import StopSignals
from talvane_rs.params import PRODUCT_PARAMETERS
from talvane_rs.tune.session import Session, wav_header
from talvane_rs.tune.settings import (
    BAND,
    Settings,
    controls,
    preset_texts,
    python_calls,
    read_settings,
    shell_command,
)  # fmt: skip

STATIC = ("index.html", "tune.js", "tune.css")
MAX_COLUMNS = 4096
KINDS = ("original", "gated", "cut")


class Page:
    """What every handler shares: the session, the token and the file's name as given."""

    def __init__(self, session: Session, token: str, name: str, port: int = 0) -> None:
        self.session, self.token, self.name, self.port = session, token, name, port

    def result(self, start: int, end: int, cols: int) -> dict[str, Any]:
        session = self.session
        settings = session.settings
        assert settings is not None
        commands = {action: shell_command(action, self.name, settings) for action in ("gate", "cut", "split")}
        resolved = {p.name: getattr(settings.resolved, p.name) for p in PRODUCT_PARAMETERS}
        values: dict[str, Any] = {k: "inf" if v == math.inf else v for k, v in resolved.items()}
        values.update({k: seconds * 1000.0 for k, seconds in settings.cut.items()})
        changed = [name for name in resolved if settings.differs(name)]
        changed += [name for name, seconds in settings.cut.items() if seconds]
        return {
            "texts": settings.texts, "values": values, "changed": changed, "band_label": band_text(settings, session),
            "summary": session.summary(), "levels": session.levels(), "columns": session.columns(start, end, cols),
            "commands": commands, "calls": python_calls(self.name, settings),
        }  # fmt: skip

    def state(self) -> dict[str, Any]:
        f = self.session.file
        return {
            "name": self.name, "rate": f.rate, "samples": len(f.mix), "channels": f.channels, "format": f.format,
            "subtype": f.subtype, "peak": f.peak, "notes": f.notes, "params": controls(),
            "presets": preset_texts(),
        }  # fmt: skip


def band_text(settings: Settings, session: Session) -> str:
    if settings.band is None:
        return "every frequency"
    from talvane_rs.band import band_label

    return str(band_label(settings.band, session.file.rate))


REFUSED_PAGE = """<!doctype html><meta charset="utf-8"><title>talvane tune</title>
<p>This is talvane tune's page server. It answers only at the address the
<code>talvane tune</code> command printed when it started, token and final slash
included (http://127.0.0.1:PORT/TOKEN/): copy that whole address from the
terminal where it runs.</p>
"""


class Guarded(tornado.web.RequestHandler):
    """A handler whose refusals (403) are a page saying which address to use."""

    def write_error(self, status_code: int, **kwargs: Any) -> None:
        if status_code != 403:
            super().write_error(status_code, **kwargs)
            return
        self.set_header("Content-Type", "text/html; charset=utf-8")
        self.finish(REFUSED_PAGE)


class Handler(Guarded):
    page: Page

    def initialize(self, page: Page) -> None:
        self.page = page

    def prepare(self) -> None:
        if not (self.host_allowed(self.page, self.request.host)
                and self.token_matches(self.page, self.path_kwargs.get("token", ""))):  # fmt: skip
            raise tornado.web.HTTPError(403)

    @staticmethod
    def host_allowed(page: Page, host: str) -> bool:
        # The host check keeps out pages that reach this port through a name of their own (DNS rebinding).
        return host in {f"127.0.0.1:{page.port}", f"localhost:{page.port}"}

    @staticmethod
    def token_matches(page: Page, token: str) -> bool:
        return hmac.compare_digest(token.encode(), page.token.encode())

    def set_default_headers(self) -> None:
        self.set_header("Cache-Control", "no-store")
        self.set_header("X-Content-Type-Options", "nosniff")
        self.set_header("Referrer-Policy", "no-referrer")

    def stretch(self) -> tuple[int, int, int]:
        n = self.page.session.n
        try:
            start = min(n, max(0, int(self.get_argument("start", "0"))))
            end = min(n, max(start, int(self.get_argument("end", str(n)))))
            cols = min(MAX_COLUMNS, max(1, int(self.get_argument("cols", "1000"))))
        except ValueError:
            raise tornado.web.HTTPError(400) from None
        return start, end, cols

    def send_json(self, value: Any) -> None:
        self.set_header("Content-Type", "application/json")
        self.finish(json.dumps(value, allow_nan=False))


class Refused(Guarded):
    """Everything outside the token's tree; the token without its final slash is
    sent on to the page."""

    def initialize(self, page: Page) -> None:
        self.page = page

    def prepare(self) -> None:
        path = self.request.path
        if (self.request.method == "GET" and Handler.host_allowed(self.page, self.request.host)
                and Handler.token_matches(self.page, path[1:])):  # fmt: skip
            self.redirect(path + "/")
            return
        raise tornado.web.HTTPError(403)


class Static(Handler):
    def get(self, token: str, name: str) -> None:
        name = name or "index.html"
        if name not in STATIC:
            raise tornado.web.HTTPError(404)
        kind = {"html": "text/html", "js": "text/javascript", "css": "text/css"}[name.rsplit(".", 1)[1]]
        self.set_header("Content-Type", f"{kind}; charset=utf-8")
        self.finish(resources.files("talvane_rs.tune").joinpath("static", name).read_bytes())


class State(Handler):
    def get(self, token: str) -> None:
        self.send_json(self.page.state())


class View(Handler):
    """Waveform peaks and the analysis's columns for the stretch shown."""

    def get(self, token: str) -> None:
        start, end, cols = self.stretch()
        self.send_json({"wave": self.page.session.wave(start, end, cols),
                        "result": self.page.result(start, end, cols)})  # fmt: skip


class Analyse(Handler):
    """New settings: the analysis made again, the summary, commands and columns of the stretch shown."""

    def post(self, token: str) -> None:
        start, end, cols = self.stretch()
        try:
            texts = json.loads(self.request.body)
            assert isinstance(texts, dict)
        except (ValueError, AssertionError):
            raise tornado.web.HTTPError(400) from None
        settings, errors = read_settings({k: str(v) for k, v in texts.items()}, self.page.session.file.rate)
        if settings is None:
            self.refuse(errors)
            return
        try:
            self.page.session.update(settings)
        except ValueError as e:  # the settings and view in force stay
            self.refuse({BAND: str(e)})
            return
        self.send_json(self.page.result(start, end, cols))

    def refuse(self, errors: dict[str, str]) -> None:
        """A 400 naming each field that is wrong, as the page shows them."""
        self.set_status(400)
        self.send_json({"errors": errors})


class Audio(Handler):
    """The original, gated or cut mono audio of a stretch, as 32-bit float WAV, sent in blocks."""

    async def get(self, token: str) -> None:
        kind = self.get_argument("kind", "original")
        if kind not in KINDS:
            raise tornado.web.HTTPError(400)
        start, end, _ = self.stretch()
        session = self.page.session
        length, blocks, _ = session.audio(kind, start, end)
        self.set_header("Content-Type", "audio/wav")
        self.set_header("Content-Length", str(44 + 4 * length))
        self.write(wav_header(length, session.file.rate))
        try:
            for block in blocks:
                self.write(block.astype("<f4", copy=False).tobytes())
                await self.flush()
        except tornado.iostream.StreamClosedError:
            return  # the page asked for other audio meanwhile
        self.finish()


class Stretches(Handler):
    """Where each stretch of the audio of kind starts in the file, to follow the playback."""

    def get(self, token: str) -> None:
        kind = self.get_argument("kind", "original")
        if kind not in KINDS:
            raise tornado.web.HTTPError(400)
        start, end, _ = self.stretch()
        length, _, stretches = self.page.session.audio(kind, start, end)
        self.send_json({"length": length, "stretches": stretches, "end": self.page.session.play_end(start, end)})


class Save(Handler):
    """Writes the gated or cut file beside the input, as the command shown does."""

    async def post(self, token: str) -> None:
        action = self.get_argument("action", "")
        settings = self.page.session.settings
        if action not in ("gate", "cut") or settings is None:
            raise tornado.web.HTTPError(400)
        changed = self.page.session.file.changed()
        if changed is not None:  # the result would not be what the page shows
            self.send_json({"error": f"{self.page.name} {changed}: nothing saved; start talvane tune again to "
                                     "tune the file as it is now", "notes": [], "warnings": []})  # fmt: skip
            return
        loop = asyncio.get_running_loop()
        self.send_json(await loop.run_in_executor(None, save, action, self.page.name, settings))


def save(action: str, name: str, settings: Settings) -> dict[str, Any]:
    """Runs the command line's own job for action on the input, beside it."""
    from talvane_rs.actions import action_for
    from talvane_rs.engine.execute import execute
    from talvane_rs.engine.jobs import Request

    options = dict(settings.cut) if action == "cut" else {}
    request = Request(action=action_for(action, options), inputs=[name], output=None,
                      settings=settings.values)  # fmt: skip
    outcomes = execute(request).outcomes
    summary = next((o.summary for o in outcomes if o.summary is not None), None)
    error = next((o.error for o in outcomes if o.error is not None), None)
    found: dict[str, Any] = {
        "summary": summary, "error": error, "notes": [n for o in outcomes for n in o.notes],
        "warnings": [w for o in outcomes for w in o.warnings], "command": shell_command(action, name, settings),
    }  # fmt: skip
    return found


def make_app(page: Page) -> tornado.web.Application:
    token = r"/(?P<token>[A-Za-z0-9_-]+)/"
    kwargs = {"page": page}
    return tornado.web.Application(
        [
            (token + r"state", State, kwargs),
            (token + r"view", View, kwargs),
            (token + r"analyse", Analyse, kwargs),
            (token + r"audio", Audio, kwargs),
            (token + r"stretches", Stretches, kwargs),
            (token + r"save", Save, kwargs),
            (token + r"(?P<name>[a-z.]*)", Static, kwargs),
        ],
        default_handler_class=Refused,
        default_handler_args=kwargs,
        xsrf_cookies=False,  # the token in every address does that work
        compress_response=True,
    )


def serve(session: Session, name: str, port: int, browser: bool, stop: StopSignals,
          say: Callable[[str], None]) -> int:  # fmt: skip
    """Serves the page until a stop signal; returns the exit status."""
    try:
        sockets = tornado.netutil.bind_sockets(port, "127.0.0.1")
    except OSError as e:
        say(f"error: cannot listen on 127.0.0.1:{port}: {e.strerror or e}")
        return 1
    page = Page(session, secrets.token_urlsafe(24), name, sockets[0].getsockname()[1])
    url = f"http://127.0.0.1:{page.port}/{page.token}/"
    return asyncio.run(serve_until_stopped(page, sockets, url, browser, stop, say))


async def serve_until_stopped(page: Page, sockets: list[Any], url: str, browser: bool, stop: StopSignals,
              say: Callable[[str], None]) -> int:  # fmt: skip
    loop = asyncio.get_running_loop()
    stopped = asyncio.Event()

    def wake() -> None:
        loop.call_soon_threadsafe(stopped.set)

    stop.wake = wake
    if stop.signum is not None:
        stopped.set()
    server = tornado.httpserver.HTTPServer(make_app(page))
    server.add_sockets(sockets)
    print(f"tuning {page.name} at {url}", flush=True)
    say("note: press Ctrl-C to stop")
    if browser:
        loop.run_in_executor(None, webbrowser.open, url)
    await stopped.wait()
    server.stop()
    try:
        await asyncio.wait_for(server.close_all_connections(), 2.0)
    except asyncio.TimeoutError:
        pass
    say("stopped")
    return 0
