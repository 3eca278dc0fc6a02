/* Scalar tags: integers of every size, floats with their one-byte constants,
 * complex numbers.  No scalar takes a reference index.  Touches no
 * process-wide state. */
#include "vellum.h"

#include <math.h>

/* Integers that fit in 64 bits, by the first matching range. */
int
serialize_int64(Buf *b, long long v)
{
    if (v >= 0) {
        if (fits_smallint(v))
            return buf_u8(b, smallint_tag(v));
        if (v <= 255)
            return buf_u8_2(b, TAG_UINT8, (uint8_t)v);
        if (v <= 65535) {
            if (!buf_room(b, fixed_width(TAG_INT16)))
                return 0;
            unsigned char *p = b->buf + b->len;
            p[0] = TAG_INT16;
            p[1] = (unsigned char)(v >> 8);
            p[2] = (unsigned char)v;
            b->len += fixed_width(TAG_INT16);
            return 1;
        }
    }
    else {
        if (v >= -30)
            return buf_u8_2(b, TAG_NEG_INT, (uint8_t)(-1 - v));
        if (v >= -256)
            return buf_u8_2(b, TAG_NEG8, (uint8_t)(-1 - v));
    }
    if (v >= INT32_MIN && v <= INT32_MAX) {
        if (!buf_room(b, fixed_width(TAG_INT32)))
            return 0;
        b->buf[b->len] = TAG_INT32;
        store_be32(b->buf + b->len + 1, (uint32_t)(int32_t)v);
        b->len += fixed_width(TAG_INT32);
        return 1;
    }
    /* 0x02, sign, length m (4..8), magnitude without leading zero bytes. */
    uint64_t mag = v < 0 ? (uint64_t)0 - (uint64_t)v : (uint64_t)v;
    unsigned char tmp[8];
    store_be64(tmp, mag);
    int skip = 0;
    while (skip < 7 && tmp[skip] == 0)
        skip++;
    int m = 8 - skip;
    if (!buf_room(b, 3 + m))
        return 0;
    unsigned char *p = b->buf + b->len;
    p[0] = TAG_BIGINT;
    p[1] = v < 0 ? 1 : 0;
    p[2] = (unsigned char)m;
    memcpy(p + 3, tmp + skip, (size_t)m);
    b->len += 3 + m;
    return 1;
}

int
serialize_int(Buf *b, PyObject *obj)
{
    long long v;
    if (compat_long_compact_value(obj, &v))
        return serialize_int64(b, v);
    int overflow = 0;
    v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow == 0) {
        if (v == -1 && PyErr_Occurred())
            return 0;
        return serialize_int64(b, v);
    }

    /* Beyond 64 bits: the magnitude as big-endian bytes.  int's own
     * absolute value is used so that a subclass cannot run code here. */
    Ref absval = Ref::steal(PyLong_Type.tp_as_number->nb_absolute(obj));
    if (!absval)
        return 0;
    Py_ssize_t m = compat_long_magnitude_size(absval.get());
    if (m < 0)
        return 0;
    unsigned char *mag = (unsigned char *)malloc((size_t)m);
    if (mag == NULL) {
        PyErr_NoMemory();
        return 0;
    }
    if (compat_long_to_be_bytes(absval.get(), mag, m) < 0) {
        free(mag);
        return 0;
    }
    /* The size asked for may leave room for a sign bit: drop zero bytes. */
    Py_ssize_t k = 0;
    while (k < m - 1 && mag[k] == 0)
        k++;
    int ok = buf_u8_2(b, TAG_BIGINT, overflow < 0 ? 1 : 0) &&
             write_len(b, m - k) && buf_raw(b, mag + k, m - k);
    free(mag);
    return ok;
}

int
serialize_float(Buf *b, double v)
{
    uint8_t tag;
    if (v == 0.0)
        tag = signbit(v) ? TAG_FLOAT_NEG_ZERO : TAG_FLOAT_ZERO;
    else if (v == 1.0)
        tag = TAG_FLOAT_ONE;
    else if (v == -1.0)
        tag = TAG_FLOAT_MINUS_ONE;
    else if (isnan(v))
        tag = TAG_FLOAT_NAN;
    else if (isinf(v))
        tag = v > 0 ? TAG_FLOAT_INF : TAG_FLOAT_NEG_INF;
    else {
        if (!buf_room(b, fixed_width(TAG_FLOAT)))
            return 0;
        b->buf[b->len] = TAG_FLOAT;
        store_be64(b->buf + b->len + 1, double_bits(v));
        b->len += fixed_width(TAG_FLOAT);
        return 1;
    }
    return buf_u8(b, tag);
}

