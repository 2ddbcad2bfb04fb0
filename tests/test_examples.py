"""The search example: what it skips, what it finds, its ranking, every odd tree and bad
argument, and the same results on a real local Dask cluster."""

import contextlib
import importlib.util
import os
import re
import socket
import subprocess
import sys
import textwrap
import time
import uuid
from pathlib import Path

import pytest

from conftest import run_python

from pellandor.sparse import SparseResult, reset_sparse_service

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
SEARCH = EXAMPLES / "search.py"

HEADER_WORDS = "parse http header raw header name header value\n"
POSIX = pytest.mark.skipif(os.name != "posix", reason="FIFOs, sockets and /dev are POSIX")


@pytest.fixture(scope="module")
def search():
    spec = importlib.util.spec_from_file_location("example_search", SEARCH)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture
def fresh_service():
    """The real settings' service, whatever earlier tests built."""
    reset_sparse_service()
    yield
    reset_sparse_service()


def run_search(*args, timeout=120, env=None):
    """search.py in a fresh interpreter, as a user runs it."""
    return subprocess.run([sys.executable, str(SEARCH), *map(str, args)], capture_output=True,
                          text=True, timeout=timeout, env=env)


@pytest.fixture
def search_here(search, fresh_service, capsys):
    """search.main in this process (quicker than a fresh interpreter): a CompletedProcess."""
    def run(*args):
        capsys.readouterr()
        status = search.main([str(arg) for arg in args])
        out, err = capsys.readouterr()
        return subprocess.CompletedProcess(args, status, out, err)
    return run


def make_tree(root, files):
    for name, content in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, bytes):
            path.write_bytes(content)
        else:
            path.write_text(content)
    return root


def skipped(out):
    """{reason: count} of the `skipped:` line."""
    line = re.search(r"^skipped: (.*)$", out, re.M)
    if line is None:
        return {}
    return {reason: int(count)
            for count, reason in re.findall(r"(\d+) (.+?)(?:, (?=\d)|$)", line.group(1))}


def embedded(out):
    return int(re.search(r"^embedded (\d+) files?\b", out, re.M).group(1))


def matches(out):
    return re.findall(r"^\s+\d+\.\s+([\d.]+)\s+(\S+)$", out, re.M)


def results(out):
    """What both ways of running must agree on: everything but the timings and the workers."""
    lines = [line for line in out.splitlines() if not line.startswith("workers:")]
    return [line.split(", in ")[0] if line.startswith("embedded ") else line for line in lines]


@pytest.fixture
def tree(tmp_path):
    """Two sources worth finding, and decoys that would win if they were not skipped."""
    make_tree(tmp_path, {
        "src/parseHttpHeader.py": "def parseHttpHeader(rawHeader):\n"
                                  "    headerName, headerValue = rawHeader.split(':')\n",
        "src/mail_sender.py": "def send_mail(recipient, header):\n    pass\n",
        "docs/notes.md": "Nothing to see here.\n",
        ".gitignore": "generated/\n",
        "node_modules/http/index.js": HEADER_WORDS * 50,
        "generated/header_table.py": HEADER_WORDS * 50,
        "docs/.gitignore": "draft_*.md\n",
        "docs/draft_headers.md": HEADER_WORDS * 50,
        "logo.png": b"\x89PNG\r\n\x1a\n\0\0" + HEADER_WORDS.encode() * 50,
        "latin1.txt": "header caf\xe9".encode("latin-1") * 50,
    })
    return tmp_path


def test_search_skips_ignored_and_binary_files_and_finds_the_best_match(tree):
    result = run_search(tree, "--query", "parse HTTP header", "--top", "20")
    assert result.returncode == 0, result.stderr
    out = result.stdout

    assert re.search(r"^capability ignore_builtin_replace: ", out, re.M)
    assert re.search(r"^workers: 1, in this process$", out, re.M)
    # The three sources and the two .gitignore files; not the decoys, logo.png or latin1.txt.
    assert re.search(r"^embedded 5 files, \d+\.\d\d MB, in [\d.]+ s from start to finish", out, re.M), out
    assert re.search(r"^skipped: 2 ignored directories, 1 ignored file, 1 binary file, "
                     r"1 file not in UTF-8$", out, re.M), out
    found = matches(out)
    assert [path for _, path in found] == ["src/parseHttpHeader.py", "src/mail_sender.py"]
    assert float(found[0][0]) > float(found[1][0])
    assert "embedding" in result.stderr  # the progress bar
    assert "Traceback" not in result.stderr and "warning" not in result.stderr


