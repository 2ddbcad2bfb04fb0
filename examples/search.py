"""Search a source tree by sparse embeddings.

Embeds every text file of a tree (this repository unless a path is given) with the
process-wide sparse service, scores each against a query by the dot product of their sparse
vectors and prints the best files, with how many files were embedded, how fast, and why each
other file was not. Paths that the tree's scan configuration ignores are skipped, as the
scanner would: the configured patterns, then the tree's .gitignore (and .pellandorignore)
files.

    python examples/search.py [PATH] [--query TEXT] [--top N] [--workers N | --scheduler ADDRESS]

Only regular files are read, each of at most 1,000,000 bytes; symbolic links are never
followed (neither git nor the scanner follows them), and FIFOs, sockets and devices are never
opened. Every file is either embedded or counted under a reason. An ignore-file line that the
pattern library cannot take is reported once, with its file and line, and skipped.

With --workers N (N > 1) the files are shared out over a local Dask cluster of N worker
processes, with --scheduler over an existing Dask cluster; each worker embeds and scores its
share with its own process-wide service and sends back only its best matches and its counts,
so the ranking and the scores are those of one process. While a local cluster starts, this
process embeds the first shares itself. Without --workers, trees of 200 MB or more go to a
local cluster of one worker per CPU, smaller ones stay in this process.

Exit status: 0 when the search ran (with or without matches), 1 when it could not run, 2 for
a bad argument, 130 when interrupted. A reader that stops reading early (`| head`) ends the
run quietly, with status 1.
"""

import argparse
import bisect
import collections
import contextlib
import errno
import gc
import heapq
import importlib.util
import itertools
import logging
import multiprocessing
import operator
import os
import re
import stat
import sys
import threading
import time
from collections import Counter
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, NamedTuple, NoReturn, Self

from pathspec import GitIgnoreSpec
from tqdm import tqdm

from pellandor.brimsett import require_capability
from pellandor.mistrel import build_scan_config
from pellandor.sparse import SparseResult, get_sparse_service

if TYPE_CHECKING:
    from distributed import Client

REPO_ROOT = Path(__file__).resolve().parent.parent
DEFAULT_QUERY = "argument binding keyword message"
BATCH_SIZE = 64
# Larger files are data or generated code, not sources worth ranking; the service would
# cut them to its profile's text limit anyway.
MAX_FILE_BYTES = 1_000_000
# A NUL byte this early means a binary file; later ones are left to the UTF-8 decoder.
BINARY_SNIFF_BYTES = 8192
# Starting a local cluster costs a few seconds, which pays off from about this much text on.
AUTO_CLUSTER_BYTES = 200_000_000
# The work is shared out in tasks of about this share of each worker's part, so that no
# worker sits idle while another finishes a big one...
TASKS_PER_WORKER = 16
# ...within these bounds (bytes of files per task).
MIN_TASK_BYTES = 256_000
MAX_TASK_BYTES = 16_000_000
# While the tree is still being scanned, a started cluster is kept this many tasks a
# worker ahead; what is left when the scan ends is shared out at once.
TASKS_AHEAD_PER_WORKER = 2
# How long to wait for a cluster's first worker.
WORKER_WAIT_SECONDS = 60

PROG = "search.py"

# Why a file or directory is not embedded: (one, many).
IGNORED_DIRECTORY = ("ignored directory", "ignored directories")
IGNORED_FILE = ("ignored file", "ignored files")
SYMLINK = ("symbolic link (not followed)", "symbolic links (not followed)")
SPECIAL = ("special file (FIFO, socket or device)", "special files (FIFOs, sockets or devices)")
SEEN_DIRECTORY = ("directory seen twice (a mount loop)", "directories seen twice (mount loops)")
UNREADABLE_DIRECTORY = ("unreadable directory", "unreadable directories")
UNREADABLE = ("unreadable file", "unreadable files")
TOO_LARGE = (f"file over {MAX_FILE_BYTES:,} bytes", f"files over {MAX_FILE_BYTES:,} bytes")
BINARY = ("binary file", "binary files")
NOT_UTF8 = ("file not in UTF-8", "files not in UTF-8")
EMPTY = ("empty file", "empty files")
REASONS = (IGNORED_DIRECTORY, IGNORED_FILE, SYMLINK, SPECIAL, SEEN_DIRECTORY,
           UNREADABLE_DIRECTORY, UNREADABLE, TOO_LARGE, BINARY, NOT_UTF8, EMPTY)


class UsageError(Exception):
    """A bad argument: reported in one line, exit status 2."""


class Failure(Exception):
    """The search cannot run: reported in one line, exit status 1."""


def shown(text: str) -> str:
    """`text` printable on any stream: bytes that were not UTF-8 in a file name shown as \\xNN."""
    try:
        data = text.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:  # a surrogate that stands for no byte
        return text.encode("utf-8", "backslashreplace").decode("utf-8")
    return data.decode("utf-8", "backslashreplace")


def one_line(exc: Exception) -> str:
    return shown(" ".join(line.strip() for line in str(exc).splitlines() if line.strip()))


def warn(message: str) -> None:
    print(f"{PROG}: warning: {shown(message)}", file=sys.stderr)


def plural(count: int, forms: tuple[str, str]) -> str:
    return f"{count} {forms[0] if count == 1 else forms[1]}"


# --- arguments ------------------------------------------------------------------------------

