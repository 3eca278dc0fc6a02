/* Module definition of vellum._vellum: the method table, initialisation, the
 * four Python-callable functions and the process-wide state they share (the
 * reader's nesting counter and reference table, the four caches and the
 * lazily imported modules). */
#include "vellum.h"

int g_deserialize_depth = 0;

PyObject **read_table = NULL;
Py_ssize_t read_table_count = 0;
Py_ssize_t read_table_cap = 0;

PyObject *g_byte_ints[256];

PyObject *source_cache = NULL;
PyObject *exec_cache = NULL;
PyObject *cls_cache = NULL;
PyObject *class_header_cache = NULL;

static PyObject *array_module_cached = NULL;
static PyObject *builtins_module_cached = NULL;

/* Imports on first use and keeps the module; a failed import is retried on
 * the next use.  The result is borrowed from the cache. */
static PyObject *
get_cached_module(PyObject **slot, const char *name)
{
    if (*slot == NULL)
        *slot = PyImport_ImportModule(name);
    return *slot;
}

PyObject *
get_array_module(void)
{
    return get_cached_module(&array_module_cached, "array");
}

PyObject *
get_builtins_module(void)
{
    return get_cached_module(&builtins_module_cached, "builtins");
}

/* Output buffer sizing from the root's element count. */
static Py_ssize_t
init_cap(PyObject *obj, Py_ssize_t n_elements)
{
    if (PyList_Check(obj) || PyTuple_Check(obj)) {
        if (n_elements > 64)
            return 6 * n_elements;
    }
    else if (PyDict_Check(obj)) {
        if (n_elements > 32)
            return 12 * n_elements;
    }
    return 512;
}

static PyObject *
py_serialize_fast(PyObject *Py_UNUSED(self), PyObject *obj)
{
    Py_ssize_t n_elements = 0;
    if (PyList_Check(obj) || PyTuple_Check(obj))
        n_elements = PySequence_Size(obj);
    else if (PyDict_Check(obj))
        n_elements = PyDict_Size(obj);
    if (n_elements < 0) {
        /* A failing length query only affects sizing. */
        PyErr_Clear();
        n_elements = 0;
    }

    DedupState ds;
    if (!dedup_init(&ds, n_elements))
        return NULL;
    ds.depth = serialize_depth_of_thread();

    unsigned char local[BUF_LOCAL_SIZE];
    Buf b;
    buf_init(&b, init_cap(obj, n_elements), local, BUF_LOCAL_SIZE);

    int ok = serialize(&b, &ds, obj);
    dedup_destroy(&ds);

    if (!ok) {
        buf_free(&b);
        return NULL;
    }
    return buf_finish(&b);
}

/* The "y#" parse takes only buffers that need no release, such as bytes.
 * Where it would refuse a read-only contiguous buffer that does (a
 * memoryview, also one made read-only over a bytearray), the stream is read
 * in place from *view, which the caller releases; 0 leaves *view empty and
 * the arguments to "y#". */
static int
stream_view(PyObject *arg, Py_buffer *view)
{
    view->obj = NULL;
    if (PyBytes_Check(arg) || !PyObject_CheckBuffer(arg))
        return 0;
    if (PyObject_GetBuffer(arg, view, PyBUF_SIMPLE) < 0) {
        PyErr_Clear();
        view->obj = NULL;
        return 0;
    }
    if (view->readonly)
        return 1;
    PyBuffer_Release(view);
    return 0;
}

