"""Search a source tree by sparse embeddings.

Embeds every text file of a tree (this repository unless a path is given) with the
process-wide sparse service, then ranks the files against a query by the dot product of
their sparse vectors and prints the best ones, with how many files were embedded and how
fast. Paths that the tree's scan configuration ignores are skipped, as the scanner would:
the configured patterns, then the tree's .gitignore (and .pellandorignore) files.

    python examples/search.py [PATH] [--query TEXT] [--top N]
"""

import argparse
import heapq
import itertools
import os
import sys
import time
from collections import Counter
from collections.abc import Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import NamedTuple, Self

from pathspec import GitIgnoreSpec
from tqdm import tqdm

from pellandor.brimsett import require_capability
from pellandor.mistrel import build_scan_config
from pellandor.sparse import SparseResult, get_sparse_service

REPO_ROOT = Path(__file__).resolve().parent.parent
DEFAULT_QUERY = "argument binding keyword message"
BATCH_SIZE = 64
# Larger files are data or generated code, not sources worth ranking; the service would
# cut them to its profile's text limit anyway.
MAX_FILE_BYTES = 1_000_000
# A NUL byte this early means a binary file; later ones are left to the UTF-8 decoder.
BINARY_SNIFF_BYTES = 8192


class Match(NamedTuple):
    path: str
    score: float


@dataclass(frozen=True)
class IgnoreLayer:
    """The rules of one ignore file, which apply to paths below its directory."""

    prefix: str  # the directory's path relative to the root, "" or ending in "/"
    spec: GitIgnoreSpec

    def verdict(self, rel_path: str) -> bool | None:
        """True ignored, False re-included by a negation, None no rule speaks."""
        if not rel_path.startswith(self.prefix):
            return None
        return self.spec.check_file(rel_path[len(self.prefix):]).include


@dataclass(frozen=True)
class IgnoreRules:
    """The payload's patterns plus the ignore files that it switches on."""

    patterns: GitIgnoreSpec
    ignore_file_names: tuple[str, ...]

    @classmethod
    def from_payload(cls, payload: Mapping[str, object]) -> Self:
        patterns = string_list(payload, "builtin_patterns") + string_list(payload, "extra_patterns")
        names = []
        if payload["use_gitignore"]:
            names.append(".gitignore")
        if payload["use_pellandorignore"]:
            names.append(".pellandorignore")
        return cls(GitIgnoreSpec.from_lines(patterns), tuple(names))

    def layers_in(self, directory: Path, prefix: str) -> tuple[IgnoreLayer, ...]:
        """The layers of the ignore files found in `directory`."""
        layers = []
        for name in self.ignore_file_names:
            try:
                lines = (directory / name).read_text(encoding="utf-8").splitlines()
            except (OSError, UnicodeDecodeError):
                continue
            layers.append(IgnoreLayer(prefix, GitIgnoreSpec.from_lines(lines)))
        return tuple(layers)

    def ignores(self, rel_path: str, layers: Sequence[IgnoreLayer]) -> bool:
        """Whether a path (directories end in "/") is skipped.

        The configured patterns cannot be overridden by an ignore file's negation; among
        the ignore files, as in git, the deepest one that has a rule for the path decides.
        """
        if self.patterns.match_file(rel_path):
            return True
        ignored = False
        for layer in layers:
            verdict = layer.verdict(rel_path)
            if verdict is not None:
                ignored = verdict
        return ignored


@dataclass
class Scan:
    files: list[Path] = field(default_factory=list)
    skipped: Counter[str] = field(default_factory=Counter)


def string_list(payload: Mapping[str, object], key: str) -> list[str]:
    value = payload[key]
    if not isinstance(value, list) or not all(isinstance(item, str) for item in value):
        raise TypeError(f"scan config entry {key!r} is not a list of strings: {value!r}")
    return value


def relative(path: Path, root: Path) -> str:
    return path.relative_to(root).as_posix()


def scan_tree(root: Path, rules: IgnoreRules) -> Scan:
    """The files under `root` that the rules keep, in a stable order.

    An ignored directory is not entered at all, so nothing below it can be re-included,
    as in git.
    """
    scan = Scan()
    inherited: dict[str, tuple[IgnoreLayer, ...]] = {}
    for dirpath, dirnames, filenames in os.walk(root):
        directory = Path(dirpath)
        prefix = "" if directory == root else relative(directory, root) + "/"
        layers = inherited.pop(dirpath, ()) + rules.layers_in(directory, prefix)
        kept = []
        for name in sorted(dirnames):
            if rules.ignores(f"{prefix}{name}/", layers):
                scan.skipped["ignored directories"] += 1
            else:
                kept.append(name)
                inherited[os.path.join(dirpath, name)] = layers
        dirnames[:] = kept
        for name in sorted(filenames):
            if rules.ignores(prefix + name, layers):
                scan.skipped["ignored files"] += 1
            else:
                scan.files.append(directory / name)
    return scan


