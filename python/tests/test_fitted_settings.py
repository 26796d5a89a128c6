"""Centre, angle and lengths as the tool reads them; transparency kept by the
fitted geometry; Mosaic, the layout kept from frame to frame."""
import math
import re
import subprocess
import threading
import time

import numpy
import pytest

import polarmosaic
from conftest import make_picture, read_pnm, write_pnm

PICTURE = make_picture(18, 24, seed=31)

# (keyword, the tool's option, texts): each text is given to both.
TEXTS = [
    ("ring", "-r", ["4%", "0.5", "28", "200%", "12.", ".5%", "65535", "200.5%", "65536", "0",
                    "0%", "-3", "1e2", "abc", "", " 5", "5 ", "%", "inf", "nan", "0x10"]),
    ("border_width", "-w", ["0", "3", "1%", "0.6%", "100%", "3.0", "2.5", "100.1%", "1025",
                            "-1", "3px", "1,5"]),
    ("centre", "--centre", ["50%,50%", "0,0", "23,17", "10%,2", "0.5,16.5", "100%,100%", "24,0",
                            "0,17.5", "100.1%,0", "30%", "1,2,3", ",5", "5,", " 5,5", "-1,2",
                            "1e1,2", "5;5", ""]),
    ("angle", "--angle", ["0", "-45", "12.5", "1e6", "-1e6", " 12", "0x1p3", "1000000.5",
                          "1e7", "inf", "nan", "abc", "", "12 ", "45deg"]),
]
CASES = [(keyword, option, text) for keyword, option, texts in TEXTS for text in texts]


@pytest.fixture(scope="module")
def picture_file(tmp_path_factory):
    folder = tmp_path_factory.mktemp("settings")
    write_pnm(folder / "in.ppm", PICTURE)
    return folder


@pytest.mark.parametrize("keyword,option,text", CASES, ids=[f"{c[1]} {c[2]!r}" for c in CASES])
def test_setting_texts_are_read_as_the_tool_reads_them(tool, picture_file, keyword, option, text):
    """The tool accepts the text and Python gives its bytes, or both refuse
    it with the same reason."""
    out = picture_file / f"out-{abs(hash((option, text)))}.ppm"
    done = subprocess.run([str(tool), "-Q", "-b", "grid", option, text, "in.ppm", out.name],
                          cwd=picture_file, capture_output=True, text=True)
    if done.returncode == 0:
        expected = read_pnm(out)
        numpy.testing.assert_array_equal(
            polarmosaic.mosaic(PICTURE, border="grid", **{keyword: text}), expected)
        return
    with pytest.raises(ValueError) as refused:
        polarmosaic.mosaic(PICTURE, **{keyword: text})
    if done.returncode == 2:  # usage: "option -r: '0' is not ..."
        reason = re.fullmatch(r"polarmosaic: option \S+: (.*) \(see polarmosaic --help\)\n",
                              done.stderr).group(1)
        assert str(refused.value) == f"{keyword} {reason}"
    else:  # the picture: "in.ppm: centre 24,0 lies outside ..."
        assert done.returncode == 1
        assert done.stderr == f"polarmosaic: in.ppm: {refused.value}\n"


# Numbers and tuples say what the tool's texts say.
SPELLINGS = [
    ({"ring": 7.5}, {"ring": "7.5"}),
    ({"border_width": 3}, {"border_width": "3"}),
    ({"centre": (5, "25%")}, {"centre": "5,25%"}),
    ({"centre": ("50%", "50%")}, {}),
    ({"angle": -30}, {"angle": "-30"}),
    ({"angle": 330}, {"angle": "-30"}),
]


@pytest.mark.parametrize("given,same", SPELLINGS, ids=[str(s[0]) for s in SPELLINGS])
def test_numbers_and_texts_agree(given, same):
    picture = make_picture(50, 64, seed=32)
    assert numpy.array_equal(polarmosaic.mosaic(picture, **given),
                             polarmosaic.mosaic(picture, **same))


