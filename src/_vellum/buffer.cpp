/* The output buffer's block: creation, growth, and hand-over as the result
 * bytes object (the byte writers themselves are inline in vellum.h).
 * Touches no process-wide state. */
#include "vellum.h"

/* Starts in the caller's block when cap fits in it, else with a bytes
 * object of cap bytes; without memory the buffer starts empty instead and
 * the first write grows it. */
void
buf_init(Buf *b, Py_ssize_t cap, unsigned char *local, Py_ssize_t local_n)
{
    b->len = 0;
    if (cap <= local_n) {
        b->buf = local;
        b->cap = local_n;
        b->owner = NULL;
        return;
    }
    b->owner = PyBytes_FromStringAndSize(NULL, cap);
    if (b->owner == NULL) {
        PyErr_Clear();
        b->buf = NULL;
        b->cap = 0;
        return;
    }
    b->buf = (unsigned char *)PyBytes_AS_STRING(b->owner);
    b->cap = cap;
}

/* Trims the block to the bytes written and hands it over. */
PyObject *
buf_finish(Buf *b)
{
    PyObject *result;
    if (b->owner == NULL) {
        result = PyBytes_FromStringAndSize((const char *)b->buf, b->len);
    }
    else {
        result = b->owner;
        b->owner = NULL;
        if (_PyBytes_Resize(&result, b->len) < 0)
            result = NULL;
    }
    b->buf = NULL;
    b->len = b->cap = 0;
    return result;
}

void
buf_free(Buf *b)
{
    Py_CLEAR(b->owner);
    b->buf = NULL;
    b->len = b->cap = 0;
}

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
    if (b->owner == NULL) {
        /* Leaving the caller's block (or the empty start): the bytes so far
         * move to the heap once. */
        b->owner = PyBytes_FromStringAndSize(NULL, nc);
        if (b->owner == NULL)
            return 0;
        if (b->len > 0)
            memcpy(PyBytes_AS_STRING(b->owner), b->buf, (size_t)b->len);
    }
    else if (_PyBytes_Resize(&b->owner, nc) < 0) {
        /* The old block is gone with the failed resize; nothing more is
         * written after a failure. */
        b->buf = NULL;
        b->len = b->cap = 0;
        return 0;
    }
    b->buf = (unsigned char *)PyBytes_AS_STRING(b->owner);
    b->cap = nc;
    return 1;
}

int
write_len_overflow(Py_ssize_t n)
{
    /* Format strings must be ASCII: the accented word goes in as an argument. */
    PyErr_Format(PyExc_OverflowError, "longitud %zd fuera del formato (%s 4294967295)",
                 n, "máximo");
    return 0;
}
