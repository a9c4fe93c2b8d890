"""The driver's pieces without a board: reading vestrel-cli's events, judging a run, the command
and the port name it builds."""

import json
from typing import Any, Dict, List, Optional

import pytest
from labgrid import Target
from labgrid.factory import target_factory

from vestrel_labgrid import VestrelError
from vestrel_labgrid.driver import command_line
from vestrel_labgrid.events import EventStream, Failure, judge

SYNC = {"class": "no-sync", "message": "ERROR:  COMM Sync\nNo answer"}


@pytest.mark.parametrize("result, returncode, failure", [
    ({"ok": True, "exit_code": 0, "error": None}, 0, None),
    ({"ok": False, "exit_code": 1, "error": SYNC}, 1, Failure("no-sync", SYNC["message"])),
    # A result that claims success does not outweigh a failed exit code, nor "true" a true.
    ({"ok": True, "exit_code": 0, "error": None}, 1,
     Failure("internal", "vestrel-cli reported success but ended with exit code 1")),
    ({"ok": "true", "exit_code": 0, "error": None}, 0,
     Failure("internal", "vestrel-cli failed with exit code 0")),
    ({"ok": False, "exit_code": 1, "error": {"class": 7}}, 1,
     Failure("internal", "vestrel-cli failed with exit code 1")),
    (None, 0, Failure("internal", "vestrel-cli ended with exit code 0 without a result line")),
    (None, -9, Failure("internal", "vestrel-cli was ended by signal 9 without a result line")),
])
def test_judge(result: Optional[Dict[str, Any]], returncode: int,
               failure: Optional[Failure]) -> None:
    if result is not None:
        result = {"event": "result", **result}
    assert judge(result, returncode) == failure


def test_stream_continues_where_a_nested_reader_stopped_and_ends_at_the_result() -> None:
    lines = [json.dumps(e) + "\n" for e in (
        {"event": "phase", "step": "program", "state": "started"},
        {"event": "progress", "phase": "program", "percent": 50},
    )] + ["not an event\n", "[1]\n", '{"no":"event"}\n'] + [json.dumps(e) + "\n" for e in (
        {"event": "phase", "step": "program", "state": "ended"},
        {"event": "result", "ok": True},
        {"event": "phase", "step": "late", "state": "started"},
    )]
    stream = EventStream(lines)
    outer = iter(stream)
    assert next(outer)["state"] == "started"
    assert [e["event"] for e in stream] == ["progress", "phase"]  # the nested reader
    assert list(outer) == []
    assert stream.result == {"event": "result", "ok": True}


@pytest.mark.parametrize("options, tail", [
    ({}, ["--all"]),
    ({"reset": "dtr-pulse", "skip_blank": True, "wait": 30},
     ["--reset", "dtr-pulse", "--all", "--skip-blank", "--wait", "30"]),
    ({"reset": "dtr-hold-rts-pulse", "reset_after": True},
     ["--reset", "dtr-hold-rts-pulse", "--erase", "--program", "--reset-after"]),
    ({"reset": "dtr=1,dtr=0", "reset_after": "rts=1,wait=50,rts=0"},
     ["--reset", "dtr=1,dtr=0", "--erase", "--program", "--reset-after=rts=1,wait=50,rts=0"]),
])
def test_command_line(options: Dict[str, Any], tail: List[str]) -> None:
    chosen: Dict[str, Any] = {"reset": None, "reset_after": False, "skip_blank": False,
                              "wait": None, **options}
    assert command_line("vestrel-cli", "/dev/ttyUSB0", "app.hex", baud=921600, **chosen) == [
        "vestrel-cli", "--json", "--quiet", "--port", "/dev/ttyUSB0", "--baud", "921600",
        "--file", "app.hex", *tail]


@pytest.mark.parametrize("resource, arguments, name", [
    ("RawSerialPort", {"port": "/dev/ttyUSB3"}, "/dev/ttyUSB3"),
    ("NetworkSerialPort", {"host": "farm", "port": 3002, "protocol": "raw"},
     "socket://farm:3002"),
    ("NetworkSerialPort", {"host": "[fd00::7]", "port": 3003}, "rfc2217://[fd00::7]:3003"),
    ("NetworkSerialPort", {"host": "farm", "port": 3004, "protocol": "telnet"}, "usage"),
])
def test_port_name(resource: str, arguments: Dict[str, Any], name: str) -> None:
    target = Target("unit")
    target_factory.make_resource(target, resource, None, arguments)
    driver = target_factory.make_driver(target, "VestrelDriver", None, {})
    if name == "usage":
        with pytest.raises(VestrelError) as raised:
            driver.port_name()
        assert raised.value.error_class == "usage"
    else:
        assert driver.port_name() == name
