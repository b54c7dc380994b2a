import subprocess
import sys
import textwrap

import pytest

import manilink

LINK = "<a>; rel=c2pa-manifest"
A = {"uri": "a", "jumbf": None, "is_embedded": False}

# (function name, parameter name, a valid argument)
FUNCS = [
    ("format", "uri", "a"),
    ("format_strict", "uri", "a"),
    ("encode_target", "uri", "a"),
    ("extract", "values", [LINK]),
    ("locate_all", "values", [LINK]),
]
VALUES_FUNCS = [f for f in FUNCS if f[1] == "values"]
EXPECTED_OK = {
    "format": '<a>; rel="c2pa-manifest"',
    "format_strict": '<a>; rel="c2pa-manifest"',
    "encode_target": "a",
    "extract": A,
    "locate_all": [A],
}


class Outer:
    class Inner:
        pass


class Text(str):
    def __str__(self):
        return "not-used"


class MyDict(dict):
    def __getitem__(self, key):
        return LINK


class OddNameMeta(type):
    # reading the type name fails or gives a non-str
    def __getattribute__(cls, name):
        if name == "__qualname__":
            if cls.__dict__.get("mode") == "raise":
                raise RuntimeError("no name")
            return 42
        return super().__getattribute__(name)


class NameRaises(metaclass=OddNameMeta):
    mode = "raise"


class NameNotStr(metaclass=OddNameMeta):
    mode = "int"


class Seq:
    """Sequence protocol only through __getitem__; no __len__."""

    def __init__(self, items, exc=None, length=None):
        self.items, self.exc, self.length = items, exc, length

    def __getitem__(self, i):
        if i < len(self.items):
            return self.items[i]
        if self.exc is not None:
            raise self.exc
        raise IndexError(i)


class SizedSeq(Seq):
    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length


def call(name, *args, **kwargs):
    return getattr(manilink, name)(*args, **kwargs)


# (positional args, keyword args in call order, message); "V" stands for a valid argument
BINDING_ERRORS = [
    ((), [], "{f}() missing 1 required positional argument: '{p}'"),
    (("V", "V"), [], "{f}() takes 1 positional arguments but 2 were given"),
    ((1, 2, 3), [], "{f}() takes 1 positional arguments but 3 were given"),
    (("V",), [("{p}", "V")], "{f}() got multiple values for argument '{p}'"),
    (("V", "V"), [("x", 1)], "{f}() takes 1 positional arguments but 2 were given"),
    (("V", "V"), [("{p}", "V")], "{f}() takes 1 positional arguments but 2 were given"),
    ((), [("x", 1)], "{f}() got an unexpected keyword argument 'x'"),
    ((), [("{P}", "V")], "{f}() got an unexpected keyword argument '{P}'"),
    ((), [("{p}", "V"), ("y", 1)], "{f}() got an unexpected keyword argument 'y'"),
    ((), [("y", 1), ("{p}", "V")], "{f}() got an unexpected keyword argument 'y'"),
    (("V",), [("x", 1), ("{p}", "V")], "{f}() got an unexpected keyword argument 'x'"),
    (("V",), [("{p}", "V"), ("x", 1)], "{f}() got multiple values for argument '{p}'"),
    ((), [("\u00e9t\u00e9", 1)], "{f}() got an unexpected keyword argument '\u00e9t\u00e9'"),
    # binding comes before any conversion of the argument
    ((5,), [("{p}", 6)], "{f}() got multiple values for argument '{p}'"),
    ((), [("{p}", 5), ("q", 1)], "{f}() got an unexpected keyword argument 'q'"),
]


@pytest.mark.parametrize("name,param,valid", FUNCS)
@pytest.mark.parametrize("args,kwargs,template", BINDING_ERRORS)
def test_binding_errors(name, param, valid, args, kwargs, template):
    args = tuple(valid if a == "V" else a for a in args)
    kw = {k.format(p=param, P=param.upper()): (valid if v == "V" else v) for k, v in kwargs}
    with pytest.raises(TypeError) as info:
        call(name, *args, **kw)
    assert type(info.value) is TypeError
    assert info.value.args == (template.format(f=name, p=param, P=param.upper()),)