def test_search_without_a_match_says_so(tree, search_here):
    result = search_here(tree / "docs", "--query", "zebra")
    assert result.returncode == 0, result.stderr
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
    assert search.rank(query.indices, query.values, documents.items(), top) == expected


# --- any tree -------------------------------------------------------------------------------

@POSIX
def test_links_fifos_sockets_and_devices_are_counted_never_opened(tmp_path):
    outside = make_tree(tmp_path / "outside", {"secret.py": HEADER_WORDS, "dir/more.py": HEADER_WORDS})
    root = make_tree(tmp_path / "tree", {"header.py": "header parser\n"})
    os.mkfifo(root / "pipe")                           # would block an open() for ever
    (root / "zero").symlink_to("/dev/zero")            # would be read until memory runs out
    (root / "null").symlink_to("/dev/null")
    (root / "out_file.py").symlink_to(outside / "secret.py")
    (root / "out_dir").symlink_to(outside / "dir")
    (root / "loop").symlink_to(root)
    (root / "in_tree.py").symlink_to(root / "header.py")
    (root / "dangling").symlink_to(root / "nowhere")
    with socket.socket(socket.AF_UNIX) as server:
        server.bind(str(root / "socket"))
        # In a fresh interpreter with a time limit: opening the FIFO would hang.
        result = run_search(root, "--query", "header", timeout=60)
    assert result.returncode == 0, result.stderr
    assert embedded(result.stdout) == 1
    assert skipped(result.stdout) == {"symbolic links (not followed)": 7,
                                      "special files (FIFOs, sockets or devices)": 2}
    assert [path for _, path in matches(result.stdout)] == ["header.py"]


@POSIX
def test_a_fifo_swapped_in_after_the_scan_is_not_opened(tmp_path):
    """What the scan took for a regular file may be a FIFO or a link by the time it is read."""
    os.mkfifo(tmp_path / "pipe")
    (tmp_path / "link").symlink_to("/dev/zero")
    out = run_python(f"""
        import sys
        from collections import Counter
        sys.path.insert(0, {str(EXAMPLES)!r})
        import search
        counts = Counter()
        texts = [search.read_text({str(tmp_path / "pipe")!r}, counts),
                 search.read_text({str(tmp_path / "link")!r}, counts)]
        print(texts, sorted((one, n) for (one, _), n in counts.items()))
    """).stdout  # in a fresh interpreter with a time limit: opening the FIFO would hang
    assert out.strip() == ("[None, None] [('special file (FIFO, socket or device)', 1), "
                           "('symbolic link (not followed)', 1)]")


def test_every_file_is_embedded_or_counted(tmp_path, search_here):
    files = {
        "a.py": "alpha beta\n",
        "one/b.py": "beta gamma\n",
        "empty.txt": "",
        "blank.txt": "  \n\t\n",
        "big.txt": "word " * 200_001,                    # over 1,000,000 bytes
        "zeros.bin": b"text\0more",
        "latin.txt": "caf\xe9".encode("latin-1"),
        "ignored.log": "beta\n",
        ".gitignore": "*.log\nskip/\n",
        "skip/c.py": "beta\n",
        "__pycache__/x.pyc": b"\0\0",
        "two/three/d.py": "beta delta\n",
    }
    make_tree(tmp_path, files)
    result = search_here(tmp_path, "--query", "beta", "--top", "50")
    assert result.returncode == 0, result.stderr
    counts = skipped(result.stdout)
    assert counts == {"ignored directories": 2, "ignored file": 1, "file over 1,000,000 bytes": 1,
                      "binary file": 1, "file not in UTF-8": 1, "empty files": 2}
    # Every file outside the ignored directories is embedded or has a reason.
    outside_ignored = [f for f in files if not f.startswith(("skip/", "__pycache__/"))]
    file_reasons = sum(n for reason, n in counts.items() if "director" not in reason)
    assert embedded(result.stdout) + file_reasons == len(outside_ignored)
    assert [path for _, path in matches(result.stdout)] == ["a.py", "one/b.py", "two/three/d.py"]