class Parser(argparse.ArgumentParser):
    """Refuses a bad argument in one line (and exit status 2), not with the usage text."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{PROG}: error: {shown(message)} (see --help)\n")


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def scheduler_address(text: str) -> str:
    if not text.strip() or any(c.isspace() for c in text):
        raise argparse.ArgumentTypeError(f"not a scheduler address: {text!r}")
    return text


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    cpus = available_cpus()
    parser = Parser(prog=PROG, description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("path", nargs="?", default=str(REPO_ROOT),
                        help="the tree to search (default: this repository)")
    parser.add_argument("--query", default=DEFAULT_QUERY,
                        help=f"what to look for (default: {DEFAULT_QUERY!r})")
    parser.add_argument("--top", type=positive_int, default=10,
                        help="how many files to show, at least 1 (default: 10)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=positive_int, metavar="N",
                       help="1: embed in this process, with no cluster; N > 1: start a local "
                            "Dask cluster of N worker processes. Default: 1, unless the files "
                            f"to read add up to {AUTO_CLUSTER_BYTES // 1_000_000} MB or more "
                            "and more than one CPU is available: then one worker per CPU "
                            f"({cpus} here)")
    where.add_argument("--scheduler", type=scheduler_address, metavar="ADDRESS",
                       help="share the work over the existing Dask cluster of this scheduler "
                            "(e.g. tcp://127.0.0.1:8786); its workers must see the tree at "
                            "the same path and have pellandor installed")
    return parser.parse_args(argv)


def available_cpus() -> int:
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def check_root(text: str) -> Path:
    try:
        info = os.stat(text)
    except FileNotFoundError:
        raise UsageError(f"no such directory: {text}") from None
    except OSError as exc:
        raise UsageError(f"cannot use {text}: {exc.strerror}") from None
    if not stat.S_ISDIR(info.st_mode):
        raise UsageError(f"not a directory: {text}")
    return Path(text).resolve()


def check_query(query: str) -> None:
    try:
        query.encode("utf-8")
    except UnicodeEncodeError:
        # Only POSIX arguments are bytes, whose undecodable ones arrive as escapes; a Windows
        # argument is UTF-16, where a surrogate can only be a lone one.
        try:
            if os.name == "posix":
                os.fsencode(query).decode("utf-8")
        except UnicodeDecodeError as exc:
            raise UsageError(f"argument --query: not UTF-8 text (byte 0x{exc.object[exc.start]:02x} "
                             f"at offset {exc.start})") from None
        except UnicodeEncodeError:
            pass
        raise UsageError("argument --query: holds a lone surrogate, which is not text") from None


# --- ignore rules ---------------------------------------------------------------------------

class Lines:
    """The compiled lines of one ignore file, or of the configured patterns.

    Most paths match no line at all; one search of the lines' expressions joined finds
    those, so that only the rest go through the lines one by one.
    """

    def __init__(self, lines: Sequence[str]) -> None:
        self.spec = GitIgnoreSpec.from_lines(lines)
        self._any_line = any_line(self.spec)

    def verdict(self, path: str) -> bool | None:
        """True ignored, False re-included by a negation, None no line speaks."""
        if self._any_line is not None and self._any_line.search(path) is None:
            return None
        return self.spec.check_file(path).include


# A group name or a back reference would clash or shift once expressions are joined.
NAMED_GROUP = re.compile(r"\(\?P<\w+>")
BACK_REFERENCE = re.compile(r"\(\?P=|\\[1-9]")
# How the library starts a line without a "/" before its end: in any directory. Written
# once in front of all such lines, the search tries each directory once, not once a line.
IN_ANY_DIRECTORY = "^(?:.+/)?"


def either(expressions: Sequence[str]) -> str:
    return "(?:" + "|".join(f"(?:{expression})" for expression in expressions) + ")"


def any_line(spec: GitIgnoreSpec) -> re.Pattern[str] | None:
    """An expression that matches a path where some line of `spec` does, or None when
    the lines' own expressions cannot be joined into one.

    The paths given are relative, "/"-separated and never start with "/" or "./", so
    the library's normalisation leaves them as they are.
    """
    expressions = [pattern.regex for pattern in spec.patterns
                   if pattern.include is not None and pattern.regex is not None]
    if not expressions:
        return re.compile("(?!)")
    if len({expression.flags for expression in expressions}) != 1:
        return None
    texts = [expression.pattern for expression in expressions]
    if not all(isinstance(text, str) and not BACK_REFERENCE.search(text) for text in texts):
        return None
    texts = [NAMED_GROUP.sub("(?:", text) for text in texts]
    anywhere = [text.removeprefix(IN_ANY_DIRECTORY) for text in texts
                if text.startswith(IN_ANY_DIRECTORY)]
    alternatives = [text for text in texts if not text.startswith(IN_ANY_DIRECTORY)]
    if anywhere:
        alternatives.append(IN_ANY_DIRECTORY + either(anywhere))
    try:
        return re.compile(either(alternatives), expressions[0].flags)
    except re.error:
        return None


def compile_lines(lines: Iterable[str], where: Callable[[int], str]) -> Lines:
    """The spec of `lines`; a line the pattern library cannot take is reported and skipped.

    git itself matches nothing with most such lines (a reversed range as in `[z-a]`, a
    trailing backslash); `where(n)` names line n in the report.
    """
    kept = []
    for number, line in enumerate(lines, start=1):
        try:
            GitIgnoreSpec.from_lines([line])
        except Exception as exc:  # the library raises ValueError and re.error, maybe others
            reason = str(exc).split(" at position ")[0]
            warn(f"{where(number)}: cannot use the pattern {line!r} ({reason}); line skipped")
            continue
        kept.append(line)
    return Lines(kept)


@dataclass(frozen=True)
class IgnoreLayer:
    """The rules of one ignore file, which apply to paths below its directory."""

    prefix: str  # the directory's path relative to the root, "" or ending in "/"
    lines: Lines

    def verdict(self, rel_path: str) -> bool | None:
        """True ignored, False re-included by a negation, None no rule speaks."""
        if not rel_path.startswith(self.prefix):
            return None
        return self.lines.verdict(rel_path[len(self.prefix):])


@dataclass(frozen=True)
class IgnoreRules:
    """The payload's patterns plus the ignore files that it switches on."""

    patterns: Lines
    pattern_count: int
    ignore_file_names: tuple[str, ...]

    @classmethod
    def from_payload(cls, payload: Mapping[str, object]) -> Self:
        lines = []
        for key in ("builtin_patterns", "extra_patterns"):
            lines += [(key, index, line) for index, line in enumerate(string_list(payload, key))]
        spec = compile_lines((line for _, _, line in lines),
                             lambda n: f"scan config {lines[n - 1][0]}[{lines[n - 1][1]}]")
        names = []
        if payload["use_gitignore"]:
            names.append(".gitignore")
        if payload["use_pellandorignore"]:
            names.append(".pellandorignore")
        return cls(spec, len(lines), tuple(names))

    def layers_in(self, directory: str, prefix: str,
                  names: Mapping[str, os.DirEntry[str]]) -> tuple[IgnoreLayer, ...]:
        """The layers of the ignore files among `names`, the entries of `directory`."""
        layers = []
        for name in self.ignore_file_names:
            entry = names.get(name)
            if entry is None:
                continue
            shown_name = prefix + name
            if entry.is_symlink():
                warn(f"{shown_name} is a symbolic link; not read (git does not follow it either)")
                continue
            if not entry.is_file(follow_symlinks=False):
                warn(f"{shown_name}: not a regular file; its rules are not applied")
                continue
            outcome = read_file(os.path.join(directory, name))
            if isinstance(outcome, tuple):
                warn(f"{shown_name}: {outcome[0]}; its rules are not applied")
                continue
            lines = outcome.decode("utf-8", "surrogateescape").splitlines()
            layers.append(IgnoreLayer(prefix, compile_lines(lines, lambda n: f"{shown_name}:{n}")))
        return tuple(layers)

    def ignores(self, rel_path: str, layers: Sequence[IgnoreLayer]) -> bool:
        """Whether a path (directories end in "/") is skipped.

        The configured patterns cannot be overridden by an ignore file's negation; among
        the ignore files, as in git, the deepest one that has a rule for the path decides.
        """
        if self.patterns.verdict(rel_path):
            return True
        ignored = False
        for layer in layers:
            verdict = layer.verdict(rel_path)
            if verdict is not None:
                ignored = verdict
        return ignored


