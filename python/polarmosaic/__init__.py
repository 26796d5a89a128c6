"""Polar mosaic effect on numpy arrays, exact to the last bit.

The picture is unrolled around its centre onto a polar grid, cut into tiles
filled with their average colour, optionally given bevel-shaded borders, and
mapped back: the tiles become ring sectors, the borders rings and spokes.
The bytes are those of the ``polarmosaic`` command-line tool for the same
pixels and options.

Example::

    >>> import numpy, polarmosaic
    >>> picture = numpy.zeros((120, 160, 3), numpy.uint8)
    >>> picture[:, 80:] = (200, 40, 40)
    >>> result = polarmosaic.mosaic(picture, sectors=12, ring=20)
    >>> result.shape, result.dtype
    ((120, 160, 3), dtype('uint8'))
"""

import inspect
import math
import os
import re
import warnings
from collections import namedtuple
from collections.abc import Sequence as _Sequence
from numbers import Integral, Real
from typing import Optional, Sequence, Union

import numpy

from . import _polarmosaic

__all__ = ["mosaic", "Mosaic", "Options", "checksum", "check_options", "option_table",
           "parse_color", "default_max_memory", "__version__"]

#: Version of the effect module and its host layer this extension was built from.
__version__: str = _polarmosaic.__version__

Color = Union[str, Sequence[int]]

_BORDERS = {"none": 1, "grid": 2, "rings": 3, "spokes": 4}
_MAX_TILE = _polarmosaic.MAX_TILE_SIZE
_INT32 = (1 << 31) - 1


def option_table() -> list:
    """The host layer's option table, as the tool and the web page read it:
    one dict per option with ``name`` (the tool's long option), ``kind``
    (whole, number, length, choice, flag, colour, centre), ``scope`` (both,
    fitted, classic), ``min``, ``max`` (pixels for lengths), ``min_percent``,
    ``max_percent``, ``default``, ``classic_default`` (as the tool writes
    them) and ``choices``. mosaic's keyword for an option is its name with
    '-' made '_' (``keyword_of``); the ``geometry`` choice is the tool's
    ``--classic`` flag, ``classic=True``."""
    return _polarmosaic.option_table()


def keyword_of(name: str) -> str:
    """mosaic's keyword for an option of the table."""
    return "classic" if name == "geometry" else name.replace("-", "_")


def _table_default(entry):
    """An option's default as mosaic's keyword takes it. Lengths and the
    centre default to None: the geometry's default (a length) and the
    middle, both from the table."""
    kind, text = entry["kind"], entry["default"]
    if entry["name"] == "geometry":
        return text == "classic"
    if kind == "whole":
        return int(text)
    if kind == "number":
        return float(text)
    if kind == "flag":
        return text == "1"
    if kind == "colour":
        return tuple(int(part) for part in text.split(","))
    if kind == "choice":
        return text
    return None  # length, centre


_TABLE = {keyword_of(entry["name"]): entry for entry in _polarmosaic.option_table()}
#: mosaic's defaults, from the host's option table.
_DEFAULTS = {keyword: _table_default(entry) for keyword, entry in _TABLE.items()}

# Spellings released before the table named the keywords, kept for one
# release: each gives a DeprecationWarning.
_DEPRECATED = {"borders": "border", "width": "border_width", "color": "border_colour",
               "border_color": "border_colour"}
_SHADES = ("shade_outer", "shade_inner", "shade_ccw", "shade_cw")


def _check_int(name, value, lo, hi):
    if isinstance(value, bool) or not isinstance(value, Integral):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    if not lo <= value <= hi:
        raise ValueError(f"{name} must be a whole number in {lo} .. {hi}, got {value}")
    return int(value)


def _check_real(name, value, lo, hi, unit=""):
    if isinstance(value, bool) or not isinstance(value, Real):
        raise TypeError(f"{name} must be a number, got {type(value).__name__}")
    if not lo <= value <= hi:  # also refuses NaN
        raise ValueError(f"{name} must be a number in {lo:g} .. {hi:g}{unit}, got {value!r}")
    return float(value)


def _check_bool(name, value):
    if not isinstance(value, (bool, numpy.bool_)):
        raise TypeError(f"{name} must be True or False, got {type(value).__name__}")
    return bool(value)


