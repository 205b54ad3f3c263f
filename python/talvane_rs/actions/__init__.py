"""The actions a run can apply to a file, by command name: one module each,
imported when first asked for. Adding an action is adding its module and one
line here."""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from talvane_rs.actions.base import Action

ACTIONS = {
    "gate": "talvane_rs.actions.gate:Gate",
    "cut": "talvane_rs.actions.cut:Cut",
    "mask": "talvane_rs.actions.mask:Mask",
    "split": "talvane_rs.actions.split:Split",
}


def action_class(name: str) -> type[Action]:
    """The action of a command; KeyError for a name that is none."""
    module, _, cls = ACTIONS[name].partition(":")
    found: type[Action] = getattr(importlib.import_module(module), cls)
    return found
