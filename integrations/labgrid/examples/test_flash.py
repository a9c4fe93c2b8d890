"""Flashes the board of the acquired place and checks, on its console, that the new application
runs:

    labgrid-client -p board-7 acquire
    pytest --lg-env env.yaml test_flash.py
    labgrid-client -p board-7 release
"""

from typing import Any

BANNER = "Hello from the application"  # what the application prints once it runs


def test_new_firmware_starts(target: Any) -> None:
    console = target.get_driver("ConsoleProtocol")
    # The load takes the serial port from the console and gives it back afterwards.
    target.get_driver("BootstrapProtocol").load()
    console.expect(BANNER, timeout=10)
