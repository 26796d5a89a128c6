"""python3 -m polarmosaic: the tool's bytes, its exit codes and messages."""
import os
import socket
import struct
import subprocess
import sys
import zlib

import numpy
import pytest

from conftest import make_picture, read_pnm, run_tool, write_pnm

Image = pytest.importorskip("PIL.Image")


def run_module(args, cwd):
    return subprocess.run([sys.executable, "-m", "polarmosaic", *args], cwd=cwd,
                          capture_output=True, text=True)


@pytest.mark.parametrize("args,output", [
    ([], "out.ppm"),
    (["-s", "12", "-r", "40", "-b", "rings", "-c", "255,0,0"], "out.ppm"),
    (["--classic", "-s", "30", "-r", "9"], "out.ppm"),
    (["--classic", "--tile-width", "9", "--tile-height", "7", "--split", "-w", "3",
      "--shade-cw", "2.5", "--background", "#00ff00"], "out.ppm"),
    (["-b", "3", "-c", "#a0b0c0"], "out.pgm"),
    (["-c", "Tomato", "--background", "rebeccapurple"], "out.ppm"),
    (["-r", "10%", "-w", "1%", "--centre", "30%,60%", "--angle", "15", "--hard-edges"],
     "out.ppm"),
    (["--center=10,20.5", "--angle=-400", "--ring", "7", "--border-width", "2", "-s", "9",
      "--background", "#102030"], "out.pgm"),
])
def test_same_file_as_tool(tool, tmp_path, args, output):
    rgba = numpy.dstack([make_picture(70, 90, seed=21), make_picture(70, 90, seed=22)[:, :, 0]])
    Image.fromarray(rgba, "RGBA").save(tmp_path / "in.png")
    run_tool(tool, [*args, "in.png", "tool-" + output], tmp_path)
    done = run_module(["-Q", *args, "in.png", output], tmp_path)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / output).read_bytes() == (tmp_path / ("tool-" + output)).read_bytes()
    # Same permissions as the tool's files (0666 less the umask).
    assert (tmp_path / output).stat().st_mode == (tmp_path / ("tool-" + output)).stat().st_mode


# Formats without alpha get the picture laid over the background first: the
# tool's bytes (test_same_file_as_tool, whose input is RGBA).
@pytest.mark.parametrize("output", ["out.png", "out.webp", "out.tif"])
def test_transparency_kept_where_the_format_has_it(tmp_path, output):
    import polarmosaic
    rgba = numpy.dstack([make_picture(50, 60, seed=26), make_picture(50, 60, seed=27)[:, :, 0]])
    Image.fromarray(rgba, "RGBA").save(tmp_path / "in.png")
    done = run_module(["-Q", "-s", "9", "--background", "#00ff00", "in.png", output], tmp_path)
    assert done.returncode == 0, done.stderr
    with Image.open(tmp_path / output) as written:
        assert written.mode == "RGBA"
        pixels = numpy.asarray(written)
    expected = polarmosaic.mosaic(rgba, sectors=9)
    if output.endswith(".webp"):  # lossy colours; Pillow keeps WebP alpha exactly
        numpy.testing.assert_array_equal(pixels[:, :, 3], expected[:, :, 3])
    else:
        numpy.testing.assert_array_equal(pixels, expected)


def test_grey_and_png_round_trip(tmp_path):
    grey = make_picture(40, 50, seed=23)[:, :, 2]
    write_pnm(tmp_path / "in.pgm", grey)
    done = run_module(["in.pgm", "out.png"], tmp_path)
    assert done.returncode == 0 and "wrote" in done.stdout and "(50 x 40 PNG)" in done.stdout
    with Image.open(tmp_path / "out.png") as result:
        assert result.mode == "RGB" and result.size == (50, 40)