def test_bad_ignore_patterns_are_reported_once_and_skipped(tmp_path, search_here):
    make_tree(tmp_path, {
        ".gitignore": "[z-a]\n*.log\n\\\n",
        "sub/.pellandorignore": "ok.txt\n[!z-a]\n",
        "sub/ok.txt": "beta\n",
        "sub/kept.txt": "beta\n",
        "x.log": "beta\n",
        "a.py": "beta\n",
    })
    result = search_here(tmp_path, "--query", "beta")
    assert result.returncode == 0, result.stderr
    warnings = [line for line in result.stderr.splitlines() if "warning" in line]
    assert warnings == [
        "search.py: warning: .gitignore:1: cannot use the pattern '[z-a]' "
        "(bad character range z-a); line skipped",
        "search.py: warning: .gitignore:3: cannot use the pattern '\\\\' "
        "(Invalid git pattern: '\\\\'); line skipped",
        "search.py: warning: sub/.pellandorignore:2: cannot use the pattern '[!z-a]' "
        "(bad character range z-a); line skipped",
    ]
    # The lines around them still apply.
    assert skipped(result.stdout) == {"ignored files": 2}
    assert [path for _, path in matches(result.stdout)] == ["a.py", "sub/kept.txt"]


def test_ignore_lines_give_the_pattern_librarys_verdict(search):
    """The joined-expression shortcut against the library's own matching, line by line."""
    import random

    from pathspec import GitIgnoreSpec

    vocabulary = ["*.py", "!keep.py", "build/", "/top.txt", "docs/**/*.md", "!docs/a/", "a?c",
                  "[ab]*.txt", "**/deep", "x/*/y", "!*.txt", "\\#hash", "name with space",
                  "*.(x)", "back\\1", "dir/", "!dir/sub/"]
    names = ["keep.py", "b.py", "top.txt", "a.txt", "abc", "deep", "y", "#hash", "c.md",
             "name with space", "f.(x)", "back1", "sub"]
    dirs = ["", "build/", "docs/", "docs/a/", "x/q/", "dir/", "dir/sub/", "src/deep/"]
    chooser = random.Random(20261208)
    for _ in range(200):
        lines = chooser.sample(vocabulary, chooser.randint(0, 6))
        ours, theirs = search.Lines(lines), GitIgnoreSpec.from_lines(lines)
        for path in [d + n for d in dirs for n in names] + [d for d in dirs if d]:
            assert ours.verdict(path) == theirs.check_file(path).include, (lines, path)


@POSIX
def test_an_ignore_file_that_is_a_fifo_or_a_link_is_not_read(tmp_path):
    make_tree(tmp_path, {"a.py": "beta\n", "sub/b.py": "beta\n", "rules": "a.py\n"})
    os.mkfifo(tmp_path / ".gitignore")
    (tmp_path / "sub" / ".gitignore").symlink_to(tmp_path / "rules")
    result = run_search(tmp_path, "--query", "beta", timeout=60)
    assert result.returncode == 0, result.stderr
    assert ".gitignore: not a regular file; its rules are not applied" in result.stderr
    assert "sub/.gitignore is a symbolic link; not read" in result.stderr
    assert [path for _, path in matches(result.stdout)] == ["a.py", "sub/b.py"]
    assert skipped(result.stdout) == {"symbolic link (not followed)": 1,
                                      "special file (FIFO, socket or device)": 1}


@pytest.mark.skipif(sys.platform != "linux", reason="Linux file names are any bytes")
def test_file_names_that_are_not_utf8_are_shown_escaped(tmp_path, search_here):
    (tmp_path / os.fsdecode(b"caf\xe9.py")).write_text("beta\n")
    result = search_here(tmp_path, "--query", "beta")
    assert result.returncode == 0, result.stderr
    assert matches(result.stdout) == [("1.000", "caf\\xe9.py")]


def test_an_empty_tree_and_a_single_file(tmp_path, search_here):
    result = search_here(tmp_path)
    assert result.returncode == 0, result.stderr
    assert re.search(r"^embedded 0 files$", result.stdout, re.M)
    assert "none: no file was embedded" in result.stdout
    assert "inf" not in result.stdout
    (tmp_path / "a.py").write_text("beta\n")
    result = search_here(tmp_path, "--query", "beta")
    assert re.search(r"^embedded 1 file, ", result.stdout, re.M), result.stdout
    assert "1 files" not in result.stdout


