/* Classes, instances and reduce: class headers, callable references, the
 * instance tags with a __dict__ or with slots, objects rebuilt through their
 * own __reduce__ or through the whole reduce protocol in pickle's order,
 * classes as values, objects and modules by module and qualified name, and
 * the resolution of classes and callables on load (an already-imported
 * module first, the carried source otherwise; what is given by name is
 * imported by a trusted load).  Touches the process-wide class_header_cache
 * and cls_cache, keeps copyreg's dispatch table and new-object callables
 * from initialisation, and keeps the classes resolved during one load so
 * that repeated headers resolve once. */
#include "vellum.h"

#include <datetime.h>

static PyObject *str_reduce;   /* "__reduce__", interned for the process */
static PyObject *str_dict;     /* "__dict__" */
static PyObject *str_class;    /* "__class__" */
static PyObject *str_slots;    /* "__slots__" */
static PyObject *str_weakref;  /* "__weakref__" */
static PyObject *str_name;     /* "__name__" */
static PyObject *str_qualname; /* "__qualname__" */
static PyObject *str_module;   /* "__module__" */
static PyObject *str_new;      /* "__new__" */
static PyObject *str_setstate; /* "__setstate__" */
static PyObject *str_empty;    /* "" */
static PyObject *str_dot;      /* "." */
static PyObject *str_reduce_ex; /* "__reduce_ex__" */
static PyObject *str_getstate; /* "__getstate__" */
static PyObject *str_objclass; /* "__objclass__" */
static PyObject *str_builtins; /* "builtins" */
static PyObject *str_types;    /* "types" */
/* copyreg's dispatch table and the two callables that stand for "a new
 * instance of this class", kept from initialisation. */
static PyObject *copyreg_table;
static PyObject *copyreg_newobj;
static PyObject *copyreg_newobj_ex;

int
objects_init(void)
{
    struct {
        PyObject **slot;
        const char *text;
    } names[] = {
        {&str_reduce, "__reduce__"}, {&str_dict, "__dict__"},
        {&str_class, "__class__"},   {&str_slots, "__slots__"},
        {&str_weakref, "__weakref__"}, {&str_name, "__name__"},
        {&str_qualname, "__qualname__"}, {&str_module, "__module__"},
        {&str_new, "__new__"},       {&str_setstate, "__setstate__"},
        {&str_empty, ""},            {&str_dot, "."},
        {&str_reduce_ex, "__reduce_ex__"}, {&str_getstate, "__getstate__"},
        {&str_objclass, "__objclass__"}, {&str_builtins, "builtins"},
        {&str_types, "types"},
    };
    for (auto &n : names) {
        *n.slot = PyUnicode_InternFromString(n.text);
        if (*n.slot == NULL)
            return 0;
    }
    /* The interpreter imports copyreg at start-up. */
    Ref copyreg = Ref::steal(PyImport_ImportModule("copyreg"));
    if (!copyreg)
        return 0;
    copyreg_table = PyObject_GetAttrString(copyreg.get(), "dispatch_table");
    copyreg_newobj = PyObject_GetAttrString(copyreg.get(), "__newobj__");
    copyreg_newobj_ex = PyObject_GetAttrString(copyreg.get(), "__newobj_ex__");
    return copyreg_table != NULL && PyDict_Check(copyreg_table) && copyreg_newobj != NULL &&
           copyreg_newobj_ex != NULL;
}

/* An attribute, or null with no exception set when the lookup fails in any
 * way; a missing attribute costs no exception object. */
static PyObject *
attr_or_null(PyObject *obj, PyObject *name)
{
    PyObject *value;
    if (compat_lookup_attr(obj, name, &value) < 0)
        PyErr_Clear();
    return value;
}

[[nodiscard]] static int
unsupported(PyObject *obj)
{
    PyErr_Format(PyExc_TypeError, "Tipo no soportado: %R", (PyObject *)Py_TYPE(obj));
    return 0;
}

/* A name or module field: a str written as a content block.  The str may
 * come from an attribute lookup and be dropped by the caller. */
[[nodiscard]] int
write_str_field(Buf *b, DedupState *ds, PyObject *s)
{
    Py_ssize_t n;
    const char *d = PyUnicode_AsUTF8AndSize(s, &n);
    if (d == NULL)
        return 0;
    int ok = write_dedup_typed(b, ds, s, TAG_STR, (const unsigned char *)d, n);
    hold_registered(ds);
    return ok;
}

/* serialize_dict for a dict that the caller drops afterwards, as
 * serialize_owned does for any value. */
[[nodiscard]] static int
serialize_dict_owned(Buf *b, DedupState *ds, PyObject *d)
{
    int ok = serialize_dict(b, ds, d);
    hold_registered(ds);
    return ok;
}

[[nodiscard]] static int write_named(Buf *b, DedupState *ds, PyObject *obj, PyObject *name);

/* ---- class headers: writing -------------------------------------------- */

/* A per-call dict of ds keyed by class, created on first use (borrowed), or
 * null with an exception.  Null without one for a class whose metatype
 * hashes it by anything but identity: looking it up could run code, and it
 * is then simply not remembered. */
static PyObject *
call_dict(PyObject **slot, PyObject *cls)
{
    if (Py_TYPE(cls)->tp_hash != PyType_Type.tp_hash)
        return NULL;
    if (*slot == NULL)
        *slot = PyDict_New();
    return *slot;
}

/* The class's source payload from class_header_cache, captured and stored
 * there on the first header of the class in the process: a new reference
 * to the tuple (content tag, payload, weak reference). */
static PyObject *
class_payload(PyObject *cls)
{
    Ref key = Ref::steal(address_key(cls));
    if (!key)
        return NULL;
    PyObject *entry = cache_entry_for(class_header_cache, key.get(), cls);
    if (entry != NULL)
        return entry;
    PyErr_Clear(); /* the lookup raises nothing */

    Ref src = Ref::steal(get_source(cls));
    if (!src)
        return NULL;
    Ref pair = Ref::steal(_compute_class_header_payload(
        src.get(), PyBytes_GET_SIZE(src.get()),
        (const unsigned char *)PyBytes_AS_STRING(src.get())));
    if (!pair)
        return NULL;
    Ref wr = Ref::steal(cache_watch(cls, key.get()));
    if (!wr)
        return NULL;
    Ref value = Ref::steal(PyTuple_Pack(3, PyTuple_GET_ITEM(pair.get(), 0),
                                        PyTuple_GET_ITEM(pair.get(), 1), wr.get()));
    if (!value || PyDict_SetItem(class_header_cache, key.get(), value.get()) < 0)
        return NULL;
    return value.release();
}

/* Source field.  After the first header of a class in a call, the field is
 * a reference to the index that header gave it: the same bytes that a
 * content lookup of the payload would write, without hashing the source. */
[[nodiscard]] static int
write_class_source(Buf *b, DedupState *ds, PyObject *cls)
{
    PyObject *known = call_dict(&ds->class_src, cls); /* borrowed */
    if (known == NULL && PyErr_Occurred())
        return 0;
    PyObject *idx_obj = known ? PyDict_GetItemWithError(known, cls) : NULL; /* borrowed */
    if (idx_obj != NULL)
        return write_ref(b, (int32_t)PyLong_AsLong(idx_obj));
    if (PyErr_Occurred())
        return 0;

    Ref entry = Ref::steal(class_payload(cls));
    if (!entry)
        return 0;
    uint8_t tag = (uint8_t)PyLong_AsLong(PyTuple_GET_ITEM(entry.get(), 0));
    PyObject *payload = PyTuple_GET_ITEM(entry.get(), 1); /* borrowed */
    int32_t idx = write_dedup_index(b, ds, tag,
                                    (const unsigned char *)PyBytes_AS_STRING(payload),
                                    PyBytes_GET_SIZE(payload));
    if (idx < 0)
        return 0;
    if (known == NULL)
        return 1;
    Ref idx_ref = Ref::steal(PyLong_FromLong(idx));
    return idx_ref && PyDict_SetItem(known, cls, idx_ref.get()) == 0;
}

/* Name and source fields. */
[[nodiscard]] static int
write_class_header(Buf *b, DedupState *ds, PyObject *cls)
{
    Ref name = Ref::steal(PyObject_GetAttr(cls, str_name));
    return name && write_str_field(b, ds, name.get()) && write_class_source(b, ds, cls);
}

/* __module__ when it is a str, else the empty string; a new reference. */
static PyObject *
module_name_of(PyObject *obj)
{
    PyObject *mod = attr_or_null(obj, str_module);
    if (mod != NULL && PyUnicode_Check(mod))
        return mod;
    Py_XDECREF(mod);
    return Py_NewRef(str_empty);
}

int
write_class_header_v2(Buf *b, DedupState *ds, PyObject *cls)
{
    if (!write_class_header(b, ds, cls))
        return 0;
    Ref mod = Ref::steal(module_name_of(cls));
    return write_str_field(b, ds, mod.get());
}

/* ---- callable references: writing -------------------------------------- */

