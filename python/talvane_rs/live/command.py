"""``talvane live`` and ``talvane devices``: the devices PortAudio finds (through
sounddevice), the stream opened on them, the gate made for its rate, the files
that take the audio, and the end of the run in one summary line."""

from __future__ import annotations

import argparse
import secrets
import sys
from typing import Any

from talvane_rs.errors import INSTALL_HINT, PROG, StopSignals, UsageError, join_names, missing_modules
from talvane_rs.gate_options import settings_from_options
from talvane_rs.io.sink import is_stdout
from talvane_rs.io.storage import STDIO, Location, file_id, identity, location
from talvane_rs.live.options import add_options
from talvane_rs.params import GateSettings
from talvane_rs.units import Duration, seconds_to_samples

NO_DEVICE = "no audio device found: no sound server or sound card is reachable"


def say(text: str) -> None:
    print(f"{PROG}: {text}", file=sys.stderr, flush=True)


def load_sounddevice(what: str) -> Any:
    """The sounddevice module, or None once one line has said what to install."""
    missing = missing_modules(["numpy", "soundfile", "sounddevice"])
    if missing:
        say(f"{what} needs {join_names(missing)}: {INSTALL_HINT.format(extra='live')}")
        return None
    try:
        import sounddevice
    except OSError as e:  # the module is there, its C library is not
        say(f"{what} needs the PortAudio library ({e}): install it with the system's packages (libportaudio2 on "
            "Debian and Ubuntu)")  # fmt: skip
        return None
    return sounddevice


def device_names(source: dict[str, Any], sink: dict[str, Any] | None) -> str:
    """The devices in use as messages name them: the input alone, or both with their roles."""
    if sink is None:
        return str(source["name"])
    if sink["name"] == source["name"]:
        return f"{source['name']} (input and output)"
    return f"input {source['name']} and output {sink['name']}"


def find_device(sd: Any, text: str | None, kind: str) -> dict[str, Any]:
    """The device text names (its number, or words of its name), or the system's default for kind."""
    if not len(sd.query_devices()):
        raise UsageError(NO_DEVICE, 1)
    device: int | str | None = None if text in (None, "default") else int(text) if text.isdigit() else text
    try:
        info: dict[str, Any] = sd.query_devices(device, kind)
    except ValueError as e:  # no such name, several, or not a device of this kind
        raise UsageError("; ".join(str(e).splitlines()) + " (talvane devices lists them)", 1) from None
    except sd.PortAudioError as e:  # a number out of range, or no default
        what = f"{kind} device {text}" if device is not None else f"default {kind} device"
        raise UsageError(f"no {what} ({e.args[0]}; talvane devices lists them)", 1) from None
    return info


def devices(args: argparse.Namespace) -> int:
    """Lists the devices; the exit status."""
    sd = load_sounddevice("devices")
    if sd is None:
        return 1
    found = sd.query_devices()
    if not len(found):
        say(f"error: {NO_DEVICE}")
        return 1
    inp, out = sd.default.device
    for info in found:
        index = info["index"]
        mark = "*" if index == inp == out else ">" if index == inp else "<" if index == out else " "
        api = sd.query_hostapis(info["hostapi"])["name"]
        print(f"{mark} {index:2d}  {info['name']} ({api}): {info['max_input_channels']} in, "
              f"{info['max_output_channels']} out, {info['default_samplerate']:g} Hz")  # fmt: skip
    return 0


def targets(args: argparse.Namespace) -> list[tuple[Any, bool]]:
    """The files the run writes, each with whether it takes the raw input; UsageError for a bad name."""
    from talvane_rs.errors import FileError
    from talvane_rs.io.atomic import Target
    from talvane_rs.io.formats import output_format
    from talvane_rs.live.capture import Captured

    token = secrets.token_hex(8)
    found = []
    for name, raw in ((args.output, False), (args.save_input, True)):
        if name is None:
            continue
        try:
            dst = location(name)
            output_format(None, dst, Captured())
        except FileError as e:
            raise UsageError(f"{name}: {e}") from None
        except (ImportError, ValueError) as e:  # a store whose package is missing, or an unknown one
            raise UsageError(f"{name}: {e}") from None
        found.append((Target(dst=dst, token=token, name=name), raw))
    if len(found) == 2 and same_file(found[0][0].dst, found[1][0].dst):
        raise UsageError("-o and --save-input name the same file")
    return found


def same_file(a: Location, b: Location) -> bool:
    """Whether two names are one file: the same path or URL, resolved, or one
    existing file (hard links included)."""
    if STDIO in (a, b):
        return a == b
    return identity(a) == identity(b) or file_id(a) is not None and file_id(a) == file_id(b)


