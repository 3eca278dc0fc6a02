/* The serializer's type dispatch: the order of the tests decides which
 * encoding an object that passes several of them gets.  Owns the per-thread
 * depth that a nested serializer call starts from. */
#include "vellum.h"

/* The depth of the innermost serializer call of this thread at the point
 * where it runs code, published there; 0 outside any call. */
static thread_local int t_serialize_depth = 0;

/* How many CallingOut scopes are open in the process (under the GIL).  A
 * call starting while there are none is no nested call, and starts at 0
 * without reading the thread's slot. */
static int g_calling_out = 0;

int
serialize_depth_of_thread(void)
{
    return g_calling_out == 0 ? 0 : t_serialize_depth;
}

/* The slot's address is looked up once per call: each lookup of a
 * thread-local in a shared module can be a function call. */
CallingOut::CallingOut(DedupState *ds) noexcept
    : slot_(ds->depth_slot ? ds->depth_slot : (ds->depth_slot = &t_serialize_depth)),
      outer_(*slot_)
{
    hold_registered(ds);
    *slot_ = ds->depth;
    g_calling_out++;
}

CallingOut::~CallingOut()
{
    g_calling_out--;
    *slot_ = outer_;
}

int
serialize_depth_error(void)
{
    PyErr_SetString(PyExc_ValueError,
                    "Profundidad de anidamiento excesiva (>200) al serializar -- "
                    "mismo límite que verify_stream() ya aplicaba, ahora también "
                    "en serialize()");
    return 0;
}

static inline int
is_type(PyObject *obj, PyTypeObject *tp)
{
    return Py_IS_TYPE(obj, tp) || PyObject_TypeCheck(obj, tp);
}

static int
is_array(PyObject *obj)
{
    return strcmp(Py_TYPE(obj)->tp_name, "array.array") == 0;
}

/* ROUTE_REDUCED + how stands for serialize_reduced with that how. */
enum : int { ROUTE_NONE, ROUTE_INSTANCE, ROUTE_REDUCED };

static_assert(TYPE_ROUTES == 64, "route_home takes the top six bits");

/* A type's route sits in its home slot or in one of the next
 * ROUTE_PROBES - 1 slots, so that a graph of a few dozen classes keeps all
 * of them; when those are taken by other types, the home slot is reused. */
#define ROUTE_PROBES 4

static inline unsigned
route_home(PyTypeObject *tp)
{
    uint64_t h = (uint64_t)(uintptr_t)tp * 0x9E3779B97F4A7C15u;
    return (unsigned)(h >> 58);
}

static inline int
route_of(DedupState *ds, PyTypeObject *tp)
{
    unsigned home = route_home(tp);
    for (unsigned k = 0; k < ROUTE_PROBES; k++) {
        const TypeRoute *r = &ds->routes[(home + k) & (TYPE_ROUTES - 1)];
        if (r->tp == tp)
            return r->version == tp->tp_version_tag && r->version != 0 ? r->route : ROUTE_NONE;
        if (r->tp == NULL)
            break;
    }
    return ROUTE_NONE;
}

/* Remembers the route of tp when its version tag stands for everything that
 * decided it: the namespaces along the MRO, read directly only under the
 * plain metatype. */
static void
remember_route(DedupState *ds, PyTypeObject *tp, int route)
{
    if (tp->tp_version_tag == 0 || !PyTuple_Check(tp->tp_mro))
        return;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tp->tp_mro); i++) {
        if (!Py_IS_TYPE(PyTuple_GET_ITEM(tp->tp_mro, i), &PyType_Type))
            return;
    }
    unsigned home = route_home(tp);
    TypeRoute *r = &ds->routes[home];
    for (unsigned k = 0; k < ROUTE_PROBES; k++) {
        TypeRoute *slot = &ds->routes[(home + k) & (TYPE_ROUTES - 1)];
        if (slot->tp == tp || slot->tp == NULL) {
            r = slot;
            break;
        }
    }
    r->tp = tp;
    r->version = tp->tp_version_tag;
    r->route = route;
}

/* The last rows for an object of a heap type, which cannot be a code
 * object or one of the wrappers. */
[[nodiscard]] static int
serialize_user_object(Buf *b, DedupState *ds, PyObject *obj)
{
    PyTypeObject *tp = Py_TYPE(obj);
    int how = reduce_route(tp);
    remember_route(ds, tp, how == REDUCE_NONE ? ROUTE_INSTANCE : ROUTE_REDUCED + how);
    if (how != REDUCE_NONE)
        return serialize_reduced(b, ds, obj, how);
    return serialize_instance(b, ds, obj);
}

/* The rows after those of serialize_impl, in the same ladder: each of them
 * can run Python code or drop what it made.  Kept out of serialize_impl, so
 * that the rows of the plain values stay small. */
