"""A folder of pictures on a Dask distributed cluster (docs/scale-out.md).

One task per picture reads it, applies the effect and writes the result
beside the others in the output folder. The same code runs on a LocalCluster
and against a scheduler address; every worker needs polarmosaic and Pillow,
and both folders on a file system all workers see.

A bad file (not a picture, a size the effect refuses) is reported at once;
an I/O error, a full disk, a lost worker are retried ``retries`` times, then
reported. No failure stops the other files.

From Python::

    from distributed import Client, LocalCluster
    from polarmosaic.scale_out import process_folder

    with LocalCluster(n_workers=2, threads_per_worker=1) as cluster, Client(cluster) as client:
        report = process_folder(client, "photos", "mosaics", options={"sectors": 24})
    print(report.summary())
    for path, reason in report.failed.items():
        print(path, reason)

From a shell: ``python3 -m polarmosaic.scale_out [--scheduler tcp://host:8786] IN OUT``.
"""

import argparse
import os
import sys
from dataclasses import dataclass, field
from pathlib import Path

from . import check_options
from ._cli import (_FORMATS, add_effect_options, effect_options, encode, run_effect, to_array,
                   upright, write_atomically)

PICTURE_SUFFIXES = {".png", ".jpg", ".jpeg", ".ppm", ".pgm", ".pnm", ".tif", ".tiff",
                    ".bmp", ".webp", ".gif"}


def process_file(source, target, options, quality=90):
    """Reads source, applies mosaic(**options) and writes target (format from
    its suffix) atomically. Returns None when written, or the reason when the
    file itself is at fault (no retry helps). Raises for anything else."""
    from PIL import Image, UnidentifiedImageError
    try:
        with Image.open(source) as picture:
            picture.load()
            pixels = to_array(upright(picture))
    except (UnidentifiedImageError, Image.DecompressionBombError):
        return "not a picture Pillow can read"
    except OSError as error:
        if error.errno is None:  # Pillow's decoding errors: a damaged file
            return f"damaged picture ({error})"
        raise  # real I/O: may pass on a retry
    file_format = _FORMATS[Path(target).suffix.lower().lstrip(".")]
    try:
        result = run_effect(pixels, options, file_format)
    except ValueError as error:
        return str(error)
    os.makedirs(os.path.dirname(os.path.abspath(target)), exist_ok=True)
    write_atomically(target, encode(result, file_format, quality))
    return None


def plan(in_dir, out_dir, suffix=".png", recursive=False):
    """Yields (source, target) for every picture in in_dir, the targets named
    after the sources (subfolders mirrored when recursive)."""
    in_dir, out_dir = Path(in_dir), Path(out_dir)
    found = in_dir.rglob("*") if recursive else in_dir.iterdir()
    for source in sorted(found):
        if source.suffix.lower() in PICTURE_SUFFIXES and source.is_file():
            relative = source.relative_to(in_dir).with_suffix(suffix)
            yield str(source), str(out_dir / relative)


@dataclass
class Report:
    written: int = 0
    skipped: int = 0  # outputs already there (skip_existing)
    failed: dict = field(default_factory=dict)  # source -> reason

    def summary(self):
        return (f"{self.written} written, {self.skipped} already there, "
                f"{len(self.failed)} failed")


def process_folder(client, in_dir, out_dir, *, options=None, suffix=".png", quality=90,
                   recursive=False, skip_existing=False, retries=2, max_in_flight=None,
                   process=process_file, on_done=None):
    """Processes every picture of in_dir into out_dir on the client's
    cluster and returns a Report. At most max_in_flight tasks (default four
    per worker thread) are submitted at a time, so a folder of a million
    files never sits in the scheduler at once. options are mosaic's
    keywords; threads defaults to 1 here (a picture per worker thread keeps
    the cores busy). on_done(source, reason) is called as each file
    finishes (reason None when written)."""
    from distributed import as_completed
    # One thread per picture: the cluster already runs a picture per core.
    options = {"threads": 1, **(options or {})}
    check_options(**options)  # a bad option fails here, not in every task
    if suffix.lower().lstrip(".") not in _FORMATS:
        raise ValueError(f"suffix {suffix!r} is not one of .png, .jpg, .jpeg, .webp, .tif, .tiff, "
                         ".ppm, .pgm")
    if max_in_flight is None:
        max_in_flight = 4 * max(1, sum(client.nthreads().values()))
    report = Report()
    owners = {}
    jobs = iter(plan(in_dir, out_dir, suffix, recursive))
    running = as_completed()
    pending = {}

    def finish(source, reason):
        if reason is None:
            report.written += 1
        else:
            report.failed[source] = reason
        if on_done:
            on_done(source, reason)

    def submit_next():
        for source, target in jobs:
            if target in owners:  # a.jpg and a.png in one folder
                finish(source, f"output {target} would also be written from {owners[target]}")
                continue
            owners[target] = source
            if skip_existing and os.path.exists(target):
                report.skipped += 1
                continue
            future = client.submit(process, source, target, options, quality,
                                   retries=retries, pure=False)
            pending[future] = source
            running.add(future)
            return True
        return False

    while len(pending) < max_in_flight and submit_next():
        pass
    for future in running:
        source = pending.pop(future)
        if future.status == "finished":
            finish(source, future.result())
        else:  # still failing after the retries, or cancelled
            try:
                error = future.exception()
            except Exception as cancelled:  # noqa: BLE001 - reported, not raised
                error = cancelled
            finish(source, f"{type(error).__name__}: {error}")
        future.release()
        while len(pending) < max_in_flight and submit_next():
            pass
    return report


def main(argv=None):
    p = argparse.ArgumentParser(
        prog="python3 -m polarmosaic.scale_out",
        description="Every picture of INPUT_FOLDER through the polar mosaic into "
                    "OUTPUT_FOLDER, on a Dask cluster.")
    p.add_argument("input", metavar="INPUT_FOLDER")
    p.add_argument("output", metavar="OUTPUT_FOLDER")
    p.add_argument("--scheduler", help="scheduler address, e.g. tcp://10.0.0.5:8786 "
                   "(default: a LocalCluster on this machine)")
    p.add_argument("--workers", type=int, default=os.cpu_count(),
                   help="LocalCluster workers (default: one per core)")
    p.add_argument("--suffix", default=".png", help="output format (.png, .jpg, .ppm, .pgm)")
    p.add_argument("-q", "--quality", type=int, default=90, help="JPEG quality (90)")
    p.add_argument("--recursive", action="store_true", help="also pictures in subfolders")
    p.add_argument("--skip-existing", action="store_true",
                   help="leave outputs already there (to resume a run)")
    p.add_argument("--retries", type=int, default=2, help="retries of a failing task (2)")
    add_effect_options(p)
    args = p.parse_args(argv)
    options = effect_options(args)
    try:
        check_options(**options)
    except (TypeError, ValueError) as error:
        p.error(str(error))
    from distributed import Client, LocalCluster
    if args.scheduler:
        client, cluster = Client(args.scheduler), None
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1)
        client = Client(cluster)
    try:
        report = process_folder(
            client, args.input, args.output, options=options, suffix=args.suffix,
            quality=args.quality, recursive=args.recursive,
            skip_existing=args.skip_existing, retries=args.retries,
            on_done=lambda source, reason: reason and print(
                f"polarmosaic: {source}: {reason}", file=sys.stderr))
    finally:
        client.close()
        if cluster:
            cluster.close()
    print(f"polarmosaic: {report.summary()}", file=sys.stderr)
    return 0 if not report.failed else 1


if __name__ == "__main__":
    sys.exit(main())