def command(name: str, args: argparse.Namespace, stop: StopSignals) -> int:
    """live or devices; the exit status."""
    return live(args, settings_from_options(args), stop) if name == "live" else devices(args)


def live(args: argparse.Namespace, settings: GateSettings, stop: StopSignals) -> int:
    """Runs talvane live with the parsed options and the gate settings they give; the exit status."""
    sd = load_sounddevice("live")
    if sd is None:
        return 1
    try:
        return gate_live(sd, args, settings, stop)
    except UsageError as e:
        say(f"error: {e}")
        return e.status


def gate_live(sd: Any, args: argparse.Namespace, settings: GateSettings, stop: StopSignals) -> int:
    from talvane_rs._analysis import Stream
    from talvane_rs.live.capture import QUIET_S, REDRAW_S, Live, Writer, terminal_line
    from talvane_rs.sentences import plural

    files = targets(args)
    source = find_device(sd, args.input_device, "input")
    sink = None if args.output_device is None else find_device(sd, args.output_device, "output")
    rate = args.rate or int(source["default_samplerate"])
    block = max(1, args.block.samples(rate) if isinstance(args.block, Duration) else args.block)
    resolved = settings.resolved(rate)
    try:
        gate = Stream(rate, band=settings.band, rule=settings.native_rule, music=settings.music,
                      **resolved.native())
    except ValueError as e:  # a band the rate cannot hold; limits out of order once durations are windows
        raise UsageError(str(e)) from None
    live = Live(sd, gate, rate, None if args.duration is None else seconds_to_samples(args.duration, rate))
    if not resolved.enabled:
        live.status.tally.passing()
    names = device_names(source, sink)
    common = dict(samplerate=rate, blocksize=block, channels=args.channels, dtype="float32")
    try:
        if sink is None:
            stream = sd.InputStream(device=source["index"], callback=live.on_input, **common)
        else:
            stream = sd.Stream(device=(source["index"], sink["index"]), callback=live.on_duplex, **common)
    except (sd.PortAudioError, ValueError) as e:
        raise UsageError(f"cannot open {names} at {rate} Hz, {plural(args.channels, 'channel')}, blocks of "
                         f"{block} frames: {e.args[0]}", 1) from None  # fmt: skip
    if not files and sink is None:
        say("note: no output: -o FILE writes the gated audio, --output-device plays it")
    show = terminal_line if sys.stderr.isatty() else None
    if show is not None:
        say(f"note: gating {source['name']} at {rate} Hz in blocks of {block} frames ({1000 * block / rate:.1f} ms); "
            "Ctrl-C stops")  # fmt: skip
    writers = [Writer(target, rate, args.channels, raw) for target, raw in files]
    to_stdout = any(is_stdout(str(w.target.dst)) for w in writers)  # the capture (--save-input -) too
    try:
        live.gate_until_stopped(stream, writers, stop, show, REDRAW_S if to_stdout else QUIET_S)  # a pipe gets its audio soon
    finally:
        if show is not None:
            sys.stderr.write("\n")
        for writer in writers:
            writer.finish()
    outputs = [f"{'input' if w.raw else 'gated'} -> {w.target.name}{' (replaced)' if w.replaces else ''}"
               for w in writers if not w.error and not w.empty]  # fmt: skip
    if sink is not None:
        outputs.append(f"played on {sink['name']}")
    return report(live, writers, names, args.channels, outputs, to_stdout)


def report(live: Any, writers: list[Any], names: str, channels: int, outputs: list[str], to_stdout: bool) -> int:
    """Prints the notes, errors, warnings and summary of a finished run; the exit status."""
    from talvane_rs.live.status import summary

    for writer in writers:
        for note in writer.notes:
            say(f"note: {note}")
        if writer.empty:
            say(f"note: {writer.target.name}: no audio came, so it was not written")
    errors = [w.error for w in writers if w.error]
    if live.stalled is not None:
        errors.insert(0, f"{names}: {live.stalled} (is the sound server still running?)")
    if live.failure is not None:
        errors.insert(0, f"the gate failed: {type(live.failure).__name__}: {live.failure}")
    for error in errors:
        say(f"error: {error}")
    status = live.status
    if status.overruns:
        say(f"warning: {status.overruns} overruns: audio was lost between the device and the gate "
            "(a larger --block may help)")  # fmt: skip
    if status.underruns:
        say(f"warning: {status.underruns} underruns: a device ran out of audio and a gap was heard")
    print(summary(status, channels, outputs), file=sys.stderr if to_stdout else sys.stdout, flush=True)
    return 1 if errors else 0


__all__ = ["add_options", "command"]