# --- any input ------------------------------------------------------------------------------

@pytest.mark.parametrize("argv, message", [
    (["--top", "0"], "argument --top: must be at least 1, not 0"),
    (["--top", "-3"], "argument --top: must be at least 1, not -3"),
    (["--top", "three"], "argument --top: not a whole number: 'three'"),
    (["--workers", "0"], "argument --workers: must be at least 1, not 0"),
    (["--workers", "2.5"], "argument --workers: not a whole number: '2.5'"),
    (["--workers", "2", "--scheduler", "tcp://127.0.0.1:1"],
     "argument --scheduler: not allowed with argument --workers"),
    (["--scheduler", ""], "argument --scheduler: not a scheduler address: ''"),
    (["--scheduler", "tcp://a b"], "argument --scheduler: not a scheduler address: 'tcp://a b'"),
    (["--bogus"], "unrecognized arguments: --bogus"),
    (["--query"], "argument --query: expected one argument"),
    (["{tmp}", "extra"], "unrecognized arguments: extra"),
    (["{tmp}/missing"], "no such directory: {tmp}/missing"),
    (["{tmp}/file.txt"], "not a directory: {tmp}/file.txt"),
    (["--query", ""], "argument --query: no word to search for in ''"),
    (["--query", "+ - *"], "argument --query: no word to search for in '+ - *'"),
    pytest.param(["--query", "x\udcff"], "argument --query: not UTF-8 text (byte 0xff at offset 1)",
                 marks=pytest.mark.skipif(os.name != "posix", reason="POSIX arguments are bytes")),
    (["--query", "x\ud800"], "argument --query: holds a lone surrogate, which is not text"),
])
def test_every_bad_argument_is_refused_in_one_line(search, fresh_service, capsys, tmp_path,
                                                    argv, message):
    (tmp_path / "file.txt").write_text("x")
    argv = [arg.replace("{tmp}", str(tmp_path)) for arg in argv]
    try:
        status = search.main(argv)
    except SystemExit as exc:  # argparse's refusals
        status = exc.code
    out, err = capsys.readouterr()
    assert status == 2
    assert out == ""
    message = message.replace("{tmp}", str(tmp_path))
    assert err in (f"search.py: error: {message}\n", f"search.py: error: {message} (see --help)\n")


@pytest.mark.skipif(os.name != "posix", reason="POSIX arguments are bytes")
def test_a_query_that_is_not_utf8_is_refused_without_a_traceback(tree):
    result = subprocess.run([sys.executable, os.fsencode(SEARCH), os.fsencode(tree),
                             b"--query", b"\xff\xfe"], capture_output=True, timeout=60)
    assert result.returncode == 2
    assert result.stdout == b""
    assert result.stderr == b"search.py: error: argument --query: not UTF-8 text (byte 0xff at offset 0)\n"


def test_a_reader_that_goes_away_ends_the_run_quietly(tree):
    process = subprocess.Popen([sys.executable, str(SEARCH), str(tree)], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    process.stdout.close()  # nobody reads: the first write gets EPIPE, as into `head` after it quit
    with process.stderr:
        stderr = process.stderr.read().decode()
    assert process.wait(timeout=60) == 1
    assert "Traceback" not in stderr and "Error" not in stderr, stderr


POSIX_CHILD = pytest.mark.skipif(os.name != "posix", reason="closes a descriptor in the child")


@pytest.mark.parametrize("streams, status, out, err", [
    pytest.param({"preexec_fn": lambda: os.close(1)}, 1, None,
                 "search.py: error: standard output is closed\n", marks=POSIX_CHILD),
    pytest.param({"stdout": "/dev/full"}, 1, None, f"search.py: error: [Errno 28] {os.strerror(28)}\n",
                 marks=pytest.mark.skipif(not Path("/dev/full").exists(), reason="no /dev/full")),
    pytest.param({"preexec_fn": lambda: os.close(2)}, 0, "best matches", None, marks=POSIX_CHILD),
], ids=["closed output", "full output", "closed error stream"])
def test_an_output_that_cannot_be_written_is_told_or_done_without(tree, streams, status, out, err):
    with contextlib.ExitStack() as stack:
        options = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, **streams}
        if isinstance(options["stdout"], str):
            options["stdout"] = stack.enter_context(open(options["stdout"], "w"))
        result = subprocess.run([sys.executable, str(SEARCH), str(tree)], text=True,
                                timeout=60, **options)
    assert result.returncode == status
    assert out is None or out in result.stdout
    assert err is None or result.stderr == err