def _css_colour(name):
    """(R, G, B) of a CSS colour name in any ASCII case, from Pillow's table
    (the CSS Color Level 4 names, as the tool's), or None."""
    try:
        from PIL import ImageColor
    except ImportError:
        return None
    if not name.isascii():
        return None  # the tool lowers ASCII letters only
    # Pillow replaces an entry by its (R, G, B) once getrgb has looked it up.
    entry = ImageColor.colormap.get(name.lower())
    if isinstance(entry, str):
        entry = ImageColor.getrgb(entry)
    return tuple(entry[:3]) if isinstance(entry, tuple) else None


# The tool's colour rules (the host's): "#" and six ASCII hex digits; or
# three whole numbers 0 .. 255 of ASCII digits alone between two commas.
_HEX_COLOUR = re.compile(r"#([0-9A-Fa-f]{2})([0-9A-Fa-f]{2})([0-9A-Fa-f]{2})")
_DECIMAL_FIELD = re.compile(r"[0-9]+")  # digits only, as the host reads them


def _colour_text(text):
    """(R, G, B) of a colour as the tool's -c/--background read it, or None."""
    parts = _css_colour(text)
    if parts is not None:
        return parts
    match = _HEX_COLOUR.fullmatch(text)
    if match:
        return tuple(int(g, 16) for g in match.groups())
    fields = text.split(",")
    if len(fields) != 3 or not all(_DECIMAL_FIELD.fullmatch(f) for f in fields):
        return None
    parts = tuple(int(f) for f in fields)
    return parts if all(0 <= p <= 255 for p in parts) else None


def parse_color(value: Color, name: str = "color", *, _in_range=True) -> tuple:
    """Returns (R, G, B) from ``"#rrggbb"``, ``"R,G,B"``, a CSS colour name
    (with Pillow installed) or a sequence of three ints (a list, a tuple or
    a 1-D array; not a set, a dict or bytes). Strings follow the tool's
    rules exactly: what its ``-c`` refuses is refused here too.

    >>> parse_color("#ff8000"), parse_color("1,2,3"), parse_color((4, 5, 6))
    ((255, 128, 0), (1, 2, 3), (4, 5, 6))
    """
    if isinstance(value, str):
        parts = _colour_text(value)
        if parts is None:
            raise ValueError(
                f"{name} {value!r} is not a colour (#rrggbb, R,G,B with 0 .. 255 "
                "or a CSS colour name)")
        return parts
    ordered = isinstance(value, numpy.ndarray) and value.ndim == 1 or (
        isinstance(value, _Sequence) and not isinstance(value, (bytes, bytearray)))
    if not ordered:
        raise TypeError(
            f"{name} must be '#rrggbb', 'R,G,B', a CSS colour name or three ints, "
            f"got {type(value).__name__}")
    parts = list(value)
    if len(parts) != 3:
        raise ValueError(f"{name} needs three components (R, G, B), got {len(parts)}")
    if not _in_range:  # the host checks the range and gives its reason
        return tuple(max(-_INT32, min(_INT32, _check_int(f"{name} component", p, -math.inf, math.inf)))
                     for p in parts)
    return tuple(_check_int(f"{name} component", p, 0, 255) for p in parts)


def _composite(rgba, background) -> numpy.ndarray:
    """RGB of an H x W x 4 array laid over background, as the tool lays a
    transparent picture over its --background."""
    return _polarmosaic.composite(numpy.asarray(rgba), parse_color(background, "background"))


def _is_pillow_image(value):
    return hasattr(value, "mode") and hasattr(value, "convert") and hasattr(value, "getbands")