@pytest.mark.parametrize("name,param,valid", FUNCS)
def test_argument_by_position_or_keyword(name, param, valid):
    assert call(name, valid) == EXPECTED_OK[name]
    assert call(name, **{param: valid}) == EXPECTED_OK[name]
    assert call(name, valid) == EXPECTED_OK[name]


NOT_SEQUENCE = "'%s' object cannot be converted to 'Sequence'"
NOT_STR = "'%s' object cannot be converted to 'PyString'"
URI_TYPE_ERRORS = [
    (obj, NOT_STR % name)
    for obj, name in [
        (b"a", "bytes"),
        (bytearray(b"a"), "bytearray"),
        (1, "int"),
        (1.5, "float"),
        (True, "bool"),
        (None, "NoneType"),
        (["a"], "list"),
        (("a",), "tuple"),
        (object(), "object"),
        (Outer, "type"),
        (Outer.Inner(), "Outer.Inner"),
        (NameRaises(), "<failed to extract type name>"),
        (NameNotStr(), "<failed to extract type name>"),
    ]
]
VALUES_TYPE_ERRORS = (
    [(obj, "Can't extract `str` to `Vec`") for obj in (LINK, "", Text(LINK))]
    + [
        (obj, NOT_SEQUENCE % name)
        for obj, name in [
            (None, "NoneType"),
            (5, "int"),
            ({LINK: 1}, "dict"),
            (MyDict({0: LINK}), "MyDict"),
            ({LINK}, "set"),
            (frozenset([LINK]), "frozenset"),
            ((x for x in [LINK]), "generator"),
            (iter([LINK]), "list_iterator"),
            ({0: LINK}.values(), "dict_values"),
            (Outer.Inner(), "Outer.Inner"),
        ]
    ]
    + [
        (obj, NOT_STR % name)
        for obj, name in [
            (b"<a>", "int"),
            (bytearray(b"x"), "int"),
            (range(3), "int"),
            ([None], "NoneType"),
            ([LINK, [LINK]], "list"),
            ((LINK, b"x"), "bytes"),
            ([LINK, Outer.Inner()], "Outer.Inner"),
            ([NameNotStr()], "<failed to extract type name>"),
            (Seq([LINK, 7]), "int"),
        ]
    ]
)
CONVERSION_ERRORS = [
    (f, "uri", obj, msg)
    for f in ("format", "format_strict", "encode_target")
    for obj, msg in URI_TYPE_ERRORS
] + [(f, "values", obj, msg) for f in ("extract", "locate_all") for obj, msg in VALUES_TYPE_ERRORS]


@pytest.mark.parametrize("name,param,obj,message", CONVERSION_ERRORS)
def test_conversion_errors(name, param, obj, message):
    with pytest.raises(TypeError) as info:
        call(name, obj)
    assert type(info.value) is TypeError
    assert info.value.args == ("argument '%s': %s" % (param, message),)


@pytest.mark.parametrize("name,param,valid", FUNCS)
def test_lone_surrogate_is_an_encoding_error(name, param, valid):
    for bad in ("\ud800", "a\udfff", Text("x\udc80y")):
        arg = bad if param == "uri" else [LINK, bad]
        with pytest.raises(UnicodeEncodeError) as info:
            call(name, arg)
        assert type(info.value) is UnicodeEncodeError
        assert info.value.encoding == "utf-8"
        assert info.value.reason == "surrogates not allowed"


def test_str_subclass_uses_stored_characters():
    assert manilink.encode_target(Text("a b")) == "a%20b"
    assert type(manilink.encode_target(Text("a"))) is str
    assert manilink.format(Text("a")) == manilink.format_strict(Text("a")) == EXPECTED_OK["format"]
    assert manilink.extract([Text(LINK)]) == A and manilink.locate_all((Text(LINK),)) == [A]


ACCEPTED_SEQUENCES = [
    ([], [], None),
    ((), [], None),
    (b"", [], None),
    (bytearray(), [], None),
    (range(0), [], None),
    ((LINK,), [A], A),
    ((LINK, LINK), [A, A], A),
    (Seq([LINK, "<a>; rel=next"]), [A], A),
    (Seq([]), [], None),
    (SizedSeq([LINK, LINK], length=1), [A, A], A),
    # the length is only a hint: asking for it may fail or give nonsense
    (SizedSeq([LINK], length=RuntimeError("len broken")), [A], A),
    (SizedSeq([LINK], length=-1), [A], A),
    (SizedSeq([LINK], length=2**70), [A], A),
]


