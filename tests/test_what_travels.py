"""The values users send, each round-tripped and then used: functions that need their
module, classes, modules and built-ins, the reduce protocol in pickle's order, text with
lone surrogates, and what loads as something else by design."""

import builtins
import collections
import dataclasses
import datetime
import enum
import functools
import math
import os
import re
import uuid

import pytest

import vellum

LIMIT = 10


def _helper(x):
    return x + 1


def uses_math(x):
    return math.sqrt(x)


def calls_helper(x):
    return _helper(x) * 2


def reads_constant():
    return LIMIT


def kw_only(a, *, b=2):
    return a + b


@functools.wraps(reads_constant)
def wrapper():
    return reads_constant() + 1


def writes_global():
    global WRITTEN
    WRITTEN = 1
    return WRITTEN


def make_walker():
    def walk(x):
        return 0 if x == 0 else walk(x - 1) + 1

    return walk


def make_counter():
    n = 0

    def inc():
        nonlocal n
        n += 1
        return n

    def get():
        return n

    return inc, get


def even(n):
    return n == 0 or odd(n - 1)


def odd(n):
    return n != 0 and even(n - 1)


class Color(enum.Enum):
    RED = 1
    GREEN = 2


class Plain:
    pass


@dataclasses.dataclass(frozen=True, slots=True)
class FrozenSlots:
    x: int
    y: str = "y"


FOLDED = datetime.datetime(2021, 11, 7, 1, 30, fold=1)
NAME = b"caf\xe9-\xff.txt".decode("utf-8", "surrogateescape")


def _pair_shares_its_counter(pair):
    inc, get = pair
    return inc() == 1 and inc() == 2 and get() == 2


# (value, what using the loaded one gives, as the original gives it)
USED = [
    pytest.param(uses_math, lambda f: f(16), id="module-in-globals"),
    pytest.param(os.path.join, lambda f: f("a", "b"), id="os.path.join"),
    pytest.param(calls_helper, lambda f: f(1), id="helper-of-its-module"),
    pytest.param(reads_constant, lambda f: f(), id="module-constant"),
    pytest.param(kw_only, lambda f: (f(1), f.__kwdefaults__), id="keyword-only-default"),
    pytest.param(wrapper, lambda f: (f(), f.__name__, f.__doc__, f.__module__,
                                     f.__wrapped__()), id="functools.wraps"),
    pytest.param(make_walker(), lambda f: f(7), id="recursive-closure"),
    pytest.param(even, lambda f: (f(10), f(7), f.__globals__["odd"](3)), id="mutual-recursion"),
    pytest.param(make_counter(), _pair_shares_its_counter, id="shared-nonlocal"),
    pytest.param(functools.partial(min, 1), lambda p: (p(0), p(5)), id="partial"),
    pytest.param(re.compile(r"a+b", re.I), lambda p: (p.pattern, p.flags, bool(p.match("AAB"))),
                 id="regex"),
    pytest.param(FrozenSlots(1), lambda d: (d, type(d) is FrozenSlots), id="frozen-slots"),
    pytest.param(uuid.UUID(int=2**100), lambda u: (u, u.version, type(u)), id="uuid"),
    pytest.param(FOLDED, lambda d: (d, d.fold), id="datetime-fold"),
    pytest.param(datetime.datetime(2021, 1, 1, tzinfo=datetime.timezone.utc),
                 lambda d: (d, d.tzinfo), id="datetime-tz"),
    pytest.param(NAME, lambda s: s.encode("utf-8", "surrogateescape"), id="surrogateescape"),
]


@pytest.mark.parametrize("value, use", USED)
def test_a_loaded_value_works_as_the_original(value, use):
    loaded = vellum.loads(vellum.dumps(value))
    assert use(loaded) == use(value)
    report = vellum.verify(vellum.dumps(value))
    assert report.ok and report.bytes_consumed == report.bytes_total


# Values that load as the very object the loading process has.
SAME = [
    pytest.param(int, id="builtin-type"),
    pytest.param(type(None), id="NoneType"),
    pytest.param(Plain, id="class"),
    pytest.param(Color, id="enum-class"),
    pytest.param(Color.GREEN, id="enum-member"),
    pytest.param(math, id="module"),
    pytest.param(len, id="builtin-function"),
    pytest.param(math.sqrt, id="module-function"),
    pytest.param(str.upper, id="method-descriptor"),
    pytest.param(datetime.datetime, id="class-of-c"),
]


@pytest.mark.parametrize("value", SAME)
def test_a_value_by_name_loads_as_the_same_object(value):
    assert vellum.loads(vellum.dumps([value, value])) == [value, value]
    assert vellum.loads(vellum.dumps(value)) is value


def test_a_bound_builtin_method_loads_equal():
    loaded = vellum.loads(vellum.dumps(dict.fromkeys))
    assert loaded == dict.fromkeys and loaded("ab") == {"a": None, "b": None}


def test_a_loaded_function_writes_its_globals_into_its_own_namespace():
    fn = vellum.loads(vellum.dumps(writes_global))
    assert fn() == 1 and fn.__globals__["WRITTEN"] == 1
    assert "WRITTEN" not in globals() and not hasattr(builtins, "WRITTEN")


def test_a_function_reached_twice_is_one_function():
    a, b, walk = vellum.loads(vellum.dumps([uses_math, uses_math, make_walker()]))
    assert a is b and walk.__closure__[0].cell_contents is walk


# By design these load as their base type.
AS_BASE = [
    pytest.param(collections.namedtuple("Pt", "x y")(1, 2), (1, 2), id="namedtuple"),
    pytest.param(collections.OrderedDict(a=1), {"a": 1}, id="OrderedDict"),
    pytest.param(collections.defaultdict(list, a=[1]), {"a": [1]}, id="defaultdict"),
    pytest.param(collections.Counter("aab"), {"a": 2, "b": 1}, id="Counter"),
    pytest.param(re.RegexFlag.IGNORECASE, int(re.IGNORECASE), id="IntFlag"),
    pytest.param({"a": 1}.keys(), ["a"], id="dict-view"),
]


@pytest.mark.parametrize("value, loaded", AS_BASE)
def test_subclasses_of_builtins_load_as_their_base_type(value, loaded):
    out = vellum.loads(vellum.dumps(value))
    assert out == loaded and type(out) is type(loaded)