def string_list(payload: Mapping[str, object], key: str) -> list[str]:
    value = payload[key]
    if not isinstance(value, list) or not all(isinstance(item, str) for item in value):
        raise Failure(f"scan config entry {key!r} is not a list of strings: {value!r}")
    return value


# --- the scan -------------------------------------------------------------------------------

class FileRef(NamedTuple):
    path: str  # relative to the root, "/"-separated
    size: int


@dataclass
class Scan:
    files: list[FileRef] = field(default_factory=list)
    skipped: Counter[tuple[str, str]] = field(default_factory=Counter)

    @property
    def total_bytes(self) -> int:
        return sum(f.size for f in self.files)


def scan_tree(root: Path, rules: IgnoreRules,
              found: Callable[[FileRef], object] | None = None) -> Scan:
    """The regular files under `root` that the rules keep, in a stable order; `found` is
    told of each as soon as it is kept.

    An ignored directory is not entered at all, so nothing below it can be re-included,
    as in git. Links are not followed; what is neither a directory nor a regular file is
    counted, never opened.
    """
    scan = Scan()
    seen: set[tuple[int, int]] = set()
    root_text = str(root)
    try:
        root_info = os.stat(root_text)
    except OSError as exc:
        raise Failure(f"cannot read {root_text}: {exc.strerror}") from None
    seen.add((root_info.st_dev, root_info.st_ino))
    # Depth first, names in sorted order; each directory with the layers above it.
    pending: list[tuple[str, str, tuple[IgnoreLayer, ...]]] = [(root_text, "", ())]
    while pending:
        directory, prefix, inherited = pending.pop()
        try:
            with os.scandir(directory) as listing:
                entries = {entry.name: entry for entry in listing}
        except OSError as exc:
            if not prefix:
                raise Failure(f"cannot read {root_text}: {exc.strerror}") from None
            scan.skipped[UNREADABLE_DIRECTORY] += 1
            continue
        layers = inherited + rules.layers_in(directory, prefix, entries)
        subdirectories = []
        for name in sorted(entries):
            entry = entries[name]
            rel = prefix + name
            try:
                if entry.is_symlink() or entry.is_junction():
                    kind = "link"
                elif entry.is_dir(follow_symlinks=False):
                    kind = "dir"
                elif entry.is_file(follow_symlinks=False):
                    kind = "file"
                else:
                    kind = "special"
            except OSError:
                scan.skipped[UNREADABLE] += 1
                continue
            if rules.ignores(rel + "/" if kind == "dir" else rel, layers):
                scan.skipped[IGNORED_DIRECTORY if kind == "dir" else IGNORED_FILE] += 1
            elif kind == "link":
                scan.skipped[SYMLINK] += 1
            elif kind == "special":
                scan.skipped[SPECIAL] += 1
            elif kind == "dir":
                try:
                    info = os.lstat(entry.path)
                except OSError:
                    scan.skipped[UNREADABLE_DIRECTORY] += 1
                    continue
                if (info.st_dev, info.st_ino) in seen:
                    scan.skipped[SEEN_DIRECTORY] += 1
                    continue
                seen.add((info.st_dev, info.st_ino))
                subdirectories.append((entry.path, rel + "/", layers))
            else:
                try:
                    size = entry.stat(follow_symlinks=False).st_size
                except OSError:
                    scan.skipped[UNREADABLE] += 1
                    continue
                if size > MAX_FILE_BYTES:
                    scan.skipped[TOO_LARGE] += 1
                else:
                    ref = FileRef(rel, size)
                    scan.files.append(ref)
                    if found is not None:
                        found(ref)
        pending.extend(reversed(subdirectories))
    return scan


