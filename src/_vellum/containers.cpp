/* Container tags: lists, tuples, dicts, sets and frozensets in their shared
 * and plain forms, generators, dict views, mapping proxies and array.array.
 * Lists and dicts take their index before their items (so cycles through
 * them close), tuples and frozensets after.  Readers push shared containers
 * to the load's read table and record the depth and expanded size of nested
 * tuples and frozensets, so that no set or dict of a load hashes or compares
 * more than the input can justify; the array reader uses the "array" module
 * imported at initialisation. */
#include "vellum.h"

#include <math.h>

/* ---- writers ----------------------------------------------------------- */

[[nodiscard]] static int
size_changed(const char *what)
{
    /* Format strings must be ASCII: the accented words go in as arguments. */
    PyErr_Format(PyExc_RuntimeError, "%s %s", what,
                 "cambió de tamaño durante la serialización");
    return 0;
}

/* An item held across its own write, which can run code that changes its
 * container.  Out of line, so that the loops keep their registers for the
 * items written in place. */
[[nodiscard]] Py_NO_INLINE static int
serialize_held_item(Buf *b, DedupState *ds, PyObject *item)
{
    Py_INCREF(item);
    ++ds->depth;
    int ok = serialize_impl(b, ds, item);
    --ds->depth;
    release_written(ds, item);
    return ok;
}

/* One item borrowed from a list or dict that code run while it is written
 * may change.  An exact int, float or str runs no code and is written in
 * place; anything else is held.  The caller checked the depth, which is the
 * same before every item of a container. */
[[nodiscard]] static inline int
serialize_item(Buf *b, DedupState *ds, PyObject *item)
{
    int leaf = serialize_leaf(b, item);
    if (leaf >= 0)
        return leaf;
    if (Py_IS_TYPE(item, &PyUnicode_Type))
        return serialize_str(b, ds, item);
    if (Py_IS_TYPE(item, &PyLong_Type))
        return serialize_int(b, item);
    return serialize_held_item(b, ds, item);
}

/* An int from 0 to 255 as one or two bytes at out + len; the new length. */
static inline Py_ssize_t
put_byte_int(unsigned char *out, Py_ssize_t len, long long v)
{
    if (fits_smallint(v)) {
        out[len] = smallint_tag(v);
        return len + 1;
    }
    out[len] = TAG_UINT8;
    out[len + 1] = (unsigned char)v;
    return len + fixed_width(TAG_UINT8);
}

/* A float written as TAG_FLOAT and its eight bytes: finite and none of the
 * values that have a one-byte tag of their own. */
static inline int
plain_float(double d)
{
    return isfinite(d) && d != 0.0 && d != 1.0 && d != -1.0;
}

/* Whether a list item starts a run: an int from 0 to 255 or a plain float,
 * exactly of those types. */
static inline int
starts_leaf_run(PyObject *item)
{
    long long v;
    if (Py_IS_TYPE(item, &PyLong_Type))
        return compat_long_compact_value(item, &v) && v >= 0 && v <= 255;
    return Py_IS_TYPE(item, &PyFloat_Type) && plain_float(PyFloat_AS_DOUBLE(item));
}

/* Writes the run of ints from 0 to 255 and plain floats that starts at
 * items[i] (one at least, with room for it), up to end or the end of the
 * buffer's room; the index after the last written.  They run no code, so
 * the buffer's end stays in locals (a byte store could alias it) and its
 * length is stored back once.  Out of line, so that the list loop keeps its
 * registers for other items. */
Py_NO_INLINE static Py_ssize_t
write_leaf_run(Buf *b, PyObject *const *items, Py_ssize_t i, Py_ssize_t end)
{
    unsigned char *out = b->buf;
    Py_ssize_t len = b->len, last = b->cap - fixed_width(TAG_FLOAT);
    for (; i < end && len <= last; i++) {
        PyObject *item = items[i]; /* borrowed */
        long long v;
        if (Py_IS_TYPE(item, &PyLong_Type)) {
            if (!compat_long_compact_value(item, &v) || v < 0 || v > 255)
                break;
            len = put_byte_int(out, len, v);
        }
        else if (Py_IS_TYPE(item, &PyFloat_Type) && plain_float(PyFloat_AS_DOUBLE(item))) {
            out[len] = TAG_FLOAT;
            store_be64(out + len + 1, double_bits(PyFloat_AS_DOUBLE(item)));
            len += fixed_width(TAG_FLOAT);
        }
        else {
            break;
        }
    }
    b->len = len;
    return i;
}

