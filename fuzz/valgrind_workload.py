"""A short workload over every function and outcome, for valgrind memcheck."""

import manilink

LINK, EMBEDDED = "<a>; rel=c2pa-manifest", "<b#JUMBF=c2pa/x>; rel=c2pa-manifest"


class Failing:
    def __init__(self, error):
        self.error = error

    def __len__(self):
        return 1 << 62

    def __getitem__(self, i):
        if i:
            raise self.error("stop")
        return LINK


CALLS = [
    (manilink.format, ("a b\u00e9 <x>\r\n",), {}),
    (manilink.format, ("",), {}),
    (manilink.format_strict, ("/m.c2pa",), {}),
    (manilink.format_strict, ("a b",), {}),
    (manilink.encode_target, ("\ud800",), {}),
    (manilink.encode_target, (), {"url": "x"}),
    (manilink.format, ("x", "y"), {}),
    (manilink.format, (b"x",), {}),
    (manilink.extract, ([EMBEDDED, EMBEDDED.replace("b#", "b#jumbf=c2pa#")],), {}),
    (manilink.extract, ([LINK, EMBEDDED],), {}),
    (manilink.extract, ([LINK, LINK],), {}),
    (manilink.extract, ([],), {}),
    (manilink.extract, ("<a>",), {}),
    (manilink.extract, ({},), {}),
    (manilink.extract, ([LINK, None],), {}),
    (manilink.extract, (Failing(TypeError),), {}),
    (manilink.locate_all, (Failing(KeyError),), {}),
    (manilink.locate_all, ([LINK + ", " + EMBEDDED, '<c>; rel="next c2pa-manifest"'],), {}),
    (manilink.locate_all, (), {"values": ["\udc00"]}),
]

for _ in range(300):
    for func, args, kwargs in CALLS:
        try:
            func(*args, **kwargs)
        except (ValueError, TypeError, KeyError):
            pass
print("workload done: %d calls" % (300 * len(CALLS)))