int
serialize_callable_ref_v2(Buf *b, DedupState *ds, PyObject *callable)
{
    int seen = index_seen(b, ds, callable, 0x00);
    if (seen >= 0)
        return seen;

    Ref qualname = Ref::steal(attr_or_null(callable, str_qualname));
    if (!qualname) {
        qualname = Ref::steal(attr_or_null(callable, str_name));
        if (!qualname) {
            PyErr_Format(PyExc_TypeError,
                         "__reduce__: el callable %R no tiene __qualname__ ni __name__",
                         callable);
            return 0;
        }
    }
    if (!PyUnicode_Check(qualname.get())) {
        PyErr_Format(PyExc_TypeError, "__reduce__: el nombre del callable %R no es str",
                     callable);
        return 0;
    }
    Ref mod = Ref::steal(module_name_of(callable));
    /* Without source it is found by module or among the builtins. */
    Ref src = Ref::steal(get_source_if_any(callable));

    if (!buf_u8(b, 0x01) || !write_str_field(b, ds, qualname.get()) ||
        !buf_u8(b, src ? 1 : 0))
        return 0;
    if (src && !write_dedup(b, ds, TAG_SRC_RAW,
                            (const unsigned char *)PyBytes_AS_STRING(src.get()),
                            PyBytes_GET_SIZE(src.get())))
        return 0;
    if (!write_str_field(b, ds, mod.get()))
        return 0;
    /* Held at once: the reduce tuple that holds it goes with the write. */
    int ok = index_take(ds, callable);
    hold_registered(ds);
    return ok;
}

/* ---- instances: writing ------------------------------------------------ */

/* Whether any class of the MRO declares slots that hold values (the
 * interpreter's own record, without __dict__ and __weakref__). */
static int
declares_value_slots(PyObject *cls)
{
    if (!PyType_Check(cls))
        return 0;
    PyObject *mro = ((PyTypeObject *)cls)->tp_mro; /* borrowed */
    if (mro == NULL)
        return 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); i++) {
        PyTypeObject *t = (PyTypeObject *)PyTuple_GET_ITEM(mro, i);
        if (!(t->tp_flags & Py_TPFLAGS_HEAPTYPE))
            continue;
        PyObject *slots = ((PyHeapTypeObject *)t)->ht_slots;
        if (slots != NULL && PyTuple_Check(slots) && PyTuple_GET_SIZE(slots) > 0)
            return 1;
    }
    return 0;
}

/* The attribute name under which a declared slot lives: a private name
 * (two leading underscores, not dunder) is mangled with the declaring
 * class's name, as the class statement stored it. */
static PyObject *
slot_attribute_name(PyObject *name, PyObject *owner)
{
    if (!PyUnicode_Check(name))
        return Py_NewRef(name);
    Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    if (n < 3 || PyUnicode_READ_CHAR(name, 0) != '_' || PyUnicode_READ_CHAR(name, 1) != '_' ||
        (PyUnicode_READ_CHAR(name, n - 1) == '_' && PyUnicode_READ_CHAR(name, n - 2) == '_') ||
        PyUnicode_FindChar(name, '.', 0, n, 1) >= 0)
        return Py_NewRef(name);
    Ref owner_name = Ref::steal(owner ? PyObject_GetAttr(owner, str_name) : NULL);
    if (!owner_name || !PyUnicode_Check(owner_name.get())) {
        PyErr_Clear();
        return Py_NewRef(name);
    }
    Py_ssize_t k = PyUnicode_GET_LENGTH(owner_name.get()), s = 0;
    while (s < k && PyUnicode_READ_CHAR(owner_name.get(), s) == '_')
        s++;
    if (s == k)
        return Py_NewRef(name);
    Ref stripped = Ref::steal(PyUnicode_Substring(owner_name.get(), s, k));
    if (!stripped)
        return NULL;
    return PyUnicode_FromFormat("_%U%U", stripped.get(), name);
}

/* The class in cls's MRO whose own namespace holds the __slots__ that an
 * attribute lookup on cls finds (borrowed), or null. */
static PyObject *
slots_owner(PyObject *cls)
{
    if (!PyType_Check(cls))
        return NULL;
    PyObject *mro = ((PyTypeObject *)cls)->tp_mro; /* borrowed */
    for (Py_ssize_t i = 0; mro != NULL && i < PyTuple_GET_SIZE(mro); i++) {
        PyObject *t = PyTuple_GET_ITEM(mro, i);
        Ref ns = Ref::steal(compat_type_dict((PyTypeObject *)t));
        if (ns && PyDict_GetItemWithError(ns.get(), str_slots) != NULL)
            return t;
        PyErr_Clear();
    }
    return NULL;
}

/* Appends the attribute names of one __slots__ value to names, skipping
 * __weakref__ and __dict__ (never user data) and names already there. */
[[nodiscard]] static int
collect_slot_names(PyObject *names, PyObject *slots, PyObject *owner)
{
    Ref items = Ref::steal(PyUnicode_Check(slots) ? PyTuple_Pack(1, slots)
                                                  : PySequence_Tuple(slots));
    if (!items)
        return 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); i++) {
        PyObject *declared = PyTuple_GET_ITEM(items.get(), i); /* borrowed */
        if (PyUnicode_Check(declared) &&
            (PyUnicode_Compare(declared, str_weakref) == 0 ||
             PyUnicode_Compare(declared, str_dict) == 0))
            continue;
        Ref attr = Ref::steal(slot_attribute_name(declared, owner));
        if (!attr)
            return 0;
        int present = PySequence_Contains(names, attr.get());
        if (present < 0) {
            PyErr_Clear(); /* an unhashable or odd name is kept as it is */
            present = 0;
        }
        if (!present && PyList_Append(names, attr.get()) < 0)
            return 0;
    }
    return 1;
}

/* Slot attribute names of cls in MRO order, each once; computed once per
 * class and call.  Borrowed from ds->slot_names. */
static PyObject *
slot_names_of(DedupState *ds, PyObject *cls)
{
    PyObject *known = call_dict(&ds->slot_names, cls); /* borrowed */
    if (known == NULL && PyErr_Occurred())
        return NULL;
    PyObject *cached = known ? PyDict_GetItemWithError(known, cls) : NULL; /* borrowed */
    if (cached != NULL || PyErr_Occurred())
        return cached;

    Ref mro = Ref::steal(PyObject_GetAttrString(cls, "__mro__"));
    if (!mro)
        return NULL;
    Ref classes = Ref::steal(PySequence_Tuple(mro.get()));
    Ref names = Ref::steal(PyList_New(0));
    if (!classes || !names)
        return NULL;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(classes.get()); i++) {
        PyObject *k = PyTuple_GET_ITEM(classes.get(), i); /* borrowed */
        Ref slots = Ref::steal(attr_or_null(k, str_slots));
        if (!slots)
            continue;
        if (!collect_slot_names(names.get(), slots.get(), slots_owner(k)))
            return NULL;
    }
    Ref tuple = Ref::steal(PyList_AsTuple(names.get()));
    if (!tuple)
        return NULL;
    if (known == NULL) {
        /* Not remembered: the names live as long as the call's retained list. */
        if (!retain(ds, tuple.get()))
            return NULL;
        return tuple.get();
    }
    if (PyDict_SetItem(known, cls, tuple.get()) < 0)
        return NULL;
    return tuple.get(); /* the dict keeps it alive */
}

/* Adds name -> value for every slot of obj that holds a value. */
[[nodiscard]] static int
read_slot_values(PyObject *obj, PyObject *names, PyObject *into)
{
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); i++) {
        PyObject *name = PyTuple_GET_ITEM(names, i); /* borrowed */
        Ref value = Ref::steal(attr_or_null(obj, name));
        if (!value)
            continue; /* a slot never assigned stays unassigned */
        if (PyDict_SetItem(into, name, value.get()) < 0)
            return 0;
    }
    return 1;
}

#define SLOTS_ON_STACK 16

int
serialize_slots(Buf *b, DedupState *ds, PyObject *obj, PyObject *cls)
{
    PyObject *names = slot_names_of(ds, cls); /* borrowed */
    if (names == NULL)
        return 0;
    Py_ssize_t n = PyTuple_GET_SIZE(names);
    if (n <= SLOTS_ON_STACK) {
        /* The names are distinct, so the pairs are those of the dict that
         * the values would make, in its order, written without making it. */
        PyObject *values[SLOTS_ON_STACK]; /* owned; null for an unset slot */
        Py_ssize_t set = 0;
        for (Py_ssize_t i = 0; i < n; i++) {
            values[i] = attr_or_null(obj, PyTuple_GET_ITEM(names, i));
            set += values[i] != NULL;
        }
        int ok = buf_u8(b, TAG_SLOTS_INSTANCE) && write_class_header_v2(b, ds, cls) &&
                 buf_u8(b, TAG_DICT) && write_len(b, set);
        for (Py_ssize_t i = 0; ok && i < n; i++) {
            ok = values[i] == NULL || (serialize(b, ds, PyTuple_GET_ITEM(names, i)) &&
                                       serialize(b, ds, values[i]));
        }
        /* The values may be new objects: what their writes registered is
         * held before they go. */
        hold_registered(ds);
        for (Py_ssize_t i = 0; i < n; i++)
            Py_XDECREF(values[i]);
        return ok;
    }
    Ref values = Ref::steal(PyDict_New());
    if (!values || !read_slot_values(obj, names, values.get()))
        return 0;
    return buf_u8(b, TAG_SLOTS_INSTANCE) && write_class_header_v2(b, ds, cls) &&
           serialize_dict_owned(b, ds, values.get());
}

/* An object with a __dict__.  When slots of its class hold values too, the
 * attributes of both go into a slots instance, whose reader assigns each
 * one; otherwise the __dict__ is written as it is. */
[[nodiscard]] static int
serialize_dict_instance(Buf *b, DedupState *ds, PyObject *obj, PyObject *dict)
{
    Ref cls = Ref::steal(PyObject_GetAttr(obj, str_class));
    if (!cls)
        return 0;
    if (declares_value_slots(cls.get())) {
        PyObject *names = slot_names_of(ds, cls.get()); /* borrowed */
        Ref slotted = Ref::steal(PyDict_New());
        if (names == NULL || !slotted || !read_slot_values(obj, names, slotted.get()))
            return 0;
        if (PyDict_GET_SIZE(slotted.get()) > 0) {
            Ref values = Ref::steal(PyDict_Copy(dict));
            return values && PyDict_Update(values.get(), slotted.get()) == 0 &&
                   buf_u8(b, TAG_SLOTS_INSTANCE) &&
                   write_class_header_v2(b, ds, cls.get()) &&
                   serialize_dict_owned(b, ds, values.get());
        }
    }
    /* dict may be a new object too: a __getattr__ can make it. */
    return buf_u8(b, TAG_INSTANCE) && write_class_header_v2(b, ds, cls.get()) &&
           serialize_dict_owned(b, ds, dict);
}

