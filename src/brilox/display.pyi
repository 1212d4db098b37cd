import sys
from os import PathLike
from typing import Any, Dict, Final, Iterable, List, Optional, Sequence, Tuple, Union, final

from _typeshed import structseq

@final
class Event(structseq[int], Tuple[int, int, int, int, int, int, int, int, int, int]):
    if sys.version_info >= (3, 10):
        __match_args__: Final = ("type", "key", "mod", "button", "x", "y", "w", "h", "gain",
                                 "state")
    def __new__(cls, sequence: Iterable[int], dict: Dict[str, Any] = ...) -> "Event": ...
    @property
    def type(self) -> int: ...
    @property
    def key(self) -> int: ...
    @property
    def mod(self) -> int: ...
    @property
    def button(self) -> int: ...
    @property
    def x(self) -> int: ...
    @property
    def y(self) -> int: ...
    @property
    def w(self) -> int: ...
    @property
    def h(self) -> int: ...
    @property
    def gain(self) -> int: ...
    @property
    def state(self) -> int: ...

def init() -> None: ...
def quit() -> None: ...
def get_init() -> bool: ...
def set_mode(size: Sequence[int], depth: int = ..., flags: int = ..., /) -> None: ...
def toggle_fullscreen() -> bool: ...
def get_size() -> Tuple[int, int]: ...
def get_desktop_size() -> Tuple[int, int]: ...
def list_modes() -> Optional[List[Tuple[int, int]]]: ...
def flip() -> None: ...
def pump() -> None: ...
def quit_requested() -> bool: ...
def poll_events() -> List[Event]: ...
def wait_event(timeout_ms: int, /) -> Optional[Event]: ...
def post_event(type: int, /) -> None: ...
def set_caption(title: str, /) -> None: ...
def save(path: Union[str, bytes, PathLike[str], PathLike[bytes]], /) -> None: ...

NOEVENT: Final = 0
ACTIVEEVENT: Final = 1
KEYDOWN: Final = 2
KEYUP: Final = 3
MOUSEMOTION: Final = 4
MOUSEBUTTONDOWN: Final = 5
MOUSEBUTTONUP: Final = 6
QUIT: Final = 12
VIDEORESIZE: Final = 16
VIDEOEXPOSE: Final = 17
USEREVENT: Final = 24
SWSURFACE: Final = 0
RESIZABLE: Final = 0x10
FULLSCREEN: Final = 0x80000000
NOFRAME: Final = 0x20
APPMOUSEFOCUS: Final = 0x01
APPINPUTFOCUS: Final = 0x02
APPACTIVE: Final = 0x04
BUTTON_LEFT: Final = 1
BUTTON_MIDDLE: Final = 2
BUTTON_RIGHT: Final = 3
BUTTON_WHEELUP: Final = 4
BUTTON_WHEELDOWN: Final = 5
KMOD_SHIFT: Final = 0x0003
KMOD_CTRL: Final = 0x00C0
KMOD_ALT: Final = 0x0300
K_BACKSPACE: Final = 8
K_RETURN: Final = 13
K_ESCAPE: Final = 27
K_SPACE: Final = 32
K_COMMA: Final = 44
K_PERIOD: Final = 46
K_LEFTBRACKET: Final = 91
K_RIGHTBRACKET: Final = 93
K_0: Final = 48
K_9: Final = 57
K_a: Final = 97
K_f: Final = 102
K_m: Final = 109
K_p: Final = 112
K_q: Final = 113
K_s: Final = 115
K_t: Final = 116
K_v: Final = 118
K_UP: Final = 273
K_DOWN: Final = 274
K_RIGHT: Final = 275
K_LEFT: Final = 276
K_HOME: Final = 278
K_END: Final = 279
K_PAGEUP: Final = 280
K_PAGEDOWN: Final = 281