# --- reading --------------------------------------------------------------------------------

OPEN_FLAGS = (os.O_RDONLY | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_NONBLOCK", 0)
              | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0))


def read_file(path: str) -> bytes | tuple[str, tuple[str, str]]:
    """The bytes of a regular file of at most MAX_FILE_BYTES, or (why not, reason).

    The file is opened without following a final link and without waiting for a FIFO's
    writer, then checked again: the scan saw what it was, but the tree may have changed.
    """
    try:
        fd = os.open(path, OPEN_FLAGS)
    except OSError as exc:
        if getattr(os, "O_NOFOLLOW", 0) and os.path.islink(path):
            return "a symbolic link", SYMLINK
        return f"cannot read it ({exc.strerror})", UNREADABLE
    with open(fd, "rb", buffering=0, closefd=True) as file:
        try:
            info = os.fstat(fd)
            if not stat.S_ISREG(info.st_mode):
                return "not a regular file", SPECIAL
            if info.st_size > MAX_FILE_BYTES:
                return f"over {MAX_FILE_BYTES:,} bytes", TOO_LARGE
            # One byte more than the limit shows a file that grew past it since the fstat.
            limit = MAX_FILE_BYTES + 1
            chunks = []
            size = 0
            want = info.st_size + 1
            while size < limit:
                chunk = file.read(min(want, limit - size))
                if not chunk:  # the end (or, for what only looks regular, nothing ready)
                    break
                chunks.append(chunk)
                size += len(chunk)
                want = 1 << 16
        except OSError as exc:
            return f"cannot read it ({exc.strerror})", UNREADABLE
    if size > MAX_FILE_BYTES:
        return f"over {MAX_FILE_BYTES:,} bytes", TOO_LARGE
    return b"".join(chunks)


def read_text(path: str, skipped: Counter[tuple[str, str]]) -> str | None:
    """The file's text, or None (counted in `skipped`) for what is not worth embedding."""
    data = read_file(path)
    if isinstance(data, tuple):
        skipped[data[1]] += 1
        return None
    if b"\0" in data[:BINARY_SNIFF_BYTES]:
        skipped[BINARY] += 1
        return None
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        skipped[NOT_UTF8] += 1
        return None
    if not text.strip():
        skipped[EMPTY] += 1
        return None
    return text


# --- embedding and scoring ------------------------------------------------------------------

class Match(NamedTuple):
    path: str
    score: float


def order(match: Match) -> tuple[float, str]:
    """Best first; equal scores by path."""
    return -match.score, match.path


def score(query_indices: Sequence[int], query_values: Sequence[float],
          vector: SparseResult) -> float:
    """The dot product of the query's vector and `vector` (the core's indices ascend)."""
    indices = vector.indices
    total = 0.0
    for index, weight in zip(query_indices, query_values):
        position = bisect.bisect_left(indices, index)
        if position < len(indices) and indices[position] == index:
            total += weight * vector.values[position]
    return total


def best(matches: Iterable[Match], top: int) -> list[Match]:
    """The `top` matches with a positive score, best first; equal scores by path."""
    return heapq.nsmallest(top, (m for m in matches if m.score > 0), key=order)


def rank(query_indices: Sequence[int], query_values: Sequence[float],
         documents: Iterable[tuple[str, SparseResult]], top: int) -> list[Match]:
    """The `top` documents with a positive score against the query's vector."""
    return best((Match(path, score(query_indices, query_values, vector))
                 for path, vector in documents), top)


def embedded_bytes(text: str, result: SparseResult) -> int:
    """UTF-8 bytes of the part of `text` that the service actually tokenised."""
    if result.used_chars is not None and result.used_chars < len(text):
        text = text[: result.used_chars]
    return len(text.encode("utf-8"))