/* Items of a list that may change while its items are written. */
[[nodiscard]] static int
serialize_list_items(Buf *b, DedupState *ds, PyObject *list, Py_ssize_t n)
{
    if (n > 0 && ds->depth >= VELLUM_MAX_DEPTH)
        return serialize_depth_error();
    for (Py_ssize_t i = 0; i < n; i++) {
        Py_ssize_t now = PyList_GET_SIZE(list);
        if (i >= now)
            return size_changed("la lista");
        PyObject *item = PyList_GET_ITEM(list, i); /* borrowed */
        /* Small ints and floats, the most common items, come in runs. */
        if (starts_leaf_run(item) && b->cap - b->len >= fixed_width(TAG_FLOAT)) {
            i = write_leaf_run(b, ((PyListObject *)list)->ob_item, i, n < now ? n : now) - 1;
            continue;
        }
        if (Py_IS_TYPE(item, &PyLong_Type)) {
            if (!serialize_int(b, item))
                return 0;
            continue;
        }
        if (!serialize_item(b, ds, item))
            return 0;
    }
    return 1;
}

int
serialize_list(Buf *b, DedupState *ds, PyObject *list)
{
    int seen = index_seen(b, ds, list);
    if (seen >= 0)
        return seen;
    if (!index_take(ds, list))
        return 0;
    Py_ssize_t n = PyList_GET_SIZE(list);
    if (!buf_u8(b, TAG_LIST_DEDUP) || !write_len(b, n))
        return 0;
    return serialize_list_items(b, ds, list, n);
}

int
serialize_tuple(Buf *b, DedupState *ds, PyObject *tuple)
{
    int seen = index_seen(b, ds, tuple);
    if (seen >= 0)
        return seen;
    Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    if (!buf_u8(b, TAG_TUPLE_DEDUP) || !write_len(b, n))
        return 0;
    /* A tuple owns its items and cannot change, so they stay borrowed. */
    for (Py_ssize_t i = 0; i < n; i++) {
        if (!serialize(b, ds, PyTuple_GET_ITEM(tuple, i)))
            return 0;
    }
    return index_take(ds, tuple);
}

/* Key/value pairs of a dict, in iteration order. */
[[nodiscard]] static int
serialize_dict_items(Buf *b, DedupState *ds, PyObject *d)
{
    Py_ssize_t n = PyDict_GET_SIZE(d);
    if (!write_len(b, n))
        return 0;
    if (n > 0 && ds->depth >= VELLUM_MAX_DEPTH)
        return serialize_depth_error();
    Py_ssize_t it = 0, written = 0;
    PyObject *key, *value; /* borrowed from the dict */
    while (PyDict_Next(d, &it, &key, &value)) {
        if (written == n)
            return size_changed("el dict");
        if (Py_IS_TYPE(key, &PyUnicode_Type)) {
            /* Writing the key runs no code: the value is still in d. */
            if (!serialize_str(b, ds, key) || !serialize_item(b, ds, value))
                return 0;
        }
        else {
            /* Both held across both writes, which can run code that
             * changes d. */
            Py_INCREF(key);
            Py_INCREF(value);
            int ok = serialize(b, ds, key) && serialize(b, ds, value);
            release_written(ds, key);
            release_written(ds, value);
            if (!ok)
                return 0;
        }
        written++;
        if (PyDict_GET_SIZE(d) != n)
            return size_changed("el dict");
    }
    if (written != n)
        return size_changed("el dict");
    return 1;
}

int
serialize_dict_deduped(Buf *b, DedupState *ds, PyObject *d)
{
    int seen = index_seen(b, ds, d);
    if (seen >= 0)
        return seen;
    return index_take(ds, d) && buf_u8(b, TAG_DICT_DEDUP) && serialize_dict_items(b, ds, d);
}

int
serialize_dict(Buf *b, DedupState *ds, PyObject *d)
{
    return buf_u8(b, TAG_DICT) && serialize_dict_items(b, ds, d);
}

/* Writes the items of a set or frozenset ordered by (repr(item), item), so
 * that equal sets give equal streams. */
