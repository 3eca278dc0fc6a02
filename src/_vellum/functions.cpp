/* The classmethod / staticmethod / property wrappers, the readers of the
 * function and code forms without globals or version (0x20, 0x21) and of
 * functions made from source (0x0D), and on load the execution of source
 * text into namespaces kept in the process-wide exec_cache.  Functions and
 * code objects are written by namespaces.cpp. */
#include "vellum.h"

#include <marshal.h>

/* ---- writers ----------------------------------------------------------- */

int
serialize_method_wrapper(Buf *b, DedupState *ds, PyObject *obj, uint8_t tag)
{
    Ref func = Ref::steal(PyObject_GetAttrString(obj, "__func__"));
    return func && buf_u8(b, tag) && serialize(b, ds, func.get());
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
        else if (!buf_u8(b, 0x01) || !serialize(b, ds, acc.get())) {
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
    /* Two threads may execute one source at once: the namespace cached first
     * is the one both get, so the source yields one class. */
    PyObject *kept = PyDict_SetDefault(exec_cache, source, nsref.get()); /* borrowed */
    return Py_XNewRef(kept);
}

/* ---- readers ----------------------------------------------------------- */

/* Reads a marshalled blob and loads it; the result must be a code object. */
static PyObject *
read_code_block(READER_ARGS, const char *what)
{
    Ref blob = Ref::steal(read_dedup_bytes_checked(ld, data, size, pos, what));
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
        PyObject *item = deserialize(ld, data, size, pos);
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
    if (function_forms_refused(ld, "bytecode is never approved"))
        return NULL;
    Ref code = Ref::steal(read_code_block(ld, data, size, pos, "0x20"));
    if (!code)
        return NULL;
    Ref defaults, closure;
    if (!read_counted(ld, data, size, pos, "EOF fn defaults", 0, &defaults) ||
        !read_counted(ld, data, size, pos, "EOF fn freevars", 1, &closure))
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

    /* This form carries no globals: each function gets a namespace of its
     * own, holding only the builtins, so that an assignment to a global
     * never reaches the builtins module. */
    Ref globals = Ref::steal(PyDict_New());
    PyObject *builtins = PyEval_GetBuiltins(); /* borrowed */
    if (!globals || builtins == NULL ||
        PyDict_SetItemString(globals.get(), "__builtins__", builtins) < 0)
        return NULL;
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
    if (function_forms_refused(ld, "bytecode is never approved"))
        return NULL;
    return read_code_block(ld, data, size, pos, "0x21");
}

PyObject *
deserialize_method_wrapper(READER_ARGS, uint8_t tag)
{
    if (function_forms_refused(ld, "a wrapper of a function is never approved"))
        return NULL;
    Ref func = Ref::steal(deserialize(ld, data, size, pos));
    if (!func)
        return NULL;
    return tag == TAG_CLASSMETHOD ? PyClassMethod_New(func.get())
                                  : PyStaticMethod_New(func.get());
}

PyObject *
deserialize_property(READER_ARGS)
{
    if (function_forms_refused(ld, "a wrapper of functions is never approved"))
        return NULL;
    Ref accessors[3];
    for (Ref &acc : accessors) {
        if (*pos >= size)
            return fail_value("0x24: EOF en accesor");
        uint8_t present = data[(*pos)++];
        if (present == 0x00) {
            acc = Ref::borrow(Py_None);
        }
        else if (present == 0x01) {
            acc = Ref::steal(deserialize(ld, data, size, pos));
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
    if (function_forms_refused(ld, "a function made from source is never approved"))
        return NULL;
    if (*pos >= size)
        return fail_value("EOF fn name tag");
    if (data[(*pos)++] != TAG_STR)
        return fail_value("0x0D: esperado 0x05");
    Ref name = Ref::steal(read_dedup_bytes_checked(ld, data, size, pos, "0x0D"));
    if (!name)
        return NULL;
    Ref source = Ref::steal(read_dedup_bytes_checked(ld, data, size, pos, "0x0D"));
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
