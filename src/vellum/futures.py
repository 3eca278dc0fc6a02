"""``concurrent.futures.ProcessPoolExecutor`` with tasks pickled by
``vellum.pickler``: the submitted function, its arguments and the
initializer travel as one pickle made there, so lambdas and closures run in
the workers as vellum streams, checked there before they load.  Results and
exceptions come back as the standard executor sends them.
"""

from __future__ import annotations

import concurrent.futures
import pickle

from . import pickler

__all__ = ["ProcessPoolExecutor"]


def _call(payload: bytes):
    fn, args, kwargs = pickle.loads(payload)
    return fn(*args, **kwargs)


def _initialize(payload: bytes) -> None:
    initializer, initargs = pickle.loads(payload)
    initializer(*initargs)


class ProcessPoolExecutor(concurrent.futures.ProcessPoolExecutor):
    """The standard process pool; ``key`` signs the functions it sends
    (else VELLUM_KEY, when set)."""

    def __init__(self, max_workers=None, mp_context=None, initializer=None, initargs=(),
                 *, max_tasks_per_child=None, key=None):
        self._vellum_key = key
        if initializer is not None:
            if not callable(initializer):
                raise TypeError("initializer must be a callable")
            initargs = (pickler.dumps((initializer, tuple(initargs)), key=key),)
            initializer = _initialize
        super().__init__(max_workers, mp_context, initializer, initargs,
                         max_tasks_per_child=max_tasks_per_child)

    def submit(self, fn, /, *args, **kwargs):
        payload = pickler.dumps((fn, args, kwargs), key=self._vellum_key)
        return super().submit(_call, payload)
