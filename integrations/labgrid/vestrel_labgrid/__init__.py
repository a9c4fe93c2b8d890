"""labgrid driver for boards with Vestrel's serial bootloader: `imports: [vestrel_labgrid]` in an
environment file registers `VestrelDriver`."""

from .driver import VestrelDriver, VestrelError

__all__ = ["VestrelDriver", "VestrelError"]