[[nodiscard]] static int
serialize_set_items(Buf *b, DedupState *ds, PyObject *s, uint8_t tag)
{
    Ref items = Ref::steal(PySequence_List(s));
    if (!items)
        return 0;
    Py_ssize_t n = PyList_GET_SIZE(items.get());
    Ref pairs = Ref::steal(PyList_New(n));
    if (!pairs)
        return 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *item = PyList_GET_ITEM(items.get(), i); /* borrowed */
        PyObject *r = PyObject_Repr(item);
        if (r == NULL)
            return 0;
        PyObject *pair = PyTuple_Pack(2, r, item);
        Py_DECREF(r);
        if (pair == NULL)
            return 0;
        PyList_SET_ITEM(pairs.get(), i, pair); /* steals pair */
    }
    if (PyList_Sort(pairs.get()) < 0)
        return 0;
    if (!buf_u8(b, tag) || !write_len(b, n))
        return 0;
    /* The pairs list owns the items while they are written, and may be the
     * last to own them when code run meanwhile changed s. */
    int ok = 1;
    for (Py_ssize_t i = 0; ok && i < n; i++) {
        PyObject *pair = PyList_GET_ITEM(pairs.get(), i);
        ok = serialize(b, ds, PyTuple_GET_ITEM(pair, 1));
    }
    hold_registered(ds);
    return ok;
}

int
serialize_set(Buf *b, DedupState *ds, PyObject *s)
{
    return serialize_set_items(b, ds, s, TAG_SET);
}

int
serialize_frozenset(Buf *b, DedupState *ds, PyObject *s)
{
    int seen = index_seen(b, ds, s);
    if (seen >= 0)
        return seen;
    return serialize_set_items(b, ds, s, TAG_FROZENSET_DEDUP) && index_take(ds, s);
}

int
serialize_generator(Buf *b, DedupState *ds, PyObject *gen)
{
    Ref items = Ref::steal(PySequence_List(gen));
    if (!items)
        return 0;
    Py_ssize_t n = PyList_GET_SIZE(items.get());
    int ok = buf_u8(b, TAG_LIST) && write_len(b, n) &&
             serialize_list_items(b, ds, items.get(), n);
    hold_registered(ds); /* the items go with the list */
    return ok;
}

int
serialize_dict_view(Buf *b, DedupState *ds, PyObject *view)
{
    uint8_t tag = PyDictKeys_Check(view)     ? TAG_DICT_KEYS
                  : PyDictValues_Check(view) ? TAG_DICT_VALUES
                                             : TAG_DICT_ITEMS;
    Ref items = Ref::steal(PySequence_List(view));
    return items && buf_u8(b, tag) && serialize_owned(b, ds, items.get());
}

static int
is_dropped_proxy_key(PyObject *key)
{
    return PyUnicode_Check(key) &&
           (PyUnicode_CompareWithASCIIString(key, "__dict__") == 0 ||
            PyUnicode_CompareWithASCIIString(key, "__weakref__") == 0);
}

int
serialize_mappingproxy(Buf *b, DedupState *ds, PyObject *proxy)
{
    Ref d = Ref::steal(PyDict_New());
    if (!d)
        return 0;
    Ref items = Ref::steal(PyMapping_Items(proxy));
    if (!items)
        return 0;
    Py_ssize_t n = PyList_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *pair = PyList_GET_ITEM(items.get(), i); /* borrowed */
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
            PyErr_SetString(PyExc_TypeError, "items() de mappingproxy no da pares");
            return 0;
        }
        PyObject *key = PyTuple_GET_ITEM(pair, 0);
        if (is_dropped_proxy_key(key))
            continue;
        if (PyDict_SetItem(d.get(), key, PyTuple_GET_ITEM(pair, 1)) < 0)
            return 0;
    }
    if (!buf_u8(b, TAG_MAPPINGPROXY))
        return 0;
    /* The body counts one level, as it does for the reader. */
    if (ds->depth >= VELLUM_MAX_DEPTH)
        return serialize_depth_error();
    ++ds->depth;
    int ok = serialize_dict(b, ds, d.get());
    --ds->depth;
    hold_registered(ds);
    return ok;
}

