/* Functions with the globals they read.  The function and code forms carry
 * the writing interpreter's bytecode version, a function takes its index
 * before its fields (so that it can reach itself), closure cells keep their
 * identity, and on load the functions of one module in one stream share one
 * fresh namespace.  Process-wide state: only this interpreter's version
 * bytes, made at initialisation; everything else lives in the call's
 * DedupState or the load's Load record. */
#include "vellum.h"

#include <marshal.h>

/* ---- the interpreter's bytecode version -------------------------------- */

/* The bytecode magic number (two bytes, big-endian), the major and the minor
 * version: bytecode and marshal format belong to one interpreter version. */
#define PYVERSION_LEN 4
static unsigned char g_pyversion[PYVERSION_LEN];

static PyObject *str_builtins_key; /* "__builtins__" */
static PyObject *str_name_key;     /* "__name__" */
static PyObject *str_module_attr;  /* "__module__" */
static PyObject *str_doc_attr;     /* "__doc__" */
static PyObject *str_dict_attr;    /* "__dict__" */
static PyObject *str_qualname_attr; /* "__qualname__" */

int
namespaces_init(void)
{
    long magic = PyImport_GetMagicNumber();
    if (magic == -1 && PyErr_Occurred())
        return 0;
    g_pyversion[0] = (unsigned char)((magic >> 8) & 0xFF);
    g_pyversion[1] = (unsigned char)(magic & 0xFF);
    g_pyversion[2] = PY_MAJOR_VERSION;
    g_pyversion[3] = PY_MINOR_VERSION;
    struct {
        PyObject **slot;
        const char *text;
    } names[] = {
        {&str_builtins_key, "__builtins__"}, {&str_name_key, "__name__"},
        {&str_module_attr, "__module__"},    {&str_doc_attr, "__doc__"},
        {&str_dict_attr, "__dict__"},        {&str_qualname_attr, "__qualname__"},
    };
    for (auto &n : names) {
        *n.slot = PyUnicode_InternFromString(n.text);
        if (*n.slot == NULL)
            return 0;
    }
    return 1;
}

/* ---- per-call state ---------------------------------------------------- */

/* A code object met again in one call is a reference to its bytecode block,
 * marshalled once: an open-addressing map from the code object's address to
 * the block's index.  Every code object in it is held by the call's retained
 * list, so no address is reused while the map is alive. */
struct CodeState {
    IdEntry *blobs;
    int32_t nb;
    int32_t count;
    int32_t pyversion_block; /* index + 1 of the version block, 0 before the first */
    PyObject *namespaces;    /* module name -> set of the global names written */
};

static CodeState *
code_state(DedupState *ds)
{
    if (ds->code != NULL)
        return ds->code;
    CodeState *cs = (CodeState *)PyMem_Calloc(1, sizeof(CodeState));
    if (cs == NULL) {
        PyErr_NoMemory();
        return NULL;
    }
    cs->namespaces = PyDict_New();
    if (cs->namespaces == NULL) {
        PyMem_Free(cs);
        return NULL;
    }
    ds->code = cs;
    return cs;
}

void
code_state_free(DedupState *ds)
{
    CodeState *cs = ds->code;
    if (cs == NULL)
        return;
    PyMem_Free(cs->blobs);
    Py_XDECREF(cs->namespaces);
    PyMem_Free(cs);
    ds->code = NULL;
}

static inline uintptr_t
blob_slot(uintptr_t key, int32_t nb)
{
    return (key >> 4) & (uintptr_t)(nb - 1);
}

static int32_t
code_blob_find(const CodeState *cs, PyObject *code)
{
    if (cs->count == 0)
        return -1;
    uintptr_t key = (uintptr_t)code;
    for (uintptr_t s = blob_slot(key, cs->nb);; s = (s + 1) & (uintptr_t)(cs->nb - 1)) {
        if (cs->blobs[s].key == key)
            return cs->blobs[s].val;
        if (cs->blobs[s].key == 0)
            return -1;
    }
}