[[nodiscard]] Py_NO_INLINE static int
serialize_other(Buf *b, DedupState *ds, PyObject *obj)
{
    PyTypeObject *tp = Py_TYPE(obj);
    unsigned long flags = tp->tp_flags;

    /* A type seen before in this call goes where the rows below sent it;
     * none of the rows of serialize_impl takes a type that gets a route. */
    int route = route_of(ds, tp);
    if (route == ROUTE_INSTANCE)
        return serialize_instance(b, ds, obj);
    if (route >= ROUTE_REDUCED)
        return serialize_reduced(b, ds, obj, route - ROUTE_REDUCED);
    /* Functions and cells, most of a graph of code, by their exact types:
     * no row ahead of theirs takes either, so testing them first keeps the
     * order and spares them the subtype tests of those rows. */
    if (tp == &PyFunction_Type)
        return serialize_function(b, ds, obj);
    if (tp == &PyCell_Type)
        return serialize_cell(b, ds, obj);
    /* A class deriving directly from object matches none of the built-in
     * rows below: they are exact static types, or subtypes of types with a
     * layout of their own, except array.array, a heap type. */
    if ((flags & Py_TPFLAGS_HEAPTYPE) && tp->tp_base == &PyBaseObject_Type && !is_array(obj))
        return serialize_user_object(b, ds, obj);
    /* Float subclasses: no type derives from float and from one of the
     * flagged types of serialize_impl, so testing them here keeps the
     * order. */
    if (PyFloat_Check(obj))
        return serialize_float(b, PyFloat_AS_DOUBLE(obj));
    if (is_type(obj, &PyComplex_Type))
        return serialize_complex(b, obj);
    if (is_type(obj, &PyByteArray_Type))
        return serialize_bytearray(b, ds, obj);
    /* frozenset before set: neither is a subclass of the other. */
    if (is_type(obj, &PyFrozenSet_Type))
        return serialize_frozenset(b, ds, obj);
    if (is_type(obj, &PySet_Type))
        return serialize_set(b, ds, obj);
    if (tp == &PyCoro_Type || tp == &PyGen_Type)
        return serialize_generator(b, ds, obj);
    if (obj == Py_Ellipsis)
        return buf_u8(b, TAG_ELLIPSIS);
    if (obj == Py_NotImplemented)
        return buf_u8(b, TAG_NOTIMPLEMENTED);
    if (PyDictKeys_Check(obj) || PyDictValues_Check(obj) || PyDictItems_Check(obj))
        return serialize_dict_view(b, ds, obj);
    if (is_type(obj, &PyDictProxy_Type))
        return serialize_mappingproxy(b, ds, obj);
    if (is_array(obj))
        return serialize_array(b, ds, obj);
    /* Classes, modules, cells and built-in callables ahead of the reduce
     * rows: classes and built-ins travel by name, not by their reduce. */
    if (flags & Py_TPFLAGS_TYPE_SUBCLASS)
        return serialize_class(b, ds, obj);
    if (PyModule_Check(obj))
        return serialize_module(b, ds, obj);
    if (PyCFunction_Check(obj) || tp == &PyMethodDescr_Type || tp == &PyWrapperDescr_Type ||
        tp == &PyClassMethodDescr_Type) {
        int written = serialize_by_name(b, ds, obj);
        if (written >= 0)
            return written;
    }
    /* Only objects that none of the built-in rows took are reduced, in
     * pickle's order, and ahead of the code and wrapper types below. */
    int how = reduce_route(tp);
    if (how != REDUCE_NONE) {
        remember_route(ds, tp, ROUTE_REDUCED + how);
        return serialize_reduced(b, ds, obj, how);
    }
    if (tp == &PyCode_Type)
        return serialize_code(b, ds, obj);
    if (tp == &PyClassMethod_Type)
        return serialize_method_wrapper(b, ds, obj, TAG_CLASSMETHOD);
    if (tp == &PyStaticMethod_Type)
        return serialize_method_wrapper(b, ds, obj, TAG_STATICMETHOD);
    if (tp == &PyProperty_Type)
        return serialize_property(b, ds, obj);
    /* Instances with a __dict__ or with slots; anything else is refused. */
    return serialize_instance(b, ds, obj);
}

int
serialize_impl(Buf *b, DedupState *ds, PyObject *obj)
{
    PyTypeObject *tp = Py_TYPE(obj);
    unsigned long flags = tp->tp_flags;

    if (obj == Py_None)
        return buf_u8(b, TAG_NONE);
    /* bool before int: True is a constant, not the integer 1. */
    if (tp == &PyBool_Type)
        return buf_u8(b, obj == Py_True ? TAG_TRUE : TAG_FALSE);
    if (flags & Py_TPFLAGS_LONG_SUBCLASS)
        return serialize_int(b, obj);
    if (tp == &PyFloat_Type)
        return serialize_float(b, PyFloat_AS_DOUBLE(obj));
    if (flags & Py_TPFLAGS_UNICODE_SUBCLASS)
        return serialize_str(b, ds, obj);
    if (flags & Py_TPFLAGS_LIST_SUBCLASS)
        return serialize_list(b, ds, obj);
    if (flags & Py_TPFLAGS_DICT_SUBCLASS)
        return serialize_dict_deduped(b, ds, obj);
    if (flags & Py_TPFLAGS_BYTES_SUBCLASS)
        return serialize_bytes(b, ds, obj);
    if (flags & Py_TPFLAGS_TUPLE_SUBCLASS)
        return serialize_tuple(b, ds, obj);
    /* The rows above run no code, except a subclass's __hash__, which
     * serialize_str and serialize_bytes guard themselves. */
    CallingOut out(ds);
    return serialize_other(b, ds, obj);
}