int
serialize_instance(Buf *b, DedupState *ds, PyObject *obj)
{
    Ref dict = Ref::steal(attr_or_null(obj, str_dict));
    if (dict) {
        /* A class used as a value has a read-only mapping as its __dict__,
         * and the stream has no encoding for it. */
        if (!PyDict_Check(dict.get()))
            return unsupported(obj);
        return serialize_dict_instance(b, ds, obj, dict.get());
    }
    Ref cls = Ref::steal(attr_or_null(obj, str_class));
    if (!cls)
        return unsupported(obj);
    Ref slots = Ref::steal(attr_or_null(cls.get(), str_slots));
    if (!slots)
        return unsupported(obj);
    return serialize_slots(b, ds, obj, cls.get());
}

/* ---- reduce: writing --------------------------------------------------- */

/* Whether the metatype leaves a class's __dict__ attribute to type itself,
 * so that the namespace can be read directly. */
static int
plain_metatype(PyTypeObject *meta)
{
    if (meta == &PyType_Type)
        return 1;
    PyObject *mro = meta->tp_mro; /* borrowed */
    for (Py_ssize_t i = 0; mro != NULL && i < PyTuple_GET_SIZE(mro); i++) {
        PyTypeObject *m = (PyTypeObject *)PyTuple_GET_ITEM(mro, i);
        if (m == &PyType_Type)
            return 1;
        Ref ns = Ref::steal(compat_type_dict(m));
        if (!ns || PyDict_GetItemWithError(ns.get(), str_dict) != NULL) {
            PyErr_Clear();
            return 0;
        }
    }
    return 1;
}

/* "__reduce__" in one class's own namespace: 1, 0. */
static int
namespace_has_reduce(PyObject *cls)
{
    if (plain_metatype(Py_TYPE(cls))) {
        Ref ns = Ref::steal(compat_type_dict((PyTypeObject *)cls));
        if (!ns)
            return 0;
        int found = PyDict_GetItemWithError(ns.get(), str_reduce) != NULL;
        PyErr_Clear();
        return found;
    }
    Ref ns = Ref::steal(PyObject_GetAttr(cls, str_dict));
    if (!ns) {
        PyErr_Clear();
        return 0;
    }
    Ref item = Ref::steal(PyObject_GetItem(ns.get(), str_reduce));
    if (!item)
        PyErr_Clear();
    return item ? 1 : 0;
}

int
has_custom_reduce(PyTypeObject *tp)
{
    Ref mro = Ref::borrow(tp->tp_mro);
    if (!mro || !PyTuple_Check(mro.get()))
        return 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); i++) {
        PyObject *cls = PyTuple_GET_ITEM(mro.get(), i); /* borrowed */
        if (cls == (PyObject *)&PyBaseObject_Type)
            return 0;
        if (namespace_has_reduce(cls))
            return 1;
    }
    return 0;
}

/* Dict items of a reduce tuple as a new dict; a later equal key wins. */
static PyObject *
reduce_dict_items(PyObject *items)
{
    Ref d = Ref::steal(PyDict_New());
    Ref it = Ref::steal(PyObject_GetIter(items));
    if (!d || !it)
        return NULL;
    for (;;) {
        Ref pair = Ref::steal(PyIter_Next(it.get()));
        if (!pair)
            break;
        if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
            PyErr_SetString(PyExc_TypeError,
                            "__reduce__ dict_items: cada elemento debe ser (key, value)");
            return NULL;
        }
        if (PyDict_SetItem(d.get(), PyTuple_GET_ITEM(pair.get(), 0),
                           PyTuple_GET_ITEM(pair.get(), 1)) < 0)
            return NULL;
    }
    if (PyErr_Occurred())
        return NULL;
    return d.release();
}

/* Writes a container made for this write (a new reference, or null). */
[[nodiscard]] static int
serialize_made(Buf *b, DedupState *ds, PyObject *made)
{
    Ref owned = Ref::steal(made);
    return owned && serialize_owned(b, ds, owned.get());
}

/* datetime.date itself (a static type, whose __reduce__ no one can replace)
 * reduces to (date, (its 4 state bytes,)). */
static PyTypeObject *date_type_cached = NULL;

static int
is_exact_date(PyTypeObject *tp)
{
    if (date_type_cached == NULL) {
        if ((tp->tp_flags & Py_TPFLAGS_HEAPTYPE) || strcmp(tp->tp_name, "datetime.date") != 0)
            return 0;
        /* The module is imported: one of its dates is being written. */
        auto *api = (PyDateTime_CAPI *)PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0);
        if (api == NULL) {
            PyErr_Clear();
            return 0;
        }
        date_type_cached = api->DateType;
    }
    return tp == date_type_cached;
}

/* The bytes that the reduce of an exact date writes, from its fields: no
 * call, tuple or state object.  The arguments tuple would be new and held
 * by nothing else, so it takes its index and no identity entry. */
[[nodiscard]] static int
serialize_date(Buf *b, DedupState *ds, PyObject *obj)
{
    const unsigned char *state = ((PyDateTime_Date *)obj)->data;
    if (!buf_u8(b, TAG_REDUCE) ||
        !serialize_callable_ref_v2(b, ds, (PyObject *)Py_TYPE(obj)))
        return 0;
    /* The tuple and its item would each take a level. */
    if (ds->depth + 1 >= VELLUM_MAX_DEPTH)
        return serialize_depth_error();
    if (!buf_u8_2(b, TAG_TUPLE_DEDUP, 1) ||
        !write_bytes_content(b, ds, state, _PyDateTime_DATE_DATASIZE))
        return 0;
    return index_take(ds, NULL) && buf_u8(b, 0);
}

int
serialize_via_reduce(Buf *b, DedupState *ds, PyObject *obj)
{
    if (is_exact_date(Py_TYPE(obj)))
        return serialize_date(b, ds, obj);
    Ref rv = Ref::steal(PyObject_CallMethodNoArgs(obj, str_reduce));
    if (!rv)
        return 0;
    if (PyUnicode_Check(rv.get()))
        return write_named(b, ds, obj, rv.get());
    if (!PyTuple_Check(rv.get()) || PyTuple_GET_SIZE(rv.get()) < 2 ||
        PyTuple_GET_SIZE(rv.get()) > 5) {
        PyErr_SetString(PyExc_TypeError,
                        "__reduce__ debe devolver una tupla de 2 a 5 elementos");
        return 0;
    }
    Py_ssize_t n = PyTuple_GET_SIZE(rv.get());
    PyObject *callable = PyTuple_GET_ITEM(rv.get(), 0); /* borrowed from rv */
    PyObject *args = PyTuple_GET_ITEM(rv.get(), 1);
    PyObject *state = n > 2 ? PyTuple_GET_ITEM(rv.get(), 2) : Py_None;
    PyObject *list_items = n > 3 ? PyTuple_GET_ITEM(rv.get(), 3) : Py_None;
    PyObject *dict_items = n > 4 ? PyTuple_GET_ITEM(rv.get(), 4) : Py_None;
    if (!PyTuple_Check(args)) {
        PyErr_SetString(PyExc_TypeError, "__reduce__: args debe ser una tupla");
        return 0;
    }
    uint8_t flags = (uint8_t)((state != Py_None ? 1 : 0) | (list_items != Py_None ? 2 : 0) |
                              (dict_items != Py_None ? 4 : 0));
    /* What rv holds goes with it: each part is written as a value the
     * function owns. */
    if (!buf_u8(b, TAG_REDUCE) || !serialize_callable_ref_v2(b, ds, callable) ||
        !serialize_owned(b, ds, args) || !buf_u8(b, flags))
        return 0;
    if (state != Py_None && !serialize_owned(b, ds, state))
        return 0;
    if (list_items != Py_None && !serialize_made(b, ds, PySequence_List(list_items)))
        return 0;
    if (dict_items != Py_None && !serialize_made(b, ds, reduce_dict_items(dict_items)))
        return 0;
    return 1;
}

/* ---- resolution on load ------------------------------------------------ */

/* The module named by a header or reference when it is already imported
 * (new reference); null, with no exception, for an empty or unusable name
 * or a module the program has not imported. */
static PyObject *
imported_module(PyObject *module_str)
{
    const char *m = PyUnicode_AsUTF8(module_str);
    PyObject *mod = m != NULL && m[0] != '\0' ? PyImport_GetModule(module_str) : NULL;
    if (mod == NULL)
        PyErr_Clear();
    return mod;
}

PyObject *
resolve_class_by_module(PyObject *name_str, PyObject *module_str)
{
    Ref mod = Ref::steal(imported_module(module_str));
    if (!mod)
        return NULL;
    Ref attr = Ref::steal(PyObject_GetAttr(mod.get(), name_str));
    if (!attr) {
        PyErr_Clear();
        return NULL;
    }
    return PyType_Check(attr.get()) ? attr.release() : NULL;
}

/* Name lookup in an executed namespace that raises nothing. */
static PyObject *
namespace_get(PyObject *ns, PyObject *name)
{
    PyObject *found;
    if (compat_dict_get_item_ref(ns, name, &found) < 0)
        PyErr_Clear();
    return found;
}

