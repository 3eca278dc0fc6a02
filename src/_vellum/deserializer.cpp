/* The deserializer's tag dispatch: the most frequent tag bytes are settled
 * first, then one switch routes every other tag to its reader.  Keeps its
 * state in the load's own record, whose nesting depth the inline guard in
 * vellum.h counts. */
#include "vellum.h"

PyObject *
fail_value(const char *msg)
{
    PyErr_SetString(PyExc_ValueError, msg);
    return NULL;
}

PyObject *
deserialize_depth_error(void)
{
    return fail_value("Profundidad de anidamiento excesiva (>200) al deserializar -- "
                      "mismo límite que verify_stream() ya aplicaba, ahora también "
                      "en deserialize()");
}

PyObject *
call_method_one(PyObject *obj, const char *name, PyObject *arg)
{
    Ref method = Ref::steal(PyObject_GetAttrString(obj, name));
    if (!method)
        return NULL;
    return PyObject_CallOneArg(method.get(), arg);
}

static PyObject *
unknown_tag(unsigned t)
{
    PyErr_Format(PyExc_ValueError, "Tag desconocido: 0x%02x", t);
    return NULL;
}

PyObject *
deserialize_impl(READER_ARGS)
{
    if (*pos >= size)
        return fail_value("EOF");
    unsigned t = data[(*pos)++];

    /* Small integers were settled by the guard. */
    if (t == TAG_NONE)
        Py_RETURN_NONE;
    if (t == TAG_SHORT_STR)
        return deserialize_short_str(ld, data, size, pos);
    if (t == TAG_TRUE)
        Py_RETURN_TRUE;
    if (t == TAG_FALSE)
        Py_RETURN_FALSE;
    if (is_ref_tag(t))
        return read_ref(ld, data, size, pos, (uint8_t)t);

    switch (t) {
    case TAG_BIGINT: return deserialize_bigint(ld, data, size, pos);
    case TAG_FLOAT: return deserialize_float(ld, data, size, pos);
    case TAG_COMPLEX: return deserialize_complex(ld, data, size, pos);
    case TAG_STR: return read_str_dedup(ld, data, size, pos);
    case TAG_BYTES: return read_dedup_bytes(ld, data, size, pos);
    case TAG_BYTEARRAY: return deserialize_bytearray(ld, data, size, pos);
    case TAG_LIST:
    case TAG_TUPLE:
    case TAG_SET:
    case TAG_FROZENSET: return deserialize_seq(ld, data, size, pos, (uint8_t)t);
    case TAG_DICT: return deserialize_dict(ld, data, size, pos);
    case TAG_FN_SOURCE: return deserialize_fn_source(ld, data, size, pos);
    case TAG_INT16: return deserialize_int16(ld, data, size, pos);
    case TAG_NEG_INT:
    case TAG_NEG8: return deserialize_neg_int(ld, data, size, pos, (uint8_t)t);
    case TAG_UINT8: return deserialize_uint8(ld, data, size, pos);
    case TAG_DICT_DEDUP: return deserialize_dict_deduped(ld, data, size, pos);
    case TAG_LIST_DEDUP: return deserialize_list_deduped(ld, data, size, pos);
    case TAG_TUPLE_DEDUP: return deserialize_tuple_deduped(ld, data, size, pos);
    case TAG_FROZENSET_DEDUP: return deserialize_frozenset_deduped(ld, data, size, pos);
    case TAG_SRC_Z: return read_dedup_bytes(ld, data, size, pos);
    case TAG_INSTANCE_V1:
    case TAG_SLOTS_INSTANCE_V1: return deserialize_instance(ld, data, size, pos, (uint8_t)t);
    case TAG_REDUCE_V1: return deserialize_reduce(ld, data, size, pos, (uint8_t)t);
    case TAG_FN_BYTECODE: return deserialize_fn_bytecode(ld, data, size, pos);
    case TAG_CODE: return deserialize_code(ld, data, size, pos);
    case TAG_CLASSMETHOD:
    case TAG_STATICMETHOD: return deserialize_method_wrapper(ld, data, size, pos, (uint8_t)t);
    case TAG_PROPERTY: return deserialize_property(ld, data, size, pos);
    case TAG_INSTANCE:
    case TAG_SLOTS_INSTANCE: return deserialize_instance(ld, data, size, pos, (uint8_t)t);
    case TAG_REDUCE: return deserialize_reduce(ld, data, size, pos, (uint8_t)t);
    case TAG_ELLIPSIS: return Py_NewRef(Py_Ellipsis);
    case TAG_NOTIMPLEMENTED: return Py_NewRef(Py_NotImplemented);
    /* A dict view loads as the list it was written as. */
    case TAG_DICT_KEYS:
    case TAG_DICT_VALUES:
    case TAG_DICT_ITEMS: return deserialize(ld, data, size, pos);
    case TAG_MAPPINGPROXY: return deserialize_mappingproxy(ld, data, size, pos);
    case TAG_ARRAY: return deserialize_array(ld, data, size, pos);
    case TAG_INT32: return deserialize_int32(ld, data, size, pos);
    case TAG_FUNCTION: return deserialize_function(ld, data, size, pos);
    case TAG_CODE_V2: return deserialize_code_v2(ld, data, size, pos);
    case TAG_CLASS: return deserialize_class(ld, data, size, pos);
    case TAG_GLOBAL: return deserialize_global(ld, data, size, pos);
    case TAG_MODULE: return deserialize_module(ld, data, size, pos);
    case TAG_CELL: return deserialize_cell(ld, data, size, pos);
    case TAG_REDUCE_EX: return deserialize_reduce_ex(ld, data, size, pos);
    case TAG_STR_SURROGATES: return deserialize_str_surrogates(ld, data, size, pos);
    case TAG_FLOAT_ZERO:
    case TAG_FLOAT_NEG_ZERO:
    case TAG_FLOAT_ONE:
    case TAG_FLOAT_MINUS_ONE:
    case TAG_FLOAT_NAN:
    case TAG_FLOAT_INF:
    case TAG_FLOAT_NEG_INF: return deserialize_float_const((uint8_t)t);
    default: return unknown_tag(t);
    }
}