def png_header(width, height):
    """A PNG that declares width x height grey pixels and holds none."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(b"")) + chunk(b"IEND", b""))


@pytest.mark.parametrize("files,args,code,message", [
    ({"in.ppm": "good"}, ["-s", "0", "in.ppm", "out.png"], 2, "sector count 0 is out of range"),
    ({"in.ppm": "good"}, ["--border", "dots", "in.ppm", "out.png"], 2, "border must be"),
    ({"in.ppm": "good"}, ["in.ppm", "out.xyz"], 2, "out.xyz: unknown output format"),
    ({"in.ppm": "good"}, ["--split", "in.ppm", "out.png"], 2, "split sets the classic polar grid"),
    ({"in.ppm": "good"}, ["-q", "0", "in.ppm", "out.jpg"], 2, "--quality: 0 is not"),
    ({"in.ppm": "good"}, ["-r", "0", "in.ppm", "out.png"], 2,
     "option -r: '0' is not a ring thickness in pixels (up to 65535) or per cent (up to 200%)"),
    ({"in.ppm": "good"}, ["--border-width", "2.5", "in.ppm", "out.png"], 2,
     "option --border-width: '2.5' is not a line width in whole pixels"),
    ({"in.ppm": "good"}, ["--center", "5", "in.ppm", "out.png"], 2,
     "option --center: '5' is not X,Y in pixels or per cent, e.g. 30%,40%"),
    ({"in.ppm": "good"}, ["--angle", "north", "in.ppm", "out.png"], 2,
     "option --angle: 'north' is not an angle in degrees"),
    ({"in.ppm": "good"}, ["--classic", "--hard-edges", "in.ppm", "out.png"], 2,
     "hard_edges is for the fitted geometry"),
    ({"in.ppm": "good"}, ["--centre", "20,3", "in.ppm", "out.png"], 1,
     "polarmosaic: in.ppm: centre 20,3 lies outside the 20 x 20 picture (0 .. 19, 0 .. 19)"),
    ({}, ["missing.png", "out.png"], 1, "polarmosaic: missing.png: No such file or directory"),
    ({"in.png": b"not a picture"}, ["in.png", "out.png"], 1,
     "polarmosaic: in.png: not a picture Pillow can read"),
    ({"in.ppm": "tiny"}, ["in.ppm", "out.png"], 1,
     "polarmosaic: in.ppm: image is 1 x 1 pixels; the effect needs at least 2 x 2"),
    ({"in.ppm": "good"}, ["in.ppm", "in.ppm"], 1, "in.ppm: refusing to overwrite the input file"),
    ({"in.ppm": "good"}, ["in.ppm", "no-such-folder/out.png"], 1,
     "polarmosaic: no-such-folder/out.png: No such file or directory"),
    # More pixels than Pillow's decompression-bomb limit: its reason, one line.
    ({"big.png": png_header(30000, 30000)}, ["big.png", "out.png"], 1,
     "polarmosaic: big.png: Image size (900000000 pixels) exceeds limit of "),
])
def test_errors(tmp_path, files, args, code, message):
    for name, content in files.items():
        if content == "good":
            write_pnm(tmp_path / name, make_picture(20, 20))
        elif content == "tiny":
            write_pnm(tmp_path / name, make_picture(1, 1))
        else:
            (tmp_path / name).write_bytes(content)
    before = sorted(p.name for p in tmp_path.iterdir())
    done = run_module(args, tmp_path)
    assert done.returncode == code
    assert message in done.stderr
    if code == 1:  # a file failed: one line, no traceback
        assert done.stderr.count("\n") == 1 and done.stderr.startswith("polarmosaic: "), done.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == before  # nothing written, nothing lost
    if "in.ppm" in files and files["in.ppm"] == "good":
        numpy.testing.assert_array_equal(read_pnm(tmp_path / "in.ppm"), make_picture(20, 20))


def test_sixteen_bit_grey_and_standard_streams(tool, tmp_path):
    rng = numpy.random.default_rng(24)
    wide = rng.integers(0, 65536, size=(30, 44), dtype=numpy.uint16)
    Image.fromarray(wide, "I;16").save(tmp_path / "in16.png")
    run_tool(tool, ["in16.png", "tool.ppm"], tmp_path)
    assert run_module(["-Q", "in16.png", "out.ppm"], tmp_path).returncode == 0
    assert (tmp_path / "out.ppm").read_bytes() == (tmp_path / "tool.ppm").read_bytes()
    # "-" reads standard input and writes standard output.
    done = subprocess.run([sys.executable, "-m", "polarmosaic", "-f", "ppm", "-", "-"],
                          input=(tmp_path / "in16.png").read_bytes(), capture_output=True)
    assert done.returncode == 0 and done.stdout == (tmp_path / "tool.ppm").read_bytes()


@pytest.mark.parametrize("orientation", [1, 3, 6, 8])
def test_exif_orientation_as_the_tool(tool, tmp_path, orientation):
    picture = Image.fromarray(make_picture(40, 64, seed=25))
    exif = Image.Exif()
    exif[0x0112] = orientation
    picture.save(tmp_path / "in.jpg", quality=95, exif=exif)
    for extra, name in (([], "upright"), (["--no-auto-orient"], "stored")):
        run_tool(tool, [*extra, "in.jpg", f"tool-{name}.ppm"], tmp_path)
        assert run_module(["-Q", *extra, "in.jpg", f"{name}.ppm"], tmp_path).returncode == 0
        assert (tmp_path / f"{name}.ppm").read_bytes() == \
            (tmp_path / f"tool-{name}.ppm").read_bytes()
    turned = read_pnm(tmp_path / "upright.ppm").shape[:2]
    assert turned == ((64, 40) if orientation in (6, 8) else (40, 64))


def make_node(kind, path):
    """An output name that exists but is no regular file; returns a check
    that it is still what it was."""
    if kind == "fifo":
        os.mkfifo(path)
        return lambda: path.is_fifo()
    if kind == "socket":
        server = socket.socket(socket.AF_UNIX)
        server.bind(str(path))
        server.close()
        return lambda: path.is_socket()
    if kind == "device":  # a link to one: the file replaced would be the link
        path.symlink_to("/dev/null")
        return lambda: path.is_symlink() and path.is_char_device()
    path.mkdir()
    return lambda: path.is_dir()


NODES = [("fifo", "refusing to replace a FIFO (not a regular file)"),
         ("socket", "refusing to replace a socket (not a regular file)"),
         ("device", "refusing to replace a character device (not a regular file)"),
         ("directory", "cannot write (it is a directory)")]


@pytest.mark.parametrize("program", ["tool", "module"])
@pytest.mark.parametrize("kind,reason", NODES, ids=[n[0] for n in NODES])
def test_outputs_that_are_not_regular_files_are_refused(tool, tmp_path, program, kind, reason):
    write_pnm(tmp_path / "in.ppm", make_picture(20, 20))
    still_there = make_node(kind, tmp_path / "out.ppm")
    command = [str(tool)] if program == "tool" else [sys.executable, "-m", "polarmosaic"]
    done = subprocess.run([*command, "in.ppm", "out.ppm"], cwd=tmp_path, capture_output=True,
                          text=True, timeout=60)
    assert (done.returncode, done.stderr) == (1, f"polarmosaic: out.ppm: {reason}\n")
    assert still_there()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.ppm", "out.ppm"]


@pytest.mark.parametrize("program", ["tool", "module"])
def test_output_pipe_closed_early_is_an_error(tool, tmp_path, program):
    # Far more than a pipe holds, so the writer is still writing when the
    # reader goes.
    write_pnm(tmp_path / "in.ppm", make_picture(300, 400))
    command = [str(tool)] if program == "tool" else [sys.executable, "-m", "polarmosaic"]
    process = subprocess.Popen([*command, "-f", "ppm", "in.ppm", "-"], cwd=tmp_path,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert process.stdout.read(10) == b"P6\n400 300"
    process.stdout.close()
    stderr = process.stderr.read().decode()
    assert process.wait(timeout=60) == 1
    assert stderr == "polarmosaic: -: cannot write to standard output (Broken pipe)\n"


# Colour texts, each given to the tool's --background and to parse_color:
# both refuse it, or both accept it as the same colour.
COLOURS = ["#ff8000", "#A0b0C0", "#+1+2+3", "#-1-2-3", "# 1 2 3", "#0x1234", "#12345", "#1234567",
           "1,2,3", "1_0,0,0", "+1,+2,+3", "-0,0,0", "-1,0,0", " 1, 2,\t3", "\n1,\v2,\f3",
           "1 ,2,3", "1,2,3 ", "0x1,2,3", "1,2", "1,2,3,4", ",1,2", "1,,2", "256,0,0",
           "000000255,0,0", "1.0,2,3", "1e2,0,0", "99999999999999999999,0,0",
           "\u0661,\u0662,\u0663", "\uff11,2,3", "Red", "RED", "red ", " red", "rebeccapurple",
           "grey", "DarkSlateGray", "blac\u212a", "", ","]


def tool_background(tool, tmp_path, text):
    """The colour the tool lays under a transparent picture, or None when it
    refuses the text."""
    done = subprocess.run([str(tool), "--no-effect", "-f", "ppm", f"--background={text}",
                           "clear.png", "-"], cwd=tmp_path, capture_output=True)
    if done.returncode == 2:
        assert b"is not a colour" in done.stderr
        return None
    assert done.returncode == 0, done.stderr
    return tuple(done.stdout[-3:])


def test_colours_are_read_as_the_tool_reads_them(tool, tmp_path):
    import polarmosaic
    from PIL import ImageColor
    Image.fromarray(numpy.zeros((2, 2, 4), numpy.uint8), "RGBA").save(tmp_path / "clear.png")
    for name in list(ImageColor.colormap):
        ImageColor.getrgb(name)  # Pillow's table now holds tuples for these names
    texts = COLOURS + sorted(ImageColor.colormap)
    mismatches = []
    for text in texts:
        try:
            ours = polarmosaic.parse_color(text)
        except ValueError:
            ours = None
        theirs = tool_background(tool, tmp_path, text)
        if ours != theirs:
            mismatches.append((text, ours, theirs))
    assert mismatches == []
