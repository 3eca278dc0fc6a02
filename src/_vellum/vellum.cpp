/* Module definition of vellum._vellum: the method table, initialisation, the
 * Python-callable functions and the process-wide state they share (the
 * serializer's nesting counter, the four caches and the modules imported at
 * initialisation).  Each load keeps its own state in a Load record. */
#include "vellum.h"

PyObject *g_byte_ints[256];

PyObject *source_cache = NULL;
PyObject *exec_cache = NULL;
PyObject *cls_cache = NULL;
PyObject *class_header_cache = NULL;

/* Imported at initialisation, so that a load imports nothing for its own
 * needs; kept for the process. */
static PyObject *array_module_cached = NULL;

PyObject *
get_array_module(void)
{
    return array_module_cached;
}

/* Whether mod is the standard array module: its array type is the
 * extension's own, which no Python source can define. */
static int
is_real_array_module(PyObject *mod)
{
    Ref type = Ref::steal(PyObject_GetAttrString(mod, "array"));
    if (!type) {
        PyErr_Clear();
        return 0;
    }
    return PyType_Check(type.get()) &&
           strcmp(((PyTypeObject *)type.get())->tp_name, "array.array") == 0;
}

/* The entries of sys.path where the interpreter keeps its extension
 * modules ("lib-dynload", "DLLs"), as a new list. */
static PyObject *
extension_dirs(void)
{
    Ref dirs = Ref::steal(PyList_New(0));
    Ref names[] = {Ref::steal(PyUnicode_FromString("lib-dynload")),
                   Ref::steal(PyUnicode_FromString("DLLs"))};
    if (!dirs || !names[0] || !names[1])
        return NULL;
    PyObject *path = PySys_GetObject("path"); /* borrowed */
    for (Py_ssize_t i = 0; path != NULL && PyList_Check(path) && i < PyList_GET_SIZE(path); i++) {
        PyObject *entry = PyList_GET_ITEM(path, i); /* borrowed */
        if (!PyUnicode_Check(entry))
            continue;
        Py_ssize_t n = PyUnicode_GET_LENGTH(entry);
        for (const Ref &name : names) {
            Py_ssize_t k = PyUnicode_GET_LENGTH(name.get());
            if (n <= k || PyUnicode_Tailmatch(entry, name.get(), 0, n, 1) != 1)
                continue;
            Py_UCS4 sep = PyUnicode_READ_CHAR(entry, n - k - 1);
            if ((sep == '/' || sep == '\\') && PyList_Append(dirs.get(), entry) < 0)
                return NULL;
        }
    }
    return dirs.release();
}

/* Loads the array extension from the interpreter's own directories, where
 * the import system would find it if nothing came first on sys.path; None
 * when it is not there.  Registered as "array" when register is set. */
static PyObject *
load_array_from_stdlib(int register_it)
{
    Ref dirs = Ref::steal(extension_dirs());
    Ref machinery = Ref::steal(PyImport_ImportModule("importlib.machinery"));
    Ref util = Ref::steal(PyImport_ImportModule("importlib.util"));
    if (!dirs || !machinery || !util)
        return NULL;
    Ref finder = Ref::steal(PyObject_GetAttrString(machinery.get(), "PathFinder"));
    if (!finder)
        return NULL;
    Ref found = Ref::steal(PyObject_CallMethod(finder.get(), "find_spec", "sO", "array",
                                               dirs.get()));
    if (!found || found.get() == Py_None)
        return found.release();
    Ref mod = Ref::steal(PyObject_CallMethod(util.get(), "module_from_spec", "O", found.get()));
    if (!mod)
        return NULL;
    PyObject *modules = PyImport_GetModuleDict(); /* borrowed */
    if (register_it && PyDict_SetItemString(modules, "array", mod.get()) < 0)
        return NULL;
    Ref loader = Ref::steal(PyObject_GetAttrString(found.get(), "loader"));
    Ref rc = Ref::steal(loader ? PyObject_CallMethod(loader.get(), "exec_module", "O",
                                                     mod.get())
                               : NULL);
    if (!rc) {
        if (register_it && PyDict_DelItemString(modules, "array") < 0)
            PyErr_WriteUnraisable(NULL);
        return NULL;
    }
    return mod.release();
}

/* The standard array module, as a new reference.  The script's directory
 * comes first on sys.path, so a plain import would run an array.py placed
 * there; the module is taken from sys.modules when it is the real one, as a
 * built-in module, or else from the interpreter's extension directories. */