PyObject *
read_class_direct(PyObject *name_str, PyObject *src_bytes)
{
    Ref key = Ref::steal(PyTuple_Pack(2, name_str, src_bytes));
    if (!key)
        PyErr_Clear();
    if (key) {
        PyObject *cls;
        int found = compat_dict_get_item_ref(cls_cache, key.get(), &cls);
        if (found > 0)
            return cls;
        if (found < 0)
            PyErr_Clear();
    }
    Ref ns = Ref::steal(exec_source(src_bytes));
    if (!ns)
        return NULL;
    Ref cls = Ref::steal(namespace_get(ns.get(), name_str));
    if (!cls || !key)
        return cls.release();
    /* Another thread may have executed the same source meanwhile: the class
     * cached first is the one every load gets. */
    PyObject *kept = PyDict_SetDefault(cls_cache, key.get(), cls.get()); /* borrowed */
    if (kept == NULL) {
        PyErr_Clear();
        return cls.release();
    }
    return Py_NewRef(kept);
}

PyObject *
resolve_callable_by_qualname(PyObject *qualname_str, PyObject *module_str)
{
    Ref obj = Ref::steal(imported_module(module_str));
    Ref parts = Ref::steal(obj ? PyUnicode_Split(qualname_str, str_dot, -1) : NULL);
    if (!parts) {
        PyErr_Clear();
        return NULL;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts.get()); i++) {
        obj = Ref::steal(PyObject_GetAttr(obj.get(), PyList_GET_ITEM(parts.get(), i)));
        if (!obj) {
            PyErr_Clear();
            return NULL;
        }
    }
    return PyCallable_Check(obj.get()) ? obj.release() : NULL;
}

/* ---- static lookup and approval ---------------------------------------- */

/* The module of that name in sys.modules, the first step of lookup_static;
 * null with *why or an exception as there. */
static PyObject *
module_static(PyObject *module_str, PyObject **why)
{
    *why = NULL;
    if (PyUnicode_GET_LENGTH(module_str) == 0 || PyUnicode_READ_CHAR(module_str, 0) == 0) {
        *why = PyUnicode_FromString("no module is named");
        return NULL;
    }
    PyObject *modules = PyImport_GetModuleDict(); /* borrowed */
    PyObject *mod;
    int found = compat_dict_get_item_ref(modules, module_str, &mod);
    if (found < 0)
        return NULL;
    if (found == 0 || !PyModule_Check(mod)) {
        Py_XDECREF(mod);
        *why = PyUnicode_FromFormat("module '%U' is not imported", module_str);
        return NULL;
    }
    return mod;
}

/* The object a dotted name denotes in an already-imported module, found as a
 * reader of the source would find it: the module from sys.modules, then each
 * part in a module's __dict__ or along a class's MRO.  Runs no Python code:
 * no attribute protocol, no property or module __getattr__, no import, no
 * repr.  A classmethod or staticmethod found in a class is unwrapped as
 * binding it would.  New reference; null with *why set to a new str (and no
 * exception) when the name denotes nothing; null with an exception and no
 * *why on failure. */
static PyObject *
lookup_static(PyObject *module_str, PyObject *qualname, PyObject **why)
{
    Ref cur = Ref::steal(module_static(module_str, why));
    if (!cur)
        return NULL;
    Ref parts = Ref::steal(PyUnicode_Split(qualname, str_dot, -1));
    if (!parts)
        return NULL;
    PyObject *owner = NULL; /* borrowed from cur's previous value, kept by next */
    Ref prev;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts.get()); i++) {
        PyObject *part = PyList_GET_ITEM(parts.get(), i); /* borrowed */
        PyObject *next = NULL;
        if (PyModule_Check(cur.get())) {
            if (compat_dict_get_item_ref(PyModule_GetDict(cur.get()), part, &next) < 0)
                return NULL;
        }
        else if (PyType_Check(cur.get())) {
            next = Py_XNewRef(_PyType_Lookup((PyTypeObject *)cur.get(), part));
        }
        if (next == NULL) {
            *why = i == 0 ? PyUnicode_FromFormat("module '%U' has no attribute '%U'",
                                                 module_str, part)
                          : PyUnicode_FromFormat("%U.%U does not resolve", module_str,
                                                 qualname);
            return NULL;
        }
        prev = std::move(cur);
        owner = prev.get();
        cur = Ref::steal(next);
    }
    if (owner == NULL || !PyType_Check(owner))
        return cur.release();
    PyObject *obj = cur.get();
    if (Py_IS_TYPE(obj, &PyClassMethod_Type) || Py_IS_TYPE(obj, &PyStaticMethod_Type)) {
        /* The wrapped callable is a plain member of the wrapper. */
        Ref func = Ref::steal(PyObject_GetAttrString(obj, "__func__"));
        if (!func)
            return NULL;
        if (Py_IS_TYPE(obj, &PyStaticMethod_Type))
            return func.release();
        return PyMethod_New(func.get(), owner);
    }
    if (Py_IS_TYPE(obj, &PyClassMethodDescr_Type))
        return Py_TYPE(obj)->tp_descr_get(obj, NULL, owner); /* a builtin's binding */
    return cur.release();
}

/* Whether obj is one of the approved objects: the same object, or a bound
 * method equal to an approved one (the same self and function), since
 * binding makes a new method object each time.  Runs no Python code. */
static int
is_approved(PyObject *allow, PyObject *obj)
{
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(allow); i++) {
        PyObject *a = PyTuple_GET_ITEM(allow, i);
        if (a == obj)
            return 1;
        if (Py_TYPE(a) != Py_TYPE(obj))
            continue;
        if (PyMethod_Check(obj) && PyMethod_GET_SELF(a) == PyMethod_GET_SELF(obj) &&
            PyMethod_GET_FUNCTION(a) == PyMethod_GET_FUNCTION(obj))
            return 1;
        if (PyCFunction_Check(obj) && PyCFunction_GET_SELF(obj) != NULL &&
            PyCFunction_GET_SELF(a) == PyCFunction_GET_SELF(obj) &&
            ((PyCFunctionObject *)a)->m_ml == ((PyCFunctionObject *)obj)->m_ml)
            return 1;
    }
    return 0;
}

/* Whether loading makes instances of cls itself: its __new__ is
 * object.__new__, so the object the stream fills in is a new one and never
 * a singleton or cached member that the class hands out. */
static int
allocates_fresh(PyObject *cls)
{
    return PyType_Check(cls) && ((PyTypeObject *)cls)->tp_new == PyBaseObject_Type.tp_new;
}

/* What an approved name resolves to, or null with *why set (a new str) when
 * safe loading refuses it; null with an exception and no *why on failure.
 * The approval decision before a safe load and the safe load itself both
 * come here, so the two cannot disagree. */
static PyObject *
approval(PyObject *name, PyObject *module, int kind, PyObject *allow, PyObject **why)
{
    if (kind == APPROVE_MODULE) {
        Ref mod = Ref::steal(module_static(module, why));
        if (mod && !is_approved(allow, mod.get())) {
            *why = PyUnicode_FromFormat("module '%U' is not in allow", module);
            return NULL;
        }
        return mod.release();
    }
    Ref obj = Ref::steal(lookup_static(module, name, why));
    if (!obj)
        return NULL;
    if (kind == APPROVE_INSTANCE || kind == APPROVE_CLASS) {
        if (!PyType_Check(obj.get())) {
            *why = PyUnicode_FromFormat("%U.%U is not a class", module, name);
            return NULL;
        }
    }
    else if (kind == APPROVE_CALLABLE && !PyCallable_Check(obj.get())) {
        *why = PyUnicode_FromFormat("%U.%U is not callable", module, name);
        return NULL;
    }
    if (!is_approved(allow, obj.get())) {
        *why = PyUnicode_FromFormat("%U.%U is not in allow", module, name);
        return NULL;
    }
    if (kind == APPROVE_INSTANCE && !allocates_fresh(obj.get())) {
        *why = PyUnicode_FromFormat(
            "%U.%U makes its instances with its own __new__: a stream may only fill in "
            "objects that the loader allocates",
            module, name);
        return NULL;
    }
    return obj.release();
}

/* Raises ValueError with the refusal text (a new str, consumed) and returns
 * null. */
PyObject *
refuse_load(PyObject *why)
{
    if (why != NULL) {
        PyErr_Format(PyExc_ValueError, "safe load refused: %U", why);
        Py_DECREF(why);
    }
    return NULL;
}

PyObject *
approved_static(PyObject *name, PyObject *module, int kind, PyObject *allow)
{
    PyObject *why;
    PyObject *obj = approval(name, module, kind, allow, &why);
    return obj != NULL ? obj : refuse_load(why);
}

PyObject *
approval_refusal(PyObject *name, PyObject *module, int kind, PyObject *allow)
{
    PyObject *why;
    Ref obj = Ref::steal(approval(name, module, kind, allow, &why));
    if (obj)
        Py_RETURN_NONE;
    return why; /* null with the exception when the lookup failed */
}

/* Classes resolved during one load, keyed by the identity of the header's
 * field objects (which the read table keeps alive): a repeated header is
 * three references to the same objects and resolves once. */
static ResolvedClass *
resolved_slot(Load *ld, PyObject *name, PyObject *src)
{
    if (ld->resolved == NULL) {
        ld->resolved = (ResolvedClass *)PyMem_Calloc(RESOLVED_SLOTS, sizeof(ResolvedClass));
        if (ld->resolved == NULL)
            return NULL; /* nothing is remembered */
    }
    uintptr_t h = ((uintptr_t)name >> 4) * 0x9E3779B1u ^ ((uintptr_t)src >> 4);
    return &ld->resolved[(h ^ (h >> 16)) % RESOLVED_SLOTS];
}

