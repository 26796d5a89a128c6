# Native part of polarmosaic (pybind11). Call it through polarmosaic.mosaic
# and polarmosaic.Mosaic, which check every keyword first.
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy

__version__: str
MAX_BORDER_WIDTH: int
MAX_SHADE: int
MAX_THREADS: int
MAX_TILE_SIZE: int
DEFAULT_SECTORS: int
# Lengths as (value, relative): relative in per cent of the half-diagonal.
DEFAULT_RING: Tuple[float, bool]
DEFAULT_LINE_WIDTH: Tuple[float, bool]
CLASSIC_RING: Tuple[float, bool]
CLASSIC_LINE_WIDTH: Tuple[float, bool]
RING_RULE: str
LINE_WIDTH_RULE: str
CENTRE_RULE: str
ANGLE_RULE: str

def option_table() -> List[Dict[str, Any]]: ...
def settings_reason(settings: Settings) -> str: ...
def parse_length(text: str) -> Optional[Tuple[float, bool]]: ...
def ring_usable(value: float, relative: bool) -> bool: ...
def line_width_usable(value: float, relative: bool) -> bool: ...
def parse_centre(text: str) -> Optional[Tuple[float, bool, float, bool]]: ...
def parse_angle(text: str) -> Optional[float]: ...
def angle_usable(degrees: float) -> bool: ...

class Settings:
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
    border_color: List[int]
    shades: List[float]
    background: List[int]
    threads: int
    max_memory: int
    def __init__(self) -> None: ...

def apply(image: numpy.ndarray, settings: Settings) -> numpy.ndarray: ...

class Mosaic:
    def __init__(self, width: int, height: int, settings: Settings) -> None: ...
    def apply(self, image: numpy.ndarray) -> numpy.ndarray: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def plan_builds(self) -> int: ...

def composite(image: numpy.ndarray, background: Sequence[int]) -> numpy.ndarray: ...

def checksum(rgb: numpy.ndarray) -> str: ...
