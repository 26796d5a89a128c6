"""The host's option table as Python's keywords (names, defaults, limits and
the host's reasons), the stubs against it, deprecated spellings, the record
check_options returns, float and 16-bit arrays, and EXIF orientation."""
import ast
import inspect
import io
import warnings
from pathlib import Path

import numpy
import pytest

import polarmosaic
from polarmosaic import _polarmosaic

TABLE = polarmosaic.option_table()
PICTURE = numpy.random.default_rng(11).integers(0, 256, (40, 56, 3), dtype=numpy.uint8)
KEYWORDS = {"sectors": 9, "ring": 6, "border_width": 2, "border_colour": (200, 40, 10)}
STUBS = Path(polarmosaic.__file__).with_name("__init__.pyi")


def by_kind(*kinds):
    return [e for e in TABLE if e["kind"] in kinds]


@pytest.mark.parametrize("entry", TABLE, ids=[e["name"] for e in TABLE])
def test_every_option_is_a_keyword_with_the_tables_default(entry):
    keyword = polarmosaic.keyword_of(entry["name"])
    defaults = set()
    for function in (polarmosaic.mosaic, polarmosaic.check_options):
        defaults.add(repr(inspect.signature(function).parameters[keyword].default))
    assert len(defaults) == 1
    default = inspect.signature(polarmosaic.mosaic).parameters[keyword].default
    kind, text = entry["kind"], entry["default"]
    if entry["name"] == "geometry":  # the tool's --classic flag
        assert set(entry["choices"]) == {"fitted", "classic"} and default is (text == "classic")
    elif kind == "whole":
        assert type(default) is int and default == int(text)
    elif kind == "number":
        assert default == float(text)
    elif kind == "flag":
        assert default is (text == "1")
    elif kind == "colour":
        assert polarmosaic.parse_color(default) == polarmosaic.parse_color(text)
    elif kind == "choice":
        assert default == text and default in entry["choices"]
    else:  # length, centre: None is the table's default of the geometry in use
        assert default is None
        for classic in (False, True) if entry["scope"] == "both" else (False,):
            given = {keyword: entry["classic_default" if classic else "default"]}
            options = {"classic": classic} if classic else {"sectors": 9}
            numpy.testing.assert_array_equal(polarmosaic.mosaic(PICTURE, **options),
                                             polarmosaic.mosaic(PICTURE, **options, **given))


def host_reason(keyword, value):
    """What the host says of value with Python's checks bypassed."""
    settings = polarmosaic._native(polarmosaic.check_options(threads=1))
    if keyword == "sectors":
        settings.sectors = value
    elif keyword == "border_colour":
        settings.border_color = value
    else:
        shades = list(settings.shades)
        shades[polarmosaic._SHADES.index(keyword)] = value
        settings.shades = shades
    with pytest.raises(ValueError) as refused:
        _polarmosaic.apply(PICTURE, settings)
    return str(refused.value)


def outside(entry):
    lo, hi = entry["min"], entry["max"]
    if entry["kind"] == "colour":
        return [(int(lo) - 1, 0, 0), (0, 0, int(hi) + 1)]
    step = 1 if entry["kind"] == "whole" else 0.5
    values = [lo - step, hi + step]
    return [type(lo)(v) if entry["kind"] == "number" else int(v) for v in values]


HOST_CHECKED = [e for e in by_kind("whole", "number", "colour") if e["name"] != "angle"]


@pytest.mark.parametrize("entry", HOST_CHECKED, ids=[e["name"] for e in HOST_CHECKED])
def test_values_outside_the_tables_limits_get_the_hosts_reason(entry):
    keyword = polarmosaic.keyword_of(entry["name"])
    lo = int(entry["min"]) if entry["kind"] != "number" else entry["min"]
    inside = (lo,) * 3 if entry["kind"] == "colour" else lo
    polarmosaic.check_options(**{keyword: inside})
    for value in outside(entry):
        with pytest.raises(ValueError) as refused:
            polarmosaic.mosaic(PICTURE, **{keyword: value})
        assert str(refused.value) == f"{keyword} {value!r}: {host_reason(keyword, value)}"


RULES = {"ring": _polarmosaic.RING_RULE, "border-width": _polarmosaic.LINE_WIDTH_RULE,
         "angle": _polarmosaic.ANGLE_RULE}