static void
resolved_remember(ResolvedClass *e, PyObject *name, PyObject *src, PyObject *module,
                  PyObject *cls)
{
    ResolvedClass old = *e;
    e->name = Py_NewRef(name);
    e->src = Py_NewRef(src);
    e->module = Py_XNewRef(module);
    e->cls = Py_NewRef(cls);
    Py_XDECREF(old.name);
    Py_XDECREF(old.src);
    Py_XDECREF(old.module);
    Py_XDECREF(old.cls);
}

/* ---- class headers and callable references: reading -------------------- */

PyObject *
read_str_field(READER_ARGS)
{
    PyObject *s = read_str_any(ld, data, size, pos);
    if (s != NULL && !PyUnicode_Check(s)) {
        PyErr_Format(PyExc_TypeError, "read_str_any: se esperaba str, no %.200s",
                     Py_TYPE(s)->tp_name);
        Py_DECREF(s);
        return NULL;
    }
    return s;
}

/* Resolves a header's fields; module is null for a version 1 header.  A
 * safe load takes only an approved class that the static lookup finds. */
static PyObject *
resolve_class(Load *ld, PyObject *name, PyObject *src, PyObject *module)
{
    ResolvedClass *e = resolved_slot(ld, name, src);
    if (e != NULL && e->cls != NULL && e->name == name && e->src == src &&
        e->module == module)
        return Py_NewRef(e->cls);
    Ref cls;
    if (ld->allow != NULL) {
        if (module == NULL)
            return refuse_load(PyUnicode_FromString(
                "a version 1 instance is re-created from its source only"));
        cls = Ref::steal(approved_static(name, module, APPROVE_INSTANCE, ld->allow));
        if (!cls)
            return NULL;
    }
    else {
        if (module != NULL)
            cls = Ref::steal(resolve_class_by_module(name, module));
        if (!cls) {
            cls = Ref::steal(read_class_direct(name, src));
            if (!cls) {
                if (!PyErr_Occurred())
                    PyErr_SetString(PyExc_KeyError, "clase no encontrada en source ejecutado");
                return NULL;
            }
        }
    }
    if (e != NULL)
        resolved_remember(e, name, src, module, cls.get());
    return cls.release();
}

/* Name and source fields, then the module field in a version 2 header;
 * inlined into both readers, as each was written out before. */
static inline __attribute__((always_inline)) PyObject *
read_class_fields(READER_ARGS, int with_module)
{
    Ref name = Ref::steal(read_str_field(ld, data, size, pos));
    if (!name)
        return NULL;
    Ref src = Ref::steal(read_dedup_bytes_checked(ld, data, size, pos, "clase"));
    if (!src)
        return NULL;
    Ref module;
    if (with_module && !(module = Ref::steal(read_str_field(ld, data, size, pos))))
        return NULL;
    return resolve_class(ld, name.get(), src.get(), module.get());
}

PyObject *
read_class_header(READER_ARGS)
{
    return read_class_fields(ld, data, size, pos, 0);
}

PyObject *
read_class_header_v2(READER_ARGS)
{
    return read_class_fields(ld, data, size, pos, 1);
}

/* has_src byte and, when set, the source block. */
[[nodiscard]] static int
read_callable_source(READER_ARGS, Ref *src)
{
    if (*pos >= size) {
        fail_value("EOF source flag");
        return 0;
    }
    if (data[(*pos)++] == 0)
        return 1;
    *src = Ref::steal(read_dedup_bytes_checked(ld, data, size, pos, "callable"));
    return *src ? 1 : 0;
}

/* The source's namespace entry for lookup_name. */
static PyObject *
callable_from_source(PyObject *src, PyObject *lookup_name)
{
    Ref ns = Ref::steal(exec_source(src));
    if (!ns)
        return NULL;
    PyObject *fn = namespace_get(ns.get(), lookup_name);
    if (fn == NULL)
        PyErr_SetString(PyExc_KeyError, "callable no encontrado");
    return fn;
}

static PyObject *
callable_from_builtins(PyObject *name)
{
    PyObject *builtins = PyEval_GetBuiltins(); /* borrowed */
    PyObject *fn = builtins != NULL ? namespace_get(builtins, name) : NULL;
    if (fn == NULL)
        PyErr_SetString(PyExc_KeyError, "callable sin source no en builtins");
    return fn;
}

/* The part of a qualified name after its last dot, or the whole name. */
static PyObject *
last_name_part(PyObject *qualname)
{
    Py_ssize_t n = PyUnicode_GET_LENGTH(qualname);
    Py_ssize_t dot = PyUnicode_FindChar(qualname, '.', 0, n, -1);
    if (dot == -2)
        return NULL;
    if (dot < 0)
        return Py_NewRef(qualname);
    return PyUnicode_Substring(qualname, dot + 1, n);
}

PyObject *
read_callable_ref_v2(READER_ARGS)
{
    if (*pos >= size)
        return fail_value("EOF callable marker");
    uint8_t marker = data[(*pos)++];
    if (marker == 0x00) {
        if (*pos >= size)
            return fail_value("EOF callable ref");
        uint8_t op = data[*pos];
        if (!is_ref_tag(op))
            return fail_value("callable ref: opcode invalido");
        (*pos)++;
        Ref fn = Ref::steal(read_ref(ld, data, size, pos, op));
        /* A safe load calls through a reference only what it approved. */
        if (fn && ld->allow != NULL && !is_approved(ld->allow, fn.get()))
            return refuse_load(PyUnicode_FromFormat(
                "a callable reference names a %s that is not in allow",
                Py_TYPE(fn.get())->tp_name));
        return fn.release();
    }
    if (marker != 0x01)
        return fail_value("callable: marcador invalido");

    Ref qualname = Ref::steal(read_str_field(ld, data, size, pos));
    if (!qualname)
        return NULL;
    Ref src;
    if (!read_callable_source(ld, data, size, pos, &src))
        return NULL;
    Ref module = Ref::steal(read_str_field(ld, data, size, pos));
    if (!module)
        return NULL;

    Ref fn;
    if (ld->allow != NULL) {
        fn = Ref::steal(approved_static(qualname.get(), module.get(), APPROVE_CALLABLE,
                                        ld->allow));
        if (!fn)
            return NULL;
    }
    else {
        fn = Ref::steal(resolve_callable_by_qualname(qualname.get(), module.get()));
    }
    if (!fn && src) {
        Ref lookup = Ref::steal(last_name_part(qualname.get()));
        if (!lookup)
            return NULL;
        fn = Ref::steal(callable_from_source(src.get(), lookup.get()));
    }
    else if (!fn) {
        fn = Ref::steal(callable_from_builtins(qualname.get()));
    }
    if (!fn || !read_table_push(ld, fn.get()))
        return NULL;
    return fn.release();
}

PyObject *
read_callable_ref(READER_ARGS)
{
    if (ld->allow != NULL)
        return refuse_load(PyUnicode_FromString(
            "a version 1 reduce callable comes from its source or the builtins only"));
    Ref name = Ref::steal(read_str_field(ld, data, size, pos));
    if (!name)
        return NULL;
    Ref src;
    if (!read_callable_source(ld, data, size, pos, &src))
        return NULL;
    return src ? callable_from_source(src.get(), name.get())
               : callable_from_builtins(name.get());
}

/* ---- instances: reading ------------------------------------------------ */

/* Assigns every key of d as an attribute of obj, in order. */
[[nodiscard]] static int
set_attributes(PyObject *obj, PyObject *d, int skip_weakref)
{
    Py_ssize_t it = 0;
    PyObject *key, *value; /* borrowed from d */
    while (PyDict_Next(d, &it, &key, &value)) {
        Ref k = Ref::borrow(key), v = Ref::borrow(value);
        if (skip_weakref && PyUnicode_Check(key) &&
            PyUnicode_Compare(key, str_weakref) == 0)
            continue;
        if (PyObject_SetAttr(obj, k.get(), v.get()) < 0)
            return 0;
    }
    return 1;
}

/* Puts a dict of attributes into obj's __dict__, or assigns them one by one
 * when the object has no usable __dict__. */
[[nodiscard]] static int
update_instance_dict(PyObject *obj, PyObject *d)
{
    Ref own = Ref::steal(attr_or_null(obj, str_dict));
    if (own && PyDict_Check(own.get()))
        return PyDict_Update(own.get(), d) == 0;
    return set_attributes(obj, d, 0);
}

/* cls.__new__(cls).  When that is object.__new__ itself (the class and its
 * bases define none, and the metatype does not intercept the lookup), its
 * slot is called directly: the same call without the attribute lookup and
 * the bound wrapper. */
static PyObject *
new_instance(PyObject *cls)
{
    if (PyType_Check(cls) && ((PyTypeObject *)cls)->tp_new == PyBaseObject_Type.tp_new &&
        plain_metatype(Py_TYPE(cls))) {
        Ref no_args = Ref::steal(PyTuple_New(0));
        if (!no_args)
            return NULL;
        return ((PyTypeObject *)cls)->tp_new((PyTypeObject *)cls, no_args.get(), NULL);
    }
    Ref new_fn = Ref::steal(PyObject_GetAttr(cls, str_new));
    if (!new_fn)
        return NULL;
    return PyObject_CallOneArg(new_fn.get(), cls);
}

/* An instance allocated by object.__new__ itself, as approval requires. */
static PyObject *
new_fresh(PyObject *cls)
{
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args)
        return NULL;
    return PyBaseObject_Type.tp_new((PyTypeObject *)cls, no_args.get(), NULL);
}

