"""Render, convert, edit or describe many files on a Dask distributed cluster, one task a file.

    python3 -m tessera.batch render  [--local N | --scheduler tcp://HOST:PORT] [--out-dir DIR]
                                     [--to EXT] [--scale S | --scale-x X --scale-y Y]
                                     [--binary | --rgb] [--background C] [--foreground C] FILE...
    python3 -m tessera.batch convert [...] --to EXT [--normalize] [--background C] FILE...
    python3 -m tessera.batch info    [...] [--stats] FILE...
    python3 -m tessera.batch resize  [...] [--filter F] SIZE FILE...
    python3 -m tessera.batch thumbnail [...] [--filter F] SIZE FILE...
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
    p.add_argument("--color", type=_colour, help="border's colour")
    p.add_argument("--quiet", action="store_true", help="no progress bar")
    p.add_argument("--stats", action="store_true", help="info: decode the pixels for comment, minimum and maximum")
    return p


def _options(args: argparse.Namespace) -> Dict[str, Any]:
    scale_x = args.scale or args.scale_x or 1.0
    scale_y = args.scale or args.scale_y or 1.0
    return {"to": args.to, "out_dir": os.path.abspath(args.out_dir) if args.out_dir else None, "scale_x": scale_x,
            "scale_y": scale_y, "binary": args.binary, "rgb": args.rgb, "background": args.background,
            "foreground": args.foreground, "normalize": args.normalize, "filter": args.filter, "color": args.color, "stats": args.stats,
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
        done, failed = run(args.command, files, options, client, progress, args.quiet)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    seconds = time.monotonic() - started
    if not args.quiet:
        sys.stderr.write(f"{done} files, {failed} failed, {seconds:.1f} s, {done / seconds if seconds else 0:.1f} files/s\n")
    return 2 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
