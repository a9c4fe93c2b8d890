"""The labgrid driver's example and tests on one machine (`make test-labgrid`, which installs
the package into the virtual environment whose python runs this).

Writes the test lab's environment file and runs the example and the driver's tests with
`pytest --lg-env` against it. The lab's boards are simulators on pseudo-terminals, one behind
Debian's ser2net and one serving RFC 2217 itself; the pytest plugin `lab` starts and stops them.
Everything listens on 127.0.0.1 only.
"""

import argparse
import json
import os
import random
import socket
import subprocess
import sys
from pathlib import Path
from typing import Any, Dict, List

import yaml

PACKAGE = Path(__file__).resolve().parent.parent
FLASH_SIZE = 0x4000
PROGRAM_FLASH = 0x1D000000  # physical address of the program flash: where the HEX file's data go
BANNER = "Hello from the application"  # what the lab's boards print once started


def free_loopback_ports(count: int) -> List[int]:
    """Ports that nothing listens on now, all different (held open together while chosen)."""
    sockets = [socket.socket() for _ in range(count)]
    try:
        for s in sockets:
            s.bind(("127.0.0.1", 0))
        return [int(s.getsockname()[1]) for s in sockets]
    finally:
        for s in sockets:
            s.close()


def hex_record(kind: int, address: int, data: bytes) -> str:
    body = bytes([len(data), address >> 8, address & 0xFF, kind]) + data
    return f":{body.hex().upper()}{(-sum(body)) & 0xFF:02X}\n"


def write_firmware(work: Path) -> None:
    """A firmware of made-up bytes that ends within a block (blank blocks follow), as a HEX file,
    and the flash it should leave behind."""
    data = random.Random(7).randbytes(5000)
    lines = [hex_record(4, 0, (PROGRAM_FLASH >> 16).to_bytes(2, "big"))]
    lines += [hex_record(0, offset, data[offset:offset + 16]) for offset in range(0, len(data), 16)]
    lines.append(hex_record(1, 0, b""))
    (work / "app.hex").write_text("".join(lines))
    (work / "app.flash").write_bytes(data + b"\xff" * (FLASH_SIZE - len(data)))


def environment(work: Path, cli: Path, ser2net_port: int, server_port: int) -> Dict[str, Any]:
    """The lab as labgrid sees it: two boards on local ports, one behind ser2net and one behind
    the simulator's own port server, whose reset hangs on DTR."""
    lab = work / "lab"

    def drivers(**vestrel: Any) -> Dict[str, Any]:
        return {"SerialDriver": {}, "VestrelDriver": {"image": "app", **vestrel}}

    return {
        "imports": ["vestrel_labgrid"],
        "tools": {"vestrel-cli": str(cli)},
        "images": {"app": str(work / "app.hex")},
        "targets": {
            "main": {"resources": {"RawSerialPort": {"port": str(lab / "main")}},
                     "drivers": drivers()},
            "second": {"resources": {"RawSerialPort": {"port": str(lab / "second")}},
                       "drivers": drivers(skip_blank=True)},
            "ser2net": {"resources": {"NetworkSerialPort": {
                "host": "127.0.0.1", "port": ser2net_port, "protocol": "rfc2217"}},
                "drivers": drivers()},
            "portserver": {"resources": {"NetworkSerialPort": {
                "host": "127.0.0.1", "port": server_port, "protocol": "rfc2217"}},
                "drivers": drivers(reset="dtr-pulse", reset_after=True)},
        },
    }


def boards(work: Path, sim: Path, ser2net_port: int, server_port: int) -> Dict[str, Any]:
    """What the pytest plugin `lab` needs to play the boards of the environment."""
    lab = work / "lab"
    common = ["--flash-size", hex(FLASH_SIZE), "--erase-ms", "50", "--app-text", BANNER + "\r\n",
              "--app-delay-ms", "1000", "--quiet", "--max-seconds", "600"]
    return {
        "sim": str(sim), "dir": str(lab), "banner": BANNER,
        "image": str(work / "app.hex"), "flash": str(work / "app.flash"),
        "env": str(work / "lab.yaml"),
        "ser2net": {"port": ser2net_port, "device": str(lab / "ser2net")},
        "boards": {
            "main": common + ["--link", str(lab / "main")],
            "second": common + ["--link", str(lab / "second")],
            "ser2net": common + ["--link", str(lab / "ser2net")],
            "portserver": common + ["--listen", f"rfc2217://127.0.0.1:{server_port}",
                                    "--reset-line", "dtr"],
        },
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", type=Path, required=True,
                        help="folder of vestrel-cli and vestrel-sim")
    parser.add_argument("--work", type=Path, required=True, help="scratch folder (build/labgrid)")
    parser.add_argument("pytest_args", nargs="*", help="more pytest arguments (after --)")
    args = parser.parse_args()
    work: Path = args.work.resolve()
    cli, sim = args.bin.resolve() / "vestrel-cli", args.bin.resolve() / "vestrel-sim"
    for program in (cli, sim):
        if not os.access(program, os.X_OK):
            print(f"run_lab: {program} is missing (make test-labgrid builds it)", file=sys.stderr)
            return 1
    (work / "lab").mkdir(parents=True, exist_ok=True)

    write_firmware(work)
    ser2net_port, server_port = free_loopback_ports(2)
    (work / "lab.yaml").write_text(yaml.safe_dump(
        environment(work, cli, ser2net_port, server_port), sort_keys=False))
    (work / "lab.json").write_text(
        json.dumps(boards(work, sim, ser2net_port, server_port), indent=2))

    env = dict(os.environ, VESTREL_LAB=str(work / "lab.json"),
               PYTHONPATH=str(PACKAGE / "tests"), PYTHONDONTWRITEBYTECODE="1")
    command = [sys.executable, "-m", "pytest", "--lg-env", str(work / "lab.yaml"), "-p", "lab",
               "-p", "no:cacheprovider", "--rootdir", str(PACKAGE), "-v",
               "-W", "ignore::DeprecationWarning:serial.rfc2217",
               str(PACKAGE / "examples"), str(PACKAGE / "tests"), *args.pytest_args]
    print("+", " ".join(command), flush=True)
    return subprocess.run(command, env=env).returncode


if __name__ == "__main__":
    sys.exit(main())