@pytest.mark.parametrize("name", sorted(RULES))
def test_lengths_and_angles_past_the_limits_get_the_hosts_rule(name):
    entry = next(e for e in TABLE if e["name"] == name)
    keyword = polarmosaic.keyword_of(name)
    texts = [f"{entry['max']:g}", {"angle": f"{-entry['max']:g}", "ring": "0.5"}.get(name, "0")]
    refused = [f"{entry['max'] + 1:.10g}"]
    if entry["kind"] == "length":
        texts.append(f"{entry['max_percent']:g}%")
        refused.append(f"{entry['max_percent'] + 1:g}%")
    for text in texts:
        polarmosaic.check_options(**{keyword: text})
    for text in refused:
        with pytest.raises(ValueError) as raised:
            polarmosaic.check_options(**{keyword: text})
        assert str(raised.value) == f"{keyword} {text!r} is not {RULES[name]}"


@pytest.mark.parametrize("entry", by_kind("choice", "flag"),
                         ids=[e["name"] for e in by_kind("choice", "flag")])
def test_choices_and_flags_take_only_theirs(entry):
    keyword = polarmosaic.keyword_of(entry["name"])
    if entry["kind"] == "flag" or entry["name"] == "geometry":
        scope = {"classic": True} if entry["scope"] == "classic" else {}
        with pytest.raises(TypeError, match=f"{keyword} must be True or False"):
            polarmosaic.check_options(**{**scope, keyword: 1})
        return
    for choice in entry["choices"]:
        polarmosaic.check_options(**{keyword: choice})
    with pytest.raises(ValueError) as refused:
        polarmosaic.check_options(**{keyword: "dots"})
    assert all(repr(choice) in str(refused.value) for choice in entry["choices"])


def stub_defaults(function):
    """Keyword defaults of a function in the .pyi stubs (literals only)."""
    tree = ast.parse(STUBS.read_text())
    for node in ast.walk(tree):
        if isinstance(node, ast.FunctionDef) and node.name == function:
            args = node.args
            return {a.arg: ast.literal_eval(d) for a, d in zip(args.kwonlyargs, args.kw_defaults)}
    raise AssertionError(f"{function} is not in {STUBS}")


@pytest.mark.parametrize("stub,function", [("mosaic", polarmosaic.mosaic),
                                           ("__init__", polarmosaic.Mosaic.__init__),
                                           ("check_options", polarmosaic.check_options)])
def test_stubs_carry_the_tables_keywords_and_defaults(stub, function):
    stubbed = stub_defaults(stub)
    real = {name: p.default for name, p in inspect.signature(polarmosaic.mosaic).parameters.items()
            if p.kind is p.KEYWORD_ONLY}
    if stub == "check_options":
        real = {k: v for k, v in real.items() if k != "auto_orient"}
    assert stubbed.keys() == real.keys()
    assert {polarmosaic.keyword_of(e["name"]) for e in TABLE} <= stubbed.keys()
    for keyword, default in real.items():
        assert stubbed[keyword] == default, keyword


DEPRECATED = [
    ({"borders": "rings"}, {"border": "rings"}),
    ({"width": 5}, {"border_width": 5}),
    ({"color": "#a0b0c0"}, {"border_colour": "#a0b0c0"}),
    ({"border_color": (1, 2, 3)}, {"border_colour": (1, 2, 3)}),
    ({"shades": (0.5, 2.0, 0.0, 1.5)},
     {"shade_outer": 0.5, "shade_inner": 2.0, "shade_ccw": 0.0, "shade_cw": 1.5}),
]


@pytest.mark.parametrize("old,new", DEPRECATED, ids=[next(iter(d[0])) for d in DEPRECATED])
def test_deprecated_spellings_warn_at_the_caller_and_mean_the_new(old, new):
    name = next(iter(old))
    for call in (lambda **k: polarmosaic.check_options(**k),
                 lambda **k: polarmosaic.Mosaic(56, 40, **k),
                 lambda **k: polarmosaic.mosaic(PICTURE, **k)):
        with pytest.warns(DeprecationWarning, match=f"{name}= is deprecated") as caught:
            call(**old)
        assert caught[0].filename == __file__
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert polarmosaic.check_options(**new) == _quietly(polarmosaic.check_options, **old)
    assert "eprecated" in polarmosaic.mosaic.__doc__ and name in polarmosaic.mosaic.__doc__


