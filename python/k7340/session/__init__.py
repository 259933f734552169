"""The session layer, above the binding, the safety core and the lab: k7340.Supply (the class
scripts use) and Session (a supply for a program that runs for a while), the one path for
everything that switches or holds the output on. See session.py for its rules."""

from .requests import STEP_S, TRIP_ACTION
from .session import (
    CLOSE_WAIT_S,
    LOST_AFTER,
    REOPEN_S,
    TRIP_ACTIONS,
    Session,
    checked_trip_action,
    orphan_text,
)
from .group import Group
from .plan import Plan
from .states import DOWN, OTHER_SUPPLY, UP
from .supply import Supply

__all__ = [
    "Supply",
    "Group",
    "Plan",
    "Session",
    "TRIP_ACTIONS",
    "checked_trip_action",
    "orphan_text",
    "STEP_S",
    "TRIP_ACTION",
    "LOST_AFTER",
    "REOPEN_S",
    "CLOSE_WAIT_S",
    "UP",
    "DOWN",
    "OTHER_SUPPLY",
]
