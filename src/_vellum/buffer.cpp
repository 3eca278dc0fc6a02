/* The output buffer's block: creation, growth, and hand-over as the result
 * bytes object (the byte writers themselves are inline in vellum.h); and the
 * scratch memory of the per-call tables, whose process-wide pool keeps
 * freed blocks for the next call. */
#include "vellum.h"

#define SCRATCH_MIN ((size_t)1 << 16)      /* smaller blocks come from malloc's own pools */
#define SCRATCH_MAX ((size_t)1 << 25)      /* larger ones are not worth keeping */
#define SCRATCH_SLOTS 16
#define SCRATCH_KEPT_MAX ((size_t)64 << 20) /* bytes kept in all */

/* Freed blocks kept for reuse, found again by their exact size: the tables
 * grow by doubling from fixed sizes, so one call's sizes recur in the next. */
static struct {
    void *block;
    size_t size;
} scratch_pool[SCRATCH_SLOTS];
static size_t scratch_kept;

static bool
scratch_keeps(size_t n)
{
    return n >= SCRATCH_MIN && n <= SCRATCH_MAX;
}

void *
scratch_alloc(size_t n)
{
    if (scratch_keeps(n)) {
        for (auto &slot : scratch_pool) {
            if (slot.block != NULL && slot.size == n) {
                void *p = slot.block;
                slot.block = NULL;
                scratch_kept -= n;
                return p;
            }
        }
    }
    return malloc(n);
}

void
scratch_free(void *p, size_t n)
{
    if (p == NULL)
        return;
    if (scratch_keeps(n) && scratch_kept + n <= SCRATCH_KEPT_MAX) {
        for (auto &slot : scratch_pool) {
            if (slot.block == NULL) {
                slot.block = p;
                slot.size = n;
                scratch_kept += n;
                return;
            }
        }
    }
    free(p);
}

/* realloc for scratch blocks: on failure p stays valid and null is returned. */
void *
scratch_realloc(void *p, size_t old_n, size_t n)
{
    if (!scratch_keeps(old_n) && !scratch_keeps(n))
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
    for (auto &slot : scratch_pool) {
        free(slot.block);
        slot.block = NULL;
    }
    scratch_kept = 0;
}

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
