"""The tuples kovel.quasi hands to native code: both sides name the same codes and fields."""

import pytest

from kovel import _native
from kovel.quasi.fill import Siblings
from kovel.quasi.wire import FillOp, HoleSpec, MatchItem, PatternItem
from kovel.treesitter import parse


def test_python_and_native_name_the_same_wire_codes_and_fields():
    patterns = _native.pattern_schema()
    templates = _native.template_schema()
    assert patterns["items"] == {i.name.lower(): i.value for i in PatternItem}
    assert patterns["match_fields"] == MatchItem._fields
    assert templates["ops"] == {o.name.lower(): o.value for o in FillOp}
    assert templates["hole_fields"] == HoleSpec._fields


def test_match_items_read_by_their_names():
    spec = (PatternItem.NODE, "argument_list", ((PatternItem.LEAF, "integer", "1"),))
    program = _native.compile_pattern(spec, Siblings)
    (item,) = _native.match_all(program, parse("python", "g(f(1), 2)\n"), False)
    m = MatchItem(*item)
    assert (tuple(m.path), str(m.term), m.start, m.end, m.bindings) == ((0, 0, 1, 1, 1), "(1)", 3, 6, {})


@pytest.mark.parametrize("code", [-1, 6, 99])
def test_unknown_codes_are_refused(code):
    with pytest.raises(ValueError, match="not a pattern item"):
        _native.compile_pattern((code, "x", "y"), Siblings)
    with pytest.raises(ValueError, match="not a template op"):
        _native.compile_template("python", "x", (code, None), (), ())