def test_the_default_worker_rule(search, monkeypatch):
    small = search.Scan([search.FileRef("a.py", search.AUTO_CLUSTER_BYTES - 1)])
    big = search.Scan([search.FileRef("a.py", search.AUTO_CLUSTER_BYTES // 2)] * 2)
    monkeypatch.setattr(search, "available_cpus", lambda: 4)
    assert [search.choose_workers(None, small), search.choose_workers(None, big)] == [1, 4]
    assert search.choose_workers(3, small) == 3
    monkeypatch.setattr(search, "available_cpus", lambda: 1)
    assert search.choose_workers(None, big) == 1


def test_shares_cover_every_file_once_in_order(search):
    files = [search.FileRef(f"{n}.py", 1000 + n) for n in range(2000)]
    tasks = search.shares(files, 2, sum(f.size for f in files))
    assert [path for task in tasks for path in task] == [f.path for f in files]
    assert 2 * 8 <= len(tasks) <= 2 * search.TASKS_PER_WORKER + 1


@pytest.mark.parametrize("workers_keep_up", [True, False])
def test_files_sent_during_the_scan_are_the_first_found_each_once(search, workers_keep_up):
    """What goes out while the scan runs, and the shares made of the rest afterwards."""
    class Future:
        def done(self):
            return workers_keep_up

    class Client:
        def __init__(self):
            self.graphs = []
            self.scattered = []

        def scatter(self, value, **options):
            self.scattered.append(value)
            return f"held {len(self.scattered)}"

        def map(self, function, held, tasks, **arguments):
            assert held == ["held 1"] * len(tasks)  # the task function, sent once
            self.graphs.append(tasks)
            return [Future() for _ in tasks]

    class Started:
        def up(self):
            return True

        def result(self):
            return client, 2, "two workers"

    client = Client()
    tasks = search.ClusterTasks(Started(), "root", SparseResult([1], [1.0]), 3, "{}")
    files = [search.FileRef(f"{n}.py", 50_000 + 997 * n) for n in range(600)]
    for ref in files:
        tasks.found(ref)
    assert client.scattered == [search.worker_task]
    sent = [path for graph in client.graphs for task in graph for path in task]
    assert sent == [f.path for f in files[:tasks.sent]]
    assert sum(tasks.futures.values()) == tasks.sent
    rest = search.shares(files[tasks.sent:], 2, sum(f.size for f in files))
    assert sent + [path for task in rest for path in task] == [f.path for f in files]
    # Workers that keep up get nearly everything while the scan runs; busy ones a few tasks.
    assert (tasks.sent > len(files) // 2) if workers_keep_up else (len(tasks.futures) == 4)


# --- on a real local Dask cluster -----------------------------------------------------------

def processes_with(marker):
    """The processes whose environment holds `marker` (Linux /proc; elsewhere psutil)."""
    found = []
    if Path("/proc/self/environ").exists():
        for entry in Path("/proc").iterdir():
            if entry.name.isdigit():
                with contextlib.suppress(OSError):
                    if marker.encode() in (entry / "environ").read_bytes():
                        found.append(int(entry.name))
        return found
    import psutil

    for process in psutil.process_iter():
        with contextlib.suppress(psutil.Error):
            if marker in "".join(f"{k}={v}" for k, v in process.environ().items()):
                found.append(process.pid)
    return found


def assert_no_process_left(marker):
    deadline = time.monotonic() + 10
    while processes_with(marker) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert processes_with(marker) == []


@pytest.fixture
def cluster_tree(tmp_path):
    """A small tree in many files, so that both workers get a share."""
    words = ["header", "parse", "value", "name", "raw", "http", "split", "token", "field", "line"]
    files = {f"pkg{n % 7}/mod{n}.py": " ".join(words[(n * k) % 10] for k in range(1, 2 + n % 9)) + "\n"
             for n in range(300)}
    files.update({"empty.txt": "", "bin.dat": b"\0\1", ".gitignore": "pkg6/\n"})
    return make_tree(tmp_path / "tree", files)


def run_until_exit(*args, env):
    """run_search, with what its output pipes held once it had exited: a pipe that some
    process it started still holds open gives None rather than its text."""
    process = subprocess.Popen([sys.executable, str(SEARCH), *map(str, args)], env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    process.wait(timeout=120)  # its output is small enough for the pipes' buffers

    def drained(pipe):
        os.set_blocking(pipe.fileno(), False)
        chunks = []
        try:
            while chunk := os.read(pipe.fileno(), 1 << 16):
                chunks.append(chunk)
        except BlockingIOError:  # no end yet
            return None
        finally:
            pipe.close()
        return b"".join(chunks).decode()

    return subprocess.CompletedProcess(args, process.returncode, drained(process.stdout),
                                       drained(process.stderr))


def test_two_worker_processes_give_the_single_process_results(cluster_tree, search_here):
    marker = f"PELLANDOR_TEST_{uuid.uuid4().hex}"
    env = {**os.environ, marker: "1"}
    args = (cluster_tree, "--query", "parse header value", "--top", "25")
    one = search_here(*args, "--workers", "1")
    two = run_until_exit(*args, "--workers", "2", env=env)
    assert two.stdout is not None and two.stderr is not None, "the output outlived the job"
    assert one.returncode == 0, one.stderr
    assert two.returncode == 0, two.stderr
    assert "workers: 2 processes of a local Dask cluster" in two.stdout
    # This process helps only while the cluster starts, with at most one worker's share.
    here = re.search(r"this process embedded (\d+) files? while it started", two.stdout)
    assert here is None or int(here.group(1)) * 3 <= embedded(two.stdout)
    assert results(two.stdout) == results(one.stdout)
    assert len(matches(one.stdout)) == 25
    assert "Traceback" not in two.stderr and "warning" not in two.stderr.lower(), two.stderr
    assert_no_process_left(marker)


SCHEDULER_RUN = """
    import logging, sys
    sys.path.insert(0, {examples!r})
    from distributed import LocalCluster
    import search
    from pellandor.config import settings
    from pellandor.sparse import reset_sparse_service

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      scheduler_port=0, dashboard_address=None,
                      silence_logs=logging.CRITICAL) as cluster:  # the failure is search.py's to tell
        print("status", search.main([*{args!r}, "--scheduler", cluster.scheduler_address]))
        # A client whose profile differs from the workers' gets a refusal, not other vectors.
        settings.sparse_max_text_chars = 5
        reset_sparse_service()
        print("status", search.main([*{args!r}, "--scheduler", cluster.scheduler_address]))
"""


def test_an_existing_cluster_gives_the_single_process_results(cluster_tree, search_here):
    marker = f"PELLANDOR_TEST_{uuid.uuid4().hex}"
    env = {**os.environ, marker: "1"}
    args = [str(cluster_tree), "--query", "parse header value", "--top", "25"]
    one = search_here(*args, "--workers", "1")
    code = textwrap.dedent(SCHEDULER_RUN.format(examples=str(EXAMPLES), args=args))
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=120, env=env)
    assert result.returncode == 0, result.stderr
    first, second = result.stdout.split("status 0\n")
    assert re.search(r"^workers: 2 workers of the Dask cluster at tcp://127\.0\.0\.1:\d+$", first, re.M)
    assert results(first) == results(one.stdout)
    assert second.endswith("status 1\n")
    assert re.search(r"^search\.py: error: a Dask worker failed: RuntimeError: the worker's sparse "
                     r"profile .* is not the client's .*: its vectors would differ$",
                     result.stderr, re.M), result.stderr
    assert "Traceback" not in result.stderr
    assert_no_process_left(marker)


def test_an_unreachable_scheduler_is_one_line(tree):
    with socket.socket() as probe:  # a loopback port that nobody listens on
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    env = {**os.environ, "DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "0.2s"}
    result = run_search(tree, "--scheduler", f"tcp://127.0.0.1:{port}", env=env, timeout=60)
    assert result.returncode == 1
    lines = [line for line in result.stderr.splitlines()
             if line.strip() and not line.startswith("embedding")]  # not the progress bar
    assert len(lines) == 1 and lines[0].startswith(
        f"search.py: error: cannot use the Dask scheduler at tcp://127.0.0.1:{port}: "), result.stderr
