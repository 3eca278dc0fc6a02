/* Growth of the output buffer; the byte writers themselves are inline in
 * vellum.h.  Touches no process-wide state. */
#include "vellum.h"

int
buf_grow(Buf *b, Py_ssize_t need)
{
    Py_ssize_t nc = b->cap ? 2 * b->cap : 512;
    if (need > PY_SSIZE_T_MAX - b->len) {
        PyErr_NoMemory();
        return 0;
    }
    while (nc < b->len + need) {
        if (nc > PY_SSIZE_T_MAX / 2) {
            PyErr_NoMemory();
            return 0;
        }
        nc *= 2;
    }
    unsigned char *nb = (unsigned char *)realloc(b->buf, (size_t)nc);
    if (nb == NULL) {
        PyErr_NoMemory();
        return 0;
    }
    b->buf = nb;
    b->cap = nc;
    return 1;
}

int
write_len_overflow(Py_ssize_t n)
{
    PyErr_Format(PyExc_OverflowError,
                 "longitud %zd fuera del formato (máximo 4294967295)", n);
    return 0;
}
