"""The README's Python snippets run as written, in order, in one fresh interpreter."""

import re
from pathlib import Path

from conftest import run_python

README = Path(__file__).resolve().parents[1] / "README.md"


def python_blocks():
    """(line number before the block, block text) for each ```python block."""
    text = README.read_text(encoding="utf-8")
    return [(text.count("\n", 0, match.start(1)), match.group(1))
            for match in re.finditer(r"^```python\n(.*?)^```", text, re.S | re.M)]


def test_every_snippet_is_checked():
    # A block without prompts would be shown to readers but never run.
    blocks = python_blocks()
    assert len(blocks) >= 3
    assert all(block.startswith(">>> ") for _, block in blocks)


def test_snippets_run_as_shown():
    result = run_python(f"""
        import doctest, sys
        parser, runner = doctest.DocTestParser(), doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
        namespace = {{}}
        for lineno, block in {python_blocks()!r}:
            test = parser.get_doctest(block, namespace, "README.md", "README.md", lineno)
            runner.run(test, clear_globs=False)
            namespace = test.globs  # each test works on a copy; the next block goes on from it
        sys.exit(1 if runner.failures or not runner.tries else 0)
    """, check=False)
    assert result.returncode == 0, result.stdout + result.stderr