@dataclass
class Outcome:
    """What embedding some files gave: the best matches and the counts."""

    matches: list[Match] = field(default_factory=list)
    skipped: Counter[tuple[str, str]] = field(default_factory=Counter)
    embedded: int = 0
    embedded_bytes: int = 0
    embed_seconds: float = 0.0

    def merge(self, other: "Outcome", top: int) -> None:
        self.matches = best(self.matches + other.matches, top)
        self.skipped += other.skipped
        self.embedded += other.embedded
        self.embedded_bytes += other.embedded_bytes
        self.embed_seconds += other.embed_seconds

    # Dask sends plain values: a class of this file may reach the workers by value.
    def to_plain(self) -> tuple[list[tuple[str, float]], list[tuple[str, str, int]], int, int, float]:
        return ([(m.path, m.score) for m in self.matches],
                [(one, many, count) for (one, many), count in self.skipped.items()],
                self.embedded, self.embedded_bytes, self.embed_seconds)

    @classmethod
    def from_plain(cls, plain: tuple[list[tuple[str, float]], list[tuple[str, str, int]],
                                     int, int, float]) -> Self:
        matches, skipped, embedded, total, seconds = plain
        return cls([Match(path, value) for path, value in matches],
                    Counter({(one, many): count for one, many, count in skipped}),
                    embedded, total, seconds)


def embed_and_score(root: str, files: Sequence[str], query_indices: Sequence[int],
                    query_values: Sequence[float], top: int,
                    progress: Callable[[int], object] = lambda n: None) -> Outcome:
    """Embed `files` (paths relative to `root`) with this process's service, in batches, and
    keep the `top` best matches; `progress(n)` after each batch of n files."""
    service = get_sparse_service()
    outcome = Outcome()
    for batch in itertools.batched(files, BATCH_SIZE):
        names: list[str] = []
        texts: list[str] = []
        for name in batch:
            text = read_text(os.path.join(root, name), outcome.skipped)
            if text is not None:
                names.append(name)
                texts.append(text)
        started = time.perf_counter()
        results = service.embed_batch(texts)
        outcome.embed_seconds += time.perf_counter() - started
        outcome.embedded += len(results)
        outcome.embedded_bytes += sum(embedded_bytes(text, result)
                                      for text, result in zip(texts, results, strict=True))
        found = rank(query_indices, query_values, zip(names, results, strict=True), top)
        outcome.matches = best(outcome.matches + found, top)
        progress(len(batch))
    return outcome


def worker_task(files: list[str], root: str, query_indices: list[int],
                query_values: list[float], top: int, profile: str
                ) -> tuple[list[tuple[str, float]], list[tuple[str, str, int]], int, int, float]:
    """One task on a Dask worker: its files through the worker's process-wide service."""
    worker_profile = get_sparse_service()._profile_json
    if worker_profile != profile:
        raise RuntimeError(f"the worker's sparse profile {worker_profile} is not the client's "
                           f"{profile}: its vectors would differ")
    return embed_and_score(root, files, query_indices, query_values, top).to_plain()


def task_bytes(total: int, workers: int) -> float:
    """How many bytes of files make a task, when `total` are shared out over `workers`."""
    return min(max(total / (workers * TASKS_PER_WORKER), MIN_TASK_BYTES), MAX_TASK_BYTES)


def tasks_of(files: Iterable[FileRef], target: float) -> Iterator[list[FileRef]]:
    """`files` cut into consecutive tasks of `target` bytes or just over; the last may
    be smaller."""
    current: list[FileRef] = []
    size = 0
    for ref in files:
        current.append(ref)
        size += ref.size
        if size >= target:
            yield current
            current, size = [], 0
    if current:
        yield current


def shares(files: Sequence[FileRef], workers: int, total_bytes: int) -> list[list[str]]:
    """`files` cut into consecutive tasks of about equal bytes, several per worker, as for
    a tree of `total_bytes`."""
    target = task_bytes(total_bytes, workers)
    return [[ref.path for ref in task] for task in tasks_of(files, target)]


# --- where the work runs --------------------------------------------------------------------

def choose_workers(requested: int | None, scan: Scan) -> int:
    if requested is not None:
        return requested
    cpus = available_cpus()
    return cpus if cpus > 1 and scan.total_bytes >= AUTO_CLUSTER_BYTES else 1


# What the workers import, loaded once by the fork server rather than once by each worker.
# "__main__" is this file; CPython 3.13's fork server is not told its path and skips it, so
# each worker runs this file's top itself (about 20 ms, with the rest already loaded).
WORKER_MODULES = ["__main__", "distributed", "pellandor.sparse", "pellandor.brimsett",
                  "pellandor.mistrel", "pathspec", "tqdm"]


def point_at_null(fd: int) -> None:
    """Descriptor `fd` pointed at the null device."""
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, fd)
    finally:
        os.close(null)


@contextlib.contextmanager
def output_to_null() -> Iterator[None]:
    """This process's standard output and error pointed at the null device meanwhile, for
    the processes started meanwhile to inherit (where they are open: a closed one stays so)."""
    sys.stdout.flush()
    sys.stderr.flush()
    saved: list[tuple[int, int]] = []
    try:
        for fd in (1, 2):
            with contextlib.suppress(OSError):
                saved.append((fd, os.dup(fd)))
                point_at_null(fd)
        yield
    finally:
        for fd, copy in saved:
            os.dup2(copy, fd)
            os.close(copy)


