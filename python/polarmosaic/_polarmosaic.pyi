# Native part of polarmosaic (pybind11). Call it through polarmosaic.mosaic,
# which checks every keyword first.
from typing import Sequence

import numpy

__version__: str
MIN_RING: float
MAX_RING: float
MAX_BORDER_WIDTH: int
MAX_SHADE: int
MAX_THREADS: int

def apply(image: numpy.ndarray, classic: bool, sectors: int, ring: float, tile_width: int,
          tile_height: int, cols: int, rows: int, split: bool, border: int,
          border_width: int, border_color: Sequence[int],
          shades: Sequence[float], background: Sequence[int],
          threads: int, max_memory: int) -> numpy.ndarray: ...

def checksum(rgb: numpy.ndarray) -> str: ...
