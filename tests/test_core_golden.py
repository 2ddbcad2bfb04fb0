"""The core's answers, pinned: a digest of the decoded answers over a generated corpus.

The corpus is built by a fixed pseudo-random generator (no `random`, no files), so it is the
same everywhere. It mixes code-like identifiers in every case style, prose in Latin-1, Greek,
Cyrillic and CJK, the code points at the edges of the core's character classes, emoji, NULs,
FNV-1a collisions, texts with thousands of distinct tokens and texts with one token repeated
tens of thousands of times, and empty texts; every text goes through a grid of profiles
(code_pretokenize on and off, several min_token_len and max_text_chars). The digest covers the
indices, the exact bits of each weight, the truncation report and the answer's members; it was
taken with the core before issue 11's rewrite, which must not change a single answer.
"""

import hashlib
import json

import pellandor_core_py as core

GOLDEN = "063d67af4e0f75766ba6ea89c42231339ab6d36af32c9f6b29b26ec18fc0f0a5"


class SplitMix64:
    def __init__(self, seed):
        self.state = seed

    def below(self, n):
        self.state = (self.state + 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFFFFFF
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & 0xFFFFFFFFFFFFFFFF
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & 0xFFFFFFFFFFFFFFFF
        return (z ^ (z >> 31)) % n

    def pick(self, items):
        return items[self.below(len(items))]


WORDS = ["get", "set", "http", "Response", "XML", "parse", "id", "a", "I", "x2", "utf8", "html5",
         "IOError", "snake_case", "__init__", "self", "value", "Über", "naïve", "façade", "Straße",
         "Ελλάδα", "ΣΟΦΙΑ", "Привет", "ЁЖИК", "Ђаво", "変数名", "テスト", "한국어", "مرحبا", "שלום",
         "0xFF", "3d", "x86_64", "v2", "ABCDef", "aBC", "ǅemal", "ꝺ", "ŉ", "ÿ", "µ", "ª", "º"]
SEPARATORS = [" ", " ", " ", "\n", "\t", "\r\n", "_", ".", "(", ")", ", ", "::", "->", "—", "\u00a0",
              "\u00d7", "\u00f7", "\u3000", "\u3001", "😀", "\u2028", "\ufeff", "\x00", "«", "»", "§"]
# The edges of the core's classes (separator ranges, cased ranges) and a few beyond.
EDGES = [0x7F, 0x80, 0xA9, 0xAA, 0xAB, 0xB4, 0xB5, 0xB6, 0xB9, 0xBA, 0xBB, 0xBF, 0xC0, 0xD6, 0xD7,
         0xD8, 0xDE, 0xDF, 0xE0, 0xF6, 0xF7, 0xF8, 0xFF, 0x100, 0x390, 0x391, 0x3A1, 0x3A2, 0x3A3,
         0x3A9, 0x3AA, 0x3AB, 0x3AC, 0x3CE, 0x3CF, 0x3FF, 0x400, 0x40F, 0x410, 0x42F, 0x430, 0x44F,
         0x450, 0x45F, 0x460, 0x7FF, 0x800, 0x1FFF, 0x2000, 0x206F, 0x2070, 0x209F, 0x20A0, 0x20CF,
         0x20D0, 0x218F, 0x2190, 0x2BFF, 0x2C00, 0x2FFF, 0x3000, 0x303F, 0x3040, 0xD7FF, 0xE000,
         0xFEFE, 0xFEFF, 0xFF00, 0xFFEF, 0xFFF0, 0xFFFD, 0xFFFF, 0x10000, 0x1EFFF, 0x1F000, 0x1F600,
         0x1FAFF, 0x1FB00, 0x10FFFF]
COLLISIONS = "costarring liquid declinate macallums altarage zinke altarages zinkes"


def identifier(rng):
    parts = [rng.pick(WORDS) for _ in range(1 + rng.below(4))]
    style = rng.below(6)
    if style == 0:
        parts = [p.lower() for p in parts]
    elif style == 1:
        parts = [p.upper() for p in parts]
    elif style == 2:
        parts = [p[:1].upper() + p[1:] for p in parts]
    joiner = rng.pick(["", "_", "", "__", "-", "."])
    return joiner.join(parts)


def code_point(rng):
    kind = rng.below(8)
    if kind == 0:
        return chr(rng.pick(EDGES))
    if kind <= 2:
        return chr(rng.below(0x80))
    if kind == 3:
        return chr(0x80 + rng.below(0x780))
    if kind == 4:
        return chr(0x800 + rng.below(0x3800))
    cp = rng.below(0x110000)
    return chr(cp) if not 0xD800 <= cp <= 0xDFFF else "\ufffd"


def corpus():
    rng = SplitMix64(11)
    texts = ["", " ", "a", "ab", "é", "\x00", "getHTTPResponseCode", "snake_case_name __init__",
             "HTTPServer XMLHttpRequest IOError html5Parser utf8 v2", "ééééé hello", "ABCdefGHIjkl",
             "ÀÉÎÕÜàéîõü ΑΒΓαβγ АБВабв ЀЁЏѐёџ", "A1b2C3 9z Zz zZ ZZz zZZ", COLLISIONS, COLLISIONS.upper(),
             "ǅungla ǈ ǋ ǲ", "\ud7ff\ue000\uffff\U00010000\U0010ffff", "x" * 7, "yy " * 16 + "zz",
             "naïveÉté Привет 変数名 a—b", "Ωμέγα ΣΊΣΥΦΟΣ ς"]
    for _ in range(160):  # code-like lines
        texts.append("".join(identifier(rng) + rng.pick(SEPARATORS) for _ in range(rng.below(60))))
    for _ in range(80):  # arbitrary code points, words mixed in
        texts.append("".join(code_point(rng) if rng.below(4) else identifier(rng)
                             for _ in range(rng.below(200))))
    # Many distinct tokens (the counting table's growth), and many repeats (the weights of every
    # term frequency up to 400, and some in the tens of thousands).
    texts.append(" ".join(f"tok{i}X{i * 7919 % 10007}" for i in range(6000)))
    texts.append(" ".join(f"w{i:x} " * i for i in range(1, 401)))
    texts.append("ab " * 30000 + "abc " * 65536 + "Xy" * 5000)
    texts.append(" ".join(identifier(rng) for _ in range(20000)))
    return texts


PROFILES = [(code, min_len, limit)
            for code in (True, False)
            for min_len in (0, 1, 2, 3, 5)
            for limit in (0, 1, 7, 50, 333, 20000, 2**64 - 1)]


def profile_json(code, min_len, limit):
    return json.dumps({"version": "golden", "max_text_chars": limit, "code_pretokenize": code,
                       "min_token_len": min_len})


def record(answer):
    values = answer["values"]
    assert all(type(v) is float for v in values)
    assert all(type(i) is int for i in answer["indices"])
    return [sorted(answer), answer["indices"], [v.hex() for v in values], answer["truncated"],
            answer["original_chars"], answer["used_chars"]]


def test_answers_match_the_golden_digest():
    texts = corpus()
    texts_json = json.dumps(texts)
    digest = hashlib.sha256()
    for code, min_len, limit in PROFILES:
        prof = profile_json(code, min_len, limit)
        batch = json.loads(core.sparse_embed_batch(texts_json, prof))
        assert sorted(batch) == ["embeddings"] and len(batch["embeddings"]) == len(texts)
        records = [record(e) for e in batch["embeddings"]]
        if min_len == 2 and limit in (50, 2**64 - 1):
            assert records == [record(json.loads(core.sparse_embed_single(t, prof))) for t in texts]
        digest.update(json.dumps([code, min_len, limit, records]).encode())
    # An empty batch and a min_token_len beyond every text.
    digest.update(core.sparse_embed_batch("[]", profile_json(True, 2, 20000)).encode())
    digest.update(json.dumps(record(json.loads(core.sparse_embed_single(
        texts[-1], profile_json(True, 10**6, 2**64 - 1))))).encode())
    assert digest.hexdigest() == GOLDEN


def test_every_json_spelling_of_a_batch_gives_the_same_answer():
    # json.dumps's own output takes the core's fast reader; raw UTF-8 the general parser.
    texts = corpus()
    prof = profile_json(True, 2, 20000)
    expected = core.sparse_embed_batch(json.dumps(texts), prof)
    for spelling in (json.dumps(texts, ensure_ascii=False), json.dumps(texts, indent=1),
                     json.dumps(texts).replace("/", "\\/"), " \r\n" + json.dumps(texts) + "\t"):
        assert core.sparse_embed_batch(spelling, prof) == expected
