"""YUV video overlays shown on the display surface."""

import sys
from typing import Any, Callable, Dict, Protocol, Sequence, Tuple, TypeVar, Union, overload

if sys.version_info >= (3, 9):
    from typing_extensions import disjoint_base as _disjoint_base
else:
    # The type checkers that still run on 3.8 know no such decorator.
    _C = TypeVar("_C", bound=Callable[..., object])

    def _disjoint_base(cls: _C) -> _C: ...

if sys.version_info >= (3, 12):
    from collections.abc import Buffer as _Buffer
else:
    from typing_extensions import Buffer as _Buffer

# numpy's own stubs give its arrays the buffer protocol from 3.12 on only.
class _NumpyArray(Protocol):
    @property
    def __array_interface__(self) -> Dict[str, Any]: ...

# A frame: the Y, U and V planes (or one packed plane and two empty ones), as
# any buffer of bytes (bytes, bytearray, memoryview, array.array, mmap, numpy
# uint8 arrays, 2-D ones read row by row) or as text taken in its UTF-8
# encoding.
_Plane = Union[_Buffer, _NumpyArray, str]
_Frame = Sequence[_Plane]
_Pair = Sequence[int]
_RectStyle = Union[Tuple[int, int, int, int], Sequence[int], Tuple[_Pair, _Pair]]

# Its instances have a layout of their own: a class cannot derive from it and
# from another such type at once.
@_disjoint_base
class Overlay:
    """Overlay(format, (width, height)) -> Overlay
    brilox object for video overlay graphics"""

    def __new__(cls, format: int, size: _Pair, /) -> "Overlay": ...
    @overload
    def set_location(self, rect: _RectStyle, /) -> None: ...
    @overload
    def set_location(self, position: _Pair, size: _Pair, /) -> None: ...
    @overload
    def set_location(self, x: int, y: int, w: int, h: int, /) -> None: ...
    @overload
    def display(self) -> None: ...
    @overload
    def display(self, frame: _Frame, /) -> None: ...
    def get_hardware(self) -> int: ...
