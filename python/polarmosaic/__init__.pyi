from typing import Any, Literal, Optional, Sequence, Tuple, Union

import numpy
import numpy.typing

Color = Union[str, Sequence[int]]

__version__: str

def default_max_memory() -> int: ...

def checksum(rgb: numpy.typing.ArrayLike) -> str: ...

def parse_color(value: Color, name: str = ...) -> Tuple[int, int, int]: ...

def mosaic(image: numpy.typing.ArrayLike, *, sectors: int = 36, ring: float = 28.0,
           tile_width: Optional[int] = None, tile_height: Optional[int] = None,
           cols: int = 0, rows: int = 0, split: bool = False,
           border: Literal["none", "grid", "rings", "spokes"] = "grid",
           border_width: int = 5, border_color: Color = "#303030",
           shade_outer: float = 3.0, shade_inner: float = 0.3,
           shade_ccw: float = 3.0, shade_cw: float = 0.3,
           background: Color = "#ffffff", classic: bool = False,
           threads: int = 0, max_memory: Optional[int] = None,
           borders: Optional[Literal["none", "grid", "rings", "spokes"]] = None,
           width: Optional[int] = None, color: Optional[Color] = None,
           shades: Optional[Tuple[float, float, float, float]] = None
           ) -> numpy.ndarray[Any, numpy.dtype[numpy.uint8]]: ...

def check_options(*, sectors: int = 36, ring: float = 28.0,
                  tile_width: Optional[int] = None, tile_height: Optional[int] = None,
                  cols: int = 0, rows: int = 0, split: bool = False,
                  border: str = "grid", border_width: int = 5,
                  border_color: Color = "#303030", shade_outer: float = 3.0,
                  shade_inner: float = 0.3, shade_ccw: float = 3.0,
                  shade_cw: float = 0.3, background: Color = "#ffffff",
                  classic: bool = False, threads: int = 0,
                  max_memory: Optional[int] = None) -> tuple: ...