/* 1, or 0 with MemoryError. */
[[nodiscard]] static int
code_blob_insert(CodeState *cs, PyObject *code, int32_t idx)
{
    if (2 * (cs->count + 1) > cs->nb) {
        int32_t nb = cs->nb ? 2 * cs->nb : 16;
        IdEntry *nt = (IdEntry *)PyMem_Calloc((size_t)nb, sizeof(IdEntry));
        if (nt == NULL) {
            PyErr_NoMemory();
            return 0;
        }
        for (int32_t i = 0; i < cs->nb; i++) {
            if (cs->blobs[i].key == 0)
                continue;
            uintptr_t s = blob_slot(cs->blobs[i].key, nb);
            while (nt[s].key != 0)
                s = (s + 1) & (uintptr_t)(nb - 1);
            nt[s] = cs->blobs[i];
        }
        PyMem_Free(cs->blobs);
        cs->blobs = nt;
        cs->nb = nb;
    }
    uintptr_t key = (uintptr_t)code;
    uintptr_t s = blob_slot(key, cs->nb);
    while (cs->blobs[s].key != 0)
        s = (s + 1) & (uintptr_t)(cs->nb - 1);
    cs->blobs[s].key = key;
    cs->blobs[s].val = idx;
    cs->count++;
    return 1;
}

/* ---- writers ----------------------------------------------------------- */

/* The version block: written once per call, a reference afterwards. */
[[nodiscard]] static int
write_pyversion(Buf *b, DedupState *ds, CodeState *cs)
{
    if (cs->pyversion_block > 0)
        return write_ref(b, cs->pyversion_block - 1);
    int32_t idx = write_dedup_index(b, ds, TAG_FUNCTION, g_pyversion, PYVERSION_LEN);
    if (idx < 0)
        return 0;
    cs->pyversion_block = idx + 1;
    return 1;
}

/* The version block and the marshalled code as a dedup block.  Functions and
 * code objects share one content tag, so a code object written both ways is
 * one block. */
[[nodiscard]] static int
write_versioned_code(Buf *b, DedupState *ds, CodeState *cs, PyObject *code)
{
    if (!write_pyversion(b, ds, cs))
        return 0;
    int32_t idx = code_blob_find(cs, code);
    if (idx >= 0)
        return write_ref(b, idx);
    Ref blob = Ref::steal(PyMarshal_WriteObjectToString(code, Py_MARSHAL_VERSION));
    if (!blob)
        return 0;
    idx = write_dedup_index(b, ds, TAG_FN_BYTECODE,
                            (const unsigned char *)PyBytes_AS_STRING(blob.get()),
                            PyBytes_GET_SIZE(blob.get()));
    return idx >= 0 && retain(ds, code) && code_blob_insert(cs, code, idx);
}

int
serialize_code(Buf *b, DedupState *ds, PyObject *code)
{
    CodeState *cs = code_state(ds);
    return cs != NULL && buf_u8(b, TAG_CODE_V2) && write_versioned_code(b, ds, cs, code);
}

/* Nested code objects are at most as deep as the compiler nests scopes;
 * this bound only stops a hand-made code object from recursing forever. */
#define CODE_NESTING_MAX 256

/* Adds to *pairs (name, value, name, value, ...; the list made on first
 * use) every global that the code and the code objects nested in it may
 * load, store or delete and that globals holds, unless the namespace's set
 * of written names has it: the code's names, which hold attribute names
 * too, over-approximate them. */
