"""The actions a run can apply to a file, by command name: one module each,
imported when first asked for. Adding an action is adding its module and one
line here."""

from __future__ import annotations

import importlib
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from talvane_rs.actions.base import Action

ACTIONS = {
    "gate": "talvane_rs.actions.gate:Gate",
    "cut": "talvane_rs.actions.cut:Cut",
    "mask": "talvane_rs.actions.mask:Mask",
    "split": "talvane_rs.actions.split:Split",
}


# A command whose action is another class when one of its options is given: the
# option, and that class.
VARIANTS = {"gate": ("stream_ms", "talvane_rs.actions.streaming:StreamingGate")}


def action_class(name: str) -> type[Action]:
    """The action of a command; KeyError for a name that is none."""
    return _load(ACTIONS[name])


def action_for(name: str, values: Mapping[str, Any]) -> Action:
    """The action a command does with the options found in values (by field name)."""
    option, variant = VARIANTS.get(name, ("", ""))
    cls = _load(variant) if option and values.get(option) is not None else action_class(name)
    return cls.from_options(values)


def _load(spec: str) -> type[Action]:
    module, _, cls = spec.partition(":")
    found: type[Action] = getattr(importlib.import_module(module), cls)
    return found