PyObject *
deserialize_instance(READER_ARGS, uint8_t tag)
{
    int v2 = tag == TAG_INSTANCE || tag == TAG_SLOTS_INSTANCE;
    int slots = tag == TAG_SLOTS_INSTANCE || tag == TAG_SLOTS_INSTANCE_V1;
    Ref cls = Ref::steal(v2 ? read_class_header_v2(ld, data, size, pos)
                            : read_class_header(ld, data, size, pos));
    if (!cls)
        return NULL;
    if (*pos >= size || data[*pos] != TAG_DICT) {
        switch (tag) {
        case TAG_INSTANCE_V1: return fail_value("0x1C: esperado 0x0C");
        case TAG_SLOTS_INSTANCE_V1: return fail_value("0x1E: esperado 0x0C");
        case TAG_INSTANCE: return fail_value("0x25: esperado 0x0C");
        default: return fail_value("0x26: esperado 0x0C");
        }
    }
    (*pos)++;
    Ref attrs = Ref::steal(deserialize_attr_dict(ld, data, size, pos));
    if (!attrs)
        return NULL;
    Ref obj = Ref::steal(ld->allow != NULL ? new_fresh(cls.get()) : new_instance(cls.get()));
    if (!obj)
        return NULL;
    int ok = slots ? set_attributes(obj.get(), attrs.get(), 1)
                   : update_instance_dict(obj.get(), attrs.get());
    return ok ? obj.release() : NULL;
}

/* ---- reduce: reading --------------------------------------------------- */

/* Applies a reduce state.  A dict updates the attributes directly.  Any
 * other state goes to the object's __setstate__; without one, a pair
 * (dict or None, dict or None) sets the __dict__ part and then the slot
 * part, and anything else is refused rather than dropped. */
[[nodiscard]] static int
apply_state(PyObject *obj, PyObject *state)
{
    if (PyDict_Check(state))
        return update_instance_dict(obj, state);
    if (state == Py_None)
        return 1;
    Ref setstate = Ref::steal(PyObject_GetAttr(obj, str_setstate));
    if (setstate) {
        Ref rc = Ref::steal(PyObject_CallOneArg(setstate.get(), state));
        return rc ? 1 : 0;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        return 0;
    PyErr_Clear();
    if (PyTuple_Check(state) && PyTuple_GET_SIZE(state) == 2) {
        PyObject *plain = PyTuple_GET_ITEM(state, 0), *slotted = PyTuple_GET_ITEM(state, 1);
        if ((plain == Py_None || PyDict_Check(plain)) &&
            (slotted == Py_None || PyDict_Check(slotted)))
            return (plain == Py_None || update_instance_dict(obj, plain)) &&
                   (slotted == Py_None || set_attributes(obj, slotted, 0));
    }
    PyErr_Format(PyExc_TypeError,
                 "reduce: el estado %.200s no es un dict y %.200s no tiene __setstate__",
                 Py_TYPE(state)->tp_name, Py_TYPE(obj)->tp_name);
    return 0;
}

/* obj.name(arg) when obj has the attribute: 1 called, 0 no such attribute
 * (the lookup's error cleared), -1 the call failed. */
static int
call_if_present(PyObject *obj, const char *name, PyObject *arg)
{
    Ref method = Ref::steal(PyObject_GetAttrString(obj, name));
    if (!method) {
        PyErr_Clear();
        return 0;
    }
    Ref rc = Ref::steal(PyObject_CallOneArg(method.get(), arg));
    return rc ? 1 : -1;
}

[[nodiscard]] static int
apply_list_items(PyObject *obj, PyObject *items)
{
    int called = call_if_present(obj, "extend", items);
    if (called != 0)
        return called > 0;
    Ref append = Ref::steal(PyObject_GetAttrString(obj, "append"));
    if (!append)
        return 0;
    if (!PyList_Check(items))
        return 1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); i++) {
        Ref item = Ref::borrow(PyList_GET_ITEM(items, i));
        Ref rc = Ref::steal(PyObject_CallOneArg(append.get(), item.get()));
        if (!rc)
            return 0;
    }
    return 1;
}

[[nodiscard]] static int
apply_dict_items(PyObject *obj, PyObject *pairs)
{
    int called = call_if_present(obj, "update", pairs);
    if (called != 0)
        return called > 0;
    if (!PyDict_Check(pairs))
        return 1;
    Py_ssize_t it = 0;
    PyObject *key, *value; /* borrowed from pairs */
    while (PyDict_Next(pairs, &it, &key, &value)) {
        Ref k = Ref::borrow(key), v = Ref::borrow(value);
        if (PyObject_SetItem(obj, k.get(), v.get()) < 0)
            return 0;
    }
    return 1;
}

/* A safe load applies state and items only to an object that the approved
 * class c itself has just allocated with object.__new__, and a state also
 * through the approved class's own __setstate__ on an instance of it: never
 * to what a factory, another __new__ or a metaclass hands out, which may be
 * shared, by writing its attributes.  1 with the refusal raised; else 0,
 * with *through_setstate set when the state must go to __setstate__. */
static int
safe_state_refused(PyObject *c, PyObject *obj, uint8_t flags, int *through_setstate)
{
    PyTypeObject *made = Py_TYPE(obj);
    int own_class = PyType_Check(c) && made == (PyTypeObject *)c;
    int fresh = own_class && allocates_fresh(c) && Py_TYPE(c)->tp_call == PyType_Type.tp_call;
    *through_setstate = !fresh && own_class && (flags & 0x07) == 0x01 &&
                        _PyType_Lookup(made, str_setstate) != NULL;
    if (fresh || *through_setstate)
        return 0;
    refuse_load(PyUnicode_FromFormat(
        "the stream carries state or items for the %s that %s returned; a safe "
        "load applies them only to a new instance that an approved class allocates "
        "with object.__new__, or a state through the class's own __setstate__",
        made->tp_name, PyType_Check(c) ? ((PyTypeObject *)c)->tp_name : Py_TYPE(c)->tp_name));
    return 1;
}

PyObject *
deserialize_reduce(READER_ARGS, uint8_t tag)
{
    Ref callable = Ref::steal(tag == TAG_REDUCE ? read_callable_ref_v2(ld, data, size, pos)
                                                : read_callable_ref(ld, data, size, pos));
    if (!callable)
        return NULL;
    if (*pos >= size)
        return fail_value("reduce: esperaba tupla args");
    uint8_t t = data[*pos];
    if (t != TAG_TUPLE && t != TAG_TUPLE_DEDUP && !is_ref_tag(t))
        return fail_value("reduce: esperaba tupla args");
    Ref args = Ref::steal(deserialize(ld, data, size, pos));
    if (!args)
        return NULL;
    /* A reference can name any earlier object; calling needs a tuple. */
    if (!PyTuple_Check(args.get())) {
        PyErr_Format(PyExc_TypeError, "reduce: args debe ser una tupla, no %.200s",
                     Py_TYPE(args.get())->tp_name);
        return NULL;
    }
    Ref obj = Ref::steal(PyObject_Call(callable.get(), args.get(), NULL));
    args = Ref();
    if (!obj)
        return NULL;
    if (*pos >= size)
        return fail_value("EOF reduce flags");
    uint8_t flags = data[(*pos)++];
    int through_setstate = 0;
    if ((flags & 0x07) && ld->allow != NULL &&
        safe_state_refused(callable.get(), obj.get(), flags, &through_setstate))
        return NULL;
    callable = Ref();
    if (flags & 0x01) {
        Ref state = Ref::steal(deserialize(ld, data, size, pos));
        if (!state)
            return NULL;
        if (through_setstate) {
            Ref rc = Ref::steal(PyObject_CallMethodOneArg(obj.get(), str_setstate, state.get()));
            if (!rc)
                return NULL;
        }
        else if (!apply_state(obj.get(), state.get())) {
            return NULL;
        }
    }
    if (flags & 0x02) {
        Ref items = Ref::steal(deserialize(ld, data, size, pos));
        if (!items || !apply_list_items(obj.get(), items.get()))
            return NULL;
    }
    if (flags & 0x04) {
        Ref pairs = Ref::steal(deserialize(ld, data, size, pos));
        if (!pairs || !apply_dict_items(obj.get(), pairs.get()))
            return NULL;
    }
    return obj.release();
}

/* ---- values by reference: writing -------------------------------------- */

/* The name of the module where obj is found again: its __module__ when that
 * is a str, else that of the class a descriptor belongs to, or of the class
 * or module a built-in method is bound to.  New reference, or null (no
 * exception) when there is none. */
static PyObject *
home_module_name(PyObject *obj)
{
    Ref mod = Ref::steal(attr_or_null(obj, str_module));
    if (mod && PyUnicode_Check(mod.get()))
        return mod.release();
    Ref owner = PyCFunction_Check(obj) ? Ref::borrow(PyCFunction_GET_SELF(obj))
                                       : Ref::steal(attr_or_null(obj, str_objclass));
    if (owner && PyModule_Check(owner.get())) {
        PyObject *name = PyModule_GetNameObject(owner.get());
        if (name == NULL)
            PyErr_Clear();
        return name;
    }
    if (owner && PyType_Check(owner.get())) {
        mod = Ref::steal(attr_or_null(owner.get(), str_module));
        if (mod && PyUnicode_Check(mod.get()))
            return mod.release();
    }
    return NULL;
}

/* What module.qualname denotes, by attribute lookups from the module (new
 * reference).  The module is imported when it is not and may_import is set.
 * Null without an exception when the name denotes nothing or the module is
 * not imported; null with the import's exception when importing fails. */