[[nodiscard]] static int
collect_globals(PyObject *code, PyObject *globals, PyObject *written, Ref *pairs,
                int nesting)
{
    if (nesting > CODE_NESTING_MAX) {
        PyErr_SetString(PyExc_ValueError, "código anidado demasiado profundo");
        return 0;
    }
    PyCodeObject *co = (PyCodeObject *)code;
    PyObject *names = co->co_names; /* borrowed */
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); i++) {
        PyObject *name = PyTuple_GET_ITEM(names, i); /* borrowed */
        /* A dict lookup by a str key runs no code. */
        PyObject *value = PyDict_GetItemWithError(globals, name); /* borrowed */
        if (value == NULL) {
            if (PyErr_Occurred())
                return 0;
            continue;
        }
        if (PyUnicode_Check(name) && PyUnicode_Compare(name, str_builtins_key) == 0)
            continue; /* the loaded namespace has builtins of its own */
        int seen = PySet_Contains(written, name);
        if (seen < 0)
            return 0;
        if (seen)
            continue;
        if (!*pairs && !(*pairs = Ref::steal(PyList_New(0))))
            return 0;
        if (PySet_Add(written, name) < 0 || PyList_Append(pairs->get(), name) < 0 ||
            PyList_Append(pairs->get(), value) < 0)
            return 0;
    }
    PyObject *consts = co->co_consts; /* borrowed */
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts); i++) {
        PyObject *c = PyTuple_GET_ITEM(consts, i);
        if (PyCode_Check(c) && !collect_globals(c, globals, written, pairs, nesting + 1))
            return 0;
    }
    return 1;
}

/* The module name that keys a function's namespace: its globals' __name__
 * when that is a str, else the empty string. */
static PyObject *
namespace_name(PyObject *globals)
{
    PyObject *name = PyDict_GetItemWithError(globals, str_name_key); /* borrowed */
    if (name != NULL && PyUnicode_CheckExact(name))
        return Py_NewRef(name);
    if (PyErr_Occurred())
        return NULL;
    return PyUnicode_FromStringAndSize(NULL, 0);
}

/* The set of global names already written for a namespace (borrowed). */
static PyObject *
written_names(CodeState *cs, PyObject *ns_name)
{
    PyObject *set = PyDict_GetItemWithError(cs->namespaces, ns_name); /* borrowed */
    if (set != NULL || PyErr_Occurred())
        return set;
    Ref fresh = Ref::steal(PySet_New(NULL));
    if (!fresh || PyDict_SetItem(cs->namespaces, ns_name, fresh.get()) < 0)
        return NULL;
    return fresh.get(); /* the dict keeps it */
}

/* Whether a function's __module__ is what its namespace gives it on load. */
static int
module_is_namespace(PyObject *module, PyObject *ns_name)
{
    if (PyUnicode_GET_LENGTH(ns_name) == 0)
        return module == Py_None;
    return module != NULL && PyUnicode_CheckExact(module) &&
           PyUnicode_Compare(module, ns_name) == 0;
}

/* Closure: the count, then each cell as a value, so that a cell shared by
 * several functions is written once. */
[[nodiscard]] static int
write_closure(Buf *b, DedupState *ds, PyObject *closure)
{
    Py_ssize_t n = PyTuple_GET_SIZE(closure);
    if (!write_len(b, n))
        return 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *cell = PyTuple_GET_ITEM(closure, i); /* borrowed */
        if (!PyCell_Check(cell)) {
            PyErr_SetString(PyExc_TypeError, "__closure__ contiene algo que no es una celda");
            return 0;
        }
        if (!serialize(b, ds, cell))
            return 0;
    }
    return 1;
}

/* Global names and values: the count, then each name as a str field and its
 * value. */
[[nodiscard]] static int
write_globals(Buf *b, DedupState *ds, PyObject *pairs)
{
    Py_ssize_t n = PyList_GET_SIZE(pairs) / 2;
    if (!write_len(b, n))
        return 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        /* The list holds both: a value that rebinds the global stays alive. */
        if (!write_str_field(b, ds, PyList_GET_ITEM(pairs, 2 * i)) ||
            !serialize(b, ds, PyList_GET_ITEM(pairs, 2 * i + 1)))
            return 0;
    }
    return 1;
}

