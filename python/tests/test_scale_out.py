"""The Dask recipe on a small folder: good files written, bad ones reported
with their reason, transient failures retried, nothing lost."""
import errno
from pathlib import Path

import numpy
import pytest

import polarmosaic
from conftest import make_picture

distributed = pytest.importorskip("distributed")
Image = pytest.importorskip("PIL.Image")
from polarmosaic.scale_out import process_file, process_folder  # noqa: E402

OPTIONS = {"sectors": 10, "ring": 12, "border_colour": "#e0e0e0"}


@pytest.fixture
def folder(tmp_path):
    """Pictures of every kind plus damaged ones; returns (folder, expected
    results by output name, expected failure reasons by input name)."""
    src = tmp_path / "in"
    src.mkdir()
    good = {}
    rgb = make_picture(60, 80, seed=11)
    Image.fromarray(rgb).save(src / "plain.png")
    good["plain.png"] = rgb
    grey = make_picture(50, 40, seed=12)[:, :, 0]
    Image.fromarray(grey).save(src / "grey.pgm")
    good["grey.png"] = numpy.repeat(grey[:, :, None], 3, axis=2)
    rgba = numpy.dstack([make_picture(30, 30, seed=13), make_picture(30, 30, seed=14)[:, :, 1]])
    Image.fromarray(rgba, "RGBA").save(src / "alpha.png")
    good["alpha.png"] = rgba
    Image.fromarray(rgb[::2, ::2].copy()).save(src / "again.ppm")
    good["again.png"] = rgb[::2, ::2]
    failures = {}
    (src / "garbage.png").write_bytes(b"this is not a picture")
    failures["garbage.png"] = "not a picture Pillow can read"
    whole = (src / "plain.png").read_bytes()
    (src / "truncated.png").write_bytes(whole[:len(whole) // 2])
    failures["truncated.png"] = "damaged picture"
    Image.fromarray(rgb[:1, :1].copy()).save(src / "tiny.png")
    failures["tiny.png"] = "image is 1 x 1 pixels; the effect needs at least 2 x 2"
    Image.fromarray(rgb).save(src / "plain.ppm")  # plain.png's output name again
    failures["plain.ppm"] = "plain.png would also be written from"
    (src / "notes.txt").write_text("not a picture suffix: left alone")
    return tmp_path, good, failures


def check_outputs(out, good):
    written = sorted(p.name for p in out.iterdir())
    assert written == sorted(good)  # no partial or temporary files either
    for name, pixels in good.items():
        with Image.open(out / name) as result:
            numpy.testing.assert_array_equal(
                numpy.asarray(result.convert("RGB")),
                polarmosaic.mosaic(pixels, **OPTIONS)[:, :, :3])


def check_failures(report, failures):
    assert {Path(p).name for p in report.failed} == set(failures)
    for path, reason in report.failed.items():
        assert failures[Path(path).name] in reason


def test_folder_on_local_cluster_of_processes(folder):
    tmp, good, failures = folder
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        report = process_folder(client, tmp / "in", tmp / "out", options=OPTIONS)
    assert report.written == len(good) and report.skipped == 0
    check_failures(report, failures)
    check_outputs(tmp / "out", good)


def flaky(source, target, options, quality):
    """Fails with an I/O error the first time it meets each file."""
    marker = Path(target).parent.parent / ("tried-" + Path(source).name)
    if not marker.exists():
        marker.write_text("")
        raise OSError(errno.EIO, "input/output error", source)
    return process_file(source, target, options, quality)


@pytest.mark.parametrize("retries", [0, 1])
def test_transient_failures_retried_or_reported(folder, retries):
    tmp, good, failures = folder
    (tmp / "out").mkdir()
    done = []
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        report = process_folder(client, tmp / "in", tmp / "out", options=OPTIONS,
                                retries=retries, max_in_flight=2, process=flaky,
                                on_done=lambda source, reason: done.append(source))
    assert len(done) == len(good) + len(failures)
    if retries:
        assert report.written == len(good)
        check_failures(report, failures)
        check_outputs(tmp / "out", good)
    else:  # every file failed once: all reported, with the error
        assert report.written == 0
        assert len(report.failed) == len(good) + len(failures)
        for path, reason in report.failed.items():
            expected = failures["plain.ppm"] if path.endswith("plain.ppm") else "input/output error"
            assert expected in reason


def test_skip_existing_resumes(folder):
    tmp, good, failures = folder
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        process_folder(client, tmp / "in", tmp / "out", options=OPTIONS)
        (tmp / "out" / "plain.png").unlink()
        report = process_folder(client, tmp / "in", tmp / "out", options=OPTIONS,
                                skip_existing=True)
    assert (report.written, report.skipped) == (1, len(good) - 1)
    check_outputs(tmp / "out", good)


def test_bad_options_fail_before_any_task():
    with pytest.raises(ValueError, match="sector count"):
        process_folder(None, "in", "out", options={"sectors": 0})