@pytest.mark.parametrize("obj,all_links,single", ACCEPTED_SEQUENCES)
def test_accepted_sequences(obj, all_links, single):
    assert manilink.locate_all(obj) == all_links
    assert manilink.extract(obj) == single


def test_unreservable_length_hint_does_not_end_the_process():
    script = textwrap.dedent(r"""
        import sys, manilink
        class S:
            def __len__(self): return sys.maxsize
            def __getitem__(self, i):
                if i: raise IndexError(i)
                return "<a>; rel=c2pa-manifest"
        for f in (manilink.locate_all, manilink.extract, manilink.locate_all):
            try:
                print(f(S()))
            except BaseException as e:
                print(type(e).__name__, isinstance(e, Exception))
    """)
    proc = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    # the length is only a hint: the items are read as usual
    assert lines == ["[%r]" % A, repr(A), "[%r]" % A]


class BadStr:
    def __str__(self):
        raise RuntimeError("cannot print")


class SubTypeError(TypeError):
    pass


def _raised_from(exc, cause):
    try:
        raise exc from cause
    except BaseException as e:
        return e


KEY_ERROR = KeyError("k")
ITERATION_ERRORS = [
    # (exception raised while iterating, relabelled message or None when passed unchanged)
    (ValueError("nope"), None),
    (KeyError("gone"), None),
    (RuntimeError("x"), None),
    (UnicodeDecodeError("utf-8", b"\xff", 0, 1, "bad"), None),
    (SubTypeError("sub"), None),
    (TypeError("bad item"), "argument 'values': bad item"),
    (TypeError(), "argument 'values': "),
    (TypeError("a", "b"), "argument 'values': ('a', 'b')"),
    (TypeError("lone \ud800 here"), "argument 'values': lone " + "\ufffd" * 3 + " here"),
    (_raised_from(TypeError("chained"), KEY_ERROR), "argument 'values': chained"),
]


@pytest.mark.parametrize("name,param,valid", VALUES_FUNCS)
@pytest.mark.parametrize("exc,relabelled", ITERATION_ERRORS)
def test_errors_while_iterating(name, param, valid, exc, relabelled):
    exc.__traceback__ = None
    with pytest.raises(BaseException) as info:
        call(name, Seq([LINK], exc=exc))
    got = info.value
    if relabelled is None:
        assert got is exc
    else:
        assert type(got) is TypeError and got is not exc
        assert got.args == (relabelled,)
        assert got.__cause__ is exc.__cause__
        assert got.__cause__ is not exc and got.__context__ is not exc


class _Raising:
    def __init__(self, error):
        self.error = error

    def __str__(self):
        raise self.error


class _Meta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise type.__getattribute__(cls, "error")
        return type.__getattribute__(cls, name)


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3), RecursionError("deep")])
@pytest.mark.parametrize("where", ["str of the error", "name of the type"])
@pytest.mark.parametrize("func", [manilink.extract, manilink.locate_all])
def test_interrupts_pass_where_a_message_part_is_replaced(func, where, error):
    # A text that cannot be made is replaced, unless making it was interrupted or tripped
    # the recursion guard: that error is the call's.
    if where == "str of the error":
        argument = Seq([LINK], exc=TypeError(_Raising(error)))
    else:
        argument = [_Meta("Item", (), {"error": error})()]
    with pytest.raises(BaseException) as info:
        func(argument)
    assert info.value is error


def test_unprintable_iteration_type_error(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    for f in (manilink.extract, manilink.locate_all):
        with pytest.raises(TypeError) as info:
            f(Seq([LINK], exc=TypeError(BadStr())))
        assert type(info.value) is TypeError
        assert info.value.args == ("argument 'values': <unprintable TypeError object>",)
    assert len(seen) == 2
    assert all(type(u.exc_value) is RuntimeError for u in seen)