int
serialize_function(Buf *b, DedupState *ds, PyObject *fn)
{
    int seen = index_seen(b, ds, fn);
    if (seen >= 0)
        return seen;
    CodeState *cs = code_state(ds);
    if (cs == NULL)
        return 0;
    PyFunctionObject *f = (PyFunctionObject *)fn;
    /* Held across the writes: nested values can run code that rebinds them. */
    Ref code = Ref::borrow(f->func_code);
    Ref globals = Ref::borrow(f->func_globals);
    Ref qualname = Ref::borrow(f->func_qualname);
    Ref name = Ref::borrow(f->func_name);
    Ref module = Ref::borrow(f->func_module);
    Ref defaults = Ref::borrow(f->func_defaults);
    Ref kwdefaults = Ref::borrow(f->func_kwdefaults);
    Ref closure = Ref::borrow(f->func_closure);
    Ref doc = Ref::borrow(f->func_doc);
    Ref dict = Ref::borrow(f->func_dict);
    Ref ns_name = Ref::steal(namespace_name(globals.get()));
    if (!ns_name)
        return 0;
    if (!PyUnicode_Check(qualname.get()) || !PyUnicode_Check(name.get())) {
        PyErr_SetString(PyExc_TypeError, "función con un nombre que no es str");
        return 0;
    }

    if (!buf_u8(b, TAG_FUNCTION) || !write_versioned_code(b, ds, cs, code.get()) ||
        !write_str_field(b, ds, ns_name.get()))
        return 0;
    /* The function takes its index before its fields, which may reach it. */
    if (!index_take(ds, fn))
        return 0;

    PyObject *written = written_names(cs, ns_name.get()); /* borrowed */
    Ref pairs;
    if (written == NULL || !collect_globals(code.get(), globals.get(), written, &pairs, 0))
        return 0;
    int has_dict = dict && PyDict_Check(dict.get()) && PyDict_GET_SIZE(dict.get()) > 0;
    uint8_t flags = (uint8_t)(
        (defaults ? FN_DEFAULTS : 0) | (kwdefaults ? FN_KWDEFAULTS : 0) |
        (closure ? FN_CLOSURE : 0) | (pairs ? FN_GLOBALS : 0) |
        (has_dict ? FN_DICT : 0) | (doc && doc.get() != Py_None ? FN_DOC : 0) |
        (PyUnicode_Compare(name.get(), ((PyCodeObject *)code.get())->co_name) != 0 ? FN_NAME : 0) |
        (module_is_namespace(module.get(), ns_name.get()) ? 0 : FN_MODULE));
    if (PyErr_Occurred())
        return 0;

    if (!buf_u8(b, flags) || !write_str_field(b, ds, qualname.get()))
        return 0;
    if ((flags & FN_NAME) && !write_str_field(b, ds, name.get()))
        return 0;
    if ((flags & FN_MODULE) && !serialize(b, ds, module ? module.get() : Py_None))
        return 0;
    if ((flags & FN_DEFAULTS) && !serialize(b, ds, defaults.get()))
        return 0;
    if ((flags & FN_KWDEFAULTS) && !serialize(b, ds, kwdefaults.get()))
        return 0;
    if ((flags & FN_CLOSURE) && !write_closure(b, ds, closure.get()))
        return 0;
    if ((flags & FN_GLOBALS) && !write_globals(b, ds, pairs.get()))
        return 0;
    if ((flags & FN_DICT) && !serialize(b, ds, dict.get()))
        return 0;
    return !(flags & FN_DOC) || serialize(b, ds, doc.get());
}

/* A cell takes its index before its contents, which may reach it again. */
int
serialize_cell(Buf *b, DedupState *ds, PyObject *cell)
{
    int seen = index_seen(b, ds, cell);
    if (seen >= 0)
        return seen;
    if (!buf_u8(b, TAG_CELL) || !index_take(ds, cell))
        return 0;
    Ref contents = Ref::steal(PyCell_Get(cell));
    if (!contents) {
        /* An empty cell: a free variable not assigned yet. */
        PyErr_Clear();
        return buf_u8(b, 0x00);
    }
    return buf_u8(b, 0x01) && serialize(b, ds, contents.get());
}

/* ---- readers ----------------------------------------------------------- */