int
serialize_array(Buf *b, DedupState *ds, PyObject *arr)
{
    Ref typecode = Ref::steal(PyObject_GetAttrString(arr, "typecode"));
    if (!typecode)
        return 0;
    Ref ascii = Ref::steal(PyUnicode_AsASCIIString(typecode.get()));
    if (!ascii)
        return 0;
    Ref raw = Ref::steal(PyObject_CallMethod(arr, "tobytes", NULL));
    if (!raw)
        return 0;
    if (!PyBytes_Check(raw.get())) {
        PyErr_SetString(PyExc_TypeError, "array.tobytes() no devolvió bytes");
        return 0;
    }
    if (!buf_u8(b, TAG_ARRAY))
        return 0;
    int ok = write_dedup_typed(b, ds, typecode.get(), TAG_STR,
                               (const unsigned char *)PyBytes_AS_STRING(ascii.get()),
                               PyBytes_GET_SIZE(ascii.get()));
    hold_registered(ds); /* before the type code can go */
    if (!ok)
        return 0;
    Py_ssize_t n = PyBytes_GET_SIZE(raw.get());
    return write_len(b, n) && buf_raw(b, PyBytes_AS_STRING(raw.get()), n);
}

/* ---- readers ----------------------------------------------------------- */

/* A count from the stream sizes nothing by itself: every item takes at
 * least one byte, so no more than the remaining input is reserved. */
static inline Py_ssize_t
reserve_for(Py_ssize_t n, Py_ssize_t size, Py_ssize_t pos)
{
    Py_ssize_t left = size - pos;
    return n < left ? n : left;
}

/* A list with room for k items and size 0, filled by list_append_reserved. */
static PyObject *
new_list_reserved(Py_ssize_t k)
{
    PyObject *list = PyList_New(k);
    if (list != NULL)
        Py_SET_SIZE(list, 0);
    return list;
}

/* Appends item, stealing the reference; 1 or 0 with an exception set. */
static inline int
list_append_reserved(PyObject *list, PyObject *item)
{
    Py_ssize_t n = PyList_GET_SIZE(list);
    if (n < ((PyListObject *)list)->allocated) {
        PyList_SET_ITEM(list, n, item); /* steals item */
        Py_SET_SIZE(list, n + 1);
        return 1;
    }
    int rc = PyList_Append(list, item);
    Py_DECREF(item);
    return rc == 0;
}

/* ---- shapes of tuples and frozensets ------------------------------------ */

#define SHAPE_SIZE_MAX ((uint64_t)1 << 62) /* sizes saturate here */

static inline size_t
shape_slot(const Load *ld, PyObject *obj)
{
    uintptr_t h = ((uintptr_t)obj >> 4) * (uintptr_t)0x9E3779B97F4A7C15ull;
    return (size_t)(h >> 7) & (size_t)(ld->shape_cap - 1);
}

static const Shape *
shape_find(const Load *ld, PyObject *obj)
{
    if (ld->shapes == NULL)
        return NULL;
    for (size_t i = shape_slot(ld, obj);; i = (i + 1) & (size_t)(ld->shape_cap - 1)) {
        const Shape *e = &ld->shapes[i];
        if (e->obj == obj)
            return e;
        if (e->obj == NULL)
            return NULL;
    }
}

[[nodiscard]] static int
shape_record(Load *ld, PyObject *obj, uint32_t depth, uint64_t size)
{
    if (2 * (ld->shape_count + 1) > ld->shape_cap) {
        Py_ssize_t cap = ld->shape_cap ? 2 * ld->shape_cap : 64;
        Shape *old = ld->shapes;
        Py_ssize_t old_cap = ld->shape_cap;
        Shape *nt = (Shape *)PyMem_Calloc((size_t)cap, sizeof(Shape));
        if (nt == NULL) {
            PyErr_NoMemory();
            return 0;
        }
        ld->shapes = nt;
        ld->shape_cap = cap;
        for (Py_ssize_t i = 0; i < old_cap; i++) {
            if (old[i].obj == NULL)
                continue;
            size_t j = shape_slot(ld, old[i].obj);
            while (nt[j].obj != NULL)
                j = (j + 1) & (size_t)(cap - 1);
            nt[j] = old[i];
        }
        PyMem_Free(old);
    }
    size_t i = shape_slot(ld, obj);
    while (ld->shapes[i].obj != NULL)
        i = (i + 1) & (size_t)(ld->shape_cap - 1);
    ld->shapes[i].obj = Py_NewRef(obj);
    ld->shapes[i].depth = depth;
    ld->shapes[i].size = size;
    ld->shape_count++;
    return 1;
}

/* Whether tp is frozenset or a subclass, asked without a call for the
 * frequent items: a type of int, str, bytes, list or dict layout or float
 * cannot derive from frozenset as well. */
