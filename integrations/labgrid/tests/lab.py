"""pytest plugin that plays the boards of the test lab (`-p lab`, set up by run_lab.py).

Each test gets fresh simulated boards where the environment file says the boards are, so that a
test finds every board in its bootloader with a blank flash; ser2net runs for the whole session.
Every process started here ends with the test (or the session), also when the test fails, and
dies with pytest if pytest is killed.
"""

import ctypes
import json
import os
import select
import signal
import subprocess
import time
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional

import pytest

SETTINGS: Dict[str, Any] = json.loads(Path(os.environ["VESTREL_LAB"]).read_text())
START_SECONDS = 5.0
PR_SET_PDEATHSIG = 1


def _die_with_parent() -> None:
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def spawn(command: List[str], **kwargs: Any) -> "subprocess.Popen[str]":
    return subprocess.Popen(command, text=True, preexec_fn=_die_with_parent, **kwargs)


def stop(process: "subprocess.Popen[str]") -> Optional[int]:
    """SIGTERM and the wait for the end; SIGKILL after a while. The exit status."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(START_SECONDS)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    return process.returncode


class Board:
    """One simulated board: a vestrel-sim with the lab's options for its place."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.dir = Path(SETTINGS["dir"])
        self.process: Optional["subprocess.Popen[str]"] = None

    @property
    def flash_file(self) -> Path:
        return self.dir / f"{self.name}.flash"

    @property
    def log_file(self) -> Path:
        return self.dir / f"{self.name}.jsonl"

    def start(self, *extra: str) -> None:
        for stale in (self.flash_file, self.log_file):
            stale.unlink(missing_ok=True)
        self.process = spawn(
            [SETTINGS["sim"], *SETTINGS["boards"][self.name], "--flash-out", str(self.flash_file),
             "--log", str(self.log_file), *extra], stdout=subprocess.PIPE)
        # The first line (its device or URL) comes once it serves the line.
        assert self.process.stdout is not None
        ready, _, _ = select.select([self.process.stdout], [], [], START_SECONDS)
        if not ready or not self.process.stdout.readline():
            raise RuntimeError(f"the simulator of {self.name} did not start")

    def restart(self, *extra: str) -> None:
        assert self.stop(), f"the simulator of {self.name} failed"
        self.start(*extra)

    def stop(self) -> bool:
        """Ends the simulator, which writes its flash; whether it ended well."""
        if self.process is None:
            return True
        status = stop(self.process)
        assert self.process.stdout is not None
        self.process.stdout.close()
        self.process = None
        return status == 0

    def flash(self) -> bytes:
        """The flash at the simulator's end (stop it first)."""
        return self.flash_file.read_bytes()

    def log(self) -> List[Dict[str, Any]]:
        return [json.loads(line) for line in self.log_file.read_text().splitlines()]


def _listening(port: int) -> bool:
    """Whether something listens on 127.0.0.1:port, from the kernel's table: a connection would
    make ser2net open the line."""
    wanted = f"0100007F:{port:04X}"
    for line in Path("/proc/net/tcp").read_text().splitlines()[1:]:
        fields = line.split()
        if fields[1] == wanted and fields[3] == "0A":
            return True
    return False


@pytest.fixture(scope="session", autouse=True)
def ser2net() -> Iterator[None]:
    """Debian's ser2net with RFC 2217 in front of the board `ser2net`."""
    port, device = SETTINGS["ser2net"]["port"], SETTINGS["ser2net"]["device"]
    config = Path(SETTINGS["dir"]) / "ser2net.yaml"
    config.write_text(
        "%YAML 1.1\n---\nconnection: &ser2net\n"
        f"    accepter: telnet(rfc2217),tcp(nodelay),127.0.0.1,{port}\n"
        f"    connector: serialdev,{device},115200n81,local\n")
    with open(Path(SETTINGS["dir"]) / "ser2net.log", "w") as log:
        process = spawn(["/usr/sbin/ser2net", "-n", "-u", "-c", str(config),
                         "-P", str(Path(SETTINGS["dir"]) / "ser2net.pid")],
                        stdout=log, stderr=subprocess.STDOUT)
    try:
        deadline = time.monotonic() + START_SECONDS
        while not _listening(port):
            assert process.poll() is None, "ser2net ended at its start (see ser2net.log)"
            assert time.monotonic() < deadline, "ser2net did not listen within 5 s"
            time.sleep(0.01)
        yield
    finally:
        stop(process)


class Lab:
    """The boards of one test, by the names of their targets, and what they should hold."""

    def __init__(self) -> None:
        self.boards = {name: Board(name) for name in SETTINGS["boards"]}
        self.banner: str = SETTINGS["banner"]
        self.image = Path(SETTINGS["image"])
        self.flash = Path(SETTINGS["flash"]).read_bytes()
        self.env_file = Path(SETTINGS["env"])

    def __getitem__(self, name: str) -> Board:
        return self.boards[name]


@pytest.fixture(autouse=True)
def _boards_for_labgrid_tests(request: Any) -> None:
    """The boards for every test that uses labgrid's targets (the example, for one)."""
    if {"env", "target"} & set(request.fixturenames):
        request.getfixturevalue("lab")


@pytest.fixture
def lab(env: Any) -> Iterator[Lab]:
    """Fresh boards for a test; afterwards the drivers let go of them before they stop."""
    boards = Lab()
    try:
        for board in boards.boards.values():
            board.start()
        yield boards
    finally:
        for target in env.targets.values():
            target.deactivate_all_drivers()
        failed = [board.name for board in boards.boards.values() if not board.stop()]
        assert not failed, f"simulators failed: {failed}"
