/* Source capture: the dedented source text of classes and callables, kept in
 * the process-wide source_cache, and the payload that a class header carries
 * (plain text, or a zlib stream when that is shorter).
 *
 * source_cache and class_header_cache are keyed by the object's address.
 * Each entry also holds a weak reference to its object, whose callback drops
 * the entry when the object dies, so a later object at the same address is
 * never given a dead one's source. */
#include "vellum.h"

#include <zlib.h>

#define SOURCE_COMPRESS_MIN 48

static PyObject *inspect_module_cached = NULL;
static PyObject *textwrap_module_cached = NULL;

/* A function of a module imported on first use and kept; the attribute is
 * looked up on each call (a new reference). */
static PyObject *
get_module_attr(PyObject **slot, const char *module, const char *name)
{
    if (*slot == NULL)
        *slot = PyImport_ImportModule(module);
    if (*slot == NULL)
        return NULL;
    return PyObject_GetAttrString(*slot, name);
}

/* Weak-reference callback: self is the address key of the dead object.  An
 * entry is dropped only when it still holds this very weak reference. */
static PyObject *
drop_entries(PyObject *key, PyObject *wr)
{
    PyObject *caches[] = {source_cache, class_header_cache};
    for (PyObject *cache : caches) {
        PyObject *entry = PyDict_GetItemWithError(cache, key); /* borrowed */
        if (entry == NULL) {
            PyErr_Clear();
            continue;
        }
        Py_ssize_t n = PyTuple_GET_SIZE(entry);
        if (PyTuple_GET_ITEM(entry, n - 1) == wr && PyDict_DelItem(cache, key) < 0)
            PyErr_Clear();
    }
    Py_RETURN_NONE;
}

static PyMethodDef drop_entries_def = {"_drop_cache_entry", drop_entries, METH_O, NULL};

PyObject *
address_key(PyObject *obj)
{
    return PyLong_FromVoidPtr(obj);
}

PyObject *
cache_watch(PyObject *obj, PyObject *key)
{
    Ref callback = Ref::steal(PyCFunction_New(&drop_entries_def, key));
    if (!callback)
        return NULL;
    return PyWeakref_NewRef(obj, callback.get());
}

PyObject *
cache_entry_for(PyObject *cache, PyObject *key, PyObject *obj)
{
    PyObject *entry;
    int found = compat_dict_get_item_ref(cache, key, &entry);
    if (found <= 0)
        return NULL;
    Py_ssize_t n = PyTuple_GET_SIZE(entry);
    PyObject *wr = PyTuple_GET_ITEM(entry, n - 1); /* borrowed */
    if (compat_weakref_is(wr, obj))
        return entry;
    Py_DECREF(entry);
    return NULL;
}

/* The source_cache entry of obj: 1 with *src the text (new reference) or
 * null for a recorded failed capture, 0 without an entry, -1 with an
 * exception. */
static int
cached_source(PyObject *key, PyObject *obj, PyObject **src)
{
    *src = NULL;
    PyObject *entry = cache_entry_for(source_cache, key, obj);
    if (entry == NULL)
        return PyErr_Occurred() ? -1 : 0;
    PyObject *text = PyTuple_GET_ITEM(entry, 0); /* borrowed */
    if (text != Py_None)
        *src = Py_NewRef(text);
    Py_DECREF(entry);
    return 1;
}

PyObject *
get_source(PyObject *obj)
{
    Ref key = Ref::steal(address_key(obj));
    if (!key)
        return NULL;
    /* A recorded failure (get_source_if_any) is captured again, so that the
     * failure is raised as it was. */
    PyObject *cached;
    int found = cached_source(key.get(), obj, &cached);
    if (found < 0)
        return NULL;
    if (cached != NULL)
        return cached;

    Ref getsource = Ref::steal(get_module_attr(&inspect_module_cached, "inspect",
                                               "getsource"));
    if (!getsource)
        return NULL;
    Ref text = Ref::steal(PyObject_CallOneArg(getsource.get(), obj));
    if (!text)
        return NULL;
    Ref dedent = Ref::steal(get_module_attr(&textwrap_module_cached, "textwrap", "dedent"));
    if (!dedent)
        return NULL;
    Ref dedented = Ref::steal(PyObject_CallOneArg(dedent.get(), text.get()));
    if (!dedented)
        return NULL;
    Ref src = Ref::steal(PyUnicode_AsUTF8String(dedented.get()));
    if (!src)
        return NULL;

    /* Objects that take no weak reference are captured afresh each time. */
    Ref wr = Ref::steal(cache_watch(obj, key.get()));
    if (!wr) {
        PyErr_Clear();
        return src.release();
    }
    Ref value = Ref::steal(PyTuple_Pack(2, src.get(), wr.get()));
    if (!value || PyDict_SetItem(source_cache, key.get(), value.get()) < 0)
        PyErr_Clear(); /* a failed store still returns the text */
    return src.release();
}

PyObject *
get_source_if_any(PyObject *obj)
{
    Ref key = Ref::steal(address_key(obj));
    if (!key) {
        PyErr_Clear();
        return NULL;
    }
    PyObject *src;
    int found = cached_source(key.get(), obj, &src);
    if (found > 0)
        return src;
    PyErr_Clear();
    src = get_source(obj);
    if (src != NULL)
        return src;
    PyErr_Clear();
    /* Remembered, as found text is: a builtin's capture fails every time,
     * and failing costs a search of the module's file. */
    Ref wr = Ref::steal(cache_watch(obj, key.get()));
    Ref value = Ref::steal(wr ? PyTuple_Pack(2, Py_None, wr.get()) : NULL);
    if (!value || PyDict_SetItem(source_cache, key.get(), value.get()) < 0)
        PyErr_Clear();
    return NULL;
}

PyObject *
_compute_class_header_payload(PyObject *src, Py_ssize_t n, const unsigned char *d)
{
    if (n >= SOURCE_COMPRESS_MIN) {
        uLongf bound = compressBound((uLong)n);
        unsigned char *out = (unsigned char *)malloc(bound);
        if (out != NULL) {
            uLongf out_len = bound;
            int rc = compress2(out, &out_len, d, (uLong)n, 1);
            if (rc == Z_OK && (Py_ssize_t)out_len < n) {
                Ref z = Ref::steal(PyBytes_FromStringAndSize((const char *)out,
                                                             (Py_ssize_t)out_len));
                free(out);
                if (!z)
                    return NULL;
                return Py_BuildValue("(iO)", (int)TAG_SRC_Z, z.get());
            }
            free(out);
        }
    }
    return Py_BuildValue("(iO)", (int)TAG_SRC_RAW, src);
}
