/* The output buffer's block: creation, growth, and hand-over as the result
 * bytes object (the byte writers themselves are inline in vellum.h); and the
 * scratch memory of the per-call tables, whose process-wide pool keeps one
 * freed block per power-of-two size for the next call. */
#include "vellum.h"

#define SCRATCH_MIN_CLASS 16 /* 64 KiB: smaller blocks come from malloc's own pools */
#define SCRATCH_MAX_CLASS 24 /* 16 MiB */

static void *scratch_pool[SCRATCH_MAX_CLASS + 1];

static int
scratch_class(size_t n)
{
    if (n < ((size_t)1 << SCRATCH_MIN_CLASS) || n > ((size_t)1 << SCRATCH_MAX_CLASS) ||
        (n & (n - 1)) != 0)
        return -1;
    int c = 0;
    while (((size_t)1 << c) < n)
        c++;
    return c;
}

void *
scratch_alloc(size_t n)
{
    int c = scratch_class(n);
    if (c >= 0 && scratch_pool[c] != NULL) {
        void *p = scratch_pool[c];
        scratch_pool[c] = NULL;
        return p;
    }
    return malloc(n);
}

void
scratch_free(void *p, size_t n)
{
    if (p == NULL)
        return;
    int c = scratch_class(n);
    if (c >= 0 && scratch_pool[c] == NULL) {
        scratch_pool[c] = p;
        return;
    }
    free(p);
}

/* realloc for scratch blocks: on failure p stays valid and null is returned. */
void *
scratch_realloc(void *p, size_t old_n, size_t n)
{
    if (scratch_class(old_n) < 0 && scratch_class(n) < 0)
        return realloc(p, n);
    void *q = scratch_alloc(n);
    if (q == NULL)
        return NULL;
    if (p != NULL) {
        memcpy(q, p, old_n < n ? old_n : n);
        scratch_free(p, old_n);
    }
    return q;
}

void
scratch_release_all(void)
{
    for (void *&p : scratch_pool) {
        free(p);
        p = NULL;
    }
}

/* Starts with cap bytes; without memory the buffer starts empty instead and
 * the first write grows it. */
int
buf_init(Buf *b, Py_ssize_t cap)
{
    b->len = 0;
    b->owner = PyBytes_FromStringAndSize(NULL, cap);
    if (b->owner == NULL) {
        PyErr_Clear();
        b->buf = NULL;
        b->cap = 0;
        return 1;
    }
    b->buf = (unsigned char *)PyBytes_AS_STRING(b->owner);
    b->cap = cap;
    return 1;
}

/* Trims the block to the bytes written and hands it over. */
PyObject *
buf_finish(Buf *b)
{
    PyObject *result;
    if (b->owner == NULL) {
        result = PyBytes_FromStringAndSize(NULL, 0);
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
        b->owner = PyBytes_FromStringAndSize(NULL, nc);
        if (b->owner == NULL)
            return 0;
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
