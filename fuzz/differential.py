"""Compare two builds of manilink call by call on random and adversarial input.

    python fuzz/differential.py OLD.so NEW.so [--random N] [--seed S]

Loads both shared libraries into one process (each keeps its own module
state) and calls all five functions of each with the same arguments: every
result, and every exception's type and text, must be the same. Meant for a
change that must keep behaviour byte for byte, such as a rewrite of the
cutter or the encoder: build the old commit into a folder of its own and pass
both files. Prints how many calls were compared and every difference found;
exits 1 when there is one.
"""

import argparse
import importlib.machinery
import importlib.util
import itertools
import random
import sys

REL = "rel=c2pa-manifest"
# Bytes and characters that act somewhere in reading or writing, and a few
# that look like them.
TOKENS = [
    '"',
    "\\",
    "<",
    ">",
    ",",
    ";",
    "=",
    " ",
    "\t",
    "\x0b",
    "\x0c",
    "\r\n",
    "#",
    "/",
    "jumbf=",
    "JUMBF=",
    "rel",
    "REL",
    "c2pa-manifest",
    "C2PA-Manifest",
    "next",
    "a",
    "b",
    "%",
    "%2F",
    "'",
    "\x00",
    "\x7f",
    "\u00a0",
    "\u0085",
    "\u2003",
    "\u3000",
    "\u00e9",
    "\U0001f600",
    "\u200b",
    "\ufeff",
]
FILLERS = ["x", " ", "a=b", '"', "\\", "\u00e9"]


def load(path):
    loader = importlib.machinery.ExtensionFileLoader("manilink", path)
    spec = importlib.util.spec_from_file_location("manilink", path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def outcome(function, argument):
    try:
        return ("ok", function(argument))
    except BaseException as error:  # noqa: B902 - every outcome is compared
        return (type(error).__name__, str(error))


def random_text(rng):
    shape = rng.random()
    if shape < 0.6:
        return "".join(rng.choice(TOKENS) for _ in range(rng.randint(0, 40)))
    if shape < 0.8:
        alphabet = '"\\<>,;= a'
        return "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 80)))
    if shape < 0.95:
        return "".join(
            chr(rng.choice([rng.randint(0, 0x7F), rng.randint(0x80, 0x3000)]))
            for _ in range(rng.randint(0, 60))
        )
    return "".join(chr(rng.randint(0, 0x10FFFF)) for _ in range(rng.randint(0, 20)))


def random_inputs(rng, count):
    for _ in range(count):
        values = [random_text(rng) for _ in range(rng.randint(0, 4))]
        if values and rng.random() < 0.5:
            # Splice in a readable link so that targets and jumbf references are read too.
            target = random_text(rng).replace(">", "") or "a"
            values[0] += rng.choice([", ", ",", ""]) + "<" + target + ">; " + REL
        yield values


def adversarial_inputs():
    """Runs of the acting bytes at every offset around the 16- and 32-byte
    blocks, unclosed quotes and brackets, and long runs of one byte."""
    runs = [
        '"',
        '""',
        '"""',
        "\\",
        "\\\\",
        "\\\\\\",
        '\\"',
        '"\\',
        '\\"\\',
        "<",
        ">",
        "<>",
        "><",
        '<"',
        '"<',
        ",",
        ",,",
        ";",
        ";;",
        '",',
        "\\,",
        "\\;",
        '"\\"',
        '""\\',
    ]
    tails = [", <b>; " + REL, "; " + REL, '", <b>; ' + REL, ">, <b>; " + REL, "", ","]
    heads = ["<a>;t=", '<a>; t="', "<a", '"', "", "<a>; " + REL + ', t="']
    for head, run, tail, filler in itertools.product(heads, runs, tails, FILLERS):
        for offset in range(70):
            body = (filler * offset)[:offset]
            yield [head + body + run + "z" * 6 + tail]
            yield [body + run + tail]
    for unit in [",", '"', "\\", "<", ">", ";", '<"', '"\\', '\\"', " ", "\u3000"]:
        for size in [15, 16, 17, 31, 32, 33, 63, 64, 65, 1000, 4099]:
            text = (unit * size)[:size]
            yield [
                text,
                "<a>; " + REL + text,
                text + "<a>; " + REL,
                '<a>; t="' + text + '"; ' + REL,
            ]


def compare(old, new, values, counts, failures):
    names = [("extract", values), ("locate_all", values), ("locate_all", tuple(values))]
    for value in values:
        names += [("format", value), ("format_strict", value), ("encode_target", value)]
    for name, argument in names:
        counts[name] = counts.get(name, 0) + 1
        expected = outcome(getattr(old, name), argument)
        got = outcome(getattr(new, name), argument)
        if expected != got:
            failures.append((name, argument, expected, got))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--random", type=int, default=200_000, help="random input lists")
    parser.add_argument("--seed", type=int, default=0)
    options = parser.parse_args()
    old, new = load(options.old), load(options.new)
    rng = random.Random(options.seed)
    counts, failures = {}, []
    inputs = itertools.chain(adversarial_inputs(), random_inputs(rng, options.random))
    lists = 0
    for values in inputs:
        lists += 1
        compare(old, new, values, counts, failures)
    print(
        f"{lists:,} input lists, {sum(counts.values()):,} calls compared:",
        ", ".join(f"{name} {n:,}" for name, n in sorted(counts.items())),
    )
    for name, argument, expected, got in failures[:20]:
        print(f"DIFFERENT {name}({argument!r}): old {expected!r}, new {got!r}")
    print(f"{len(failures):,} differences")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
