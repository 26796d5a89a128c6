"""``python3 -m polarmosaic IN OUT [options]``: the effect on one picture
file, for those who have only the Python package. Pillow reads and writes the
files; the options are the command-line tool's."""

import argparse
import io
import os
import stat
import sys
import secrets

import numpy

from . import (_DEFAULTS, _TABLE, __version__, _composite, _pillow_pixels, _polarmosaic,
               check_options, mosaic)

EXIT_OK, EXIT_FILE_FAILED, EXIT_USAGE = 0, 1, 2

_FORMATS = {"png": "PNG", "jpg": "JPEG", "jpeg": "JPEG", "webp": "WEBP", "tif": "TIFF",
            "tiff": "TIFF", "ppm": "PPM", "pgm": "PGM"}
# Formats that keep a transparent picture's alpha; the others get it laid
# over the background before the effect, as the tool does.
_ALPHA_FORMATS = {"PNG", "WEBP", "TIFF"}
_BORDER_NUMBERS = {"1": "none", "2": "grid", "3": "rings", "4": "spokes"}


class FileError(Exception):
    """A failure of one file: the message is 'FILE: reason'."""


def to_array(picture):
    """The pixels of a Pillow image as the tool sees them: uint8 RGB (grey as
    three equal channels, 16 bits rounded to 8), or RGBA when the picture has
    transparency (see run_effect)."""
    pixels = numpy.asarray(_pillow_pixels(picture))
    if pixels.ndim == 2:
        return numpy.repeat(pixels[:, :, None], 3, axis=2)
    return pixels


def upright(picture):
    """The picture turned as its EXIF orientation says, as the tool does."""
    from PIL import ImageOps
    return ImageOps.exif_transpose(picture)


def load(path, auto_orient=True):
    from PIL import Image, UnidentifiedImageError
    name = "standard input" if path == "-" else path
    try:
        source = io.BytesIO(sys.stdin.buffer.read()) if path == "-" else path
        with Image.open(source) as picture:
            picture.load()
            return to_array(upright(picture) if auto_orient else picture)
    except UnidentifiedImageError:
        raise FileError(f"{name}: not a picture Pillow can read") from None
    except Image.DecompressionBombError as error:
        raise FileError(f"{name}: {error}") from None
    except OSError as error:
        raise FileError(f"{name}: {error.strerror or error}") from None


def run_effect(pixels, options, file_format):
    """mosaic(pixels, **options) for a file of file_format: a transparent
    picture keeps its alpha where the format has one (PNG, WebP, TIFF; the
    fitted geometry), and is otherwise laid over the background first, so
    that the pixels are the tool's."""
    if pixels.ndim == 3 and pixels.shape[2] == 4 and file_format not in _ALPHA_FORMATS:
        pixels = _composite(pixels, options.get("background", "#ffffff"))
    return mosaic(pixels, **options)


def encode(pixels, file_format, quality=90):
    """The file bytes of a mosaic result: RGB, RGBA where the result has
    alpha and the format keeps it, or the luma for PGM, as the tool writes
    it."""
    from PIL import Image
    if pixels.ndim == 2 or pixels.shape[2] == 1:
        picture = Image.fromarray(pixels.reshape(pixels.shape[:2]), "L")
        if file_format != "PGM":
            picture = picture.convert("RGB")
    elif file_format == "PGM":
        wide = pixels.astype(numpy.uint32)
        luma = (77 * wide[:, :, 0] + 150 * wide[:, :, 1] + 29 * wide[:, :, 2] + 128) >> 8
        picture = Image.fromarray(luma.astype(numpy.uint8), "L")
    elif pixels.shape[2] == 4 and file_format in _ALPHA_FORMATS:
        picture = Image.fromarray(numpy.ascontiguousarray(pixels), "RGBA")
    else:
        picture = Image.fromarray(numpy.ascontiguousarray(pixels[:, :, :3]), "RGB")
    buffer = io.BytesIO()
    options = {"quality": quality} if file_format in ("JPEG", "WEBP") else {}
    picture.save(buffer, "PPM" if file_format == "PGM" else file_format, **options)
    return buffer.getvalue()


