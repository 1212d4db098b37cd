"""brilox module to work with the keyboard"""

def set_repeat(delay: int = ..., interval: int = ..., /) -> None:
    """set_repeat() -> None
    set_repeat(delay, interval) -> None
    control how held keys are repeated"""

def get_repeat() -> tuple[int, int]:
    """get_repeat() -> (delay, interval)
    see how held keys are repeated"""

def get_pressed() -> tuple[int, ...] | None:
    """get_pressed() -> bools
    get the state of all keyboard buttons"""

def name(key: int, /) -> str:
    """name(key) -> string
    get the name of a key identifier"""

def get_mods() -> int:
    """get_mods() -> int
    determine which modifier keys are being held"""

def set_mods(mods: int, /) -> None:
    """set_mods(int) -> None
    temporarily set which modifier keys are pressed"""

def get_focused() -> int:
    """get_focused() -> bool
    true if the display is receiving keyboard input from the system"""