def start_fork_server() -> bool:
    """Start the fork server that a local cluster's workers can be forked from. It imports
    the workers' modules in a process of its own, on another CPU, while this one imports
    Dask; whether the cluster takes it is for `takes_fork_server` to say once Dask is in.

    The server and the workers do not write to this job's output: the workers report
    through the client, and the server, which ends a little after this process, would
    keep a pipe reading the output open until then."""
    if ("forkserver" not in multiprocessing.get_all_start_methods()
            or importlib.util.find_spec("distributed") is None):
        return False
    from multiprocessing import forkserver

    multiprocessing.get_context("forkserver").set_forkserver_preload(WORKER_MODULES)
    with output_to_null():
        forkserver.ensure_running()
    return True


def takes_fork_server(config: Any) -> bool:
    """Whether Dask's configuration leaves the start method to this job (read before
    distributed is imported: its own default, spawn, is not set yet)."""
    return config.get("distributed.worker.multiprocessing-method", None) in (None, "spawn")


def local_cluster_config(config: Any, fork_server: bool) -> dict[str, object]:
    """Dask settings for the local cluster that this job starts for itself."""
    settings: dict[str, object] = {
        # The statistical profiler samples every thread every 10 ms, for a dashboard that is
        # not started here.
        "distributed.worker.profile.enabled": False,
        # Every process of the cluster wakes its event loop 50 times a second to time it, and
        # samples its CPU and memory twice a second, for logs and a dashboard that are not
        # kept here; on a worker each wake-up takes the interpreter lock from the task's
        # thread. Memory limits are still enforced, checked once a second.
        "distributed.admin.tick.interval": "1s",
        "distributed.admin.system-monitor.interval": "2s",
        "distributed.admin.system-monitor.gil.enabled": False,
        "distributed.worker.memory.monitor-interval": "1s",
    }
    if fork_server:
        settings["distributed.worker.multiprocessing-method"] = "forkserver"
    # Dask has glibc give freed memory back at once; each batch's big strings would then cost
    # fresh pages every time (about a third more CPU time per file here).
    environ = dict(config.get("distributed.nanny.pre-spawn-environ") or {})
    environ.pop("MALLOC_TRIM_THRESHOLD_", None)
    settings["distributed.nanny.pre-spawn-environ"] = environ
    return settings


@contextlib.contextmanager
def dask_client(workers: int, scheduler: str | None, fork_server: bool,
                imported: Callable[[], object]) -> Iterator[tuple["Client", int, str]]:
    """A Dask client, how many workers it has, and a description; the local cluster, if one
    was started, is shut down on the way out, whatever happened. A local cluster's workers
    come from the fork server if `fork_server` says it runs; `imported()` is called once
    Dask is imported."""
    try:
        import dask

        fork_server = fork_server and takes_fork_server(dask.config)
        import cloudpickle  # type: ignore[import-untyped]
        from distributed import Client, LocalCluster
    except ImportError as exc:
        raise Failure(f"--workers and --scheduler need dask.distributed ({exc}); install "
                      "pellandor's demo extra") from None
    imported()
    # Tasks are this file's functions: when it was imported as a module rather than run,
    # the workers get them by value, as they do from a script.
    module = sys.modules.get(__name__)
    if __name__ != "__main__" and module is not None:
        cloudpickle.register_pickle_by_value(module)
    # Neither the client nor the cluster is entered as a context: a client's context belongs
    # to the thread that entered it, and ClusterStart closes them from another thread.
    with contextlib.ExitStack() as stack:
        if scheduler is not None:
            try:
                client = Client(scheduler, set_as_default=False)  # type: ignore[no-untyped-call]
                stack.callback(client.close)
                client.wait_for_workers(1, timeout=WORKER_WAIT_SECONDS)
            except Exception as exc:  # whatever the connection gave: one line, not a traceback
                raise Failure(f"cannot use the Dask scheduler at {scheduler}: "
                              f"{str(exc) or type(exc).__name__}") from None
            count = len(client.scheduler_info()["workers"])
            yield client, count, f"{plural(count, ('worker', 'workers'))} of the Dask cluster at {scheduler}"
            return
        stack.enter_context(dask.config.set(local_cluster_config(dask.config, fork_server)))
        # Loopback only, ports the system picks, no dashboard. A failed task is told by the
        # client in one line; the workers' own logs would repeat it with a traceback.
        try:
            cluster = LocalCluster(  # type: ignore[no-untyped-call]
                n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                scheduler_port=0, dashboard_address=None, silence_logs=logging.CRITICAL)
            stack.callback(cluster.close)
            client = Client(cluster, set_as_default=False)  # type: ignore[no-untyped-call]
            stack.callback(client.close)
        except Exception as exc:  # whatever the start gave: one line, not a traceback
            raise Failure(f"cannot start a local Dask cluster: {exc}") from None
        yield client, workers, f"{workers} processes of a local Dask cluster"


