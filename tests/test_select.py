import pytest

import manilink

CONFLICT = "more than one c2pa-manifest target was advertised"


def lk(target, rel="c2pa-manifest"):
    return "<%s>; rel=%s" % (target, rel)


def d(uri, jumbf=None):
    return {"uri": uri, "jumbf": jumbf, "is_embedded": jumbf is not None}


SELECT_TABLE = [
    # (values, extract result or CONFLICT, locate_all result)
    ([], None, []),
    ([lk("a", "next"), "a; rel=c2pa-manifest"], None, []),
    (["garbage", "", "<>"], None, []),
    ([lk("a") + ", " + lk("a")], d("a"), [d("a"), d("a")]),
    ([lk("a"), lk("a")], d("a"), [d("a"), d("a")]),
    ([lk("a"), lk("a"), lk("a")], d("a"), [d("a")] * 3),
    ([lk("a"), lk("b")], CONFLICT, [d("a"), d("b")]),
    ([lk("a") + ", " + lk("b")], CONFLICT, [d("a"), d("b")]),
    ([lk("b"), lk("a")], CONFLICT, [d("b"), d("a")]),
    ([lk("a"), lk("b"), lk("a")], CONFLICT, [d("a"), d("b"), d("a")]),
    ([lk("a"), lk("a"), lk("b")], CONFLICT, [d("a"), d("a"), d("b")]),
    ([lk("a"), lk("b"), lk("b")], CONFLICT, [d("a"), d("b"), d("b")]),
    ([lk("a"), lk("A")], CONFLICT, [d("a"), d("A")]),
    ([lk("a/"), lk("a")], CONFLICT, [d("a/"), d("a")]),
    ([lk("a%41"), lk("aA")], CONFLICT, [d("a%41"), d("aA")]),
    ([lk("a%2f"), lk("a%2F")], CONFLICT, [d("a%2f"), d("a%2F")]),
    ([lk("\u00e9"), lk("e\u0301")], CONFLICT, [d("\u00e9"), d("e\u0301")]),
    (
        [lk("x.jpg#JUMBF=c2pa/urn:uuid:1"), lk("x.jpg#jumbf=c2pa")],
        d("x.jpg#jumbf=c2pa", "c2pa"),
        [d("x.jpg#jumbf=c2pa", "c2pa")] * 2,
    ),
    ([lk("x.jpg"), lk("x.jpg#jumbf=c2pa")], CONFLICT, [d("x.jpg"), d("x.jpg#jumbf=c2pa", "c2pa")]),
    ([lk("x#jumbf=a"), lk("x#jumbf=b")], CONFLICT, [d("x#jumbf=a", "a"), d("x#jumbf=b", "b")]),
    ([lk("x#jumbf=/a"), lk("x#jumbf=/b")], CONFLICT, [d("x#jumbf=/a"), d("x#jumbf=/b")]),
    ([lk("a"), lk("b", "next")], d("a"), [d("a")]),
    ([lk("b", "next"), lk("a"), lk("c", '"next alternate"')], d("a"), [d("a")]),
    ([lk(" a "), "<a>;REL=C2PA-MANIFEST", '<a>; rel="c2pa-manifest"'], d("a"), [d("a")] * 3),
    (["", lk("a"), "", lk("a") + ","], d("a"), [d("a")] * 2),
    ([lk("c"), lk("a"), lk("b")], CONFLICT, [d("c"), d("a"), d("b")]),
    (
        [lk("\u00e9\U0001f600#jumbf=\u00e9/z")],
        d("\u00e9\U0001f600#jumbf=\u00e9", "\u00e9"),
        [d("\u00e9\U0001f600#jumbf=\u00e9", "\u00e9")],
    ),
    ([lk("a\x00")], d("a\x00"), [d("a\x00")]),
    ([lk("a\x00"), lk("a")], CONFLICT, [d("a\x00"), d("a")]),
]


@pytest.mark.parametrize("values,single,every", SELECT_TABLE)
def test_select_table(values, single, every):
    for arg in (values, tuple(values)):
        if single == CONFLICT:
            with pytest.raises(ValueError) as info:
                manilink.extract(arg)
            err = info.value
            assert type(err) is ValueError
            assert err.args == (CONFLICT,) and str(err) == CONFLICT
            assert err.__cause__ is None and err.__context__ is None
        else:
            assert manilink.extract(arg) == single
        got = manilink.locate_all(arg)
        assert type(got) is list and got == every


@pytest.mark.parametrize(
    "target,uri,jumbf",
    [("m.c2pa", "m.c2pa", None), ("x.jpg#jumbf=c2pa/urn:uuid:1", "x.jpg#jumbf=c2pa", "c2pa")],
)
def test_result_dict_shape(target, uri, jumbf):
    for result in (manilink.extract([lk(target)]), *manilink.locate_all([lk(target)])):
        assert type(result) is dict and list(result) == ["uri", "jumbf", "is_embedded"]
        assert all(type(k) is str for k in result) and type(result["uri"]) is str
        assert result["uri"] == uri and result["jumbf"] == jumbf
        assert result["is_embedded"] is (jumbf is not None)
        assert type(result["jumbf"]) is (str if jumbf else type(None))


def test_equal_input_gives_equal_but_distinct_results():
    values = [lk("a") + ", " + lk("a#jumbf=j")]
    first, second = manilink.locate_all(values), manilink.locate_all(values)
    assert first == second and first is not second
    assert all(x is not y for x, y in zip(first, second))
    assert first[0] is not first[1]
    one, two = manilink.extract([lk("a")]), manilink.extract([lk("a")])
    assert one == two and one is not two
    dup = manilink.locate_all([lk("a"), lk("a")])
    assert dup[0] == dup[1] and dup[0] is not dup[1]


def test_results_belong_to_the_caller():
    values = [lk("a")]
    manilink.locate_all(values)[0]["uri"] = "changed"
    manilink.extract(values).clear()
    assert manilink.locate_all(values) == [d("a")]
    assert manilink.extract(values) == d("a")
    assert values == [lk("a")]


def test_module_stays_usable_after_failures():
    for bad in ([lk("a"), lk("b")], None):
        with pytest.raises((ValueError, TypeError)):
            manilink.extract(bad)
        assert manilink.extract([lk("a")]) == d("a") and manilink.extract([]) is None