static inline int
maybe_frozenset(PyTypeObject *tp)
{
    if (tp == &PyFrozenSet_Type)
        return 1;
    if (tp == &PyFloat_Type || (tp->tp_flags & (Py_TPFLAGS_LONG_SUBCLASS | Py_TPFLAGS_UNICODE_SUBCLASS |
                                                 Py_TPFLAGS_BYTES_SUBCLASS | Py_TPFLAGS_LIST_SUBCLASS |
                                                 Py_TPFLAGS_DICT_SUBCLASS)))
        return 0;
    return PyType_IsSubtype(tp, &PyFrozenSet_Type);
}

/* Depth (1 + the deepest tuple or frozenset item) and size (1 + the sizes of
 * the items, each item counted as often as it occurs) of one item.  A tuple
 * or frozenset the load did not record holds none. */
static inline void
item_shape(const Load *ld, PyObject *item, uint32_t *depth, uint64_t *size)
{
    if (!PyTuple_Check(item) && !maybe_frozenset(Py_TYPE(item))) {
        *depth = 0;
        *size = 1;
        return;
    }
    const Shape *e = shape_find(ld, item);
    if (e != NULL) {
        *depth = e->depth;
        *size = e->size;
    }
    else {
        *depth = 1;
        *size = 1 + (uint64_t)Py_SIZE(item);
    }
}

/* The shape of a tuple or frozenset that holds a tuple or frozenset. */
[[nodiscard]] Py_NO_INLINE static int
shape_built_nested(Load *ld, PyObject *obj, PyObject *const *items, Py_ssize_t n)
{
    uint32_t depth = 1;
    uint64_t size = 1;
    int nested = 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        uint32_t d;
        uint64_t k;
        item_shape(ld, items[i], &d, &k);
        if (d == 0) {
            size += 1;
            continue;
        }
        nested = 1;
        if (d + 1 > depth)
            depth = d + 1;
        size = k >= SHAPE_SIZE_MAX - size ? SHAPE_SIZE_MAX : size + k;
    }
    if (size > SHAPE_SIZE_MAX)
        size = SHAPE_SIZE_MAX;
    if (!nested)
        return 1;
    if (depth > VELLUM_SHAPE_DEPTH_MAX) {
        char msg[160];
        snprintf(msg, sizeof msg,
                 "%s anidado a más de %d niveles: se rechaza antes de que un hash "
                 "o una comparación lo recorra",
                 PyTuple_Check(obj) ? "tuple" : "frozenset", VELLUM_SHAPE_DEPTH_MAX);
        PyErr_SetString(PyExc_ValueError, msg);
        return 0;
    }
    return shape_record(ld, obj, depth, size);
}

/* Records the shape of a tuple or frozenset built from items[0..n) and
 * refuses one nested too deep.  Flat ones cost nothing but the scan. */
[[nodiscard]] static inline int
shape_built(Load *ld, PyObject *obj, PyObject *const *items, Py_ssize_t n)
{
    for (Py_ssize_t i = 0; i < n; i++) {
        PyTypeObject *tp = Py_TYPE(items[i]);
        if ((tp->tp_flags & Py_TPFLAGS_TUPLE_SUBCLASS) || maybe_frozenset(tp))
            return shape_built_nested(ld, obj, items, n);
    }
    return 1;
}

/* Whether key may be hashed and compared as a set item or dict key. */
[[nodiscard]] static inline int
key_fits(const Load *ld, PyObject *key)
{
    if (ld->shapes == NULL)
        return 1;
    const Shape *e = shape_find(ld, key);
    if (e == NULL || e->size <= ld->key_size_max)
        return 1;
    char msg[200];
    snprintf(msg, sizeof msg,
             "clave de %llu elementos contando repeticiones (límite %llu para este "
             "stream): hacer su hash o compararla no terminaría en un tiempo razonable",
             (unsigned long long)e->size, (unsigned long long)ld->key_size_max);
    PyErr_SetString(PyExc_ValueError, msg);
    return 0;
}

/* Every item of list fits as a set item. */
[[nodiscard]] static int
keys_fit(const Load *ld, PyObject *list)
{
    if (ld->shapes == NULL)
        return 1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
        if (!key_fits(ld, PyList_GET_ITEM(list, i)))
            return 0;
    }
    return 1;
}

