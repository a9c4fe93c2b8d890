"""Reading what `vestrel-cli --json` writes: one event a line, the result line last."""

import json
from dataclasses import dataclass
from typing import Any, Dict, Iterable, Iterator, Optional

Event = Dict[str, Any]


def parse_event(line: str) -> Optional[Event]:
    """The event on one line of output, or None for a line that holds no event."""
    try:
        value = json.loads(line)
    except ValueError:
        return None
    if not isinstance(value, dict) or not isinstance(value.get("event"), str):
        return None
    return value


class EventStream:
    """The events of one run in the order they come. Every iteration over the stream continues
    where the last one stopped, so a reader can hand the stream to a helper for a nested part
    (a phase) and go on afterwards; iteration ends at the result line, which is kept."""

    def __init__(self, lines: Iterable[str]) -> None:
        self._lines = iter(lines)
        self.result: Optional[Event] = None

    def __iter__(self) -> Iterator[Event]:
        while self.result is None:
            line = next(self._lines, None)
            if line is None:
                return
            event = parse_event(line)
            if event is None:
                continue
            if event["event"] == "result":
                self.result = event
                return
            yield event


@dataclass(frozen=True)
class Failure:
    """Why a run did not put the firmware into the flash: an error class of vestrel-cli (such as
    `no-sync` or `port-busy`) and its message."""

    error_class: str
    message: str


def judge(result: Optional[Event], returncode: int) -> Optional[Failure]:
    """None when the run succeeded: a result line that says ok and exit code 0, both. Anything
    else is a failure with the run's own error class, or `internal` when the run ended without
    saying why (killed, or output that is not vestrel-cli's)."""
    if result is None:
        if returncode < 0:
            ended = f"was ended by signal {-returncode}"
        else:
            ended = f"ended with exit code {returncode}"
        return Failure("internal", f"vestrel-cli {ended} without a result line")
    if result.get("ok") is True:
        if returncode == 0:
            return None
        return Failure("internal",
                       f"vestrel-cli reported success but ended with exit code {returncode}")
    error = result.get("error")
    if not isinstance(error, dict):
        error = {}
    error_class = error.get("class")
    message = error.get("message")
    return Failure(error_class if isinstance(error_class, str) and error_class else "internal",
                   message if isinstance(message, str) and message
                   else f"vestrel-cli failed with exit code {returncode}")
