"""Render, convert, edit or describe many files on a Dask distributed cluster, one task a file.

    python3 -m tessera.batch render  [--local N | --scheduler tcp://HOST:PORT] [--out-dir DIR]
                                     [--to EXT] [--scale S | --scale-x X --scale-y Y]
                                     [--binary | --rgb] [--background C] [--foreground C] FILE...
    python3 -m tessera.batch render --tiles SIZE [...] --to tiff DRAWING
    python3 -m tessera.batch convert [...] --to EXT [--normalize] [--background C] FILE...
    python3 -m tessera.batch info    [...] [--stats] FILE...
    python3 -m tessera.batch resize  [...] [--filter F] [--exact] SIZE FILE...
    python3 -m tessera.batch thumbnail [...] [--filter F] [--exact] SIZE FILE...
    python3 -m tessera.batch crop|scale|border|flip|flop|rotate [...] OPERANDS FILE...

Each result is byte for byte what the tessera tool's command of that name writes for the same
file and options (``info`` prints the objects of ``tessera info --json``, one a line); an
editing command's operands come before the files, as with ``tessera CMD --out-dir``, and its
outputs keep their format unless --to names another. Outputs go beside their inputs (an
edited file needs --out-dir or --to, so as not to overwrite its input) or into --out-dir. A failing file is reported and the others still finish; the
exit status is then 2. --local N (the default, with one worker process a processor) starts a
cluster on this machine for the run, listening on 127.0.0.1 only; --scheduler uses a
running cluster, whose workers must run a Python that imports tessera and read the inputs and
write the outputs at the same paths (a shared file system). A file whose worker dies (out of
memory, say) is tried once more on another worker, then reported as that file's failure; the
batch goes on. A cluster that cannot be reached is one line and exit status 2.

With --tiles SIZE, one drawing's rendering is split into tiles of SIZE x SIZE pixels, each a
task, and saved as one file: byte for byte what the tool writes. In a format that writes rows
(TIFF, JPEG, PAM) only a few rows of tiles are held at a time, by the workers and by the runner;
other formats are given the picture whole, within the budget. A tile whose worker dies is made
again by another; the progress bar counts tiles. A binary rendering of a drawing with fills
cannot be split (a fill depends on the whole image).
"""
from __future__ import annotations

import argparse
import json
import logging
import os
import sys
import time
from typing import Any, Dict, List, Optional, Tuple


import tessera
from tessera import _tessera

# ---- the work on one file (runs on a worker) -------------------------------------------------
# The work itself is the jobs library's (src/jobs/jobs.c, through the extension), which the tool
# runs too: the same functions write the same bytes.


def _output(command: str, path: str, options: Dict[str, Any]) -> str:
    """Where a file's output goes: --out-dir or beside the input, with the tool's extension."""
    if command == "info":
        return ""
    own = "extension" if command in ("render", "convert") else "edit-extension"
    ext = options["to"] or _tessera._job(own, path, "", options)
    return _tessera._output_path(options["out_dir"] or os.path.dirname(path), path, ext)


def run_one(command: str, path: str, options: Dict[str, Any]) -> Dict[str, Any]:
    """Does command on one file; a failure comes back as {"file", "error"}, never raised."""
    try:
        return _tessera._job(command, path, _output(command, path, options), options)
    except (tessera.Error, OSError, ValueError, TypeError, IndexError, OverflowError, MemoryError) as e:
        return {"file": path, "error": str(e)}


_EDITS = _tessera._edit_commands()  # name -> (number of operands, their names)
_COMMANDS = ("convert", "info", "render") + tuple(_EDITS)


# ---- the command line -----------------------------------------------------------------------


def _colour(text: str) -> Tuple[int, int, int]:
    if text.startswith("#") and len(text) in (4, 7):
        digits = text[1:]
    elif text[:2].lower() == "0x" and len(text) == 8:
        digits = text[2:]
    else:
        raise argparse.ArgumentTypeError(f"'{text}' is not a colour: #rgb, #rrggbb or 0xrrggbb")
    try:
        value = int(digits, 16)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a colour: #rgb, #rrggbb or 0xrrggbb") from None
    if len(digits) == 3:
        return ((value >> 8) * 17, ((value >> 4) & 15) * 17, (value & 15) * 17)
    return (value >> 16, (value >> 8) & 255, value & 255)


