"""The search example: what it skips, what it finds, and its ranking."""

import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

from pellandor.sparse import SparseResult

SEARCH = Path(__file__).resolve().parents[1] / "examples" / "search.py"

HEADER_WORDS = "parse http header raw header name header value\n"


@pytest.fixture(scope="module")
def search():
    spec = importlib.util.spec_from_file_location("example_search", SEARCH)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture
def tree(tmp_path):
    """Two sources worth finding, and decoys that would win if they were not skipped."""
    files = {
        "src/parseHttpHeader.py": "def parseHttpHeader(rawHeader):\n"
                                  "    headerName, headerValue = rawHeader.split(':')\n",
        "src/mail_sender.py": "def send_mail(recipient, header):\n    pass\n",
        "docs/notes.md": "Nothing to see here.\n",
        ".gitignore": "generated/\n",
        "node_modules/http/index.js": HEADER_WORDS * 50,
        "generated/header_table.py": HEADER_WORDS * 50,
        "docs/.gitignore": "draft_*.md\n",
        "docs/draft_headers.md": HEADER_WORDS * 50,
    }
    for name, text in files.items():
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    (tmp_path / "logo.png").write_bytes(b"\x89PNG\r\n\x1a\n\0\0" + HEADER_WORDS.encode() * 50)
    (tmp_path / "latin1.txt").write_bytes("header caf\xe9".encode("latin-1") * 50)
    return tmp_path


def test_search_skips_ignored_and_binary_files_and_finds_the_best_match(tree):
    result = subprocess.run(
        [sys.executable, str(SEARCH), str(tree), "--query", "parse HTTP header", "--top", "20"],
        capture_output=True, text=True, timeout=120, check=True)
    out = result.stdout

    assert re.search(r"^capability ignore_builtin_replace: ", out, re.M)
    # The three sources and the two .gitignore files; not the decoys, logo.png or latin1.txt.
    assert re.search(r"^embedded 5 files, \d+\.\d\d MB in [\d.]+ s: [\d.]+ MB/s", out, re.M), out
    assert re.search(r"skipped: 1 binary, 2 ignored directories, 1 ignored files, "
                     r"1 not UTF-8$", out, re.M), out
    matches = re.findall(r"^\s+\d+\.\s+([\d.]+)\s+(\S+)$", out, re.M)
    assert [path for _, path in matches] == ["src/parseHttpHeader.py", "src/mail_sender.py"]
    assert float(matches[0][0]) > float(matches[1][0])
    assert "embedding" in result.stderr  # the progress bar


def test_search_without_a_match_says_so(tree):
    result = subprocess.run([sys.executable, str(SEARCH), str(tree / "docs"), "--query", "zebra"],
                            capture_output=True, text=True, timeout=120, check=True)
    assert "embedded 2 files" in result.stdout
    assert "none: no file shares a token with the query" in result.stdout


def vector(pairs):
    return SparseResult(indices=[i for i, _ in pairs], values=[v for _, v in pairs])


@pytest.mark.parametrize("top, expected", [
    (10, [("b.py", 7.0), ("a.py", 3.0), ("z.py", 3.0)]),  # equal scores in path order
    (2, [("b.py", 7.0), ("a.py", 3.0)]),
    (0, []),
])
def test_rank_orders_by_sparse_dot_product(search, top, expected):
    query = vector([(1, 1.0), (5, 2.0), (9, 1.0)])
    documents = {
        "z.py": vector([(1, 3.0)]),
        "a.py": vector([(1, 1.0), (5, 1.0), (7, 50.0)]),
        "b.py": vector([(5, 3.0), (9, 1.0)]),
        "none.py": vector([(2, 9.0), (3, 9.0)]),  # no shared index: never listed
        "empty.py": vector([]),
    }
    assert search.rank(query, documents.items(), top) == expected