def _quietly(function, **keywords):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return function(**keywords)


def test_check_options_returns_a_named_record():
    options = polarmosaic.check_options(sectors=7, border="rings", border_colour="1,2,3",
                                        shade_cw=1.5)
    assert isinstance(options, polarmosaic.Options)
    assert (options.sectors, options.border, options.border_color) == (7, 3, (1, 2, 3))
    assert options.shades[3] == 1.5 and options[options._fields.index("sectors")] == 7
    assert "sectors=7" in repr(options)


# dtypes: the 8-bit effect between the documented conversions.
@pytest.mark.parametrize("dtype", [numpy.float32, numpy.float64, numpy.uint16])
@pytest.mark.parametrize("shape", [(40, 56, 3), (40, 56), (40, 56, 4)])
def test_float_and_sixteen_bit_arrays_give_the_eight_bit_bytes(dtype, shape):
    rng = numpy.random.default_rng(5)
    if dtype == numpy.uint16:
        image = rng.integers(0, 65536, shape).astype(numpy.uint16)
        eight = ((image.astype(numpy.int64) * 255 * 2 + 65535) // (2 * 65535)).astype(numpy.uint8)
    else:
        image = (rng.random(shape) * 1.2 - 0.1).astype(dtype)  # some outside 0 .. 1
        eight = numpy.round(numpy.clip(image.astype(numpy.float64), 0.0, 1.0) * 255.0)
        eight = eight.astype(numpy.uint8)
    result8 = polarmosaic.mosaic(eight, **KEYWORDS)
    if dtype == numpy.uint16:
        expected = result8.astype(numpy.uint16) * numpy.uint16(257)
    else:
        expected = result8.astype(dtype) / dtype(255)
    for result in (polarmosaic.mosaic(image, **KEYWORDS),
                   polarmosaic.Mosaic(56, 40, **KEYWORDS)(image)):
        assert result.dtype == dtype and result.shape == image.shape
        numpy.testing.assert_array_equal(result, expected)


@pytest.mark.parametrize("dtype", [numpy.int16, numpy.float16, numpy.bool_, numpy.int64])
def test_other_dtypes_are_refused_naming_the_accepted(dtype):
    with pytest.raises(TypeError, match="uint8, uint16, float32 or float64 array; got dtype"):
        polarmosaic.mosaic(PICTURE.astype(dtype))


def test_nan_is_refused():
    image = PICTURE.astype(numpy.float32) / 255
    image[3, 4, 1] = numpy.nan
    with pytest.raises(ValueError, match="NaN"):
        polarmosaic.mosaic(image)


def upright(stored, orientation):
    """The picture as shown, by EXIF's definition of where stored row 0 and
    column 0 go (2: row 0 top, column 0 right; 6: row 0 right, column 0 top; ...)."""
    t = stored.swapaxes(0, 1)
    return {1: stored, 2: stored[:, ::-1], 3: stored[::-1, ::-1], 4: stored[::-1],
            5: t, 6: t[:, ::-1], 7: t[::-1, ::-1], 8: t[::-1]}[orientation]


@pytest.mark.parametrize("orientation", range(1, 9))
def test_pillow_images_are_turned_by_their_exif_orientation(orientation):
    Image = pytest.importorskip("PIL.Image")
    stored = numpy.random.default_rng(orientation).integers(0, 256, (30, 44, 3), numpy.uint8)
    exif = Image.Exif()
    exif[0x0112] = orientation
    data = io.BytesIO()
    Image.fromarray(stored).save(data, "PNG", exif=exif)
    picture = Image.open(io.BytesIO(data.getvalue()))
    assert picture.getexif().get(0x0112) == orientation
    shown = numpy.ascontiguousarray(upright(stored, orientation))
    expected = polarmosaic.mosaic(shown, **KEYWORDS)
    numpy.testing.assert_array_equal(polarmosaic.mosaic(picture, **KEYWORDS), expected)
    height, width = shown.shape[:2]
    numpy.testing.assert_array_equal(polarmosaic.Mosaic(width, height, **KEYWORDS)(picture), expected)
    numpy.testing.assert_array_equal(polarmosaic.mosaic(picture, auto_orient=False, **KEYWORDS),
                                     polarmosaic.mosaic(stored, **KEYWORDS))