[[nodiscard]] static int
read_items_into(READER_ARGS, PyObject *list, Py_ssize_t n)
{
    if (n > 0 && ld->depth >= VELLUM_MAX_DEPTH) {
        deserialize_depth_error();
        return 0;
    }
    /* Ints from 0 to 255 and references of one or two bytes to entries
     * already read run no code, so while they last the cursor and the
     * list's size stay in locals; both are stored back before any other
     * value is read, since reading it may run code that sees them.  Anything
     * else, a reference out of range or cut short included, takes the full
     * path and its message. */
    PyListObject *lo = (PyListObject *)list;
    Py_ssize_t p = *pos, len = Py_SIZE(list);
    for (Py_ssize_t i = 0; i < n; i++) {
        if (p < size && len < lo->allocated) {
            unsigned t = data[p];
            if (is_smallint_tag(t)) {
                lo->ob_item[len++] = byte_int(smallint_value(t));
                p += 1;
                continue;
            }
            if (t == TAG_UINT8 && size - p >= fixed_width(TAG_UINT8)) {
                lo->ob_item[len++] = byte_int(data[p + 1]);
                p += fixed_width(TAG_UINT8);
                continue;
            }
            if (t == TAG_REF8 || t == TAG_REF16) {
                Py_ssize_t q = p + 1;
                PyObject *entry = ref_entry_fast(ld, data, size, &q, t); /* borrowed */
                if (entry != NULL) {
                    lo->ob_item[len++] = Py_NewRef(entry);
                    p = q;
                    continue;
                }
            }
        }
        Py_SET_SIZE(list, len);
        *pos = p;
        PyObject *item = deserialize(ld, data, size, pos);
        if (item == NULL || !list_append_reserved(list, item))
            return 0;
        p = *pos;
        len = Py_SIZE(list);
    }
    Py_SET_SIZE(list, len);
    *pos = p;
    return 1;
}

/* n items into a new list that nothing else sees. */
static PyObject *
read_items(READER_ARGS, Py_ssize_t n)
{
    Ref list = Ref::steal(new_list_reserved(reserve_for(n, size, *pos)));
    if (!list || !read_items_into(ld, data, size, pos, list.get(), n))
        return NULL;
    return list.release();
}

/* A count, or -1 with eof_msg raised when it is cut short. */
static Py_ssize_t
read_count(READER_ARGS, const char *eof_msg)
{
    Py_ssize_t n = read_len(data, size, pos);
    if (n < 0)
        fail_value(eof_msg);
    return n;
}

PyObject *
deserialize_list_deduped(READER_ARGS)
{
    Py_ssize_t n = read_count(ld, data, size, pos, "EOF seq len");
    if (n < 0)
        return NULL;
    Ref list = Ref::steal(new_list_reserved(reserve_for(n, size, *pos)));
    if (!list || !read_table_push(ld, list.get()) ||
        !read_items_into(ld, data, size, pos, list.get(), n))
        return NULL;
    return list.release();
}

PyObject *
deserialize_tuple_deduped(READER_ARGS)
{
    Py_ssize_t n = read_count(ld, data, size, pos, "EOF seq len");
    if (n < 0)
        return NULL;
    Ref tuple;
    if (n <= size - *pos) {
        tuple = Ref::steal(PyTuple_New(n));
        if (!tuple)
            return NULL;
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject *item = deserialize(ld, data, size, pos);
            if (item == NULL)
                return NULL;
            PyTuple_SET_ITEM(tuple.get(), i, item); /* steals item */
        }
    }
    else {
        /* More items than bytes left: reading them fails where the input
         * ends, with the message of whatever is cut short. */
        Ref list = Ref::steal(read_items(ld, data, size, pos, n));
        if (!list)
            return NULL;
        tuple = Ref::steal(PyList_AsTuple(list.get()));
        if (!tuple)
            return NULL;
    }
    if (!shape_built(ld, tuple.get(), ((PyTupleObject *)tuple.get())->ob_item,
                     PyTuple_GET_SIZE(tuple.get())) ||
        !read_table_push(ld, tuple.get()))
        return NULL;
    return tuple.release();
}