/* The version block, checked against this interpreter before any bytecode
 * is read: marshalled code of another version can crash the interpreter. */
[[nodiscard]] static int
read_pyversion(READER_ARGS, uint8_t tag)
{
    Ref v = Ref::steal(read_dedup_bytes_checked(ld, data, size, pos,
                                                tag == TAG_FUNCTION ? "0x30" : "0x31"));
    if (!v)
        return 0;
    const unsigned char *p = (const unsigned char *)PyBytes_AS_STRING(v.get());
    if (PyBytes_GET_SIZE(v.get()) != PYVERSION_LEN) {
        PyErr_Format(PyExc_ValueError, "0x%02x: campo de %s de %zd bytes, se esperaban %d",
                     tag, "versión", PyBytes_GET_SIZE(v.get()), PYVERSION_LEN);
        return 0;
    }
    if (memcmp(p, g_pyversion, PYVERSION_LEN) == 0)
        return 1;
    PyErr_Format(PyExc_ValueError,
                 "0x%02x: bytecode escrito por CPython %d.%d (magic %d); este %s es "
                 "CPython %d.%d (magic %d) y no carga bytecode de otra %s",
                 tag, p[2], p[3], p[0] << 8 | p[1], "intérprete", g_pyversion[2],
                 g_pyversion[3], g_pyversion[0] << 8 | g_pyversion[1], "versión");
    return 0;
}

/* The version block and the code block: a code object, loaded once per
 * block in one load (closures of one body share it, as they did). */
static PyObject *
read_versioned_code(READER_ARGS, uint8_t tag)
{
    const char *what = tag == TAG_FUNCTION ? "0x30" : "0x31";
    if (!read_pyversion(ld, data, size, pos, tag))
        return NULL;
    Ref blob = Ref::steal(read_dedup_bytes_checked(ld, data, size, pos, what));
    if (!blob)
        return NULL;
    if (ld->codes == NULL && (ld->codes = PyDict_New()) == NULL)
        return NULL;
    PyObject *code;
    int found = compat_dict_get_item_ref(ld->codes, blob.get(), &code);
    if (found != 0)
        return code;
    code = PyMarshal_ReadObjectFromString(PyBytes_AS_STRING(blob.get()),
                                          PyBytes_GET_SIZE(blob.get()));
    if (code == NULL)
        return NULL;
    if (!PyCode_Check(code)) {
        PyErr_Format(PyExc_TypeError, "%s: el bloque no contiene %s sino %.200s", what,
                     "código", Py_TYPE(code)->tp_name);
        Py_DECREF(code);
        return NULL;
    }
    if (PyDict_SetItem(ld->codes, blob.get(), code) < 0) {
        Py_DECREF(code);
        return NULL;
    }
    return code;
}

PyObject *
deserialize_code_v2(READER_ARGS)
{
    if (function_forms_refused(ld, "bytecode is never approved"))
        return NULL;
    return read_versioned_code(ld, data, size, pos, TAG_CODE_V2);
}

/* The namespace of a module name in this load, made on first use with the
 * name and builtins of its own (new reference). */
static PyObject *
load_namespace(Load *ld, PyObject *module)
{
    if (ld->namespaces == NULL && (ld->namespaces = PyDict_New()) == NULL)
        return NULL;
    PyObject *ns;
    int found = compat_dict_get_item_ref(ld->namespaces, module, &ns);
    if (found != 0)
        return found > 0 ? ns : NULL;
    Ref fresh = Ref::steal(PyDict_New());
    PyObject *builtins = PyEval_GetBuiltins(); /* borrowed */
    if (!fresh || builtins == NULL)
        return NULL;
    if (PyUnicode_GET_LENGTH(module) > 0 &&
        PyDict_SetItem(fresh.get(), str_name_key, module) < 0)
        return NULL;
    if (PyDict_SetItem(fresh.get(), str_builtins_key, builtins) < 0 ||
        PyDict_SetItem(ld->namespaces, module, fresh.get()) < 0)
        return NULL;
    return fresh.release();
}

