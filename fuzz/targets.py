"""Harmless classes and functions for the fuzzer's streams: instances, slots,
every form of reduce result, functions with their globals and cells, so that
mutated streams reach the loader's building paths and not only its failures.
The fuzzer's loads can resolve nothing else."""


class Plain:
    def __init__(self, a=1, b="x"):
        self.a, self.b = a, b


class Slotted:
    __slots__ = ("a", "b")

    def __init__(self, a=1, b=2):
        self.a, self.b = a, b


class Reduced:
    def __init__(self, *args):
        self.args = args

    def __reduce__(self):
        return (Reduced, self.args)


class Stateful(list):
    def __reduce__(self):
        return (Stateful, (), {"k": 1}, iter(list(self)), iter({"d": 2}.items()))

    def __setitem__(self, key, value):
        self.__dict__[key] = value


class Kept:
    """Written through its own __getstate__ and __setstate__."""

    def __init__(self, x=1):
        self.x = x

    def __getstate__(self):
        return (self.x,)

    def __setstate__(self, state):
        self.x = state[0]


FACTOR = 3


def scale(x, *, by=1):
    return x * FACTOR * by + len(str(x))


def counters():
    n = 0

    def inc():
        nonlocal n
        n += 1
        return n

    def walk(k):
        return k if k <= 0 else walk(k - 1)

    return inc, walk


def samples():
    """Values whose dumps seed the fuzzer."""
    s = Stateful([1, 2])
    return [Plain(), Plain([1, 2], {"k": (3,)}), Slotted(), Reduced(1, "a", (2,)), s,
            [Plain(), Plain()], {"r": Reduced(Slotted())},
            # functions with globals and cells, classes and built-ins by name, the full
            # reduce form, text with lone surrogates
            scale, counters(), [Plain, Slotted, Plain()], [len, int, scale.__code__],
            [Kept(2), Kept(3)], ["a\udcff", "a\udcff"]]