PyObject *
deserialize_frozenset_deduped(READER_ARGS)
{
    Py_ssize_t n = read_count(ld, data, size, pos, "EOF seq len");
    if (n < 0)
        return NULL;
    Ref list = Ref::steal(read_items(ld, data, size, pos, n));
    if (!list || !keys_fit(ld, list.get()))
        return NULL;
    Ref fs = Ref::steal(PyFrozenSet_New(list.get()));
    if (!fs ||
        !shape_built(ld, fs.get(), ((PyListObject *)list.get())->ob_item, PyList_GET_SIZE(list.get())) ||
        !read_table_push(ld, fs.get()))
        return NULL;
    return fs.release();
}

PyObject *
deserialize_seq(READER_ARGS, uint8_t tag)
{
    Py_ssize_t n = read_count(ld, data, size, pos, "EOF seq len");
    if (n < 0)
        return NULL;
    Ref list = Ref::steal(read_items(ld, data, size, pos, n));
    if (!list)
        return NULL;
    if (tag == TAG_LIST)
        return list.release();
    if (tag != TAG_TUPLE && !keys_fit(ld, list.get()))
        return NULL;
    Ref built = Ref::steal(tag == TAG_TUPLE ? PyList_AsTuple(list.get())
                           : tag == TAG_SET ? PySet_New(list.get())
                                            : PyFrozenSet_New(list.get()));
    if (!built || (tag != TAG_SET &&
                   !shape_built(ld, built.get(), ((PyListObject *)list.get())->ob_item,
                                PyList_GET_SIZE(list.get()))))
        return NULL;
    return built.release();
}

[[nodiscard]] static int
read_dict_items(READER_ARGS, PyObject *d, Py_ssize_t n)
{
    for (Py_ssize_t i = 0; i < n; i++) {
        Ref key = Ref::steal(deserialize(ld, data, size, pos));
        if (!key || !key_fits(ld, key.get()))
            return 0;
        Ref value = Ref::steal(deserialize(ld, data, size, pos));
        if (!value || PyDict_SetItem(d, key.get(), value.get()) < 0)
            return 0;
    }
    return 1;
}

PyObject *
deserialize_dict_deduped(READER_ARGS)
{
    Py_ssize_t n = read_count(ld, data, size, pos, "EOF dict len");
    if (n < 0)
        return NULL;
    Ref d = Ref::steal(PyDict_New());
    if (!d || !read_table_push(ld, d.get()) || !read_dict_items(ld, data, size, pos, d.get(), n))
        return NULL;
    return d.release();
}

/* A plain dict; presized for the attribute dict of an instance, a
 * temporary whose pairs go on to the instance, so that growing it one
 * resize at a time would be work thrown away.  The room reserved is bounded
 * by the input, two bytes at least a pair. */
static PyObject *
read_dict(READER_ARGS, bool presized)
{
    Py_ssize_t n = read_count(ld, data, size, pos, "EOF dict len");
    if (n < 0)
        return NULL;
    Py_ssize_t room = (size - *pos) / 2;
    Ref d = Ref::steal(presized ? compat_dict_presized(n < room ? n : room) : PyDict_New());
    if (!d || !read_dict_items(ld, data, size, pos, d.get(), n))
        return NULL;
    return d.release();
}

PyObject *
deserialize_dict(READER_ARGS)
{
    return read_dict(ld, data, size, pos, false);
}

PyObject *
deserialize_attr_dict(READER_ARGS)
{
    return read_dict(ld, data, size, pos, true);
}

PyObject *
deserialize_mappingproxy(READER_ARGS)
{
    Ref mapping = Ref::steal(deserialize(ld, data, size, pos));
    if (!mapping)
        return NULL;
    return PyDictProxy_New(mapping.get());
}

PyObject *
deserialize_array(READER_ARGS)
{
    Ref typecode = Ref::steal(read_str_any(ld, data, size, pos));
    if (!typecode)
        return NULL;
    Py_ssize_t n = read_len(data, size, pos);
    if (n < 0)
        return fail_value("EOF 0x2E array len");
    if (size - *pos < n)
        return fail_value("0x2E array overflow");
    PyObject *array_mod = get_array_module(); /* borrowed, kept for the process */
    Ref arr = Ref::steal(call_method_one(array_mod, "array", typecode.get()));
    if (!arr)
        return NULL;
    Ref raw = Ref::steal(PyBytes_FromStringAndSize((const char *)data + *pos, n));
    if (!raw)
        return NULL;
    Ref rc = Ref::steal(call_method_one(arr.get(), "frombytes", raw.get()));
    if (!rc)
        return NULL;
    *pos += n;
    return arr.release();
}