/* A closure of empty cells, so that a function that is reached while its
 * fields are read never runs without the cells its code reads. */
[[nodiscard]] static int
set_empty_closure(PyObject *fn, Py_ssize_t nfree)
{
    Ref cells = Ref::steal(PyTuple_New(nfree));
    if (!cells)
        return 0;
    for (Py_ssize_t i = 0; i < nfree; i++) {
        PyObject *cell = PyCell_New(NULL);
        if (cell == NULL)
            return 0;
        PyTuple_SET_ITEM(cells.get(), i, cell); /* steals cell */
    }
    return PyFunction_SetClosure(fn, cells.get()) == 0;
}

/* A value of the type the function field needs. */
static PyObject *
read_field(READER_ARGS, PyTypeObject *tp, const char *field)
{
    PyObject *v = deserialize(ld, data, size, pos);
    if (v != NULL && !Py_IS_TYPE(v, tp)) {
        PyErr_Format(PyExc_TypeError, "0x30: %s debe ser %s, no %.200s", field, tp->tp_name,
                     Py_TYPE(v)->tp_name);
        Py_DECREF(v);
        return NULL;
    }
    return v;
}

[[nodiscard]] static int
read_closure(READER_ARGS, PyObject *fn, Py_ssize_t nfree)
{
    Py_ssize_t n = read_len(data, size, pos);
    if (n < 0) {
        fail_value("0x30: EOF en celdas");
        return 0;
    }
    if (n != nfree) {
        PyErr_Format(PyExc_ValueError, "0x30: %zd celdas para %zd variables libres", n, nfree);
        return 0;
    }
    Ref cells = Ref::steal(PyTuple_New(n));
    if (!cells)
        return 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *cell = deserialize(ld, data, size, pos);
        if (cell == NULL)
            return 0;
        if (!PyCell_Check(cell)) {
            PyErr_Format(PyExc_TypeError, "0x30: la clausura contiene %.200s, no una celda",
                         Py_TYPE(cell)->tp_name);
            Py_DECREF(cell);
            return 0;
        }
        PyTuple_SET_ITEM(cells.get(), i, cell); /* steals cell */
    }
    return PyFunction_SetClosure(fn, cells.get()) == 0;
}

/* Counts the function globals being read, so that a safe load with
 * allow_functions knows what they name. */
struct GlobalsScope {
    Load *ld;
    explicit GlobalsScope(Load *l) : ld(l) { ++ld->globals_depth; }
    ~GlobalsScope() { --ld->globals_depth; }
    GlobalsScope(const GlobalsScope &) = delete;
    GlobalsScope &operator=(const GlobalsScope &) = delete;
};

/* name, value pairs into the namespace. */
[[nodiscard]] static int
read_globals(READER_ARGS, PyObject *ns)
{
    Py_ssize_t n = read_len(data, size, pos);
    if (n < 0) {
        fail_value("0x30: EOF en globales");
        return 0;
    }
    GlobalsScope scope(ld);
    for (Py_ssize_t i = 0; i < n; i++) {
        Ref name = Ref::steal(read_str_field(ld, data, size, pos));
        if (!name)
            return 0;
        Ref value = Ref::steal(deserialize(ld, data, size, pos));
        if (!value || PyDict_SetItem(ns, name.get(), value.get()) < 0)
            return 0;
    }
    return 1;
}

/* obj.attr = value when it is not that already. */
[[nodiscard]] static int
set_if_differs(PyObject *fn, PyObject *attr, PyObject *current, PyObject *value)
{
    if (current == value)
        return 1;
    if (current != NULL && PyUnicode_CheckExact(current) && PyUnicode_CheckExact(value) &&
        PyUnicode_Compare(current, value) == 0)
        return 1;
    return PyObject_SetAttr(fn, attr, value) == 0;
}