def output_refusal(path):
    """Why the tool would not write path, in its words, or None: only a
    regular file (or a name that does not exist) is replaced, never a FIFO,
    a device or a socket."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return None
    if stat.S_ISREG(mode):
        return None
    if stat.S_ISDIR(mode):
        return "cannot write (it is a directory)"
    kind = ("a character device" if stat.S_ISCHR(mode) else "a block device" if stat.S_ISBLK(mode)
            else "a FIFO" if stat.S_ISFIFO(mode) else "a socket" if stat.S_ISSOCK(mode)
            else "not a regular file")
    return f"refusing to replace {kind} (not a regular file)"


def write_standard_output(data):
    """All of data to standard output. A pipe whose reader has gone takes
    part of it and then fails: that is an error, as in the tool."""
    stream = sys.stdout.buffer
    view = memoryview(data)
    try:
        stream.flush()
        while view:
            written = stream.write(view)  # may take less than all on a pipe
            view = view[written if written is not None else 0:]
        stream.flush()
    except OSError as error:
        try:  # nothing left for the interpreter to flush at exit
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, stream.fileno())
            os.close(devnull)
        except (OSError, ValueError, io.UnsupportedOperation):
            pass
        raise FileError(f"-: cannot write to standard output ({error.strerror or error})") from None


def write_atomically(path, data):
    """Writes to a temporary file beside path and renames it into place, so a
    failure leaves no partial file. The file gets the usual permissions
    (0666 less the umask), as the tool's do. Raises OSError."""
    folder = os.path.dirname(os.path.abspath(path))
    while True:
        temporary = os.path.join(
            folder, f".{os.path.basename(path)}.{secrets.token_hex(6)}.tmp")
        try:
            handle = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
            break
        except FileExistsError:
            continue
    try:
        with os.fdopen(handle, "wb") as stream:
            stream.write(data)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def save(pixels, path, file_format, quality):
    data = encode(pixels, file_format, quality)
    if path == "-":
        write_standard_output(data)
        return
    refusal = output_refusal(path)
    if refusal:
        raise FileError(f"{path}: {refusal}")
    try:
        write_atomically(path, data)
    except OSError as error:
        raise FileError(f"{path}: {error.strerror or error}") from None


def _length_text(pair):
    value, relative = pair
    return f"{value:g}%" if relative else f"{value:g} pixels"


def _checked_text(check, rule):
    """An argparse action that refuses a value as the tool does:
    "option -r: '0' is not a ring thickness ..."."""
    class Checked(argparse.Action):
        def __call__(self, parser, namespace, values, option_string=None):
            if not check(values):
                parser.error(f"option {option_string}: '{values}' is not {rule}")
            setattr(namespace, self.dest, values)
    return Checked


def _usable_length(usable):
    def check(text):
        parsed = _polarmosaic.parse_length(text)
        return parsed is not None and usable(*parsed)
    return check


def add_effect_options(p):
    """The tool's options of the effect itself."""
    p.add_argument("-s", "--sectors", type=int, default=_polarmosaic.DEFAULT_SECTORS,
                   help=f"sectors in the outer rings ({_polarmosaic.DEFAULT_SECTORS})")
    p.add_argument("-r", "--ring", metavar="LENGTH",
                   action=_checked_text(_usable_length(_polarmosaic.ring_usable),
                                        _polarmosaic.RING_RULE),
                   help="ring thickness, pixels or per cent of the half-diagonal "
                        f"({_length_text(_polarmosaic.DEFAULT_RING)}; classic "
                        f"{_length_text(_polarmosaic.CLASSIC_RING)})")
    p.add_argument("--centre", "--center", metavar="X,Y",
                   action=_checked_text(lambda text: _polarmosaic.parse_centre(text) is not None,
                                        _polarmosaic.CENTRE_RULE),
                   help="the centre, in pixels from the left and top edge or in per cent of "
                        "the way across (50%%,50%%)")
    p.add_argument("--angle", metavar="DEG",
                   action=_checked_text(lambda text: _polarmosaic.parse_angle(text) is not None,
                                        _polarmosaic.ANGLE_RULE),
                   help="direction of the first spoke, degrees counter-clockwise from "
                        "3 o'clock (0)")
    p.add_argument("--hard-edges", action="store_true",
                   help="no blending at tile and line edges")
    p.add_argument("--classic", action="store_true",
                   help="the module's classic framing (iPolarMosaic0) instead of the fitted one")
    p.add_argument("--tile-width", type=int, help="with --classic: tile width in polar columns; overrides --sectors")
    p.add_argument("--tile-height", type=int, help="tile height in polar rows; overrides --ring")
    p.add_argument("--cols", type=int, default=0, help="number of tile columns (0: cover the image)")
    p.add_argument("--rows", type=int, default=0, help="number of tile rows (0: cover the image)")
    p.add_argument("--split", action="store_true", default=False,
                   help="split the left-over part of an axis between a first and a last tile")
    p.add_argument("--no-split", dest="split", action="store_false", help="(default)")
    p.add_argument("-b", "--border", default=_DEFAULTS["border"],
                   help=f"none, grid, rings or spokes ({_DEFAULTS['border']})")
    p.add_argument("-w", "--border-width", metavar="LENGTH",
                   action=_checked_text(_usable_length(_polarmosaic.line_width_usable),
                                        _polarmosaic.LINE_WIDTH_RULE),
                   help="line width, whole pixels 0 .. 1024 or per cent of the half-diagonal "
                        f"({_length_text(_polarmosaic.DEFAULT_LINE_WIDTH)}; classic "
                        f"{_length_text(_polarmosaic.CLASSIC_LINE_WIDTH)})")
    p.add_argument("-c", "--border-color", "--border-colour", dest="border_colour",
                   default=_DEFAULTS["border_colour"],
                   help=f"#rrggbb or R,G,B ({_TABLE['border_colour']['default']})")
    for side, what in (("outer", "outer side of each ring"), ("inner", "inner side of each ring"),
                       ("ccw", "counter-clockwise side of each spoke"),
                       ("cw", "clockwise side of each spoke")):
        p.add_argument(f"--shade-{side}", type=float, default=_DEFAULTS[f"shade_{side}"],
                       help=f"{what} ({_TABLE[f'shade_{side}']['default']})")
    p.add_argument("--background", default="#ffffff",
                   help="colour under transparent pixels (#ffffff)")


