/* The reference index space: the writer's identity table and placeholder
 * entries with the references that keep their objects alive, reference tags
 * in their three widths, and the reader's process-wide read table, which
 * owns one reference per entry until the next load begins. */
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

int
read_table_grow(void)
{
    Py_ssize_t nc = read_table_cap ? 2 * read_table_cap : 256;
    if ((size_t)nc > PY_SSIZE_T_MAX / sizeof(PyObject *)) {
        PyErr_NoMemory();
        return 0;
    }
    PyObject **nt = (PyObject **)PyMem_Realloc(read_table,
                                               (size_t)nc * sizeof(PyObject *));
    if (nt == NULL) {
        PyErr_NoMemory();
        return 0;
    }
    read_table = nt;
    read_table_cap = nc;
    return 1;
}

#define READ_TABLE_KEEP 65536 /* entries */

void
read_table_reset(void)
{
    /* Detach the entries before releasing them: a finalizer run by a release
     * may itself load a stream and use the table. */
    PyObject **table = read_table;
    Py_ssize_t count = read_table_count;
    Py_ssize_t cap = read_table_cap;
    read_table = NULL;
    read_table_count = 0;
    read_table_cap = 0;
    for (Py_ssize_t i = 0; i < count; i++)
        Py_XDECREF(table[i]);
    /* Small storage is kept for the next load; a large one is given back,
     * so that the memory of a big graph returns once the graph is gone. */
    if (read_table == NULL && cap <= READ_TABLE_KEEP) {
        read_table = table;
        read_table_cap = cap;
    }
    else {
        PyMem_Free(table);
    }
}

Py_ssize_t
read_ref_idx(const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos,
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
    if (idx < 0 || idx >= read_table_count) {
        PyErr_Format(PyExc_IndexError, "ref idx %d fuera de rango [0,%d)",
                     (int)idx, (int)read_table_count);
        return -1;
    }
    *pos = p;
    return idx;
}

PyObject *
read_ref(const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos,
         uint8_t opcode)
{
    Py_ssize_t idx = read_ref_idx(data, size, pos, opcode);
    if (idx < 0)
        return NULL;
    return Py_NewRef(read_table[idx]);
}