static PyObject *
import_array_module(void)
{
    Ref name = Ref::steal(PyUnicode_FromString("array"));
    if (!name)
        return NULL;
    Ref present = Ref::steal(PyImport_GetModule(name.get()));
    if (!present && PyErr_Occurred())
        return NULL;
    if (present && is_real_array_module(present.get()))
        return present.release();
    PyObject *builtin_names = PySys_GetObject("builtin_module_names"); /* borrowed */
    int builtin = builtin_names ? PySequence_Contains(builtin_names, name.get()) : 0;
    if (builtin < 0)
        return NULL;
    if (builtin && !present)
        return PyImport_Import(name.get());
    /* When another module holds the name, the real one is loaded for the
     * reader alone. */
    Ref mod = Ref::steal(load_array_from_stdlib(!present));
    if (!mod)
        return NULL;
    if (mod.get() != Py_None)
        return mod.release();
    if (present) {
        PyErr_SetString(PyExc_ImportError, "vellum: no se encuentra el módulo array");
        return NULL;
    }
    return PyImport_Import(name.get());
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

/* The stream of a load: bytes, or a read-only buffer read in place (*view,
 * released by the caller), or any other read-only buffer through "y#". */
static int
stream_of(PyObject *arg, const unsigned char **data, Py_ssize_t *size, Py_buffer *view,
          const char *fname)
{
    view->obj = NULL;
    if (PyBytes_Check(arg)) {
        *data = (const unsigned char *)PyBytes_AS_STRING(arg);
        *size = PyBytes_GET_SIZE(arg);
        return 1;
    }
    if (stream_view(arg, view)) {
        *data = (const unsigned char *)view->buf;
        *size = view->len;
        return 1;
    }
    /* The pointer stays valid while arg lives. */
    Ref args = Ref::steal(PyTuple_Pack(1, arg));
    const char *d;
    if (!args || !PyArg_ParseTuple(args.get(), fname, &d, size))
        return 0;
    *data = (const unsigned char *)d;
    return 1;
}

/* One load with its own record; allow is null for a trusted load. */
static PyObject *
load_stream(PyObject *arg, PyObject *allow, int allow_functions, const char *fname)
{
    const unsigned char *data;
    Py_ssize_t size;
    Py_buffer view;
    if (!stream_of(arg, &data, &size, &view, fname))
        return NULL;
    Load ld;
    load_init(&ld, size, allow, allow_functions);
    Py_ssize_t pos = 0;
    PyObject *result = deserialize(&ld, data, size, &pos);
    load_free(&ld);
    PyBuffer_Release(&view);
    return result;
}

static PyObject *
py_deserialize_fast(PyObject *Py_UNUSED(self), PyObject *arg)
{
    return load_stream(arg, NULL, 0, "y#:deserialize_fast");
}

/* deserialize_safe(stream, allow, allow_functions): a load that resolves
 * classes and callables only statically, only among the approved objects
 * (a tuple), runs no carried source and builds function forms only when
 * allow_functions is true. */
static PyObject *
py_deserialize_safe(PyObject *Py_UNUSED(self), PyObject *args)
{
    PyObject *stream, *allow;
    int allow_functions;
    if (!PyArg_ParseTuple(args, "OO!p:deserialize_safe", &stream, &PyTuple_Type, &allow,
                          &allow_functions))
        return NULL;
    return load_stream(stream, allow, allow_functions, "y#:deserialize_safe");
}

/* approval(name, module, kind, allow): None when a safe load would take
 * what name denotes in module, else the reason it would not, as a str.  The
 * kind is 0 for a callable, 1 (or True) for a class whose instances the load
 * makes, 2 for any object, 3 for a class and 4 for the module itself.
 * Imports nothing and runs no code of what it looks at. */
static PyObject *
py_approval(PyObject *Py_UNUSED(self), PyObject *args)
{
    PyObject *name, *module, *allow;
    int kind;
    if (!PyArg_ParseTuple(args, "UUiO!:approval", &name, &module, &kind, &PyTuple_Type,
                          &allow))
        return NULL;
    if (kind < APPROVE_CALLABLE || kind > APPROVE_MODULE) {
        PyErr_Format(PyExc_ValueError, "approval: clase de %s desconocida %d", "aprobación",
                     kind);
        return NULL;
    }
    return approval_refusal(name, module, kind, allow);
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
    {"deserialize_safe", py_deserialize_safe, METH_VARARGS,
     "Deserializa sin ejecutar nada que no esté aprobado"},
    {"approval", py_approval, METH_VARARGS,
     "Dice si una carga segura tomaría la clase o el callable nombrado"},
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
    if (!objects_init() || !namespaces_init())
        return NULL;
    for (int i = 0; i < 256; i++) {
        g_byte_ints[i] = PyLong_FromLong(i);
        if (g_byte_ints[i] == NULL)
            return NULL;
    }
    /* Everything the reader uses is imported now: loading a stream that
     * carries no code imports nothing. */
    if (array_module_cached == NULL &&
        (array_module_cached = import_array_module()) == NULL)
        return NULL;
    return PyModule_Create2(&moduledef, 1013);
}
