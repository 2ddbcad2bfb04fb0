"""Summarise a memcheck log: the errors whose stacks pass through our code.

Exits 1 when any invalid access, use of uninitialised memory or definite leak has a frame
in one of our modules (the frame, the three modules, the core); the interpreter's own
records are counted but not reported one by one.
"""

import re
import sys

OURS = re.compile(r"/pellandor/[a-z]+\.cpython|pellandor_core_py\.cpython|"
                  r"\((?:frame|src/pellandor|core/src)/[\w./]+:\d+\)|"
                  r"\b(?:binder|function|services|module|traceback|registry|constants|code|"
                  r"sparse|brimsett|mistrel|embedder|tokenizer|requests|utf8)\.(?:cpp|hpp):\d+")
KINDS = ("Invalid read", "Invalid write", "Invalid free", "Mismatched free",
         "uninitialised", "Uninitialised", "definitely lost", "Source and destination overlap")


# A leaked block is ours when our code allocated it or asked the interpreter for it
# directly: one of our frames within the innermost few frames of the allocation stack.
LEAK_DEPTH = 8


def is_ours(block):
    if "definitely lost" in block[0]:
        frames = [line for line in block[1:] if line.lstrip().startswith(("at ", "by "))]
        return any(OURS.search(line) for line in frames[:LEAK_DEPTH])
    return any(OURS.search(line) for line in block)


def records(text):
    block = []
    for line in text.splitlines():
        body = re.sub(r"^==\d+== ?", "", line)
        if not body.strip():
            if block:
                yield block
            block = []
        else:
            block.append(body)
    if block:
        yield block


def main(path):
    with open(path, encoding="utf-8", errors="replace") as handle:
        text = handle.read()
    ours, theirs = [], 0
    for block in records(text):
        head = block[0]
        if not any(kind in head for kind in KINDS):
            continue
        if is_ours(block):
            ours.append(block)
        else:
            theirs += 1
    summary = re.findall(r"ERROR SUMMARY: (\d+) errors", text)
    print(f"valgrind: {len(ours)} record(s) in our code, {theirs} elsewhere "
          f"(error summaries: {', '.join(summary) or 'none'}); full log: {path}")
    for block in ours:
        print("\n".join(block), end="\n\n")
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