static PyObject *
py_deserialize_fast(PyObject *Py_UNUSED(self), PyObject *arg)
{
    const unsigned char *data;
    Py_ssize_t size;
    Py_buffer view;
    view.obj = NULL;
    if (PyBytes_Check(arg)) {
        data = (const unsigned char *)PyBytes_AS_STRING(arg);
        size = PyBytes_GET_SIZE(arg);
    }
    else if (stream_view(arg, &view)) {
        data = (const unsigned char *)view.buf;
        size = view.len;
    }
    else {
        /* Other read-only buffers, and the refusal of everything else with
         * the usual message; the pointer stays valid while arg lives. */
        Ref args = Ref::steal(PyTuple_Pack(1, arg));
        if (!args || !PyArg_ParseTuple(args.get(), "y#:deserialize_fast", &data, &size))
            return NULL;
    }

    /* A load started from code that runs during another load (executed
     * source, or a finalizer run by the reset below) gets a table of its
     * own, so the outer stream's indices stay valid; the outer table comes
     * back when it returns. */
    static int active = 0;
    int was_active = active;
    PyObject **outer_table = NULL;
    Py_ssize_t outer_count = 0, outer_cap = 0;
    if (was_active) {
        outer_table = read_table;
        outer_count = read_table_count;
        outer_cap = read_table_cap;
        read_table = NULL;
        read_table_count = 0;
        read_table_cap = 0;
    }
    active = 1;
    if (!was_active) {
        read_table_reset();
        resolved_classes_clear();
    }

    Py_ssize_t pos = 0;
    PyObject *result = deserialize(data, size, &pos);
    active = was_active;

    if (was_active) {
        read_table_reset();
        PyMem_Free(read_table);
        read_table = outer_table;
        read_table_count = outer_count;
        read_table_cap = outer_cap;
    }
    PyBuffer_Release(&view);
    return result;
}

static PyObject *
py_verify_stream_fast(PyObject *Py_UNUSED(self), PyObject *args)
{
    const unsigned char *data;
    Py_ssize_t size;
    int show_source = 0;
    Py_buffer view;
    if (PyTuple_GET_SIZE(args) >= 1 && stream_view(PyTuple_GET_ITEM(args, 0), &view)) {
        PyObject *stream; /* borrowed from args */
        if (!PyArg_ParseTuple(args, "O|p:verify_stream_fast", &stream, &show_source)) {
            PyBuffer_Release(&view);
            return NULL;
        }
        PyObject *report = verify_stream_fast((const unsigned char *)view.buf, view.len,
                                              show_source);
        PyBuffer_Release(&view);
        return report;
    }
    if (!PyArg_ParseTuple(args, "y#|p:verify_stream_fast", &data, &size,
                          &show_source))
        return NULL;
    return verify_stream_fast(data, size, show_source);
}

static PyObject *
py_dedup_reset(PyObject *Py_UNUSED(self), PyObject *Py_UNUSED(args))
{
    PyObject *caches[] = {source_cache, exec_cache, class_header_cache,
                          cls_cache};
    for (PyObject *cache : caches) {
        if (cache != NULL)
            PyDict_Clear(cache);
    }
    scratch_release_all();
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"serialize_fast", py_serialize_fast, METH_O, "Serializa en C"},
    {"deserialize_fast", py_deserialize_fast, METH_O, "Deserializa en C"},
    {"verify_stream_fast", py_verify_stream_fast, METH_VARARGS,
     "Verifica estructura sin ejecutar código"},
    {"dedup_reset", py_dedup_reset, METH_NOARGS, "Limpia caches de source/exec"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT,
    "_vellum", /* m_name */
    NULL,      /* m_doc */
    -1,        /* m_size: all state is process-wide */
    methods,
    NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC
PyInit__vellum(void)
{
    source_cache = PyDict_New();
    exec_cache = PyDict_New();
    cls_cache = PyDict_New();
    class_header_cache = PyDict_New();
    if (source_cache == NULL || exec_cache == NULL || cls_cache == NULL ||
        class_header_cache == NULL)
        return NULL;
    if (!objects_init())
        return NULL;
    for (int i = 0; i < 256; i++) {
        g_byte_ints[i] = PyLong_FromLong(i);
        if (g_byte_ints[i] == NULL)
            return NULL;
    }
    return PyModule_Create2(&moduledef, 1013);
}
