/* The reference index space.  Writer side, all of its bookkeeping: the
 * per-call state with its index table and identity table, the moment a
 * shared object takes its index (index_take; index_seen, its lookup, is
 * inline in vellum.h), the references that keep registered objects alive,
 * references in their three widths, the retained temporaries, and the
 * scratch memory of the tables, whose process-wide pool keeps freed blocks
 * for the next call.  Reader side: the per-load record with its read table,
 * which owns one reference per entry until the load returns, and the
 * reading of references. */
#include "vellum.h"

#include <stddef.h>

/* ---- scratch memory of the per-call tables ------------------------------ */

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

/* The largest kept block of at least n bytes, or a new block of n bytes;
 * *got is the size of the block handed out.  A table that starts at the
 * size the previous call's reached does not grow and copy again. */
void *
scratch_alloc_largest(size_t n, size_t *got)
{
    size_t best = SCRATCH_SLOTS;
    for (size_t i = 0; i < SCRATCH_SLOTS; i++) {
        if (scratch_pool[i].block != NULL && scratch_pool[i].size >= n &&
            (best == SCRATCH_SLOTS || scratch_pool[i].size > scratch_pool[best].size))
            best = i;
    }
    if (best == SCRATCH_SLOTS) {
        *got = n;
        return malloc(n);
    }
    void *p = scratch_pool[best].block;
    *got = scratch_pool[best].size;
    scratch_pool[best].block = NULL;
    scratch_kept -= *got;
    return p;
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

/* ---- per-call state ----------------------------------------------------- */

int
dedup_init(DedupState *ds, Py_ssize_t estimated_size)
{
    /* The local blocks need no clearing beyond what is used. */
    memset(ds, 0, offsetof(DedupState, local_buckets));
    int32_t hash_cap = estimated_size <= 64 ? 64
                       : estimated_size <= 128 ? 128
                       : estimated_size <= 256 ? 256
                                               : 512;
    ds->buckets = hash_cap == DEDUP_LOCAL_BUCKETS
                      ? ds->local_buckets
                      : (int32_t *)malloc((size_t)hash_cap * sizeof(int32_t));
    if (ds->buckets == NULL) {
        PyErr_NoMemory();
        return 0;
    }
    memset(ds->buckets, 0xFF, (size_t)hash_cap * sizeof(int32_t));
    ds->nbuckets = hash_cap;

    int32_t id_cap = estimated_size <= 32 ? 32
                     : estimated_size <= 64 ? 64
                     : estimated_size <= 128 ? 128
                     : estimated_size <= 256 ? 256
                                             : 512;
    ds->id_tab = id_cap == DEDUP_LOCAL_IDS
                     ? ds->local_ids
                     : (IdEntry *)scratch_alloc((size_t)id_cap * sizeof(IdEntry));
    if (ds->id_tab == NULL) {
        dedup_free_block(ds, ds->buckets, (size_t)hash_cap * sizeof(int32_t));
        ds->buckets = NULL;
        PyErr_NoMemory();
        return 0;
    }
    memset(ds->id_tab, 0, (size_t)id_cap * sizeof(IdEntry));
    ds->id_nb = id_cap;

    ds->table = ds->local_entries;
    ds->cap = DEDUP_LOCAL_ENTRIES;
    ds->arena.base = ds->local_arena;
    ds->arena.cap = DEDUP_LOCAL_ARENA;
    return 1;
}

void
dedup_destroy(DedupState *ds)
{
    if (ds->held_upto > 0)
        release_held(ds);
    arena_free(&ds->arena);
    dedup_free_block(ds, ds->table, (size_t)ds->cap * sizeof(DEntry));
    dedup_free_block(ds, ds->buckets, (size_t)ds->nbuckets * sizeof(int32_t));
    dedup_free_block(ds, ds->id_tab, (size_t)ds->id_nb * sizeof(IdEntry));
    ds->table = NULL;
    ds->count = ds->cap = 0;
    ds->buckets = NULL;
    ds->nbuckets = 0;
    ds->id_tab = NULL;
    ds->id_nb = ds->id_count = 0;
    Py_CLEAR(ds->retained);
    Py_CLEAR(ds->class_src);
    Py_CLEAR(ds->slot_names);
    code_state_free(ds);
}

/* ---- identity table and index table ------------------------------------- */

void
id_tab_insert(DedupState *ds, PyObject *obj, int32_t idx)
{
    if (ds->id_count >= (int32_t)((double)ds->id_nb * 0.6)) {
        int32_t nb = ds->id_nb * 2;
        IdEntry *nt = (IdEntry *)scratch_alloc((size_t)nb * sizeof(IdEntry));
        if (nt == NULL)
            return; /* left unregistered: a later occurrence is written in full */
        memset(nt, 0, (size_t)nb * sizeof(IdEntry));
        uintptr_t mask = (uintptr_t)nb - 1;
        for (int32_t i = 0; i < ds->id_nb; i++) {
            IdEntry *e = &ds->id_tab[i];
            if (e->key == 0)
                continue;
            uintptr_t slot = id_tab_slot(e->key, mask);
            while (nt[slot].key != 0)
                slot = (slot + 1) & mask;
            nt[slot] = *e;
        }
        dedup_free_block(ds, ds->id_tab, (size_t)ds->id_nb * sizeof(IdEntry));
        ds->id_tab = nt;
        ds->id_nb = nb;
    }
    uintptr_t key = (uintptr_t)obj;
    uintptr_t mask = (uintptr_t)ds->id_nb - 1;
    uintptr_t slot = id_tab_slot(key, mask);
    while (ds->id_tab[slot].key != 0)
        slot = (slot + 1) & mask;
    ds->id_tab[slot].key = key;
    ds->id_tab[slot].val = idx;
    ds->id_count++;
}

int
dedup_table_grow(DedupState *ds)
{
    if (ds->cap >= INT32_MAX / 2) {
        PyErr_SetString(PyExc_OverflowError, "demasiados bloques en un stream");
        return 0;
    }
    int32_t nc = ds->cap < 256 ? 256 : 2 * ds->cap;
    DEntry *nt;
    if (ds->table == ds->local_entries) {
        nt = (DEntry *)scratch_alloc((size_t)nc * sizeof(DEntry));
        if (nt != NULL)
            memcpy(nt, ds->table, (size_t)ds->count * sizeof(DEntry));
    }
    else {
        nt = (DEntry *)scratch_realloc(ds->table, (size_t)ds->cap * sizeof(DEntry),
                                       (size_t)nc * sizeof(DEntry));
    }
    if (nt == NULL) {
        PyErr_NoMemory();
        return 0;
    }
    ds->table = nt;
    ds->cap = nc;
    return 1;
}

void
hold_registered_slow(DedupState *ds)
{
    for (int32_t i = ds->held_upto; i < ds->count; i++) {
        const DEntry *e = &ds->table[i];
        if (e->tag == DENTRY_PLACEHOLDER && e->obj != NULL)
            Py_INCREF(e->obj);
    }
    ds->held_upto = ds->count;
}

void
release_written_slow(DedupState *ds, PyObject *obj)
{
    /* The release can run a finalizer, and that any code. */
    CallingOut out(ds);
    Py_DECREF(obj);
}

#define RELEASE_AHEAD 8 /* entries */

void
release_held(DedupState *ds)
{
    /* Released in the order taken; a finalizer run here starts calls of
     * its own and never reads this table.  The objects were written long
     * ago: each one's header is fetched a few entries ahead. */
    int32_t n = ds->held_upto;
    ds->held_upto = 0;
    for (int32_t i = 0; i < n; i++) {
        if (i + RELEASE_AHEAD < n && ds->table[i + RELEASE_AHEAD].tag == DENTRY_PLACEHOLDER)
            compat_prefetch_write(ds->table[i + RELEASE_AHEAD].obj);
        const DEntry *e = &ds->table[i];
        if (e->tag == DENTRY_PLACEHOLDER && e->obj != NULL)
            Py_DECREF(e->obj);
    }
}

/* The list is made on first use: most calls retain nothing. */
int
retain(DedupState *ds, PyObject *obj)
{
    if (ds->retained == NULL && (ds->retained = PyList_New(0)) == NULL)
        return 0;
    return PyList_Append(ds->retained, obj) == 0;
}

int
write_ref(Buf *b, int32_t idx)
{
    if (idx <= 254)
        return buf_u8_2(b, TAG_REF8, (uint8_t)idx);
    if (idx <= 65535) {
        if (!buf_room(b, 3))
            return 0;
        unsigned char *p = b->buf + b->len;
        p[0] = TAG_REF16;
        p[1] = (unsigned char)(idx >> 8);
        p[2] = (unsigned char)idx;
        b->len += 3;
        return 1;
    }
    if (!buf_room(b, 5))
        return 0;
    b->buf[b->len] = TAG_REF32;
    store_be32(b->buf + b->len + 1, (uint32_t)idx);
    b->len += 5;
    return 1;
}

/* ---- reader side --------------------------------------------------------- */

void
load_init(Load *ld, Py_ssize_t input_size, PyObject *allow, int allow_functions)
{
    ld->table = ld->local_table;
    ld->count = 0;
    ld->cap = LOAD_LOCAL_ENTRIES;
    ld->depth = 0;
    ld->input_size = input_size;
    ld->inflate_left = inflate_budget(input_size);
    uint64_t by_input = (uint64_t)input_size * VELLUM_KEY_SIZE_PER_BYTE;
    ld->key_size_max = by_input > VELLUM_KEY_SIZE_FLOOR ? by_input : VELLUM_KEY_SIZE_FLOOR;
    ld->resolved = NULL;
    ld->shapes = NULL;
    ld->shape_count = 0;
    ld->shape_cap = 0;
    ld->allow = allow;
    ld->allow_functions = allow_functions;
    ld->namespaces = NULL;
    ld->codes = NULL;
    ld->globals_depth = 0;
}

int
load_table_grow(Load *ld)
{
    Py_ssize_t nc = 2 * ld->cap;
    if ((size_t)nc > PY_SSIZE_T_MAX / sizeof(PyObject *)) {
        PyErr_NoMemory();
        return 0;
    }
    /* Scratch memory: a large table's blocks are found again by the next
     * load instead of being faulted in afresh, and the first spill out of
     * the local entries takes the largest kept block, so that a load like
     * the previous one neither grows nor copies its table. */
    PyObject **nt;
    if (ld->table == ld->local_table) {
        size_t got;
        nt = (PyObject **)scratch_alloc_largest((size_t)nc * sizeof(PyObject *), &got);
        if (nt != NULL) {
            memcpy(nt, ld->table, (size_t)ld->count * sizeof(PyObject *));
            nc = (Py_ssize_t)(got / sizeof(PyObject *));
        }
    }
    else {
        nt = (PyObject **)scratch_realloc(ld->table, (size_t)ld->cap * sizeof(PyObject *),
                                          (size_t)nc * sizeof(PyObject *));
    }
    if (nt == NULL) {
        PyErr_NoMemory();
        return 0;
    }
    ld->table = nt;
    ld->cap = nc;
    return 1;
}

void
load_free(Load *ld)
{
    /* The result, if any, holds its own references: every entry goes now.
     * A release may run a finalizer that loads again; that load has a record
     * of its own. */
    for (Py_ssize_t i = 0; i < ld->count; i++)
        Py_DECREF(ld->table[i]);
    if (ld->table != ld->local_table)
        scratch_free(ld->table, (size_t)ld->cap * sizeof(PyObject *));
    ld->table = ld->local_table;
    ld->count = 0;
    if (ld->resolved != NULL) {
        for (Py_ssize_t i = 0; i < RESOLVED_SLOTS; i++) {
            ResolvedClass *e = &ld->resolved[i];
            Py_XDECREF(e->name);
            Py_XDECREF(e->src);
            Py_XDECREF(e->module);
            Py_XDECREF(e->cls);
        }
        PyMem_Free(ld->resolved);
        ld->resolved = NULL;
    }
    if (ld->shapes != NULL) {
        for (Py_ssize_t i = 0; i < ld->shape_cap; i++)
            Py_XDECREF(ld->shapes[i].obj);
        PyMem_Free(ld->shapes);
        ld->shapes = NULL;
    }
    Py_CLEAR(ld->namespaces);
    Py_CLEAR(ld->codes);
}

Py_ssize_t
read_ref_idx(Load *ld, const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos,
             uint8_t opcode)
{
    Py_ssize_t p = *pos, idx;
    /* One call per width, so that each decodes a width it knows. */
    int ok = opcode == TAG_REF8    ? read_ref_index(data, size, &p, TAG_REF8, &idx)
             : opcode == TAG_REF16 ? read_ref_index(data, size, &p, TAG_REF16, &idx)
                                   : read_ref_index(data, size, &p, TAG_REF32, &idx);
    if (!ok) {
        PyErr_SetString(PyExc_ValueError, ref_eof_text(opcode));
        return -1;
    }
    if (idx < 0 || idx >= ld->count) {
        PyErr_Format(PyExc_IndexError, "ref idx %d fuera de rango [0,%d)",
                     (int)idx, (int)ld->count);
        return -1;
    }
    *pos = p;
    return idx;
}