def _pillow_pixels(picture):
    """A Pillow image in a mode mosaic takes: grey stays grey (16 bits
    rounded to 8), palette and grey-with-alpha pictures become RGB or RGBA,
    other modes RGB."""
    mode = picture.mode
    if mode in ("L", "RGB", "RGBA"):
        return picture
    if mode in ("I;16", "I;16B", "I;16L", "I"):
        # 0 .. 65535 to 0 .. 255, rounded; 32-bit values outside 0 .. 65535
        # clamp to black and white, as Pillow's own conversion to L clamps.
        wide = numpy.clip(numpy.asarray(picture, dtype=numpy.int64), 0, 65535)
        return ((wide * 255 + 32767) // 65535).astype(numpy.uint8)
    if mode == "La":  # premultiplied alpha: Pillow converts it to LA only
        picture = picture.convert("LA")
        mode = "LA"
    if mode in ("LA", "PA", "RGBa") or (mode == "P" and "transparency" in picture.info):
        return picture.convert("RGBA")
    return picture.convert("RGB")


def checksum(rgb) -> str:
    """The pixel checksum that the tool's ``--checksum`` and the web page show.

    FNV-1a 64 over the RGB bytes of an H x W x 3 ``uint8`` array (any
    strides), row by row, as 16 lower-case hex digits.

    >>> checksum(numpy.zeros((1, 1, 3), numpy.uint8))
    'd94d12186c0f2fb7'
    """
    array = numpy.asarray(rgb)
    if array.dtype != numpy.uint8 or array.ndim != 3 or array.shape[2] != 3:
        raise TypeError(f"checksum needs an H x W x 3 uint8 array; got {array.dtype} {array.shape}")
    return _polarmosaic.checksum(numpy.ascontiguousarray(array))


def default_max_memory() -> int:
    """The memory one ``mosaic`` call may take unless ``max_memory`` says
    otherwise, in bytes: half the physical memory, and at most three
    quarters of the process's address-space limit (``ulimit -v``) when it
    has one; the tool's ``--memory`` default."""
    try:
        budget = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") // 2
    except (AttributeError, ValueError, OSError):
        budget = 0
    if budget <= 0:
        budget = 1 << 30
    try:
        import resource
        limit = resource.getrlimit(resource.RLIMIT_AS)[0]
        if limit != resource.RLIM_INFINITY:
            budget = min(budget, limit // 4 * 3)
    except (ImportError, OSError, ValueError):
        pass
    return budget


def _defaults_text(doc):
    """The host layer's defaults written into a docstring's {placeholders}."""
    if doc is None:  # python -OO
        return doc

    def length(text):
        return text if text.endswith("%") else f"{text} pixels"
    for keyword in ("ring", "border_width"):
        entry = _TABLE[keyword]
        doc = doc.replace("{DEFAULT_" + keyword.upper() + "}", length(entry["default"]))
        doc = doc.replace("{CLASSIC_" + keyword.upper() + "}", length(entry["classic_default"]))
    for keyword, entry in _TABLE.items():
        doc = doc.replace("{" + keyword + "}", entry["default"])
        if entry["kind"] in ("whole", "number"):
            doc = doc.replace("{" + keyword + ".max}", f"{entry['max']:g}")
    return doc


_D = _DEFAULTS


def mosaic(image, *, sectors: int = _D["sectors"],
           ring: Union[float, str, None] = _D["ring"],
           centre=_D["centre"], angle: Union[float, str] = _D["angle"],
           hard_edges: bool = _D["hard_edges"],
           tile_width: int = None, tile_height: int = None,
           cols: int = 0, rows: int = 0, split: bool = _D["split"],
           border: str = _D["border"], border_width: Union[int, str, None] = _D["border_width"],
           border_colour: Color = _D["border_colour"],
           shade_outer: float = _D["shade_outer"], shade_inner: float = _D["shade_inner"],
           shade_ccw: float = _D["shade_ccw"], shade_cw: float = _D["shade_cw"],
           background: Color = "#ffffff", classic: bool = _D["classic"],
           threads: int = 0, max_memory: Optional[int] = None, auto_orient: bool = True,
           borders: str = None, width: Union[int, str, None] = None,
           color: Color = None, border_color: Color = None, shades=None) -> numpy.ndarray:
    """Returns the polar mosaic of ``image`` as a new array of the same kind.

    ``image`` is an array (or a Pillow image of any mode, or anything
    ``numpy.asarray`` turns into an array) of shape H x W x 3 (RGB), H x W or
    H x W x 1 (grey: the result keeps the luma) or H x W x 4 (RGBA: the
    result keeps an alpha channel; tiles average colour weighted by alpha,
    alpha is the tiles' mean and lines are opaque. With ``classic=True``
    the picture is laid over ``background`` and the result is opaque). Any
    strides work, including non-contiguous views and negative strides.

    The dtype is ``uint8``, ``uint16`` or (scikit-image's convention, 0 ..
    1) ``float32`` or ``float64``; the result has the input's dtype. The
    effect works on 8 bits: ``uint16`` values become ``round(v * 255 /
    65535)`` and back ``v * 257``; floats become ``rint(clip(x, 0, 1) *
    255)`` (NaN is refused) and back ``v / 255`` in the input's dtype.

    A Pillow image is turned upright by its EXIF orientation first, as the
    tool does; ``auto_orient=False`` keeps it as stored (the tool's
    ``--no-auto-orient``).

    The keywords are the command-line tool's long options (the host's
    option table, see ``option_table``) with ``-`` made ``_``, with the
    same defaults:

    - ``sectors``: sectors around the circle (1 .. 32752; default
      {sectors}); ``ring``: ring thickness, a number of pixels or a
      string such as ``"4%"``, per cent of the picture's half-diagonal
      (default {DEFAULT_RING}; classic {CLASSIC_RING}).
    - ``centre``: the centre of the rings, ``(x, y)`` with each coordinate a
      number of pixels from the left or top edge or a string such as
      ``"30%"`` of the way across, or one string ``"30%,40%"`` as the tool's
      ``--centre`` takes it (default {centre}, the middle); ``angle``:
      direction of the first spoke in degrees counter-clockwise from 3
      o'clock (default {angle}); ``hard_edges``: no blending at tile and line
      edges.
    - ``classic``: the module's classic framing (``iPolarMosaic0``) instead
      of the geometry fitted to the picture: a polar image of the picture's
      own size, ``sectors`` and ``ring`` then give about that many tiles
      around and rings about that thick. With ``classic=True`` only:
      ``tile_width``, ``tile_height``: raw tile size in polar columns and
      rows, overriding ``sectors`` and ``ring``; ``cols``, ``rows``: tile
      counts (0 covers the image); ``split``: share the part of an axis left
      over by whole tiles between a first and a last tile. ``centre``,
      ``angle`` and ``hard_edges`` are the fitted geometry's alone.
    - ``border``: ``"none"``, ``"grid"``, ``"rings"`` or ``"spokes"``
      (default {border}); ``border_width``: whole pixels 0 .. 1024 or a
      string such as ``"0.5%"`` (default {DEFAULT_BORDER_WIDTH}; classic
      {CLASSIC_BORDER_WIDTH}); ``border_colour`` ``"#rrggbb"``, ``"R,G,B"``,
      a CSS colour name or three ints (default {border_colour});
      ``shade_outer``, ``shade_inner``, ``shade_ccw``, ``shade_cw``: bevel
      factors 0 .. {shade_outer.max} of the two sides of the rings and the
      spokes (defaults {shade_outer}, {shade_inner}, {shade_ccw},
      {shade_cw}).
    - Deprecated spellings, kept for one release (each gives a
      ``DeprecationWarning``): ``borders`` for ``border``, ``width`` for
      ``border_width``, ``color`` and ``border_color`` for
      ``border_colour``, and ``shades`` for the four factors (outer, inner,
      ccw, cw) at once; giving two spellings of one option is a
      ``TypeError``.
    - ``background``: the colour under transparent pixels (classic geometry).
    - ``threads``: threads that run the effect, the calling one included:
      0 (default) every core, 1 only the calling thread. The bytes never
      depend on it. Give 1 when you already process several pictures at
      once (Python threads, processes, Dask workers).
    - ``max_memory``: bytes the call may take, the result included; None
      (default) is ``default_max_memory()``, half the physical memory as the
      tool's ``--memory``; 0 sets no limit. The fitted geometry's polar grid
      follows the picture's diagonal, so a long thin picture can need far
      more than its pixels.

    Colours are in the array's channel order: for an OpenCV (BGR) array give
    them as (B, G, R), or pass ``image[..., ::-1]`` to work in RGB.

    The effect runs without the GIL, so Python threads can process several
    pictures at once. For many frames of one size, ``Mosaic`` lays out the
    geometry once.

    Raises ``TypeError`` for an array of another dtype or shape, or a keyword
    of the wrong type; ``ValueError`` with the reason for a size or option
    the effect refuses (for example an image smaller than 2 x 2, or one that
    needs more than ``max_memory``).

    >>> import numpy
    >>> grey = numpy.arange(64 * 48, dtype=numpy.uint32).reshape(48, 64) % 251
    >>> out = mosaic(grey.astype(numpy.uint8), sectors=8, border="none")
    >>> out.shape, out.dtype
    ((48, 64), dtype('uint8'))
    >>> mosaic(grey)
    Traceback (most recent call last):
      ...
    TypeError: image must be a uint8, uint16, float32 or float64 array; got dtype uint32
    """
    options = _check_options(
        3, sectors=sectors, ring=ring, centre=centre, angle=angle, hard_edges=hard_edges,
        tile_width=tile_width, tile_height=tile_height, cols=cols, rows=rows, split=split,
        border=border, border_width=border_width, border_colour=border_colour,
        shade_outer=shade_outer, shade_inner=shade_inner, shade_ccw=shade_ccw,
        shade_cw=shade_cw, background=background, classic=classic, threads=threads,
        max_memory=max_memory, borders=borders, width=width, color=color,
        border_color=border_color, shades=shades)
    pixels, restore = _eight_bit(_array(image, _check_bool("auto_orient", auto_orient)))
    return restore(_polarmosaic.apply(pixels, _native(options)))


mosaic.__doc__ = _defaults_text(mosaic.__doc__)
del _D

_DTYPES = "uint8, uint16, float32 or float64"


def _array(image, auto_orient=True):
    if isinstance(image, numpy.ndarray):
        return image
    if _is_pillow_image(image):
        if auto_orient:
            from PIL import ImageOps
            image = ImageOps.exif_transpose(image)
        return numpy.asarray(_pillow_pixels(image))
    return numpy.asarray(image)


def _eight_bit(array):
    """The array in 8 bits, and how to turn an 8-bit result back into the
    array's dtype (see mosaic)."""
    dtype = array.dtype
    if dtype == numpy.uint8:
        return array, lambda result: result
    if dtype == numpy.uint16:
        # round(v * 255 / 65535): v * 255 / 65535 is never halfway (65535 is odd).
        eight = ((array.astype(numpy.uint32) * 255 + 32767) // 65535).astype(numpy.uint8)
        return eight, lambda result: result.astype(numpy.uint16) * numpy.uint16(257)
    if dtype in (numpy.float32, numpy.float64):
        if numpy.isnan(array).any():
            raise ValueError("image has NaN values (a float image takes 0 .. 1)")
        # In float64, where x * 255 of a float32 is exact.
        eight = numpy.rint(numpy.clip(array, 0, 1).astype(numpy.float64) * 255).astype(numpy.uint8)
        return eight, lambda result: result.astype(dtype) / dtype.type(255)
    raise TypeError(f"image must be a {_DTYPES} array; got dtype {dtype}")


def _aliases(stacklevel, given):
    """given with the deprecated spellings moved to the table's keywords,
    each with a DeprecationWarning pointing at the caller."""
    defaults = {**_DEFAULTS, "border_width": None}
    for old, new in _DEPRECATED.items():
        value = given.pop(old, None)
        if value is None:
            continue
        warnings.warn(f"{old}= is deprecated; use {new}=", DeprecationWarning,
                      stacklevel=stacklevel)
        current = given.get(new, defaults[new])
        if current is not defaults[new] and current != defaults[new]:
            raise TypeError(f"give either {old} or {new}, not both")
        given[new] = value
    shades = given.pop("shades", None)
    if shades is not None:
        warnings.warn("shades= is deprecated; use shade_outer=, shade_inner=, shade_ccw=, "
                      "shade_cw=", DeprecationWarning, stacklevel=stacklevel)
        if any(given.get(k, _DEFAULTS[k]) != _DEFAULTS[k] for k in _SHADES):
            raise TypeError("give either shades or shade_outer/shade_inner/shade_ccw/shade_cw")
        try:
            values = tuple(shades)
        except TypeError:
            values = ()
        if len(values) != 4:
            raise TypeError("shades must be four numbers: outer, inner, ccw, cw")
        given.update(zip(_SHADES, values))
    return given


_SETTING_NAMES = frozenset(inspect.signature(mosaic).parameters) - {"image"}


class Mosaic:
    """``Mosaic(width, height, **settings)``: the effect laid out once for
    frames of one size, then applied to frame after frame.

    The settings are ``mosaic``'s keywords, checked here once, with the
    centre and the lengths in per cent resolved for ``width`` x ``height``;
    the fitted geometry's layout (the plan of every pixel's tile and line)
    is built here, once, so each frame costs only its pixels. ``m(frame)``
    or ``m.apply(frame)`` returns what ``mosaic(frame, **settings)`` does,
    byte for byte; a frame takes every kind ``mosaic`` takes (grey, RGB,
    RGBA, any dtype mosaic takes, any strides, Pillow images, turned upright
    unless ``auto_orient=False``) and must be ``width`` x ``height``
    (``ValueError`` otherwise). The work runs without the GIL; calls from
    several threads on one Mosaic run one after another (give each thread a
    Mosaic of its own to run them at once).

    >>> import numpy
    >>> m = Mosaic(64, 48, sectors=12, ring="10%", centre=("25%", 20))
    >>> frames = [numpy.full((48, 64, 3), v, numpy.uint8) for v in (0, 128)]
    >>> [m(f).shape for f in frames], m.plan_builds
    ([(48, 64, 3), (48, 64, 3)], 1)
    """

    def __init__(self, *size, **settings):
        if len(size) != 2:
            raise TypeError(f"Mosaic takes width and height, got {len(size)} positional "
                            "arguments")
        unknown = sorted(set(settings) - _SETTING_NAMES)
        if unknown:
            raise TypeError(f"Mosaic() got an unexpected keyword argument {unknown[0]!r}")
        frame_width = _check_int("width", size[0], 0, (1 << 31) - 1)
        frame_height = _check_int("height", size[1], 0, (1 << 31) - 1)
        self._auto_orient = _check_bool("auto_orient", settings.pop("auto_orient", True))
        options = _check_options(3, **settings)
        self._native = _polarmosaic.Mosaic(frame_width, frame_height, _native(options))

    @property
    def width(self) -> int:
        """Width of the frames, in pixels."""
        return self._native.width

    @property
    def height(self) -> int:
        """Height of the frames, in pixels."""
        return self._native.height

    @property
    def plan_builds(self) -> int:
        """How often the geometry was laid out: 1 (again only in a forked
        child process)."""
        return self._native.plan_builds

    def apply(self, frame) -> numpy.ndarray:
        """The mosaic of one frame, as ``mosaic(frame, **settings)``."""
        pixels, restore = _eight_bit(_array(frame, self._auto_orient))
        return restore(self._native.apply(pixels))

    __call__ = apply

    def __repr__(self):
        return f"<polarmosaic.Mosaic {self.width} x {self.height}>"


def _float(number):
    """A Python number as a float; too large ones are infinite."""
    try:
        return float(number)
    except OverflowError:
        return math.inf if number > 0 else -math.inf


def _length(name, value, rule, usable, whole):
    """(value, relative) of a length keyword: a number of pixels or a text
    as the tool reads it ("28", "4%"); None stays None."""
    if value is None:
        return None
    if isinstance(value, str):
        parsed = _polarmosaic.parse_length(value)
    elif whole:
        if isinstance(value, bool) or not isinstance(value, Integral):
            raise TypeError(f"{name} must be an int or a string such as '0.5%', "
                            f"got {type(value).__name__}")
        parsed = (_float(value), False)
    else:
        if isinstance(value, bool) or not isinstance(value, Real):
            raise TypeError(f"{name} must be a number or a string such as '4%', "
                            f"got {type(value).__name__}")
        parsed = (_float(value), False)
    if parsed is None or not usable(*parsed):
        raise ValueError(f"{name} {value!r} is not {rule}")
    return parsed


def _centre(value):
    """(x, x_relative, y, y_relative) of the centre keyword."""
    if value is None:
        return (50.0, True, 50.0, True)
    refused = ValueError(f"centre {value!r} is not {_polarmosaic.CENTRE_RULE}")
    if isinstance(value, str):
        parsed = _polarmosaic.parse_centre(value)
        if parsed is None:
            raise refused
        return parsed
    ordered = isinstance(value, numpy.ndarray) and value.ndim == 1 or (
        isinstance(value, _Sequence) and not isinstance(value, (bytes, bytearray)))
    if not ordered or len(value) != 2:
        raise TypeError("centre must be (x, y), each a number of pixels or a string such as "
                        f"'30%', or a string 'X,Y'; got {value!r}")
    parts = []
    for part in value:
        if isinstance(part, str):
            parsed = _polarmosaic.parse_length(part)
            if parsed is None:
                raise refused
            parts.extend(parsed)
        elif isinstance(part, Real) and not isinstance(part, (bool, numpy.bool_)):
            parts.extend((_float(part), False))
        else:
            raise TypeError("centre coordinates must be numbers of pixels or strings such as "
                            f"'30%', got {type(part).__name__}")
    return tuple(parts)


def _angle(value):
    if isinstance(value, str):
        parsed = _polarmosaic.parse_angle(value)
    elif isinstance(value, Real) and not isinstance(value, (bool, numpy.bool_)):
        parsed = _float(value) if _polarmosaic.angle_usable(_float(value)) else None
    else:
        raise TypeError(f"angle must be a number of degrees, got {type(value).__name__}")
    if parsed is None:
        raise ValueError(f"angle {value!r} is not {_polarmosaic.ANGLE_RULE}")
    return parsed


#: What check_options returns: mosaic's keywords checked, in the extension's
#: units (``border`` the module's number, lengths ``(value, relative)``,
#: ``centre`` ``(x, x_relative, y, y_relative)``, colours ``(R, G, B)``,
#: ``shades`` (outer, inner, ccw, cw)). A named tuple: by name or by index.
Options = namedtuple("Options", [
    "classic", "sectors", "ring", "line_width", "centre", "angle", "hard_edges",
    "tile_width", "tile_height", "cols", "rows", "split", "border", "border_color",
    "shades", "background", "threads", "max_memory"])


def _native(options):
    """The extension's settings of checked options."""
    settings = _polarmosaic.Settings()
    for field, value in options._asdict().items():
        setattr(settings, field, value)
    return settings


def _refused(keyword, value, reason):
    return ValueError(f"{keyword} {value!r}: {reason}")


def check_options(*, sectors=_DEFAULTS["sectors"], ring=_DEFAULTS["ring"],
                  centre=_DEFAULTS["centre"], angle=_DEFAULTS["angle"],
                  hard_edges=_DEFAULTS["hard_edges"], tile_width=None, tile_height=None, cols=0,
                  rows=0, split=_DEFAULTS["split"], border=_DEFAULTS["border"],
                  border_width=_DEFAULTS["border_width"], border_colour=_DEFAULTS["border_colour"],
                  shade_outer=_DEFAULTS["shade_outer"], shade_inner=_DEFAULTS["shade_inner"],
                  shade_ccw=_DEFAULTS["shade_ccw"], shade_cw=_DEFAULTS["shade_cw"],
                  background="#ffffff", classic=_DEFAULTS["classic"], threads=0,
                  max_memory=None, borders=None, width=None, color=None, border_color=None,
                  shades=None) -> Options:
    """Checks mosaic's keywords one by one (what depends on the image, such
    as the centre and lengths in per cent, is checked by mosaic) and returns
    them as an ``Options`` record. Raises TypeError or ValueError naming
    the keyword; a value out of range is refused with the host layer's
    reason (as the tool gives it). Takes mosaic's deprecated spellings too,
    with a DeprecationWarning."""
    given = dict(locals())
    return _check_options(3, **given)


def _check_options(stacklevel, **given):
    """check_options; stacklevel is the user's frame as warnings.warn called
    here would count it (the deprecation warnings point at it)."""
    keywords = {**inspect.signature(check_options).parameters}
    unknown = sorted(set(given) - set(keywords))
    if unknown:
        raise TypeError(f"unexpected keyword argument {unknown[0]!r}")
    given = _aliases(stacklevel + 1, given)
    values = {name: given.get(name, p.default) for name, p in keywords.items()
              if name not in _DEPRECATED and name != "shades"}
    return _checked(**values)


def _checked(*, sectors, ring, centre, angle, hard_edges, tile_width, tile_height, cols, rows,
             split, border, border_width, border_colour, shade_outer, shade_inner, shade_ccw,
             shade_cw, background, classic, threads, max_memory):
    classic = _check_bool("classic", classic)
    hard_edges = _check_bool("hard_edges", hard_edges)
    if not classic:
        for name, value, default in (("tile_width", tile_width, None),
                                     ("tile_height", tile_height, None),
                                     ("cols", cols, 0), ("rows", rows, 0),
                                     ("split", split, _DEFAULTS["split"])):
            if value is not default and value != default:
                raise ValueError(f"{name} sets the classic polar grid; add classic=True "
                                 "(the fitted geometry takes sectors and ring)")
    else:
        for name, given in (("centre", centre is not None),
                            ("angle", not (isinstance(angle, Real) and angle == 0)),
                            ("hard_edges", hard_edges)):
            if given:
                raise ValueError(f"{name} is for the fitted geometry; leave out classic=True")
    entry = _TABLE["sectors"]
    sectors = _check_int("sectors", sectors, -math.inf, math.inf)
    if classic and not entry["min"] <= sectors <= entry["max"]:
        # The host turns classic sectors into a tile width; the table's limits hold.
        raise _refused("sectors", sectors, f"sector count {sectors} is out of range "
                       f"({entry['min']:g} .. {entry['max']:g})")
    if not classic:
        sectors = max(-_INT32, min(_INT32, sectors))
    if not isinstance(border, str):
        raise TypeError(f"border must be a str, got {type(border).__name__}")
    choices = _TABLE["border"]["choices"]
    if border not in choices:
        raise ValueError(f"border must be {', '.join(map(repr, choices))}, got {border!r}")
    shade_values = [_check_real(name, value, -math.inf, math.inf)
                    for name, value in zip(_SHADES, (shade_outer, shade_inner, shade_ccw,
                                                     shade_cw))]
    options = Options(
        classic=classic, hard_edges=hard_edges, sectors=sectors,
        ring=_length("ring", ring, _polarmosaic.RING_RULE, _polarmosaic.ring_usable,
                     whole=False),
        centre=_centre(centre), angle=_angle(angle),
        tile_width=0 if tile_width is None else _check_int("tile_width", tile_width, 1, _MAX_TILE),
        tile_height=(0 if tile_height is None
                     else _check_int("tile_height", tile_height, 1, _MAX_TILE)),
        cols=_check_int("cols", cols, 0, _MAX_TILE), rows=_check_int("rows", rows, 0, _MAX_TILE),
        split=_check_bool("split", split), border=_BORDERS[border],
        line_width=_length("border_width", border_width, _polarmosaic.LINE_WIDTH_RULE,
                           _polarmosaic.line_width_usable, whole=True),
        border_color=parse_color(border_colour, "border_colour", _in_range=False),
        shades=tuple(shade_values), background=parse_color(background, "background"),
        threads=_check_int("threads", threads, 0, _polarmosaic.MAX_THREADS),
        max_memory=(default_max_memory() if max_memory is None
                    else _check_int("max_memory", max_memory, 0, (1 << 64) - 1)))
    reason = _polarmosaic.settings_reason(_native(options))
    if reason:
        # The first value the host refuses, named by its keyword.
        for keyword, value in (("sectors", sectors), ("border_colour", border_colour),
                               *zip(_SHADES, (shade_outer, shade_inner, shade_ccw, shade_cw))):
            trial = options._replace(sectors=_DEFAULTS["sectors"] if keyword != "sectors" else sectors,
                                     border_color=(options.border_color if keyword == "border_colour"
                                                   else _DEFAULTS["border_colour"]),
                                     shades=tuple(float(value) if name == keyword else _DEFAULTS[name]
                                                  for name in _SHADES))
            if _polarmosaic.settings_reason(_native(trial)) == reason:
                raise _refused(keyword, value, reason)
        raise ValueError(reason)
    return options
