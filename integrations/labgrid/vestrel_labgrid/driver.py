"""VestrelDriver: labgrid's bootstrap protocol for boards that carry Vestrel's serial bootloader.

The driver runs `vestrel-cli --json` against the target's serial port and reads its events:
the phases become labgrid steps, and the result line decides between returning and raising.
"""

import logging
import subprocess
import threading
from typing import IO, Any, List, Optional, Union
from urllib.parse import urlsplit

import attr
from labgrid.binding import BindingState
from labgrid.driver.common import Driver
from labgrid.driver.exception import ExecutionError
from labgrid.factory import target_factory
from labgrid.protocol import BootstrapProtocol
from labgrid.resource import NetworkSerialPort
from labgrid.step import step
from labgrid.util.managedfile import ManagedFile
from labgrid.util.proxy import proxymanager

from .events import EventStream, Event, Failure, judge

# NetworkSerialPort's protocol -> vestrel-cli's URL scheme.
URL_SCHEMES = {"rfc2217": "rfc2217", "raw": "socket"}

# How long a vestrel-cli that is told to stop (SIGTERM) gets to close its port.
STOP_GRACE_SECONDS = 5.0


class VestrelError(ExecutionError):
    """A load that did not put the firmware into the flash. `error_class` is vestrel-cli's
    stable class (`no-sync`, `port-busy`, `link-lost`, ...), `message` its explanation."""

    def __init__(self, failure: Failure, stderr: Optional[List[str]] = None) -> None:
        super().__init__(f"{failure.error_class}: {failure.message}", stderr=stderr)
        self.error_class = failure.error_class
        self.message = failure.message

    def __str__(self) -> str:
        return str(self.msg)


def command_line(tool: str, port: str, filename: str, *, baud: int, reset: Optional[str],
                 reset_after: Union[bool, str], skip_blank: bool,
                 wait: Optional[int]) -> List[str]:
    """The vestrel-cli command that loads `filename` into the board on `port`."""
    command = [tool, "--json", "--quiet", "--port", port, "--baud", str(baud),
               "--file", filename]
    if reset:
        command += ["--reset", reset]
    if reset_after is False:
        command.append("--all")
    else:
        # The reset starts the new application, so the bootloader is not told to start it too.
        command += ["--erase", "--program",
                    "--reset-after" if reset_after is True else f"--reset-after={reset_after}"]
    if skip_blank:
        command.append("--skip-blank")
    if wait is not None:
        command += ["--wait", str(wait)]
    return command