static PyObject *
find_global(PyObject *module_str, PyObject *qualname, int may_import)
{
    Ref obj = Ref::steal(PyImport_GetModule(module_str));
    if (!obj) {
        if (PyErr_Occurred() || !may_import) {
            PyErr_Clear();
            return NULL;
        }
        obj = Ref::steal(PyImport_Import(module_str));
        if (!obj)
            return NULL;
    }
    Ref parts = Ref::steal(PyUnicode_Split(qualname, str_dot, -1));
    if (!parts)
        return NULL;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts.get()); i++) {
        obj = Ref::steal(PyObject_GetAttr(obj.get(), PyList_GET_ITEM(parts.get(), i)));
        if (!obj) {
            PyErr_Clear();
            return NULL;
        }
    }
    return obj.release();
}

/* Whether a lookup found obj itself: the same object, or a bound method
 * equal to it, since binding makes a new method object each time. */
static int
same_object(PyObject *found, PyObject *obj)
{
    if (found == obj)
        return 1;
    if (Py_TYPE(found) != Py_TYPE(obj))
        return 0;
    if (PyCFunction_Check(obj))
        return PyCFunction_GET_SELF(found) == PyCFunction_GET_SELF(obj) &&
               ((PyCFunctionObject *)found)->m_ml == ((PyCFunctionObject *)obj)->m_ml;
    if (PyMethod_Check(obj))
        return PyMethod_GET_SELF(found) == PyMethod_GET_SELF(obj) &&
               PyMethod_GET_FUNCTION(found) == PyMethod_GET_FUNCTION(obj);
    return 0;
}

/* Writes obj by module and qualified name (its own, or name) when a lookup
 * finds it again there: 1 written, 0 failed, -1 not found (nothing written,
 * no exception).  The value takes an index after its fields. */
static int
write_by_name(Buf *b, DedupState *ds, PyObject *obj, PyObject *name)
{
    int seen = index_seen(b, ds, obj);
    if (seen >= 0)
        return seen;
    Ref qualname = name ? Ref::borrow(name) : Ref::steal(attr_or_null(obj, str_qualname));
    if (!qualname)
        qualname = Ref::steal(attr_or_null(obj, str_name));
    Ref module = Ref::steal(home_module_name(obj));
    if (!qualname || !PyUnicode_Check(qualname.get()) || !module)
        return -1;
    Ref found = Ref::steal(find_global(module.get(), qualname.get(), 0));
    /* The types of None, Ellipsis and NotImplemented name builtins as their
     * module but live in types. */
    if (!found && PyUnicode_Compare(module.get(), str_builtins) == 0) {
        module = Ref::borrow(str_types);
        found = Ref::steal(find_global(module.get(), qualname.get(), 0));
    }
    if (!found || !same_object(found.get(), obj))
        return -1;
    return buf_u8(b, TAG_GLOBAL) && write_str_field(b, ds, module.get()) &&
           write_str_field(b, ds, qualname.get()) && index_take(ds, obj);
}

int
serialize_by_name(Buf *b, DedupState *ds, PyObject *obj)
{
    return write_by_name(b, ds, obj, NULL);
}

/* An object whose __reduce__ names it: module and that name must find it. */
static int
write_named(Buf *b, DedupState *ds, PyObject *obj, PyObject *name)
{
    int written = write_by_name(b, ds, obj, name);
    if (written < 0)
        PyErr_Format(PyExc_TypeError,
                     "__reduce__ nombra el objeto %R como %R, pero no se encuentra %s en "
                     "su %s",
                     obj, name, "así", "módulo");
    return written > 0;
}

/* A class as a value: the class header's fields when it was made by a class
 * statement and its source can be captured, else its module and qualified
 * name.  A class of C has no source of its own, even where its module's
 * file defines a Python class of that name.  Either form takes an index
 * after its fields, so that a class reached again is a reference. */
int
serialize_class(Buf *b, DedupState *ds, PyObject *cls)
{
    int seen = index_seen(b, ds, cls);
    if (seen >= 0)
        return seen;
    unsigned long flags = ((PyTypeObject *)cls)->tp_flags;
    int from_python = (flags & Py_TPFLAGS_HEAPTYPE) && !(flags & Py_TPFLAGS_IMMUTABLETYPE);
    Ref src = Ref::steal(from_python ? get_source_if_any(cls) : NULL);
    if (!src) {
        int written = write_by_name(b, ds, cls, NULL);
        if (written < 0)
            PyErr_Format(PyExc_TypeError,
                         "Clase sin %s fuente que no se encuentra por %s y nombre: %R",
                         "código", "módulo", cls);
        return written > 0;
    }
    return buf_u8(b, TAG_CLASS) && write_class_header_v2(b, ds, cls) && index_take(ds, cls);
}

int
serialize_module(Buf *b, DedupState *ds, PyObject *mod)
{
    int seen = index_seen(b, ds, mod);
    if (seen >= 0)
        return seen;
    Ref name = Ref::steal(PyModule_GetNameObject(mod));
    return name && buf_u8(b, TAG_MODULE) && write_str_field(b, ds, name.get()) &&
           index_take(ds, mod);
}

/* ---- the reduce protocol in pickle's order: writing -------------------- */

/* Whether some class of tp's MRO before object defines name in its own
 * namespace; never raises. */
static int
mro_defines(PyTypeObject *tp, PyObject *name)
{
    PyObject *mro = tp->tp_mro; /* borrowed */
    if (mro == NULL || !PyTuple_Check(mro))
        return 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); i++) {
        PyObject *cls = PyTuple_GET_ITEM(mro, i);
        if (cls == (PyObject *)&PyBaseObject_Type)
            return 0;
        if (!PyType_Check(cls))
            continue;
        Ref ns = Ref::steal(compat_type_dict((PyTypeObject *)cls));
        if (ns && PyDict_GetItemWithError(ns.get(), name) != NULL)
            return 1;
        PyErr_Clear();
    }
    return 0;
}

/* tp's reducer in copyreg.dispatch_table (new reference), or null without an
 * exception.  A class whose metatype hashes it by anything but identity is
 * not looked up: hashing it could run code. */
static PyObject *
copyreg_reducer(PyTypeObject *tp)
{
    if (Py_TYPE(tp)->tp_hash != PyType_Type.tp_hash)
        return NULL;
    PyObject *reducer;
    if (compat_dict_get_item_ref(copyreg_table, (PyObject *)tp, &reducer) < 0)
        PyErr_Clear();
    return reducer;
}

int
reduce_route(PyTypeObject *tp)
{
    Ref reducer = Ref::steal(copyreg_reducer(tp));
    if (reducer)
        return REDUCE_COPYREG;
    if (mro_defines(tp, str_reduce_ex))
        return REDUCE_EX;
    if (has_custom_reduce(tp))
        return mro_defines(tp, str_setstate) ? REDUCE_SETSTATE : REDUCE_CUSTOM;
    if (mro_defines(tp, str_getstate) || mro_defines(tp, str_setstate))
        return REDUCE_STATE;
    return REDUCE_NONE;
}

/* The callable of a reduce result: one found by module and qualified name
 * is written so (a class, whose source is carried, goes through the
 * dispatch); any other, a lambda for one, by value. */
[[nodiscard]] static int
write_reduce_callable(Buf *b, DedupState *ds, PyObject *callable)
{
    if (!PyType_Check(callable)) {
        if (ds->depth >= VELLUM_MAX_DEPTH)
            return serialize_depth_error();
        int written = write_by_name(b, ds, callable, NULL);
        if (written >= 0)
            return written;
    }
    return serialize(b, ds, callable);
}

/* The kind of a reduce result and the class of a new instance (borrowed):
 * copyreg's __newobj__ (cls, *args) and __newobj_ex__ (cls, args, kwargs)
 * stand for a new instance of obj's own class. */
static uint8_t
reduce_kind(PyObject *obj, PyObject *callable, PyObject *args)
{
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (n == 0 || PyTuple_GET_ITEM(args, 0) != (PyObject *)Py_TYPE(obj))
        return REDUCE_EX_CALL;
    if (callable == copyreg_newobj)
        return REDUCE_EX_NEW;
    if (callable == copyreg_newobj_ex && n == 3 && PyTuple_Check(PyTuple_GET_ITEM(args, 1)) &&
        PyDict_Check(PyTuple_GET_ITEM(args, 2)))
        return REDUCE_EX_NEW_KW;
    return REDUCE_EX_CALL;
}

/* A reduce result (rv, borrowed) as TAG_REDUCE_EX: the kind, the callable or
 * class, the arguments (and keyword arguments), then the flags, state and
 * items as TAG_REDUCE has them. */
