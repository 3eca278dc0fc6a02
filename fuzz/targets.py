"""Harmless classes for the fuzzer's streams: instances, slots and every form
of reduce result, so that mutated streams reach the loader's building paths
and not only its failures.  The fuzzer's loads can resolve nothing else."""


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


def samples():
    """Values whose dumps seed the fuzzer."""
    s = Stateful([1, 2])
    return [Plain(), Plain([1, 2], {"k": (3,)}), Slotted(), Reduced(1, "a", (2,)), s,
            [Plain(), Plain()], {"r": Reduced(Slotted())}]