@target_factory.reg_driver
@attr.s(eq=False)
class VestrelDriver(Driver, BootstrapProtocol):
    """Loads firmware (Intel HEX or ELF) through the board's serial bootloader.

    Args:
        image (str): key of the environment's `images:` loaded when `load` gets no file
        baud (int): the bootloader's rate, 115200 unless set
        reset (str): DTR/RTS sequence that resets the board into its bootloader (`dtr-pulse`,
            `rts-pulse`, `dtr-hold-rts-pulse` or steps such as `dtr=1,wait=50,dtr=0`)
        reset_after (bool or str): start the new application by a reset instead of the
            bootloader's start command: true for the reset line of `reset`, or a sequence
        skip_blank (bool): after the erase, leave blocks that are all 0xFF alone
        wait (int): seconds to wait for the port and the bootloader (a board reset by hand)
        run_on_exporter (bool): run vestrel-cli on the exporter that serves a
            NetworkSerialPort (over SSH, the file copied there first) instead of here
    """

    bindings = {"port": {"SerialPort", "NetworkSerialPort"}}

    image: Optional[str] = attr.ib(
        default=None, validator=attr.validators.optional(attr.validators.instance_of(str)))
    baud: int = attr.ib(default=115200, validator=attr.validators.instance_of(int))
    reset: Optional[str] = attr.ib(
        default=None, validator=attr.validators.optional(attr.validators.instance_of(str)))
    reset_after: Union[bool, str] = attr.ib(
        default=False, validator=attr.validators.instance_of((bool, str)))
    skip_blank: bool = attr.ib(default=False, validator=attr.validators.instance_of(bool))
    wait: Optional[int] = attr.ib(
        default=None, validator=attr.validators.optional(attr.validators.instance_of(int)))
    run_on_exporter: bool = attr.ib(default=False,
                                    validator=attr.validators.instance_of(bool))

    def __attrs_post_init__(self) -> None:
        super().__attrs_post_init__()
        self.logger = logging.getLogger(f"{type(self).__name__}({self.target.name})")
        tool = self.target.env.config.get_tool("vestrel-cli") if self.target.env else None
        self.tool: str = tool or "vestrel-cli"

    @Driver.check_active
    @step(args=["filename"])
    def load(self, filename: Optional[str] = None, phase: Optional[str] = None) -> None:
        """Erases the board, programs and verifies `filename` (default: the `image`), and starts
        it. Returns once vestrel-cli says the firmware is in the flash; raises VestrelError (an
        ExecutionError) otherwise. `phase` is accepted for labgrid's multi-stage loaders: this
        bootloader has a single stage."""
        command = self._command(self._firmware(filename))
        self.logger.debug("running %s", " ".join(command))
        released = self._release_port()
        try:
            self._run(command)
        except BaseException:
            self._restore(released, raising=False)
            raise
        self._restore(released, raising=True)

    def _firmware(self, filename: Optional[str]) -> str:
        if filename is None:
            if self.image is None:
                raise VestrelError(Failure("usage", "no file to load: give one, or set image"))
            try:
                filename = str(self.target.env.config.get_image_path(self.image))
            except (AttributeError, KeyError) as e:
                raise VestrelError(
                    Failure("usage", f"image '{self.image}' is not in the environment's images"),
                ) from e
        if self.run_on_exporter:
            managed = ManagedFile(filename, self.port)
            managed.sync_to_resource()
            return str(managed.get_remote_path())
        return str(filename)

    def _command(self, filename: str) -> List[str]:
        prefix: List[str] = list(self.port.command_prefix) if self.run_on_exporter else []
        return prefix + command_line(
            self.tool, self.port_name(), filename, baud=self.baud, reset=self.reset,
            reset_after=self.reset_after, skip_blank=self.skip_blank, wait=self.wait)

    def port_name(self) -> str:
        """The port as vestrel-cli names it: the device path, or the URL of a port server."""
        if not isinstance(self.port, NetworkSerialPort):
            if not self.port.port:
                raise VestrelError(Failure("port-absent", f"{self.port} has no device"))
            return str(self.port.port)
        scheme = URL_SCHEMES.get(self.port.protocol)
        if scheme is None:
            raise VestrelError(Failure(
                "usage", f"{self.port} has protocol '{self.port.protocol}': "
                f"vestrel-cli takes {' or '.join(URL_SCHEMES)}"))
        if self.run_on_exporter:
            # vestrel-cli runs on the exporter (or its proxy), which reaches the host as named.
            address = urlsplit("//" + self.port.host)
            host, port = address.hostname or self.port.host, address.port or self.port.port
        else:
            # Through an SSH forward where the exporter is reached through a proxy.
            host, port = proxymanager.get_host_and_port(self.port)
        if ":" in host:  # IPv6
            host = f"[{host}]"
        return f"{scheme}://{host}:{port}"

    def _release_port(self) -> List[Any]:
        """Deactivates the other drivers on the port (a console, and what runs on it): the port
        takes one client at a time. Returns the drivers to activate again afterwards."""
        active = [d for d in self.target.drivers if d.state is BindingState.active]
        for client in list(self.port.clients):
            if client is not self and client.state is BindingState.active:
                self.logger.info("releasing the port from %s during the load", client)
                self.target.deactivate(client)
        return [d for d in active if d.state is not BindingState.active]

    def _restore(self, released: List[Any], *, raising: bool) -> None:
        for driver in released:
            try:
                self.target.activate(driver)
            except Exception:
                if raising:
                    raise
                # The load's own failure is the one to report.
                self.logger.exception("could not activate %s again", driver)

    def _run(self, command: List[str]) -> None:
        try:
            process = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                       text=True, bufsize=1)
        except OSError as e:
            raise VestrelError(Failure("internal", f"cannot run {command[0]}: {e}")) from e
        stderr: List[str] = []
        drain = threading.Thread(target=self._collect, args=(process.stderr, stderr),
                                 daemon=True)
        drain.start()
        assert process.stdout is not None and process.stderr is not None
        try:
            events = EventStream(process.stdout)
            self._follow(events)
            returncode = process.wait()
        finally:
            _stop(process)
            drain.join(STOP_GRACE_SECONDS)
            process.stdout.close()
            process.stderr.close()
        failure = judge(events.result, returncode)
        if failure is not None:
            raise VestrelError(failure, stderr=stderr)

    def _collect(self, stream: "IO[str]", lines: List[str]) -> None:
        for line in stream:
            line = line.rstrip("\n")
            lines.append(line)
            self.logger.debug("vestrel-cli: %s", line)

    def _follow(self, events: EventStream) -> None:
        for event in events:
            if event["event"] == "phase" and event.get("state") == "started":
                self._phase(str(event.get("step")), events)
            else:
                self._note(event)

    @step(title="phase", args=["name"], result=True)
    def _phase(self, name: str, events: EventStream) -> str:
        """One step of the load (connect, erase, program, ...) as a labgrid step, whose result is
        its outcome; steps inside it (program's verify) become steps inside this one."""
        decile = 0
        for event in events:
            kind, state = event["event"], event.get("state")
            if kind == "phase" and state == "started":
                self._phase(str(event.get("step")), events)
            elif kind == "phase" and state == "ended" and event.get("step") == name:
                return str(event.get("outcome"))
            elif kind == "progress" and event.get("phase") == name:
                decile = self._progress(event, decile)
            else:
                self._note(event)
        return "unfinished"

    def _progress(self, event: Event, decile: int) -> int:
        """Logs a phase's progress each time it passes another tenth."""
        percent = event.get("percent")
        if not isinstance(percent, int) or percent // 10 <= decile:
            return decile
        self.logger.info("%s %d%%", event.get("phase"), percent)
        return percent // 10

    def _note(self, event: Event) -> None:
        kind = event["event"]
        if kind == "version":
            self.logger.info("bootloader %s, %s bytes of flash", event.get("version"),
                             event.get("flash_size"))
        elif kind == "retry":
            self.logger.info("retry: %s at %s (%s)", event.get("kind"), event.get("address"),
                             event.get("count"))
        elif kind == "message":  # an error box, whose text the failure carries as well
            self.logger.info("%s: %s", event.get("caption"), event.get("text"))


def _stop(process: "subprocess.Popen[str]") -> None:
    """Ends a vestrel-cli that is still running (the load was interrupted): SIGTERM lets it close
    the port with its settings put back; SIGKILL if it does not end in time."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(STOP_GRACE_SECONDS)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