def effect_options(args):
    """mosaic's keywords from the parsed options."""
    fitted = {}  # only when given: the classic geometry refuses them
    if args.centre is not None:
        fitted["centre"] = args.centre
    if args.angle is not None:
        fitted["angle"] = args.angle
    if args.hard_edges:
        fitted["hard_edges"] = True
    return dict(fitted, classic=args.classic, sectors=args.sectors, ring=args.ring,
                tile_width=args.tile_width,
                tile_height=args.tile_height, cols=args.cols, rows=args.rows,
                split=args.split, border=_BORDER_NUMBERS.get(args.border, args.border),
                border_width=args.border_width, border_colour=args.border_colour,
                shade_outer=args.shade_outer, shade_inner=args.shade_inner,
                shade_ccw=args.shade_ccw, shade_cw=args.shade_cw,
                background=args.background)


def parser():
    p = argparse.ArgumentParser(
        prog="python3 -m polarmosaic",
        description="Turns a picture into a polar mosaic (the polarmosaic tool's "
                    "effect and options; Pillow reads and writes the files).",
        epilog="Exit status: 0 written, 1 the file failed, 2 bad usage. "
               "Example: python3 -m polarmosaic -s 12 -r 60 -b rings photo.jpg rings.png")
    p.add_argument("input", metavar="INPUT", help="picture file, or - for standard input")
    p.add_argument("output", metavar="OUTPUT",
                   help="picture file (.png, .jpg, .webp, .tif, .ppm, .pgm), or - for "
                        "standard output")
    add_effect_options(p)
    p.add_argument("-f", "--format", choices=sorted(_FORMATS), help="output format")
    p.add_argument("-q", "--quality", type=int, default=90,
                   help="JPEG and WebP quality 1 .. 100 (90)")
    p.add_argument("--no-auto-orient", action="store_true",
                   help="keep the pixels as stored, ignoring the EXIF orientation")
    p.add_argument("-t", "--threads", type=int, default=0,
                   help="threads for the effect, 0 every core (default), 1 this one only")
    p.add_argument("-Q", "--quiet", action="store_true", help="print nothing but errors")
    p.add_argument("-V", "--version", action="version", version=f"polarmosaic {__version__}")
    return p


def main(argv=None):
    p = parser()
    args = p.parse_args(argv)
    if args.format:
        file_format = _FORMATS[args.format]
    elif args.output == "-":
        file_format = "PNG"
    else:
        file_format = _FORMATS.get(os.path.splitext(args.output)[1].lower().lstrip("."))
    if file_format is None:
        p.error(f"{args.output}: unknown output format (use .png, .jpg, .webp, .tif, .ppm, "
                ".pgm or --format)")
    if not 1 <= args.quality <= 100:
        p.error(f"--quality: {args.quality} is not a whole number in 1 .. 100")
    options = dict(effect_options(args), threads=args.threads)
    try:
        check_options(**options)  # before any file is touched
    except (TypeError, ValueError) as error:
        p.error(str(error))
    try:
        if (args.input != "-" and args.output != "-" and os.path.exists(args.output)
                and os.path.samefile(args.input, args.output)):
            raise FileError(f"{args.output}: refusing to overwrite the input file")
        refusal = output_refusal(args.output) if args.output != "-" else None
        if refusal:  # before any work; save looks again just before writing
            raise FileError(f"{args.output}: {refusal}")
        pixels = load(args.input, auto_orient=not args.no_auto_orient)
        try:
            result = run_effect(pixels, options, file_format)
        except ValueError as error:
            raise FileError(f"{args.input}: {error}") from None
        save(result, args.output, file_format, args.quality)
    except FileError as error:
        print(f"polarmosaic: {error}", file=sys.stderr)
        return EXIT_FILE_FAILED
    if not args.quiet and args.output != "-":
        height, width = result.shape[:2]
        print(f"polarmosaic: wrote {os.path.abspath(args.output)} "
              f"({width} x {height} {file_format})")
    return EXIT_OK