[[nodiscard]] static int
write_reduce_ex(Buf *b, DedupState *ds, PyObject *obj, PyObject *rv)
{
    if (PyUnicode_Check(rv))
        return write_named(b, ds, obj, rv);
    if (!PyTuple_Check(rv) || PyTuple_GET_SIZE(rv) < 2 || PyTuple_GET_SIZE(rv) > 5) {
        PyErr_SetString(PyExc_TypeError,
                        "__reduce__ debe devolver una tupla de 2 a 5 elementos");
        return 0;
    }
    if (!retain(ds, rv))
        return 0;
    Py_ssize_t n = PyTuple_GET_SIZE(rv);
    PyObject *callable = PyTuple_GET_ITEM(rv, 0); /* borrowed from rv */
    PyObject *args = PyTuple_GET_ITEM(rv, 1);
    PyObject *state = n > 2 ? PyTuple_GET_ITEM(rv, 2) : Py_None;
    PyObject *list_items = n > 3 ? PyTuple_GET_ITEM(rv, 3) : Py_None;
    PyObject *dict_items = n > 4 ? PyTuple_GET_ITEM(rv, 4) : Py_None;
    if (!PyTuple_Check(args)) {
        PyErr_SetString(PyExc_TypeError, "__reduce__: args debe ser una tupla");
        return 0;
    }
    uint8_t kind = reduce_kind(obj, callable, args);
    uint8_t flags = (uint8_t)((state != Py_None ? 1 : 0) | (list_items != Py_None ? 2 : 0) |
                              (dict_items != Py_None ? 4 : 0));
    if (!buf_u8_2(b, TAG_REDUCE_EX, kind))
        return 0;
    /* Each part is written as a value the function owns: what it registers
     * is held before the code of the next part (an iterator of items) runs. */
    if (kind == REDUCE_EX_CALL) {
        if (!write_reduce_callable(b, ds, callable) || !serialize_owned(b, ds, args))
            return 0;
    }
    else if (kind == REDUCE_EX_NEW) {
        if (!serialize_owned(b, ds, PyTuple_GET_ITEM(args, 0)) ||
            !serialize_made(b, ds, PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args))))
            return 0;
    }
    else if (!serialize_owned(b, ds, PyTuple_GET_ITEM(args, 0)) ||
             !serialize_owned(b, ds, PyTuple_GET_ITEM(args, 1)) ||
             !serialize_owned(b, ds, PyTuple_GET_ITEM(args, 2))) {
        return 0;
    }
    if (!buf_u8(b, flags))
        return 0;
    if (state != Py_None && !serialize_owned(b, ds, state))
        return 0;
    if (list_items != Py_None && !serialize_made(b, ds, PySequence_List(list_items)))
        return 0;
    if (dict_items != Py_None && !serialize_made(b, ds, reduce_dict_items(dict_items)))
        return 0;
    return 1;
}

int
serialize_reduced(Buf *b, DedupState *ds, PyObject *obj, int how)
{
    if (how == REDUCE_CUSTOM)
        return serialize_via_reduce(b, ds, obj);
    Ref rv;
    if (how == REDUCE_COPYREG) {
        Ref reducer = Ref::steal(copyreg_reducer(Py_TYPE(obj)));
        /* The entry can be gone when code run by this call removed it. */
        rv = reducer ? Ref::steal(PyObject_CallOneArg(reducer.get(), obj))
                     : Ref::steal(PyObject_CallMethod(obj, "__reduce_ex__", "i", 4));
    }
    else if (how == REDUCE_SETSTATE) {
        rv = Ref::steal(PyObject_CallMethodNoArgs(obj, str_reduce));
    }
    else {
        /* Its own __reduce_ex__, or object's, which calls __getstate__. */
        rv = Ref::steal(PyObject_CallMethod(obj, "__reduce_ex__", "i", 4));
    }
    return rv && write_reduce_ex(b, ds, obj, rv.get());
}

/* ---- values by reference: reading -------------------------------------- */

PyObject *
deserialize_class(READER_ARGS)
{
    Ref name = Ref::steal(read_str_field(ld, data, size, pos));
    if (!name)
        return NULL;
    Ref src = Ref::steal(read_dedup_bytes_checked(ld, data, size, pos, "clase"));
    if (!src)
        return NULL;
    Ref module = Ref::steal(read_str_field(ld, data, size, pos));
    if (!module)
        return NULL;
    /* A safe load takes the approved class itself; it makes no instance
     * here, so the class need not allocate with object.__new__. */
    Ref cls = Ref::steal(ld->allow != NULL
                             ? approved_static(name.get(), module.get(), APPROVE_CLASS, ld->allow)
                             : resolve_class(ld, name.get(), src.get(), module.get()));
    if (!cls || !read_table_push(ld, cls.get()))
        return NULL;
    return cls.release();
}

PyObject *
deserialize_global(READER_ARGS)
{
    Ref module = Ref::steal(read_str_field(ld, data, size, pos));
    if (!module)
        return NULL;
    Ref qualname = Ref::steal(read_str_field(ld, data, size, pos));
    if (!qualname)
        return NULL;
    Ref obj;
    if (!load_may_import(ld)) {
        obj = Ref::steal(approved_static(qualname.get(), module.get(), APPROVE_VALUE, ld->allow));
    }
    else {
        obj = Ref::steal(find_global(module.get(), qualname.get(), 1));
        if (!obj && !PyErr_Occurred())
            PyErr_Format(PyExc_KeyError, "valor por referencia no encontrado: %U en el %s %U",
                         qualname.get(), "módulo", module.get());
    }
    if (!obj || !read_table_push(ld, obj.get()))
        return NULL;
    return obj.release();
}

PyObject *
deserialize_module(READER_ARGS)
{
    Ref name = Ref::steal(read_str_field(ld, data, size, pos));
    if (!name)
        return NULL;
    Ref mod;
    if (!load_may_import(ld)) {
        mod = Ref::steal(approved_static(name.get(), name.get(), APPROVE_MODULE, ld->allow));
    }
    else {
        mod = Ref::steal(PyImport_GetModule(name.get()));
        if (!mod && !PyErr_Occurred())
            mod = Ref::steal(PyImport_Import(name.get()));
    }
    if (!mod || !read_table_push(ld, mod.get()))
        return NULL;
    return mod.release();
}

/* ---- the reduce protocol in pickle's order: reading -------------------- */

/* Applies a state as pickle does: through the object's __setstate__ when it
 * has one, whatever the state, else as TAG_REDUCE applies it. */
[[nodiscard]] static int
apply_state_pickled(PyObject *obj, PyObject *state)
{
    PyObject *setstate;
    int found = compat_lookup_attr(obj, str_setstate, &setstate);
    if (found < 0)
        return 0;
    if (found == 0)
        return apply_state(obj, state);
    Ref method = Ref::steal(setstate);
    Ref rc = Ref::steal(PyObject_CallOneArg(method.get(), state));
    return rc ? 1 : 0;
}

/* Reads a value that must start as a tuple or a reference does, and be a
 * tuple (or, for keyword arguments, a dict). */
static PyObject *
read_reduce_args(READER_ARGS, int kwargs)
{
    uint8_t t = *pos < size ? data[*pos] : 0;
    int starts = kwargs ? t == TAG_DICT || t == TAG_DICT_DEDUP || is_ref_tag(t)
                        : t == TAG_TUPLE || t == TAG_TUPLE_DEDUP || is_ref_tag(t);
    if (*pos >= size || !starts)
        return fail_value(kwargs ? "0x36: esperaba dict kwargs" : "0x36: esperaba tupla args");
    PyObject *v = deserialize(ld, data, size, pos);
    if (v != NULL && !(kwargs ? PyDict_Check(v) : PyTuple_Check(v))) {
        PyErr_Format(PyExc_TypeError, "reduce: %s debe ser %s, no %.200s",
                     kwargs ? "kwargs" : "args", kwargs ? "un dict" : "una tupla",
                     Py_TYPE(v)->tp_name);
        Py_CLEAR(v);
    }
    return v;
}

PyObject *
deserialize_reduce_ex(READER_ARGS)
{
    if (*pos >= size)
        return fail_value("0x36: EOF en tipo");
    uint8_t kind = data[(*pos)++];
    if (kind > REDUCE_EX_NEW_KW) {
        PyErr_Format(PyExc_ValueError, "0x36: tipo inesperado 0x%02x", kind);
        return NULL;
    }
    Ref callable = Ref::steal(deserialize(ld, data, size, pos));
    if (!callable)
        return NULL;
    Ref args = Ref::steal(read_reduce_args(ld, data, size, pos, 0));
    if (!args)
        return NULL;
    Ref kwargs;
    if (kind == REDUCE_EX_NEW_KW && !(kwargs = Ref::steal(read_reduce_args(ld, data, size, pos, 1))))
        return NULL;
    /* A safe load calls only what it approved: a by-value function is
     * never called while loading. */
    if (ld->allow != NULL && !is_approved(ld->allow, callable.get()))
        return refuse_load(PyUnicode_FromFormat(
            "a reduced object is made by a %s that is not in allow",
            Py_TYPE(callable.get())->tp_name));
    Ref obj;
    if (kind == REDUCE_EX_CALL) {
        obj = Ref::steal(PyObject_Call(callable.get(), args.get(), NULL));
    }
    else {
        if (!PyType_Check(callable.get()) || ((PyTypeObject *)callable.get())->tp_new == NULL) {
            PyErr_Format(PyExc_TypeError, "0x36: %.200s no es una clase que cree instancias",
                         Py_TYPE(callable.get())->tp_name);
            return NULL;
        }
        PyTypeObject *cls = (PyTypeObject *)callable.get();
        if (ld->allow != NULL && !allocates_fresh(callable.get()))
            return refuse_load(PyUnicode_FromFormat(
                "%s makes its instances with its own __new__: a stream may only fill in "
                "objects that the loader allocates",
                cls->tp_name));
        obj = Ref::steal(cls->tp_new(cls, args.get(), kwargs.get()));
    }
    args = Ref();
    if (!obj)
        return NULL;
    if (*pos >= size)
        return fail_value("EOF reduce flags");
    uint8_t flags = data[(*pos)++];
    /* As for TAG_REDUCE; the state then goes to __setstate__ either way. */
    int through_setstate;
    if ((flags & 0x07) && ld->allow != NULL &&
        safe_state_refused(callable.get(), obj.get(), flags, &through_setstate))
        return NULL;
    callable = Ref();
    if (flags & 0x01) {
        Ref state = Ref::steal(deserialize(ld, data, size, pos));
        if (!state || !apply_state_pickled(obj.get(), state.get()))
            return NULL;
    }
    if (flags & 0x02) {
        Ref items = Ref::steal(deserialize(ld, data, size, pos));
        if (!items || !apply_list_items(obj.get(), items.get()))
            return NULL;
    }
    if (flags & 0x04) {
        Ref pairs = Ref::steal(deserialize(ld, data, size, pos));
        if (!pairs || !apply_dict_items(obj.get(), pairs.get()))
            return NULL;
    }
    return obj.release();
}
