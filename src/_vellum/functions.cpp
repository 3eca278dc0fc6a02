/* Code by value: functions (marshalled code, positional defaults, closure
 * cell contents), code objects, the classmethod / staticmethod / property
 * wrappers, and on load the execution of source text into namespaces kept
 * in the process-wide exec_cache. */
#include "vellum.h"

#include <marshal.h>

/* ---- writers ----------------------------------------------------------- */

/* Writes tag and the marshalled form of code as a dedup block. */
[[nodiscard]] static int
write_code_block(Buf *b, DedupState *ds, uint8_t tag, PyObject *code)
{
    Ref blob = Ref::steal(PyMarshal_WriteObjectToString(code, Py_MARSHAL_VERSION));
    if (!blob)
        return 0;
    return buf_u8(b, tag) &&
           write_dedup(b, ds, tag, (const unsigned char *)PyBytes_AS_STRING(blob.get()),
                       PyBytes_GET_SIZE(blob.get()));
}

/* Count and values of a tuple, or the count 0 for anything else. */
[[nodiscard]] static int
serialize_counted(Buf *b, DedupState *ds, PyObject *tuple, int cells)
{
    if (tuple == NULL || !PyTuple_Check(tuple))
        return write_len(b, 0);
    Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    if (!write_len(b, n))
        return 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *item = PyTuple_GET_ITEM(tuple, i); /* borrowed */
        if (!cells) {
            if (!serialize(b, ds, item))
                return 0;
            continue;
        }
        if (!PyCell_Check(item)) {
            PyErr_SetString(PyExc_TypeError, "__closure__ contiene algo que no es una celda");
            return 0;
        }
        /* An empty cell (a free variable not yet assigned) travels as None. */
        Ref contents = Ref::steal(PyCell_Get(item));
        if (!contents) {
            PyErr_Clear();
            contents = Ref::borrow(Py_None);
        }
        if (!serialize_owned(b, ds, contents.get()))
            return 0;
    }
    return 1;
}

int
serialize_function(Buf *b, DedupState *ds, PyObject *fn)
{
    /* Held across the writes: nested values can run code that rebinds them. */
    Ref code = Ref::borrow(PyFunction_GET_CODE(fn));
    Ref defaults = Ref::borrow(PyFunction_GET_DEFAULTS(fn));
    Ref closure = Ref::borrow(PyFunction_GET_CLOSURE(fn));
    int ok = write_code_block(b, ds, TAG_FN_BYTECODE, code.get()) &&
             serialize_counted(b, ds, defaults.get(), 0) &&
             serialize_counted(b, ds, closure.get(), 1);
    /* Rebound meanwhile, the defaults go when released here. */
    hold_registered(ds);
    return ok;
}

int
serialize_code(Buf *b, DedupState *ds, PyObject *code)
{
    return write_code_block(b, ds, TAG_CODE, code);
}

int
serialize_method_wrapper(Buf *b, DedupState *ds, PyObject *obj, uint8_t tag)
{
    Ref func = Ref::steal(PyObject_GetAttrString(obj, "__func__"));
    return func && buf_u8(b, tag) && serialize_owned(b, ds, func.get());
}

int
serialize_property(Buf *b, DedupState *ds, PyObject *prop)
{
    static const char *const accessors[] = {"fget", "fset", "fdel"};
    if (!buf_u8(b, TAG_PROPERTY))
        return 0;
    for (const char *name : accessors) {
        Ref acc = Ref::steal(PyObject_GetAttrString(prop, name));
        if (!acc)
            return 0;
        if (acc.get() == Py_None) {
            if (!buf_u8(b, 0x00))
                return 0;
        }
        else if (!buf_u8(b, 0x01) || !serialize_owned(b, ds, acc.get())) {
            return 0;
        }
    }
    return 1;
}

/* ---- source execution -------------------------------------------------- */

PyObject *
exec_source(PyObject *source)
{
    PyObject *ns;
    int found = compat_dict_get_item_ref(exec_cache, source, &ns);
    if (found != 0)
        return found > 0 ? ns : NULL;

    const char *raw = PyBytes_AS_STRING(source);
    Py_ssize_t n = PyBytes_GET_SIZE(source);
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(raw, n, "strict"));
    if (!text)
        return NULL;
    /* The text is handed on as a C string: a NUL inside would cut it short. */
    if (memchr(raw, 0, (size_t)n) != NULL) {
        PyErr_SetString(PyExc_ValueError, "el código fuente contiene bytes nulos");
        return NULL;
    }
    Ref nsref = Ref::steal(PyDict_New());
    if (!nsref)
        return NULL;
    PyObject *builtins = PyEval_GetBuiltins(); /* borrowed */
    if (builtins == NULL ||
        PyDict_SetItemString(nsref.get(), "__builtins__", builtins) < 0)
        return NULL;
    Ref rc = Ref::steal(PyRun_StringFlags(raw, Py_file_input, nsref.get(),
                                          nsref.get(), NULL));
    if (!rc)
        return NULL;
    if (PyDict_SetItem(exec_cache, source, nsref.get()) < 0)
        return NULL;
    return nsref.release();
}

/* ---- readers ----------------------------------------------------------- */