int
serialize_complex(Buf *b, PyObject *obj)
{
    Py_complex c = ((PyComplexObject *)obj)->cval;
    if (!buf_room(b, fixed_width(TAG_COMPLEX)))
        return 0;
    unsigned char *p = b->buf + b->len;
    p[0] = TAG_COMPLEX;
    store_be64(p + 1, double_bits(c.real));
    store_be64(p + 1 + sizeof(uint64_t), double_bits(c.imag));
    b->len += fixed_width(TAG_COMPLEX);
    return 1;
}

PyObject *
deserialize_bigint(READER_ARGS)
{
    Py_ssize_t p = *pos;
    if (p >= size)
        return fail_value("EOF int sign");
    int negative = data[p++] != 0;
    Py_ssize_t m = read_len(data, size, &p);
    if (m < 0 || size - p < m)
        return fail_value("EOF int data");
    const unsigned char *mag = data + p;

    /* Skip leading zero bytes; what is left up to 8 bytes is built directly. */
    Py_ssize_t k = 0;
    while (k < m && mag[k] == 0)
        k++;
    PyObject *result;
    if (m - k <= 8) {
        uint64_t u = 0;
        for (Py_ssize_t i = k; i < m; i++)
            u = (u << 8) | mag[i];
        if (!negative)
            result = PyLong_FromUnsignedLongLong(u);
        else if (u <= (uint64_t)1 << 63)
            result = PyLong_FromLongLong((long long)(0 - u));
        else {
            Ref pos_val = Ref::steal(PyLong_FromUnsignedLongLong(u));
            result = pos_val ? PyNumber_Negative(pos_val.get()) : NULL;
        }
    }
    else {
        Ref pos_val = Ref::steal(compat_long_from_be_bytes(mag + k, m - k));
        if (!pos_val)
            return NULL;
        result = negative ? PyNumber_Negative(pos_val.get()) : pos_val.release();
    }
    if (result != NULL)
        *pos = p + m;
    return result;
}

PyObject *
deserialize_float(READER_ARGS)
{
    if (size - *pos < fixed_payload(TAG_FLOAT))
        return fail_value("EOF float");
    double v = bits_double(load_be64(data + *pos));
    *pos += fixed_payload(TAG_FLOAT);
    return PyFloat_FromDouble(v);
}

PyObject *
deserialize_complex(READER_ARGS)
{
    if (size - *pos < fixed_payload(TAG_COMPLEX))
        return fail_value("EOF complex");
    double re = bits_double(load_be64(data + *pos));
    double im = bits_double(load_be64(data + *pos + sizeof(uint64_t)));
    *pos += fixed_payload(TAG_COMPLEX);
    return PyComplex_FromDoubles(re, im);
}

PyObject *
deserialize_int16(READER_ARGS)
{
    if (size - *pos < fixed_payload(TAG_INT16))
        return fail_value("EOF int16");
    long v = ((long)data[*pos] << 8) | data[*pos + 1];
    *pos += fixed_payload(TAG_INT16);
    return PyLong_FromLong(v);
}

PyObject *
deserialize_neg_int(READER_ARGS, uint8_t tag)
{
    if (size - *pos < fixed_payload(tag))
        return fail_value(tag == TAG_NEG_INT ? "EOF neg int" : "EOF NEG8");
    long v = -1 - (long)data[(*pos)++];
    return PyLong_FromLong(v);
}

PyObject *
deserialize_uint8(READER_ARGS)
{
    if (size - *pos < fixed_payload(TAG_UINT8))
        return fail_value("EOF UINT8");
    return byte_int(data[(*pos)++]);
}

PyObject *
deserialize_int32(READER_ARGS)
{
    if (size - *pos < fixed_payload(TAG_INT32))
        return fail_value("EOF int32");
    int32_t v = (int32_t)load_be32(data + *pos);
    *pos += fixed_payload(TAG_INT32);
    return PyLong_FromLong(v);
}

PyObject *
deserialize_float_const(uint8_t tag)
{
    double v;
    switch (tag) {
    case TAG_FLOAT_ZERO: v = 0.0; break;
    case TAG_FLOAT_NEG_ZERO: v = -0.0; break;
    case TAG_FLOAT_ONE: v = 1.0; break;
    case TAG_FLOAT_MINUS_ONE: v = -1.0; break;
    case TAG_FLOAT_NAN: v = bits_double(0x7FF8000000000000ULL); break;
    case TAG_FLOAT_INF: v = HUGE_VAL; break;
    default: v = -HUGE_VAL; break;
    }
    return PyFloat_FromDouble(v);
}
