/* The reference index space: the writer's identity table and placeholder
 * entries with the references that keep their objects alive, reference tags
 * in their three widths, and the reader's per-load record with its read
 * table, which owns one reference per entry until the load returns. */
#include "vellum.h"

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
    PyObject **nt;
    if (ld->table == ld->local_table) {
        nt = (PyObject **)PyMem_Malloc((size_t)nc * sizeof(PyObject *));
        if (nt != NULL)
            memcpy(nt, ld->table, (size_t)ld->count * sizeof(PyObject *));
    }
    else {
        nt = (PyObject **)PyMem_Realloc(ld->table, (size_t)nc * sizeof(PyObject *));
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
        PyMem_Free(ld->table);
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
    Py_ssize_t p = *pos;
    Py_ssize_t idx;
    switch (opcode) {
    case TAG_REF8:
        if (size - p < 1) {
            PyErr_SetString(PyExc_ValueError, "EOF ref8");
            return -1;
        }
        idx = data[p];
        p += 1;
        break;
    case TAG_REF16:
        if (size - p < 2) {
            PyErr_SetString(PyExc_ValueError, "EOF ref16");
            return -1;
        }
        idx = ((Py_ssize_t)data[p] << 8) | data[p + 1];
        p += 2;
        break;
    default:
        if (size - p < 4) {
            PyErr_SetString(PyExc_ValueError, "EOF ref32");
            return -1;
        }
        idx = (int32_t)load_be32(data + p);
        p += 4;
        break;
    }
    if (idx < 0 || idx >= ld->count) {
        PyErr_Format(PyExc_IndexError, "ref idx %d fuera de rango [0,%d)",
                     (int)idx, (int)ld->count);
        return -1;
    }
    *pos = p;
    return idx;
}

PyObject *
read_ref(Load *ld, const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos,
         uint8_t opcode)
{
    Py_ssize_t idx = read_ref_idx(ld, data, size, pos, opcode);
    if (idx < 0)
        return NULL;
    return Py_NewRef(ld->table[idx]);
}
