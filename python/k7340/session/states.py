"""The states of a session's link to its supply, and which failures are the line's."""

from ..binding.errors import ERR_CHECKSUM, ERR_READ, ERR_WRITE

UP, DOWN, OTHER_SUPPLY = "up", "down", "other supply"
LINE_ERRORS = (ERR_WRITE, ERR_READ, ERR_CHECKSUM)  # the line failed, not a refusal
