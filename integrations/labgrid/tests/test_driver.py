"""VestrelDriver against the lab's simulated boards (run through run_lab.py)."""

import subprocess
import sys
from typing import Any, List, Tuple

import pytest
from labgrid.binding import BindingState
from labgrid.driver.exception import ExecutionError
from labgrid.step import StepEvent, steps

from lab import Lab
from vestrel_labgrid import VestrelError

LOADED = [("file", "ok"), ("connect", "ok"), ("erase", "ok"), ("verify", "ok"),
          ("program", "ok")]


def phases(events: List[StepEvent]) -> List[Tuple[str, str]]:
    """The load's phases as labgrid's step reporting saw them end, with their outcomes."""
    return [(e.step.args["name"], e.data.get("result")) for e in events
            if e.step.title == "phase" and e.data.get("state") == "stop"]


@pytest.mark.parametrize("name, ends", [
    ("main", [("run", "ok")]),                # a local port; the bootloader starts the firmware
    ("ser2net", [("run", "ok")]),             # RFC 2217 through Debian's ser2net
    ("portserver", [("reset", "ok")]),        # RFC 2217 with DTR resets, before and after
])
def test_load_puts_the_image_into_the_flash(env: Any, lab: Lab, name: str,
                                            ends: List[Tuple[str, str]]) -> None:
    reported: List[StepEvent] = []
    steps.subscribe(reported.append)
    try:
        env.get_target(name).get_driver("VestrelDriver").load()
    finally:
        steps.unsubscribe(reported.append)
    assert phases(reported) == LOADED + ends
    assert lab[name].stop()
    assert lab[name].flash() == lab.flash
    if name == "portserver":
        # The board ran its application and ignored the sync until DTR reset it.
        resets = [e["runs"] for e in lab[name].log() if e["event"] == "reset"]
        assert resets[:1] == ["bootloader"]


def test_silent_board_fails_with_no_sync_and_keeps_its_console(env: Any, lab: Lab) -> None:
    lab["second"].restart("--silent")
    target = env.get_target("second")
    console = target.get_driver("SerialDriver")
    with pytest.raises(ExecutionError) as raised:
        target.get_driver("VestrelDriver").load()
    assert isinstance(raised.value, VestrelError)
    assert raised.value.error_class == "no-sync"
    assert "sync" in raised.value.message
    assert console.state is BindingState.active


def test_console_on_a_ser2net_port_is_released_during_the_load(env: Any, lab: Lab) -> None:
    # ser2net takes one client per port: the load fails unless the console lets go.
    target = env.get_target("ser2net")
    console = target.get_driver("SerialDriver")
    target.get_driver("VestrelDriver").load()
    assert console.state is BindingState.active
    console.expect(lab.banner, timeout=10)


LOAD_ONE = """
import sys
from labgrid import Environment
Environment(sys.argv[1]).get_target(sys.argv[2]).get_driver("VestrelDriver").load()
"""


def test_two_processes_load_two_targets_at_once(lab: Lab) -> None:
    names = ["main", "second"]
    loads = [subprocess.Popen([sys.executable, "-c", LOAD_ONE, str(lab.env_file), name],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
             for name in names]
    try:
        outputs = [load.communicate(timeout=60)[0] for load in loads]
    finally:
        for load in loads:
            load.kill()
            load.wait()
    assert [load.returncode for load in loads] == [0, 0], outputs
    for name in names:
        assert lab[name].stop()
        assert lab[name].flash() == lab.flash