PyObject *
deserialize_function(READER_ARGS)
{
    if (function_forms_refused(ld, "bytecode is never approved"))
        return NULL;
    Ref code = Ref::steal(read_versioned_code(ld, data, size, pos, TAG_FUNCTION));
    if (!code)
        return NULL;
    Ref module = Ref::steal(read_str_field(ld, data, size, pos));
    if (!module)
        return NULL;
    Ref ns = Ref::steal(load_namespace(ld, module.get()));
    if (!ns)
        return NULL;
    Ref fn = Ref::steal(PyFunction_New(code.get(), ns.get()));
    if (!fn)
        return NULL;
    Py_ssize_t nfree = ((PyCodeObject *)code.get())->co_nfreevars;
    if (nfree > 0 && !set_empty_closure(fn.get(), nfree))
        return NULL;
    if (!read_table_push(ld, fn.get()))
        return NULL;

    if (*pos >= size)
        return fail_value("0x30: EOF en flags");
    uint8_t flags = data[(*pos)++];
    PyFunctionObject *f = (PyFunctionObject *)fn.get();
    Ref qualname = Ref::steal(read_str_field(ld, data, size, pos));
    if (!qualname || !set_if_differs(fn.get(), str_qualname_attr, f->func_qualname,
                                     qualname.get()))
        return NULL;
    if (flags & FN_NAME) {
        Ref name = Ref::steal(read_str_field(ld, data, size, pos));
        if (!name || PyObject_SetAttrString(fn.get(), "__name__", name.get()) < 0)
            return NULL;
    }
    if (flags & FN_MODULE) {
        Ref mod = Ref::steal(deserialize(ld, data, size, pos));
        if (!mod || PyObject_SetAttr(fn.get(), str_module_attr, mod.get()) < 0)
            return NULL;
    }
    if (flags & FN_DEFAULTS) {
        Ref d = Ref::steal(read_field(ld, data, size, pos, &PyTuple_Type, "defaults"));
        if (!d || PyFunction_SetDefaults(fn.get(), d.get()) < 0)
            return NULL;
    }
    if (flags & FN_KWDEFAULTS) {
        Ref d = Ref::steal(read_field(ld, data, size, pos, &PyDict_Type, "kwdefaults"));
        if (!d || PyFunction_SetKwDefaults(fn.get(), d.get()) < 0)
            return NULL;
    }
    if (flags & FN_CLOSURE) {
        if (!read_closure(ld, data, size, pos, fn.get(), nfree))
            return NULL;
    }
    else if (nfree > 0) {
        PyErr_Format(PyExc_ValueError, "0x30: 0 celdas para %zd variables libres", nfree);
        return NULL;
    }
    if ((flags & FN_GLOBALS) && !read_globals(ld, data, size, pos, ns.get()))
        return NULL;
    if (flags & FN_DICT) {
        Ref d = Ref::steal(read_field(ld, data, size, pos, &PyDict_Type, "__dict__"));
        if (!d || PyObject_SetAttr(fn.get(), str_dict_attr, d.get()) < 0)
            return NULL;
    }
    Ref doc = Ref::borrow(Py_None);
    if ((flags & FN_DOC) && !(doc = Ref::steal(deserialize(ld, data, size, pos))))
        return NULL;
    if (!set_if_differs(fn.get(), str_doc_attr, f->func_doc, doc.get()))
        return NULL;
    return fn.release();
}

PyObject *
deserialize_cell(READER_ARGS)
{
    Ref cell = Ref::steal(PyCell_New(NULL));
    if (!cell || !read_table_push(ld, cell.get()))
        return NULL;
    if (*pos >= size)
        return fail_value("0x35: EOF en celda");
    uint8_t marker = data[(*pos)++];
    if (marker == 0x00)
        return cell.release();
    if (marker != 0x01) {
        PyErr_Format(PyExc_ValueError, "0x35: marcador inesperado 0x%02x", marker);
        return NULL;
    }
    Ref contents = Ref::steal(deserialize(ld, data, size, pos));
    if (!contents || PyCell_Set(cell.get(), contents.get()) < 0)
        return NULL;
    return cell.release();
}