def alpha_rings(rgba, ring, centre_x2, centre_y2):
    """The result of sectors=1, no lines, hard edges, computed on its own:
    ring j holds the pixels at distance [j ring, (j + 1) ring) from the
    centre; a tile's colour is its pixels' colour weighted by alpha and its
    alpha their mean, both rounded half up."""
    height, width = rgba.shape[:2]
    y, x = numpy.mgrid[0:height, 0:width]
    doubled = (2 * x - centre_x2) ** 2 + (2 * y - centre_y2) ** 2  # (2 d)^2
    rings = numpy.array([math.isqrt(int(v)) // (2 * ring) for v in doubled.ravel()])
    rings = rings.reshape(height, width)
    out = numpy.zeros_like(rgba)
    wide = rgba.astype(numpy.int64)
    for j in numpy.unique(rings):
        tile = rings == j
        alpha = wide[:, :, 3][tile]
        count, weight = len(alpha), int(alpha.sum())
        assert weight > 0, "pick a picture without a fully transparent tile"
        for c in range(3):
            weighted = int((wide[:, :, c][tile] * alpha).sum())
            out[:, :, c][tile] = (2 * weighted + weight) // (2 * weight)
        out[:, :, 3][tile] = (2 * weight + count) // (2 * count)
    return out


ALPHA = [
    # (height, width, ring, centre given, doubled centre)
    (30, 40, 1000, None, (39, 29)),  # one tile: the disc holds everything
    (30, 40, 13, None, (39, 29)),  # the disc and one ring
    (31, 40, 7, None, (39, 30)),
    (29, 37, 9, (0, 0), (0, 0)),  # rings around a corner
    (29, 37, 6, ("25%", 7.5), (18, 15)),
]


@pytest.mark.parametrize("height,width,ring,centre,doubled", ALPHA)
def test_rgba_tiles_average_colour_weighted_by_alpha(height, width, ring, centre, doubled):
    rng = numpy.random.default_rng(33)
    rgba = rng.integers(0, 256, (height, width, 4), dtype=numpy.uint8)
    rgba[: height // 2, :, 3] = rng.choice([0, 0, 1, 128, 255], (height // 2, width))
    result = polarmosaic.mosaic(rgba, sectors=1, ring=ring, centre=centre, border="none",
                                hard_edges=True)
    assert result.shape == rgba.shape
    numpy.testing.assert_array_equal(result, alpha_rings(rgba, ring, *doubled))


OPAQUE = [
    {},
    {"sectors": 9, "ring": "9%", "border_width": "2%", "centre": "30%,60%", "angle": 17},
    {"sectors": 5, "ring": 6, "border_width": 3, "hard_edges": True, "border": "spokes"},
]


@pytest.mark.parametrize("keywords", OPAQUE, ids=str)
def test_opaque_rgba_gives_the_rgb_result_and_stays_opaque(keywords):
    rgb = make_picture(70, 90, seed=34)
    rgba = numpy.dstack([rgb, numpy.full(rgb.shape[:2], 255, numpy.uint8)])
    result = polarmosaic.mosaic(rgba, **keywords)
    numpy.testing.assert_array_equal(result[:, :, :3], polarmosaic.mosaic(rgb, **keywords))
    assert (result[:, :, 3] == 255).all()
    # Transparent rows make transparent tiles: alpha is not thrown away.
    rgba[::2, :, 3] = 0
    assert (polarmosaic.mosaic(rgba, **keywords)[:, :, 3] < 255).any()


FRAME_SETTINGS = [
    {},
    {"sectors": 11, "ring": "8%", "border_width": "1%", "centre": (10, "70%"), "angle": -20,
     "threads": 3},
    {"ring": 5, "hard_edges": True, "border": "rings", "width": 2, "color": "navy"},
    {"classic": True, "sectors": 12, "ring": 9},
]


@pytest.mark.parametrize("settings", FRAME_SETTINGS, ids=str)
def test_mosaic_object_gives_mosaic_for_every_frame_and_builds_once(settings):
    height, width = 50, 70
    frames = [make_picture(height, width, seed=s) for s in (40, 41)]
    frames += [frames[0][::-1, :, ::-1],  # strides
               numpy.dstack([frames[1], make_picture(height, width, seed=42)[:, :, 0]]),  # RGBA
               frames[0][:, :, 1]]  # grey
    m = polarmosaic.Mosaic(width, height, **settings)
    assert (m.width, m.height) == (width, height)
    builds = 0 if settings.get("classic") else 1  # the classic geometry has no plan
    assert m.plan_builds == builds
    for frame in frames + frames[:1]:
        expected = polarmosaic.mosaic(frame, **settings)
        numpy.testing.assert_array_equal(m(frame), expected)
        numpy.testing.assert_array_equal(m.apply(frame), expected)
    assert m.plan_builds == builds


MOSAIC_ERRORS = [
    # (size, settings, frame, exception, message)
    ((70, 50), {"centre": (70, 5)}, None, ValueError,
     "centre 70,5 lies outside the 70 x 50 picture (0 .. 69, 0 .. 49)"),
    ((70, 50), {"ring": "300%"}, None, ValueError, "ring '300%' is not a ring thickness"),
    ((1, 50), {}, None, ValueError, "image is 1 x 50 pixels; the effect needs at least 2 x 2"),
    ((70,), {}, None, TypeError, "Mosaic takes width and height, got 1 positional arguments"),
    ((70.0, 50), {}, None, TypeError, "width must be an int, got float"),
    ((70, 50), {"colour": "red"}, None, TypeError, "unexpected keyword argument 'colour'"),
    ((70, 50), {"image": PICTURE}, None, TypeError, "unexpected keyword argument 'image'"),
    ((70, 50), {"max_memory": 1000}, None, ValueError, "more than max_memory=1000"),
    ((70, 50), {}, numpy.zeros((50, 71, 3), numpy.uint8), ValueError,
     "frame is 71 x 50 pixels; this Mosaic was made for 70 x 50"),
    ((70, 50), {}, numpy.zeros((70, 50, 3), numpy.uint8), ValueError,
     "frame is 50 x 70 pixels; this Mosaic was made for 70 x 50"),
    ((70, 50), {}, numpy.zeros((50, 70, 3), numpy.int16), TypeError,
     "image must be a uint8, uint16, float32 or float64 array; got dtype int16"),
    ((70, 50), {}, numpy.zeros((50, 70, 2), numpy.uint8), TypeError, "got shape (50, 70, 2)"),
]


@pytest.mark.parametrize("size,settings,frame,error,message", MOSAIC_ERRORS,
                         ids=[e[4][:40] for e in MOSAIC_ERRORS])
def test_mosaic_object_refuses_with_the_reason(size, settings, frame, error, message):
    with pytest.raises(error) as refused:
        m = polarmosaic.Mosaic(*size, **settings)
        assert frame is not None, "the settings were taken"
        m(frame)
    assert message in str(refused.value)


def test_mosaic_object_releases_the_gil():
    # As for mosaic: this thread keeps running while frames are made.
    picture = make_picture(2400, 3200, seed=43)
    m = polarmosaic.Mosaic(3200, 2400, threads=1)
    inside, done, durations = threading.Event(), threading.Event(), []

    def work():
        for _ in range(3):
            inside.set()
            start = time.perf_counter()
            m(picture)
            durations.append(time.perf_counter() - start)
        done.set()

    worker = threading.Thread(target=work)
    worker.start()
    inside.wait()
    longest_gap, last = 0.0, time.perf_counter()
    while not done.is_set():
        now = time.perf_counter()
        longest_gap, last = max(longest_gap, now - last), now
    worker.join()
    assert longest_gap < 0.5 * min(durations), (
        f"this thread stood still for {longest_gap:.3f} s during frames of {durations}")