class ClusterStart:
    """`dask_client(workers, scheduler)` entered in a thread of its own, so that the cluster
    starts while the caller goes on; leaving closes it (after its start has ended)."""

    def __init__(self, workers: int, scheduler: str | None) -> None:
        self._stack = contextlib.ExitStack()
        self._imported = threading.Event()
        self._workers, self._scheduler = workers, scheduler
        self._fork_server = False
        self._value: tuple["Client", int, str] | None = None
        self._error: BaseException | None = None
        self._thread = threading.Thread(target=self._start, name="cluster start", daemon=True)

    def _start(self) -> None:
        try:
            self._value = self._stack.enter_context(dask_client(
                self._workers, self._scheduler, self._fork_server, self._imported.set))
        except BaseException as exc:  # handed to the caller by result()
            self._error = exc
        finally:
            self._imported.set()

    def __enter__(self) -> Self:
        # Started before any other thread of this job: see output_to_null.
        self._fork_server = self._scheduler is None and start_fork_server()
        self._thread.start()
        return self

    def wait_for_dask(self) -> None:
        """Wait until Dask is imported (or the start has failed)."""
        self._imported.wait()

    def ready(self) -> bool:
        """Whether the start has ended (well or not): result() returns at once."""
        return not self._thread.is_alive()

    def up(self) -> bool:
        """Whether the start has ended well."""
        return self.ready() and self._error is None

    def result(self) -> tuple["Client", int, str]:
        self._thread.join()
        if self._error is not None:
            raise self._error
        assert self._value is not None
        return self._value

    def __exit__(self, *exc_info: object) -> None:
        self._thread.join()
        self._stack.close()


class ClusterTasks:
    """The tasks sent to a cluster, and the files found for it that are not sent yet.

    The files sent are the first `sent` of the scan's list: while the tree is still being
    scanned, those found so far go out as soon as the cluster is up, in tasks of the size
    that the bytes found so far call for, as many as keep each worker a few tasks ahead.
    """

    def __init__(self, cluster: ClusterStart, root: str, query: SparseResult, top: int,
                 profile: str) -> None:
        self.cluster = cluster
        self.root, self.query, self.top, self.profile = root, query, top, profile
        self.futures: dict[Any, int] = {}  # a task's future: how many files it holds
        self.sent = 0
        self._found: list[FileRef] = []
        self._found_bytes = 0
        self._all_bytes = 0
        self._look_again: float = MIN_TASK_BYTES  # at this many bytes found and not sent
        self._task_function: Any = None  # worker_task, once every worker holds it

    def send(self, client: "Client", tasks: list[list[str]]) -> None:
        # The task function goes by value, with all it uses from this file: it is sent to
        # every worker once, as data, rather than pickled again for each batch of tasks
        # and unpickled again for each task.
        if self._task_function is None:
            self._task_function = client.scatter(  # type: ignore[no-untyped-call]
                worker_task, broadcast=True, hash=False)
        submitted = client.map(operator.call, [self._task_function] * len(tasks),
                               tasks, root=self.root,
                               query_indices=self.query.indices, query_values=self.query.values,
                               top=self.top, profile=self.profile, pure=False)
        self.futures.update(zip(submitted, map(len, tasks), strict=True))
        self.sent += sum(map(len, tasks))

    def found(self, ref: FileRef) -> None:
        """Told of each file the scan keeps."""
        self._found.append(ref)
        self._found_bytes += ref.size
        self._all_bytes += ref.size
        if self._found_bytes < self._look_again or not self.cluster.up():
            return
        client, workers, _ = self.cluster.result()
        target = task_bytes(self._all_bytes, workers)
        room = TASKS_AHEAD_PER_WORKER * workers - sum(not f.done() for f in self.futures)
        tasks: list[list[str]] = []
        while len(tasks) < room and self._found_bytes >= target:
            task = next(tasks_of(self._found, target))
            del self._found[:len(task)]
            self._found_bytes -= sum(ref.size for ref in task)
            tasks.append([ref.path for ref in task])
        if tasks:
            self.send(client, tasks)
        # Busy workers are asked again once another task's worth has been found.
        self._look_again = self._found_bytes + target


def run_on_cluster(tasks: ClusterTasks, workers: int, local: bool, scan: Scan,
                   progress: Callable[[int], object]) -> tuple[Outcome, str]:
    """The files of the scan that are not sent yet shared out as tasks over the cluster's
    workers, every task's outcome merged, and who did the work.

    While a local cluster of `workers` starts, this process embeds the first tasks itself,
    up to the share of one worker more; an existing cluster gets all the work.
    """
    from distributed import as_completed

    outcome = Outcome()
    rest = scan.files[tasks.sent:]
    here = 0
    if local:
        left = collections.deque(shares(rest, workers, scan.total_bytes))
        while (left and not tasks.cluster.ready()
               and (here + len(left[0])) * (workers + 1) <= len(rest)):
            files = left.popleft()
            outcome.merge(embed_and_score(tasks.root, files, tasks.query.indices,
                                          tasks.query.values, tasks.top, progress), tasks.top)
            here += len(files)
        client, workers, description = tasks.cluster.result()
    else:
        client, workers, description = tasks.cluster.result()
        left = collections.deque(shares(rest, workers, scan.total_bytes))
    if here:
        description += f"; this process embedded {plural(here, ('file', 'files'))} while it started"
    try:
        if left:
            tasks.send(client, list(left))
        for future in as_completed(tasks.futures, loop=client.loop):  # type: ignore[no-untyped-call]
            try:
                plain = future.result()
            except Exception as exc:
                raise Failure(f"a Dask worker failed: {type(exc).__name__}: {exc}") from None
            outcome.merge(Outcome.from_plain(plain), tasks.top)
            progress(tasks.futures[future])
    finally:
        client.cancel(list(tasks.futures))  # type: ignore[no-untyped-call]
    return outcome, description


