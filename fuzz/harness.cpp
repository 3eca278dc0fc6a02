/* libFuzzer entry point for the loader and the verifier.
 *
 * The interpreter is embedded and the extension's sources are compiled into
 * this binary with coverage and AddressSanitizer/UndefinedBehaviorSanitizer
 * instrumentation; the interpreter itself is not instrumented, so the
 * coverage that guides the fuzzer is the codec's own.  Each input goes to
 * fuzz/oracle.py's check(), which raises on a broken property; the harness
 * then aborts so that libFuzzer keeps the input.
 *
 * The built-in module _fuzzmem meters the heap through the sanitizer's
 * allocation hooks (the interpreter is started with its plain malloc
 * allocator, so every Python object is counted too): start() sets the
 * baseline, peak() returns the highest number of live bytes above it. */
#include <Python.h>

#include <sanitizer/allocator_interface.h>
#include <stdio.h>
#include <stdlib.h>

extern "C" PyObject *PyInit__vellum(void);

static long long g_live = 0;
static long long g_base = 0;
static long long g_peak = 0;

static void
on_malloc(const volatile void *, size_t n)
{
    g_live += (long long)n;
    if (g_live > g_peak)
        g_peak = g_live;
}

static void
on_free(const volatile void *p)
{
    if (p != NULL)
        g_live -= (long long)__sanitizer_get_allocated_size((const void *)p);
}

static PyObject *
fuzzmem_start(PyObject *, PyObject *)
{
    g_base = g_peak = g_live;
    Py_RETURN_NONE;
}

static PyObject *
fuzzmem_peak(PyObject *, PyObject *)
{
    return PyLong_FromLongLong(g_peak - g_base);
}

static PyMethodDef fuzzmem_methods[] = {
    {"start", fuzzmem_start, METH_NOARGS, NULL},
    {"peak", fuzzmem_peak, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static PyModuleDef fuzzmem_def = {PyModuleDef_HEAD_INIT, "_fuzzmem", NULL, -1, fuzzmem_methods,
                                  NULL, NULL, NULL, NULL};

static PyObject *
fuzzmem_init(void)
{
    return PyModule_Create(&fuzzmem_def);
}

static PyObject *g_check = NULL;

[[noreturn]] static void
die(const char *what)
{
    fprintf(stderr, "harness: %s\n", what);
    if (PyErr_Occurred())
        PyErr_Print();
    fflush(stderr);
    abort();
}

/* VELLUM_TREE names the checkout: src/ holds the package's Python modules,
 * fuzz/ the oracle and tests/ the machinery it shares with the suite. */
extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
    const char *tree = getenv("VELLUM_TREE");
    if (tree == NULL)
        die("VELLUM_TREE is not set");
    setenv("PYTHONMALLOC", "malloc", 1);
    setenv("PYTHONDONTWRITEBYTECODE", "1", 1);
    if (PyImport_AppendInittab("_fuzzmem", fuzzmem_init) < 0)
        die("cannot register _fuzzmem");
    Py_InitializeEx(0);

    /* The package's pure-Python modules from the tree, its extension from
     * this binary: registered before the package imports it. */
    PyObject *ext = PyInit__vellum();
    if (ext == NULL)
        die("PyInit__vellum failed");
    PyObject *modules = PyImport_GetModuleDict();
    if (PyDict_SetItemString(modules, "vellum._vellum", ext) < 0)
        die("cannot register vellum._vellum");
    Py_DECREF(ext);
    PyObject *path = PySys_GetObject("path"); /* borrowed */
    const char *dirs[] = {"/tests", "/fuzz", "/src"};
    for (const char *dir : dirs) {
        PyObject *entry = PyUnicode_FromFormat("%s%s", tree, dir);
        if (path == NULL || entry == NULL || PyList_Insert(path, 0, entry) < 0)
            die("cannot extend sys.path");
        Py_DECREF(entry);
    }
    if (PyRun_SimpleString("import vellum, vellum.vellum, oracle\n"
                           "vellum._vellum = __import__('sys').modules['vellum._vellum']\n") != 0)
        die("cannot import vellum and the oracle");
    PyObject *oracle = PyImport_AddModule("oracle"); /* borrowed */
    g_check = oracle ? PyObject_GetAttrString(oracle, "check") : NULL;
    if (g_check == NULL)
        die("the oracle has no check()");
    __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
    return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    PyObject *stream = PyBytes_FromStringAndSize((const char *)data, (Py_ssize_t)size);
    if (stream == NULL)
        die("cannot make the input bytes");
    PyObject *r = PyObject_CallOneArg(g_check, stream);
    Py_DECREF(stream);
    if (r == NULL)
        die("a property failed");
    Py_DECREF(r);
    return 0;
}