def _scale(text: str) -> float:
    try:
        v = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a positive number") from None
    if not 0 < v <= 1e6:
        raise argparse.ArgumentTypeError(f"'{text}' is not a positive number")
    return v


_FORMATS = tuple(name for name, _, _, writable in _tessera._formats if writable)


def _tile_size(text: str) -> int:
    try:
        v = int(text)
    except ValueError:
        v = 0
    if not 16 <= v <= 65536:
        raise argparse.ArgumentTypeError(f"a tile's side is 16 to 65536 pixels, not {text!r}")
    return v


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="python3 -m tessera.batch", description=__doc__.split("\n\n")[0])
    p.add_argument("command", choices=sorted(_COMMANDS))
    p.add_argument("files", nargs="+", metavar="FILE")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", help="a running Dask scheduler, e.g. tcp://host:8786")
    where.add_argument("--local", type=int, metavar="N", help="start N local worker processes (default: one a processor)")
    p.add_argument("--out-dir", metavar="DIR", help="write outputs here instead of beside the inputs")
    p.add_argument("--to", type=str.lower, choices=_FORMATS, metavar="EXT", help="the outputs' format")
    scale = p.add_mutually_exclusive_group()
    scale.add_argument("--scale", type=_scale)
    scale.add_argument("--scale-x", type=_scale)
    p.add_argument("--scale-y", type=_scale)
    kind = p.add_mutually_exclusive_group()
    kind.add_argument("--binary", action="store_true")
    kind.add_argument("--rgb", action="store_true")
    p.add_argument("--background", type=_colour, default=(0, 0, 0))
    p.add_argument("--foreground", type=_colour)
    p.add_argument("--normalize", action="store_true")
    p.add_argument("--filter", choices=_tessera._filters.split(", "), default="bicubic", help="resize's filter")
    p.add_argument("--exact", action="store_true",
                   help="resize, thumbnail: 8-bit samples exactly as defined (else within 1, in fixed point)")
    p.add_argument("--color", type=_colour, help="border's colour")
    p.add_argument("--quiet", action="store_true", help="no progress bar")
    p.add_argument("--stats", action="store_true", help="info: decode the pixels for comment, minimum and maximum")
    p.add_argument("--tiles", type=_tile_size, metavar="SIZE",
                   help="render: split one drawing's rendering into tiles of SIZE x SIZE, one task each, "
                        "saved as one file (TIFF, JPEG or PAM)")
    return p


def _options(args: argparse.Namespace) -> Dict[str, Any]:
    scale_x = args.scale or args.scale_x or 1.0
    scale_y = args.scale or args.scale_y or 1.0
    return {"to": args.to, "out_dir": os.path.abspath(args.out_dir) if args.out_dir else None, "scale_x": scale_x,
            "scale_y": scale_y, "binary": args.binary, "rgb": args.rgb, "background": args.background,
            "foreground": args.foreground, "normalize": args.normalize, "filter": args.filter, "exact": args.exact, "color": args.color, "stats": args.stats,
            "operands": args.files[:_EDITS[args.command][0]] if args.command in _EDITS else []}


def _bar(done: int, total: int, failed: int) -> None:
    width = 30
    filled = done * width // total if total else width
    sys.stderr.write(f"\r[{'#' * filled}{' ' * (width - filled)}] {done}/{total}"
                     f"{' (failures above)' if failed else ''}")
    sys.stderr.flush()


def _lost(path: str, error: BaseException) -> Dict[str, Any]:
    """A file whose task itself failed: its worker died, or could not run tessera."""
    name = type(error).__name__
    if name == "KilledWorker":
        why = "its worker died while working on it, twice (out of memory?)"
    elif isinstance(error, ImportError):
        why = f"a worker cannot import tessera ({error}); run the workers with the Python tessera is installed in"
    else:
        why = f"the task failed on the cluster: {name}: {error}"
    return {"file": path, "error": why}