# --- the job --------------------------------------------------------------------------------

def capability_status(name: str) -> str:
    try:
        require_capability(name, "the scanner's replaceable built-in patterns")
    except RuntimeError as exc:
        return str(exc)
    return "available"


def search(args: argparse.Namespace) -> int:
    root = check_root(args.path)
    query_text: str = args.query
    check_query(query_text)
    top: int = args.top
    started = time.perf_counter()
    query = get_sparse_service().embed_single(query_text)
    if not query.indices:
        raise UsageError(f"argument --query: no word to search for in {query_text!r}")
    profile = get_sparse_service()._profile_json

    with contextlib.ExitStack() as stack:
        def start_cluster(workers: int, scheduler: str | None) -> ClusterTasks:
            cluster = stack.enter_context(ClusterStart(workers, scheduler))
            return ClusterTasks(cluster, str(root), query, top, profile)

        # A cluster asked for by name starts while the tree is scanned. Importing Dask
        # is most of this process's part in the start, so the scan waits for it: the
        # rest is spent waiting for the workers.
        tasks = None
        if args.scheduler is not None or (args.workers or 1) > 1:
            tasks = start_cluster(args.workers or 0, args.scheduler)
            tasks.cluster.wait_for_dask()

        print(f"capability ignore_builtin_replace: {capability_status('ignore_builtin_replace')}")
        rules = IgnoreRules.from_payload(build_scan_config(root))
        scan = scan_tree(root, rules, None if tasks is None else tasks.found)
        ignore_files = " and ".join(rules.ignore_file_names) or "no"
        print(f"scanning {shown(str(root))}: {plural(len(scan.files), ('file', 'files'))} "
              f"({scan.total_bytes / 1e6:.2f} MB) kept by {rules.pattern_count} configured "
              f"patterns and {ignore_files} files")
        sys.stdout.flush()

        workers = choose_workers(args.workers, scan)
        if tasks is None and workers > 1 and scan.files:
            tasks = start_cluster(workers, None)
        with tqdm(total=len(scan.files), desc="embedding", unit="file", file=sys.stderr) as bar:
            if tasks is None:
                description = "1, in this process"
                outcome = embed_and_score(str(root), [f.path for f in scan.files], query.indices,
                                          query.values, top, bar.update)
            else:
                outcome, description = run_on_cluster(tasks, workers, args.scheduler is None,
                                                      scan, bar.update)
    elapsed = time.perf_counter() - started
    outcome.skipped += scan.skipped
    print(f"workers: {description}")

    megabytes = outcome.embedded_bytes / 1e6
    line = f"embedded {plural(outcome.embedded, ('file', 'files'))}"
    if outcome.embedded:
        per_worker = (f", {megabytes / outcome.embed_seconds:.1f} MB/s per worker"
                      if outcome.embed_seconds > 0 else "")
        line += (f", {megabytes:.2f} MB, in {elapsed:.3f} s from start to finish "
                 f"({megabytes / elapsed:.1f} MB/s); embed_batch {outcome.embed_seconds:.3f} s"
                 f"{per_worker}")
    print(line)
    if outcome.skipped:
        print("skipped: " + ", ".join(plural(outcome.skipped[reason], reason)
                                      for reason in REASONS if outcome.skipped[reason]))

    print(f"\nbest matches for {shown(query_text)!r}:")
    if not outcome.embedded:
        print("  none: no file was embedded")
    elif not outcome.matches:
        print("  none: no file shares a token with the query")
    width = max(8, *(len(f"{m.score:.3f}") for m in outcome.matches)) if outcome.matches else 8
    for number, match in enumerate(outcome.matches, start=1):
        print(f"{number:3}. {match.score:{width}.3f}  {shown(match.path)}")
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    """Run the search; every refusal and failure is one line on standard error."""
    # A stream the caller closed (`>&-`) is None: with no output there is nothing to do,
    # and with no standard error the run goes on without its messages.
    if sys.stderr is None:
        sys.stderr = open(os.devnull, "w")
    if sys.stdout is None:
        print(f"{PROG}: error: standard output is closed", file=sys.stderr)
        return 1
    try:
        try:
            status = search(parse_args(argv))
        finally:
            sys.stdout.flush()
    except UsageError as exc:
        print(f"{PROG}: error: {one_line(exc)}", file=sys.stderr)
        return 2
    except Failure as exc:
        print(f"{PROG}: error: {one_line(exc)}", file=sys.stderr)
        return 1
    except OSError as exc:
        # Whatever is still buffered, or written at exit (colorama's reset on Windows), goes
        # nowhere: the interpreter's own last flush must not fail too.
        with contextlib.suppress(OSError):
            sys.stdout.flush()
        point_at_null(sys.stdout.fileno())
        # A reader that went away (`| head`; Windows says EINVAL) needs no word; any other
        # failure (a full disk) gets its line, where standard error can still take it.
        if not isinstance(exc, BrokenPipeError) and not (os.name == "nt" and exc.errno == errno.EINVAL):
            with contextlib.suppress(OSError):
                print(f"{PROG}: error: {one_line(exc)}", file=sys.stderr, flush=True)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    return status


if __name__ == "__main__":
    status = main()
    # Nothing runs after this but the interpreter's teardown, whose collections would
    # otherwise walk every object that Dask's modules made (about 0.1 s).
    gc.freeze()
    sys.exit(status)