def read_text(path: Path, skipped: Counter[str]) -> str | None:
    """The file's text, or None (counted in `skipped`) for what is not worth embedding."""
    try:
        if path.stat().st_size > MAX_FILE_BYTES:
            skipped["too large"] += 1
            return None
        data = path.read_bytes()
    except OSError:
        skipped["unreadable"] += 1
        return None
    if b"\0" in data[:BINARY_SNIFF_BYTES]:
        skipped["binary"] += 1
        return None
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        skipped["not UTF-8"] += 1
        return None
    if not text.strip():
        skipped["empty"] += 1
        return None
    return text


def embedded_bytes(text: str, result: SparseResult) -> int:
    """UTF-8 bytes of the part of `text` that the service actually tokenised."""
    if result.used_chars is not None and result.used_chars < len(text):
        text = text[: result.used_chars]
    return len(text.encode("utf-8"))


@dataclass
class Corpus:
    vectors: dict[str, SparseResult] = field(default_factory=dict)
    total_bytes: int = 0
    embed_seconds: float = 0.0


def embed_files(files: Sequence[Path], root: Path, skipped: Counter[str]) -> Corpus:
    """Embed the files in batches, with a progress bar on standard error."""
    service = get_sparse_service()
    corpus = Corpus()
    with tqdm(total=len(files), desc="embedding", unit="file", file=sys.stderr) as progress:
        for batch in itertools.batched(files, BATCH_SIZE):
            names: list[str] = []
            texts: list[str] = []
            for path in batch:
                text = read_text(path, skipped)
                if text is not None:
                    names.append(relative(path, root))
                    texts.append(text)
            started = time.perf_counter()
            results = service.embed_batch(texts)
            corpus.embed_seconds += time.perf_counter() - started
            for name, text, result in zip(names, texts, results, strict=True):
                corpus.vectors[name] = result
                corpus.total_bytes += embedded_bytes(text, result)
            progress.update(len(batch))
    return corpus


def sparse_dot(weights: Mapping[int, float], vector: SparseResult) -> float:
    return sum(weights.get(index, 0.0) * value
               for index, value in zip(vector.indices, vector.values))


def rank(query: SparseResult, documents: Iterable[tuple[str, SparseResult]],
         top: int) -> list[Match]:
    """The `top` documents with a positive score, best first; equal scores by path."""
    weights = dict(zip(query.indices, query.values))
    matches: Iterator[Match] = (Match(path, sparse_dot(weights, vector))
                                for path, vector in documents)
    return heapq.nsmallest(top, (m for m in matches if m.score > 0),
                           key=lambda m: (-m.score, m.path))


def capability_status(name: str) -> str:
    try:
        require_capability(name, "the scanner's replaceable built-in patterns")
    except RuntimeError as exc:
        return str(exc)
    return "available"


def directory(text: str) -> Path:
    path = Path(text)
    if not path.is_dir():
        raise argparse.ArgumentTypeError(f"not a directory: {text}")
    return path.resolve()


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("path", nargs="?", type=directory, default=REPO_ROOT,
                        help="the tree to search (default: this repository)")
    parser.add_argument("--query", default=DEFAULT_QUERY,
                        help=f"what to look for (default: {DEFAULT_QUERY!r})")
    parser.add_argument("--top", type=int, default=10, help="how many files to show (default: 10)")
    return parser.parse_args(argv)


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    root: Path = args.path
    query: str = args.query
    top: int = args.top

    print(f"capability ignore_builtin_replace: {capability_status('ignore_builtin_replace')}")

    started = time.perf_counter()
    payload = build_scan_config(root)
    rules = IgnoreRules.from_payload(payload)
    scan = scan_tree(root, rules)
    ignore_files = " and ".join(rules.ignore_file_names) or "no"
    print(f"scanning {root}: {len(scan.files)} files kept by {len(rules.patterns.patterns)} "
          f"configured patterns and {ignore_files} files")
    corpus = embed_files(scan.files, root, scan.skipped)
    elapsed = time.perf_counter() - started

    megabytes = corpus.total_bytes / 1e6
    rate = megabytes / corpus.embed_seconds if corpus.embed_seconds > 0 else float("inf")
    print(f"embedded {len(corpus.vectors)} files, {megabytes:.2f} MB in "
          f"{corpus.embed_seconds:.3f} s: {rate:.1f} MB/s "
          f"(with scanning and reading: {elapsed:.3f} s)")
    if scan.skipped:
        print("skipped: " + ", ".join(f"{count} {why}" for why, count in sorted(scan.skipped.items())))

    matches = rank(get_sparse_service().embed_single(query), corpus.vectors.items(), top)
    print(f"\nbest matches for {query!r}:")
    if not matches:
        print("  none: no file shares a token with the query")
    for number, match in enumerate(matches, start=1):
        print(f"{number:3}. {match.score:8.3f}  {match.path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