/* Reads a marshalled blob and loads it; the result must be a code object. */
static PyObject *
read_code_block(READER_ARGS, const char *what)
{
    Ref blob = Ref::steal(read_dedup_bytes_checked(data, size, pos, what));
    if (!blob)
        return NULL;
    PyObject *code = PyMarshal_ReadObjectFromString(PyBytes_AS_STRING(blob.get()),
                                                    PyBytes_GET_SIZE(blob.get()));
    if (code != NULL && !PyCode_Check(code)) {
        PyErr_Format(PyExc_TypeError, "%s: el bloque no contiene %s sino %.200s",
                     what, "código", Py_TYPE(code)->tp_name);
        Py_DECREF(code);
        return NULL;
    }
    return code;
}

/* A counted run of values as a tuple, or no tuple for the count 0. */
[[nodiscard]] static int
read_counted(READER_ARGS, const char *eof_msg, int cells, Ref *out)
{
    Py_ssize_t n = read_len(data, size, pos);
    if (n < 0) {
        fail_value(eof_msg);
        return 0;
    }
    if (n == 0)
        return 1;
    /* Every value takes at least one byte: a count beyond the input fails
     * while reading, so the tuple is sized only by what can be there. */
    Py_ssize_t room = n < size - *pos ? n : size - *pos;
    Ref tuple = Ref::steal(PyTuple_New(room));
    if (!tuple)
        return 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *item = deserialize(data, size, pos);
        if (item == NULL)
            return 0;
        if (i >= room) { /* unreachable for well-formed input */
            Py_DECREF(item);
            continue;
        }
        if (cells) {
            PyObject *cell = PyCell_New(item);
            Py_DECREF(item);
            if (cell == NULL)
                return 0;
            item = cell;
        }
        PyTuple_SET_ITEM(tuple.get(), i, item); /* steals item */
    }
    if (room < n) {
        fail_value("EOF");
        return 0;
    }
    *out = std::move(tuple);
    return 1;
}

PyObject *
deserialize_fn_bytecode(READER_ARGS)
{
    Ref code = Ref::steal(read_code_block(data, size, pos, "0x20"));
    if (!code)
        return NULL;
    Ref defaults, closure;
    if (!read_counted(data, size, pos, "EOF fn defaults", 0, &defaults) ||
        !read_counted(data, size, pos, "EOF fn freevars", 1, &closure))
        return NULL;

    /* A closure that does not match the code's free variables would let the
     * function read cells that are not there. */
    Py_ssize_t ncells = closure ? PyTuple_GET_SIZE(closure.get()) : 0;
    Py_ssize_t nfree = ((PyCodeObject *)code.get())->co_nfreevars;
    if (ncells != nfree) {
        PyErr_Format(PyExc_ValueError,
                     "0x20: %zd celdas para %zd variables libres", ncells, nfree);
        return NULL;
    }

    /* Globals are the builtins namespace: module globals do not travel. */
    Ref globals;
    PyObject *builtins_mod = get_builtins_module(); /* borrowed */
    if (builtins_mod != NULL) {
        globals = Ref::borrow(PyModule_GetDict(builtins_mod));
    }
    else {
        PyErr_Clear();
        globals = Ref::steal(PyDict_New());
        if (!globals)
            return NULL;
    }
    Ref fn = Ref::steal(PyFunction_New(code.get(), globals.get()));
    if (!fn)
        return NULL;
    if (defaults && PyFunction_SetDefaults(fn.get(), defaults.get()) < 0)
        return NULL;
    if (closure && PyFunction_SetClosure(fn.get(), closure.get()) < 0)
        return NULL;
    return fn.release();
}

PyObject *
deserialize_code(READER_ARGS)
{
    return read_code_block(data, size, pos, "0x21");
}

PyObject *
deserialize_method_wrapper(READER_ARGS, uint8_t tag)
{
    Ref func = Ref::steal(deserialize(data, size, pos));
    if (!func)
        return NULL;
    return tag == TAG_CLASSMETHOD ? PyClassMethod_New(func.get())
                                  : PyStaticMethod_New(func.get());
}

PyObject *
deserialize_property(READER_ARGS)
{
    Ref accessors[3];
    for (Ref &acc : accessors) {
        if (*pos >= size)
            return fail_value("0x24: EOF en accesor");
        uint8_t present = data[(*pos)++];
        if (present == 0x00) {
            acc = Ref::borrow(Py_None);
        }
        else if (present == 0x01) {
            acc = Ref::steal(deserialize(data, size, pos));
            if (!acc)
                return NULL;
        }
        else {
            PyErr_Format(PyExc_ValueError, "0x24: marker inesperado: 0x%02x", present);
            return NULL;
        }
    }
    return PyObject_CallFunctionObjArgs((PyObject *)&PyProperty_Type, accessors[0].get(),
                                        accessors[1].get(), accessors[2].get(), NULL);
}

PyObject *
deserialize_fn_source(READER_ARGS)
{
    if (*pos >= size)
        return fail_value("EOF fn name tag");
    if (data[(*pos)++] != TAG_STR)
        return fail_value("0x0D: esperado 0x05");
    Ref name = Ref::steal(read_dedup_bytes_checked(data, size, pos, "0x0D"));
    if (!name)
        return NULL;
    Ref source = Ref::steal(read_dedup_bytes_checked(data, size, pos, "0x0D"));
    if (!source)
        return NULL;
    Ref ns = Ref::steal(exec_source(source.get()));
    if (!ns)
        return NULL;
    Ref key = Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(name.get()),
                                              PyBytes_GET_SIZE(name.get()), "strict"));
    if (!key)
        return NULL;
    PyObject *fn;
    int found = compat_dict_get_item_ref(ns.get(), key.get(), &fn);
    if (found == 0)
        PyErr_SetString(PyExc_KeyError, "función no encontrada");
    return found > 0 ? fn : NULL;
}
