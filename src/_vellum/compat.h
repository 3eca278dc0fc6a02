/* Differences of the C API between CPython 3.11 and 3.14, kept behind small
 * functions so that the codec itself carries no version tests. */
#ifndef VELLUM_COMPAT_H
#define VELLUM_COMPAT_H

#include <Python.h>

#if PY_VERSION_HEX >= 0x030D0000
#  define VELLUM_HAVE_NATIVE_BYTES 1
#else
#  define VELLUM_HAVE_NATIVE_BYTES 0
#endif

/* Number of bytes that hold the magnitude of a non-negative int, at least 1;
 * may be one more than the minimum.  Returns -1 with an exception set. */
static inline Py_ssize_t
compat_long_magnitude_size(PyObject *absval)
{
#if VELLUM_HAVE_NATIVE_BYTES
    Py_ssize_t n = PyLong_AsNativeBytes(
        absval, NULL, 0,
        Py_ASNATIVEBYTES_BIG_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER);
    if (n < 0)
        return -1;
    return n > 0 ? n : 1;
#else
    size_t bits = _PyLong_NumBits(absval);
    if (bits == (size_t)-1 && PyErr_Occurred())
        return -1;
    Py_ssize_t n = (Py_ssize_t)((bits + 7) / 8);
    return n > 0 ? n : 1;
#endif
}

/* Exports a non-negative int as exactly n big-endian unsigned bytes.
 * Returns 0 on success, -1 with an exception set. */
static inline int
compat_long_to_be_bytes(PyObject *absval, unsigned char *out, Py_ssize_t n)
{
#if VELLUM_HAVE_NATIVE_BYTES
    Py_ssize_t need = PyLong_AsNativeBytes(
        absval, out, n,
        Py_ASNATIVEBYTES_BIG_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER |
        Py_ASNATIVEBYTES_REJECT_NEGATIVE);
    if (need < 0)
        return -1;
    if (need > n) {
        PyErr_SetString(PyExc_OverflowError, "int too big to convert");
        return -1;
    }
    return 0;
#else
    return _PyLong_AsByteArray((PyLongObject *)absval, out, (size_t)n,
                               /*little_endian=*/0, /*is_signed=*/0);
#endif
}

/* Builds a non-negative int from n big-endian unsigned bytes. */
static inline PyObject *
compat_long_from_be_bytes(const unsigned char *in, Py_ssize_t n)
{
#if VELLUM_HAVE_NATIVE_BYTES
    return PyLong_FromUnsignedNativeBytes(in, (size_t)n,
                                          Py_ASNATIVEBYTES_BIG_ENDIAN);
#else
    return _PyLong_FromByteArray(in, (size_t)n, /*little_endian=*/0,
                                 /*is_signed=*/0);
#endif
}

/* Value of an int stored in a single machine word (the common case), read
 * without a call.  Returns 1 and sets *v, or 0 when the int is larger. */
static inline int
compat_long_compact_value(PyObject *obj, long long *v)
{
#if PY_VERSION_HEX >= 0x030C0000
    PyLongObject *lo = (PyLongObject *)obj;
    if (!PyUnstable_Long_IsCompact(lo))
        return 0;
    *v = (long long)PyUnstable_Long_CompactValue(lo);
    return 1;
#else
    Py_ssize_t n = Py_SIZE(obj);
    if (n < -1 || n > 1)
        return 0;
    *v = (long long)n * (long long)((PyLongObject *)obj)->ob_digit[0];
    return 1;
#endif
}

/* Dict lookup giving a new reference: 1 found, 0 missing, -1 error. */
static inline int
compat_dict_get_item_ref(PyObject *d, PyObject *key, PyObject **result)
{
#if VELLUM_HAVE_NATIVE_BYTES
    return PyDict_GetItemRef(d, key, result);
#else
    PyObject *item = PyDict_GetItemWithError(d, key);
    if (item != NULL) {
        *result = Py_NewRef(item);
        return 1;
    }
    *result = NULL;
    return PyErr_Occurred() ? -1 : 0;
#endif
}

/* Whether a weak reference still refers to obj. */
static inline int
compat_weakref_is(PyObject *wr, PyObject *obj)
{
#if VELLUM_HAVE_NATIVE_BYTES
    PyObject *target;
    if (PyWeakref_GetRef(wr, &target) < 0) {
        PyErr_Clear();
        return 0;
    }
    int same = target == obj;
    Py_XDECREF(target);
    return same;
#else
    return PyWeakref_GET_OBJECT(wr) == obj;
#endif
}

/* A type's namespace dictionary as a new reference (static built-in types
 * keep theirs outside the type object from 3.12 on). */
static inline PyObject *
compat_type_dict(PyTypeObject *tp)
{
#if PY_VERSION_HEX >= 0x030C0000
    return PyType_GetDict(tp);
#else
    return Py_XNewRef(tp->tp_dict);
#endif
}

/* A new reference to one of the ints 0..255.  From 3.12 on they are
 * immortal: taking or dropping a reference changes no count (debug builds'
 * totals included), so none is taken. */
static inline PyObject *
compat_byte_int_ref(PyObject *byte_int)
{
#if PY_VERSION_HEX >= 0x030C0000
    return byte_int;
#else
    return Py_NewRef(byte_int);
#endif
}

/* An empty dict with room for n items without a resize (the interpreter
 * caps what it reserves for a large n). */
static inline PyObject *
compat_dict_presized(Py_ssize_t n)
{
    return _PyDict_NewPresized(n);
}

/* Attribute lookup that reports a missing attribute without raising:
 * 1 found (new reference in *result), 0 missing, -1 error. */
static inline int
compat_lookup_attr(PyObject *obj, PyObject *name, PyObject **result)
{
#if VELLUM_HAVE_NATIVE_BYTES
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    return _PyObject_LookupAttr(obj, name, result);
#endif
}

/* Takes the pending exception out of the error indicator and returns its
 * value, normalised (new reference), or null when none was set. */
static inline PyObject *
compat_err_take_value(void)
{
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == NULL)
        return NULL;
    PyErr_NormalizeException(&type, &value, &tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

/* The hash that a bytes object of this content has. */
static inline Py_hash_t
compat_hash_bytes(const void *d, Py_ssize_t n)
{
#if PY_VERSION_HEX >= 0x030E0000
    return Py_HashBuffer(d, n);
#else
    return _Py_HashBytes(d, n);
#endif
}

/* A hint that *p is about to be written; nothing where unsupported. */
#if defined(__GNUC__) || defined(__clang__)
#  define compat_prefetch_write(p) __builtin_prefetch((p), 1)
#else
#  define compat_prefetch_write(p) ((void)(p))
#endif

#endif /* VELLUM_COMPAT_H */