def run(command: str, files: List[str], options: Dict[str, Any], client: Any, progress: bool,
        quiet: bool = False) -> Tuple[int, int]:
    """Runs command on every file as tasks of the Dask client; prints failures (and info's
    objects). Returns (files done, files failed). A task that fails as a task (its worker died,
    or could not unpickle the work) is retried once, then becomes that file's failure."""
    from distributed import as_completed

    futures = client.map(run_one, [command] * len(files), files, [options] * len(files), pure=False, retries=1)
    path_of = {future.key: path for future, path in zip(futures, files)}
    done = failed = 0
    results: Dict[str, Dict[str, Any]] = {}
    if progress:
        _bar(0, len(files), 0)
    for future in as_completed(futures):
        try:
            result = future.result()
        except Exception as e:  # the task, not the file, failed
            result = _lost(path_of[future.key], e)
        done += 1
        if "error" in result:
            failed += 1
            if progress:
                sys.stderr.write("\r\033[K")
            sys.stderr.write(f"tessera: {result['file']}: {result['error']}\n")
        elif result.get("clipped") and not quiet:
            if progress:
                sys.stderr.write("\r\033[K")
            sys.stderr.write(f"tessera: warning: {result['file']}: some elements were clipped at the bounds\n")
        results[result["file"]] = result
        if progress:
            _bar(done, len(files), failed)
    if progress:
        sys.stderr.write("\n")
    if command == "info":  # the tool's own JSON lines, in the order given
        for f in files:
            sys.stdout.write(results[f].get("json") or json.dumps(results[f]) + "\n")
    return done, failed


def render_tile(path: str, out: str, options: Dict[str, Any], x: int, y: int, width: int,
                height: int) -> Tuple[bytes, bool]:
    """One tile of a rendering (runs on a worker): its output pixels, row after row, and whether
    some element reaches past the drawing's bounds."""
    return _tessera._render_tile(path, out, options, x, y, width, height)


