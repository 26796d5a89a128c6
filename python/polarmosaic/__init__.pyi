from typing import Any, Dict, List, Literal, NamedTuple, Optional, Sequence, Tuple, Union

import numpy
import numpy.typing


Color = Union[str, Sequence[int]]
# Pixels, or a string such as "4%" (per cent of the half-diagonal).
Length = Union[float, str]
# (x, y), each pixels or a string such as "30%"; or one string "30%,40%".
Centre = Union[str, Tuple[Union[float, str], Union[float, str]]]
Border = Literal["none", "grid", "rings", "spokes"]
# uint8, uint16, float32 or float64 (0 .. 1); the result has the input's dtype.
Image = numpy.ndarray[Any, numpy.dtype[Union[numpy.uint8, numpy.uint16, numpy.float32,
                                             numpy.float64]]]

class Options(NamedTuple):
    classic: bool
    sectors: int
    ring: Optional[Tuple[float, bool]]
    line_width: Optional[Tuple[float, bool]]
    centre: Tuple[float, bool, float, bool]
    angle: float
    hard_edges: bool
    tile_width: int
    tile_height: int
    cols: int
    rows: int
    split: bool
    border: int
    border_color: Tuple[int, int, int]
    shades: Tuple[float, float, float, float]
    background: Tuple[int, int, int]
    threads: int
    max_memory: int

def option_table() -> List[Dict[str, Any]]: ...

def keyword_of(name: str) -> str: ...

__version__: str

def default_max_memory() -> int: ...

def checksum(rgb: numpy.typing.ArrayLike) -> str: ...

def parse_color(value: Color, name: str = ...) -> Tuple[int, int, int]: ...

def mosaic(image: numpy.typing.ArrayLike, *, sectors: int = 36,
           ring: Optional[Length] = None, centre: Optional[Centre] = None,
           angle: Union[float, str] = 0.0, hard_edges: bool = False,
           tile_width: Optional[int] = None, tile_height: Optional[int] = None,
           cols: int = 0, rows: int = 0, split: bool = False,
           border: Border = "grid",
           border_width: Union[int, str, None] = None,
           border_colour: Color = (48, 48, 48),
           shade_outer: float = 3.0, shade_inner: float = 0.3,
           shade_ccw: float = 3.0, shade_cw: float = 0.3,
           background: Color = "#ffffff", classic: bool = False,
           threads: int = 0, max_memory: Optional[int] = None,
           auto_orient: bool = True,
           # Deprecated spellings (DeprecationWarning), kept for one release.
           borders: Optional[Border] = None,
           width: Union[int, str, None] = None, color: Optional[Color] = None,
           border_color: Optional[Color] = None,
           shades: Optional[Tuple[float, float, float, float]] = None) -> Image: ...

class Mosaic:
    # Mosaic(width, height, **settings): settings are mosaic's keywords.
    def __init__(self, __width: int, __height: int, *, sectors: int = 36,
                 ring: Optional[Length] = None, centre: Optional[Centre] = None,
                 angle: Union[float, str] = 0.0, hard_edges: bool = False,
                 tile_width: Optional[int] = None, tile_height: Optional[int] = None,
                 cols: int = 0, rows: int = 0, split: bool = False,
                 border: Border = "grid",
                 border_width: Union[int, str, None] = None,
                 border_colour: Color = (48, 48, 48),
                 shade_outer: float = 3.0, shade_inner: float = 0.3,
                 shade_ccw: float = 3.0, shade_cw: float = 0.3,
                 background: Color = "#ffffff", classic: bool = False,
                 threads: int = 0, max_memory: Optional[int] = None,
                 auto_orient: bool = True,
                 # Deprecated spellings (DeprecationWarning), kept for one release.
                 borders: Optional[Border] = None,
                 width: Union[int, str, None] = None, color: Optional[Color] = None,
                 border_color: Optional[Color] = None,
                 shades: Optional[Tuple[float, float, float, float]] = None) -> None: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def plan_builds(self) -> int: ...
    def apply(self, frame: numpy.typing.ArrayLike) -> Image: ...
    def __call__(self, frame: numpy.typing.ArrayLike) -> Image: ...

def check_options(*, sectors: int = 36, ring: Optional[Length] = None,
                  centre: Optional[Centre] = None, angle: Union[float, str] = 0.0,
                  hard_edges: bool = False,
                  tile_width: Optional[int] = None, tile_height: Optional[int] = None,
                  cols: int = 0, rows: int = 0, split: bool = False,
                  border: Border = "grid", border_width: Union[int, str, None] = None,
                  border_colour: Color = (48, 48, 48), shade_outer: float = 3.0,
                  shade_inner: float = 0.3, shade_ccw: float = 3.0,
                  shade_cw: float = 0.3, background: Color = "#ffffff",
                  classic: bool = False, threads: int = 0,
                  max_memory: Optional[int] = None,
                  # Deprecated spellings (DeprecationWarning), kept for one release.
                  borders: Optional[Border] = None,
                  width: Union[int, str, None] = None, color: Optional[Color] = None,
                  border_color: Optional[Color] = None,
                  shades: Optional[Tuple[float, float, float, float]] = None) -> Options: ...
