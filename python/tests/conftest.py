"""Shared helpers: the built command-line tool (the reference the extension
must match byte for byte), PNM files and test pictures."""
import os
import subprocess
from pathlib import Path

import numpy
import pytest

ROOT = Path(__file__).resolve().parents[2]


@pytest.fixture(scope="session")
def tool():
    """Path of the polarmosaic tool: $POLARMOSAIC_TOOL or the default build.
    In CI a missing tool is a failure, not a skip."""
    path = Path(os.environ.get("POLARMOSAIC_TOOL", ROOT / "build/default/tool/polarmosaic"))
    if not path.is_file():
        message = f"the polarmosaic tool is not built ({path})"
        if os.environ.get("CI"):
            pytest.fail(message)
        pytest.skip(message)
    return path


def run_tool(tool, args, cwd):
    done = subprocess.run([str(tool), "-Q", *args], cwd=cwd, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return done


def write_pnm(path, pixels):
    """P6 for H x W x 3, P5 for H x W."""
    magic = b"P6" if pixels.ndim == 3 else b"P5"
    height, width = pixels.shape[:2]
    Path(path).write_bytes(magic + f"\n{width} {height}\n255\n".encode()
                          + numpy.ascontiguousarray(pixels).tobytes())


def read_pnm(path):
    data = Path(path).read_bytes()
    fields, pos = [], 0
    while len(fields) < 4:  # magic, width, height, maxval; no comments here
        while data[pos:pos + 1].isspace():
            pos += 1
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    pos += 1
    width, height = int(fields[1]), int(fields[2])
    shape = (height, width, 3) if fields[0] == b"P6" else (height, width)
    return numpy.frombuffer(data, numpy.uint8, count=int(numpy.prod(shape)), offset=pos).reshape(shape)


def make_picture(height, width, seed=1):
    """Smooth colour gradients with noise: tiles get distinct averages and
    every channel differs, so a swapped or shifted channel shows."""
    rng = numpy.random.default_rng(seed)
    y, x = numpy.mgrid[0:height, 0:width]
    pixels = numpy.stack([255 * x // max(width - 1, 1), 255 * y // max(height - 1, 1),
                          (x * 7 + y * 3) % 256], axis=2)
    pixels = pixels + rng.integers(-20, 21, size=pixels.shape)
    return numpy.clip(pixels, 0, 255).astype(numpy.uint8)