def run_tiles(path: str, out: str, options: Dict[str, Any], client: Any, size: int, progress: bool,
              quiet: bool = False) -> bool:
    """Renders one drawing as tiles of size x size, each a task of the Dask client, and saves
    them as one file, row by row: the file the tool writes for the drawing. Tiles are asked for a
    few rows of tiles ahead of the one being saved, so that the cluster and this process hold
    only those. A tile whose worker dies is made again by another. Prints what failed; returns
    whether the file was written."""
    try:
        plan = _tessera._render_plan(path, out, options)
    except (tessera.Error, OSError, ValueError) as e:  # its message names the file
        sys.stderr.write(f"tessera: {e}\n")
        return False
    if plan["fills"]:
        sys.stderr.write(f"tessera: {path}: a binary rendering of a drawing with fills cannot be split into tiles: "
                         "a fill depends on the whole image\n")
        return False
    width, height, pixel = plan["width"], plan["height"], plan["bytes"]
    across, down = -(-width // size), -(-height // size)
    row_bytes = [min(size, width - tx * size) * pixel for tx in range(across)]  # a row of each tile
    ahead = 2  # rows of tiles asked for beyond the one being saved
    futures: Dict[Tuple[int, int], Any] = {}

    def ask(ty: int) -> None:
        if ty >= down:
            return
        for tx in range(across):
            w, h = min(size, width - tx * size), min(size, height - ty * size)
            futures[(tx, ty)] = client.submit(render_tile, path, out, options, tx * size, ty * size, w, h,
                                              pure=False, retries=1)

    state: Dict[str, Any] = {"ty": -1, "tiles": [], "done": 0, "clipped": False}
    for ty in range(min(ahead + 1, down)):
        ask(ty)
    if progress:
        _bar(0, across * down, 0)

    def row(y: int) -> bytes:
        ty = y // size
        if ty != state["ty"]:  # the next row of tiles: fetched, and the row of tiles after it asked for
            tiles = []
            for tx in range(across):
                pixels, clipped = futures.pop((tx, ty)).result()
                tiles.append(pixels)
                state["clipped"] = state["clipped"] or clipped
                state["done"] += 1
                if progress:
                    _bar(state["done"], across * down, 0)
            state["ty"], state["tiles"] = ty, tiles
            ask(ty + ahead + 1)
        r = y - ty * size
        return b"".join(t[r * n:(r + 1) * n] for t, n in zip(state["tiles"], row_bytes))

    try:
        _tessera._save_rendering(path, out, options, row)
    except Exception as e:  # a tile failed, its worker died twice, or the file could not be written
        if progress:
            sys.stderr.write("\r\033[K")
        if isinstance(e, (tessera.Error, OSError, ValueError)):  # its message names the file
            sys.stderr.write(f"tessera: {e}\n")
        else:
            sys.stderr.write(f"tessera: {path}: {_lost(path, e)['error']}\n")
        return False
    finally:
        for future in futures.values():
            future.cancel()
    if progress:
        sys.stderr.write("\n")
    if state["clipped"] and not quiet:
        sys.stderr.write(f"tessera: warning: {path}: some elements were clipped at the bounds\n")
    return True


def _cluster_error(message: str) -> int:
    sys.stderr.write(f"tessera: {message}\n")
    return 2


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    if args.command == "convert" and not args.to:
        _parser().error("convert needs --to EXT, the format of the outputs")
    if args.scale_y and args.scale:
        _parser().error("--scale conflicts with --scale-x and --scale-y")
    if args.local is not None and args.local < 1:
        _parser().error("--local needs at least 1 worker")
    if args.out_dir:
        try:
            os.makedirs(args.out_dir, exist_ok=True)
        except OSError as e:
            return _cluster_error(f"{args.out_dir}: cannot make the output directory: {e.strerror or e}")
    options = _options(args)
    files = [os.path.abspath(f) for f in args.files[len(options["operands"]):]]
    if args.command in _EDITS:
        count, names = _EDITS[args.command]
        if not files:
            _parser().error(f"{args.command} needs {names + ' and ' if names else ''}files")
        try:
            _tessera._check_operands(args.command, options)
        except ValueError as e:
            _parser().error(f"{args.command}: {e}")
        if not args.out_dir and not args.to:
            _parser().error(f"{args.command} needs --out-dir or --to, so that no input is overwritten")
    if args.tiles:
        if args.command != "render":
            _parser().error("--tiles splits one rendering: it is for render")
        if len(files) != 1:
            _parser().error("--tiles splits one rendering: give one drawing")
    if args.command != "info":
        seen: Dict[str, str] = {}
        for f in files:
            out = _output(args.command, f, options)
            if out in seen:
                return _cluster_error(f"{seen[out]} and {f} would both be written to {out}")
            seen[out] = f
    if args.quiet:
        logging.getLogger("distributed").setLevel(logging.ERROR)
    import dask
    from distributed import Client, LocalCluster

    started = time.monotonic()
    cluster = None
    try:
        if args.scheduler:
            client = Client(args.scheduler, timeout=10)
        else:
            workers = args.local or os.cpu_count() or 1
            # one retry a task: a file that kills its worker twice is that file's failure
            with dask.config.set({"distributed.scheduler.allowed-failures": 1}):
                cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address="127.0.0.1:0",
                                       silence_logs=logging.ERROR if args.quiet else logging.WARNING)
                client = Client(cluster)
    except Exception as e:  # unreachable scheduler, no free port, ...
        if cluster is not None:
            cluster.close()
        where = f"the scheduler at {args.scheduler}" if args.scheduler else "a local cluster"
        return _cluster_error(f"cannot reach {where}: {type(e).__name__}: {e}")
    try:
        progress = sys.stderr.isatty() and not args.quiet
        if args.tiles:
            written = run_tiles(files[0], _output(args.command, files[0], options), options, client, args.tiles,
                                progress, args.quiet)
            done, failed = 1, 0 if written else 1
        else:
            done, failed = run(args.command, files, options, client, progress, args.quiet)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    seconds = time.monotonic() - started
    if not args.quiet and args.tiles:
        sys.stderr.write(f"one rendering in tiles of {args.tiles}: {'written' if not failed else 'failed'}, "
                         f"{seconds:.1f} s\n")
    elif not args.quiet:
        sys.stderr.write(f"{done} files, {failed} failed, {seconds:.1f} s, {done / seconds if seconds else 0:.1f} files/s\n")
    return 2 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
