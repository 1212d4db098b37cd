from typing import Any, Tuple

LUMA: int
CHROMA: int
LUMA_CHROMA: int
CHROMA_LUMA: int

def expand(plane: Any, kind: int, into: Any = ...) -> Any: ...
def read_display(rect: Tuple[int, int, int, int], raw: bool = ...) -> bytes: ...
def write_display(rect: Tuple[int, int, int, int], pixels: Any, /) -> None: ...
