"""The talvane commands: each one's module and its one-line summary. A module is
imported only when its command is chosen, so ``talvane --help`` imports none of
them and ``talvane gate --help`` imports gate's alone.

A command's module has ``add_options(parser, name)``, which fills in the
command's parser, and ``command(name, args, stop)``, which does it and returns
the exit status (raising OptionError for options that cannot go together). Adding a command is adding its module and one line here.
"""

from __future__ import annotations

import importlib
from dataclasses import dataclass
from types import ModuleType


@dataclass(frozen=True)
class Command:
    module: str
    summary: str

    def load(self) -> ModuleType:
        return importlib.import_module(self.module)


BATCH = "talvane_rs.cli.batch"
COMMANDS: dict[str, Command] = {
    "gate": Command(BATCH, "turn the audio down outside speech"),
    "cut": Command(BATCH, "cut the audio outside speech out"),
    "mask": Command(BATCH, "write where the speech is (CSV, JSON, Audacity labels)"),
    "split": Command(BATCH, "write one file per stretch of speech, with a manifest (for datasets)"),
    "tune": Command("talvane_rs.tune.command",
                    "look at the gate's decision on one file in the browser, move the parameters and listen"),
    "live": Command("talvane_rs.live.command",
                    "gate a sound card's input in real time, to an output device, a file or both"),
    "devices": Command("talvane_rs.live.command", "list the audio devices talvane live can use"),
}  # fmt: skip
