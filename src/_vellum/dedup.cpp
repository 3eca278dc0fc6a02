/* Content dedup: the per-call hash table that finds repeated payloads (str,
 * bytes, bytearray, source text, bytecode), the arena holding their copies,
 * the dedup blocks that carry them, and the readers of those blocks, which
 * push to the load's read table in the writer's numbering. */
#include "vellum.h"

#include <zlib.h>

static const unsigned char empty_payload[1] = {0};

/* ---- arena ------------------------------------------------------------- */

/* A block's size counts its header, so that blocks are powers of two. */
struct ArenaBlock {
    ArenaBlock *prev;
    size_t size;
    /* the payload area follows */
};

/* The first block is the state's local one, outside the list. */
static unsigned char *
arena_alloc(Arena *a, size_t n)
{
    if (a->base == NULL || n > a->cap - a->pos) {
        size_t size = a->blocks ? 2 * a->blocks->size : (size_t)1 << 20;
        while (size - sizeof(ArenaBlock) < n) {
            if (size > SIZE_MAX / 4)
                return NULL;
            size *= 2;
        }
        ArenaBlock *blk = (ArenaBlock *)scratch_alloc(size);
        if (blk == NULL)
            return NULL;
        /* Earlier blocks stay where they are: entries point into them. */
        blk->prev = a->blocks;
        blk->size = size;
        a->blocks = blk;
        a->base = (unsigned char *)(blk + 1);
        a->cap = size - sizeof(ArenaBlock);
        a->pos = 0;
    }
    unsigned char *p = a->base + a->pos;
    a->pos += n;
    return p;
}

void
arena_free(Arena *a)
{
    ArenaBlock *blk = a->blocks;
    while (blk != NULL) {
        ArenaBlock *prev = blk->prev;
        scratch_free(blk, blk->size);
        blk = prev;
    }
    memset(a, 0, sizeof *a);
}

/* ---- hashing and lookup ------------------------------------------------ */

uint32_t
fnv1a(uint8_t tag, const unsigned char *d, Py_ssize_t n)
{
    uint32_t h = 0x811C9DC5u;
    h = (h ^ tag) * 0x01000193u;
    for (Py_ssize_t i = 0; i < n; i++)
        h = (h ^ d[i]) * 0x01000193u;
    return h;
}

static inline uint32_t
dedup_mix(Py_hash_t ph, uint8_t tag)
{
    return ((uint32_t)ph * 0x9E3779B1u) ^ ((uint32_t)tag * 0x01000193u);
}

uint32_t
dedup_pyhash(PyObject *obj, uint8_t tag)
{
    Py_hash_t ph = PyObject_Hash(obj);
    if (ph == -1) {
        PyErr_Clear();
        return 0;
    }
    return dedup_mix(ph, tag);
}

int32_t
dedup_find_h(const DedupState *ds, uint8_t tag, const unsigned char *d,
             Py_ssize_t n, uint32_t h)
{
    if (ds->table == NULL)
        return -1;
    int32_t i = ds->buckets[h & (uint32_t)(ds->nbuckets - 1)];
    while (i >= 0) {
        const DEntry *e = &ds->table[i];
        if (e->h == h && e->tag == tag && (Py_ssize_t)e->len == n &&
            (n == 0 || memcmp(e->data, d, (size_t)n) == 0))
            return i;
        i = e->next;
    }
    return -1;
}

/* Doubles the buckets and relinks every entry, oldest first, so each chain
 * lists its entries newest first as insertion does. */
[[nodiscard]] static int
dedup_rehash(DedupState *ds)
{
    int32_t nb = ds->nbuckets * 2;
    int32_t *nbk = (int32_t *)scratch_alloc((size_t)nb * sizeof(int32_t));
    if (nbk == NULL) {
        PyErr_NoMemory();
        return 0;
    }
    memset(nbk, 0xFF, (size_t)nb * sizeof(int32_t));
    uint32_t mask = (uint32_t)nb - 1;
    for (int32_t i = 0; i < ds->count; i++) {
        DEntry *e = &ds->table[i];
        uint32_t slot = e->h & mask;
        e->next = nbk[slot];
        nbk[slot] = i;
    }
    dedup_free_block(ds, ds->buckets, (size_t)ds->nbuckets * sizeof(int32_t));
    ds->buckets = nbk;
    ds->nbuckets = nb;
    return 1;
}

int32_t
dedup_register_h(DedupState *ds, PyObject *obj, uint8_t tag,
                 const unsigned char *d, Py_ssize_t n, uint32_t h)
{
    if (ds->count >= (int32_t)((double)ds->nbuckets * 0.65) && !dedup_rehash(ds))
        return -1;
    if (!dedup_table_reserve(ds))
        return -1;
    const unsigned char *copy = empty_payload;
    if (n > 0) {
        unsigned char *p = arena_alloc(&ds->arena, (size_t)n);
        if (p == NULL) {
            PyErr_NoMemory();
            return -1;
        }
        memcpy(p, d, (size_t)n);
        copy = p;
    }
    if (h == 0)
        h = fnv1a(tag, d, n);
    int32_t idx = ds->count;
    DEntry *e = &ds->table[idx];
    uint32_t slot = h & (uint32_t)(ds->nbuckets - 1);
    e->tag = tag;
    e->data = copy;
    e->len = (uint32_t)n;
    e->h = h;
    e->next = ds->buckets[slot];
    ds->buckets[slot] = idx;
    ds->count++;
    /* Recorded by address in a content entry, obj is kept at once. */
    if (obj != NULL) {
        id_tab_insert(ds, obj, idx);
        if (!retain(ds, obj))
            return -1;
    }
    return idx;
}

/* ---- block writers ----------------------------------------------------- */

/* A repeat of a str or bytes is a bare reference; a bytearray keeps its
 * value tag before it so that the reader builds a new bytearray. */
static inline int
repeat_lead(uint8_t type_tag)
{
    return type_tag == TAG_BYTEARRAY ? TAG_BYTEARRAY : -1;
}

[[nodiscard]] static int
write_typed_ref(Buf *b, uint8_t type_tag, int32_t idx)
{
    if (repeat_lead(type_tag) >= 0 && !buf_u8(b, TAG_BYTEARRAY))
        return 0;
    return write_ref(b, idx);
}

/* Marker, one length byte and the payload; one copy when there is room. */
[[nodiscard]] static inline int
write_short_block(Buf *b, uint8_t marker, const unsigned char *d, Py_ssize_t n)
{
    if (!buf_room(b, 2 + n))
        return 0;
    unsigned char *p = b->buf + b->len;
    p[0] = marker;
    p[1] = (unsigned char)n;
    if (n > 0)
        memcpy(p + 2, d, (size_t)n);
    b->len += 2 + n;
    return 1;
}

[[nodiscard]] static int
write_long_block(Buf *b, uint8_t tag, const unsigned char *d, Py_ssize_t n)
{
    return buf_u8_2(b, MARK_LONG, tag) && write_len(b, n) && buf_raw(b, d, n);
}

/* dedup_pyhash of an object other than an exact str or bytes, whose
 * __hash__ may be Python code. */
Py_NO_INLINE static uint32_t
hash_recorded(DedupState *ds, PyObject *obj, uint8_t tag)
{
    CallingOut out(ds);
    return dedup_pyhash(obj, tag);
}

/* write_dedup_typed once the identity lookup has missed.  A null obj
 * stands for an exact bytes object of content d that no one else holds. */
[[nodiscard]] static int
write_dedup_typed_new(Buf *b, DedupState *ds, PyObject *obj, uint8_t type_tag,
                      const unsigned char *d, Py_ssize_t n)
{
    int32_t idx;
    if (n > VELLUM_LEN_MAX)
        return write_len_overflow(n);

    if (n >= VELLUM_LARGE_VALUE)
        return index_take(ds, obj) && buf_u8(b, type_tag) && write_long_block(b, type_tag, d, n);

    /* An exact str or bytes is found again by its content under the same
     * cached hash, which yields the index that an identity entry would
     * record; leaving it out of the identity table keeps that table small.
     * Subclasses, whose hash may be anything, are recorded. */
    PyObject *id_obj = obj == NULL || Py_IS_TYPE(obj, &PyUnicode_Type) ||
                               Py_IS_TYPE(obj, &PyBytes_Type)
                           ? NULL
                           : obj;
    /* A transformed hash of 0 (unhashable, or by chance) files the payload
     * under its FNV-1a hash instead; the same object always takes the same
     * path, so equal payloads meet. */
    uint32_t h = id_obj != NULL ? hash_recorded(ds, id_obj, type_tag)
                 : obj != NULL  ? dedup_pyhash(obj, type_tag)
                                : dedup_mix(compat_hash_bytes(d, n), type_tag);
    if (h == 0)
        h = fnv1a(type_tag, d, n);
    idx = dedup_find_h(ds, type_tag, d, n, h);
    if (idx >= 0) {
        if (id_obj != NULL) {
            id_tab_insert(ds, id_obj, idx);
            if (!retain(ds, id_obj))
                return 0;
        }
        return write_typed_ref(b, type_tag, idx);
    }
    if (dedup_register_h(ds, id_obj, type_tag, d, n, h) < 0)
        return 0;

    if (type_tag == TAG_STR && n <= VELLUM_SHORT_MAX)
        return write_short_block(b, TAG_SHORT_STR, d, n);
    if (!buf_u8(b, type_tag))
        return 0;
    if (n <= VELLUM_SHORT_MAX)
        return write_short_block(b, MARK_SHORT, d, n);
    return write_long_block(b, type_tag, d, n);
}

int
write_dedup_typed(Buf *b, DedupState *ds, PyObject *obj, uint8_t type_tag,
                  const unsigned char *d, Py_ssize_t n)
{
    int seen = index_seen(b, ds, obj, repeat_lead(type_tag));
    if (seen >= 0)
        return seen;
    return write_dedup_typed_new(b, ds, obj, type_tag, d, n);
}

int32_t
write_dedup_index(Buf *b, DedupState *ds, uint8_t tag, const unsigned char *d,
                  Py_ssize_t n)
{
    if (n > VELLUM_LEN_MAX)
        return write_len_overflow(n) - 1;
    uint32_t h = fnv1a(tag, d, n); /* hashed once for the lookup and the entry */
    int32_t idx = dedup_find_h(ds, tag, d, n, h);
    if (idx >= 0)
        return write_ref(b, idx) ? idx : -1;
    idx = dedup_register_h(ds, NULL, tag, d, n, h);
    if (idx < 0)
        return -1;
    /* Only the content tag tells the reader to inflate, so compressed
     * source always takes the long form. */
    int ok = tag != TAG_SRC_Z && n <= VELLUM_SHORT_MAX
                 ? write_short_block(b, MARK_SHORT, d, n)
                 : write_long_block(b, tag, d, n);
    return ok ? idx : -1;
}

int
write_dedup(Buf *b, DedupState *ds, uint8_t tag, const unsigned char *d,
            Py_ssize_t n)
{
    return write_dedup_index(b, ds, tag, d, n) >= 0;
}

/* A str that UTF-8 cannot encode holds lone surrogates (text decoded with
 * surrogateescape, for one): its own tag, whose payload encodes each of them
 * as UTF-8 would encode the code point. */
[[nodiscard]] static int
serialize_str_surrogates(Buf *b, DedupState *ds, PyObject *s)
{
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
        return 0;
    PyErr_Clear();
    Ref raw = Ref::steal(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
    if (!raw)
        return 0;
    return write_dedup_typed_new(b, ds, s, TAG_STR_SURROGATES,
                                 (const unsigned char *)PyBytes_AS_STRING(raw.get()),
                                 PyBytes_GET_SIZE(raw.get()));
}

int
serialize_str(Buf *b, DedupState *ds, PyObject *s)
{
    /* Only subclasses and large strings are in the identity table. */
    if (!Py_IS_TYPE(s, &PyUnicode_Type) || PyUnicode_GET_LENGTH(s) >= VELLUM_LARGE_VALUE / 4) {
        int seen = index_seen(b, ds, s);
        if (seen >= 0)
            return seen;
    }
    const char *d;
    Py_ssize_t n;
    if (PyUnicode_IS_ASCII(s)) {
        d = (const char *)PyUnicode_DATA(s);
        n = PyUnicode_GET_LENGTH(s);
    }
    else {
        d = PyUnicode_AsUTF8AndSize(s, &n);
        if (d == NULL)
            return serialize_str_surrogates(b, ds, s);
    }
    return write_dedup_typed_new(b, ds, s, TAG_STR, (const unsigned char *)d, n);
}

int
write_bytes_content(Buf *b, DedupState *ds, const unsigned char *d, Py_ssize_t n)
{
    return write_dedup_typed_new(b, ds, NULL, TAG_BYTES, d, n);
}

int
serialize_bytes(Buf *b, DedupState *ds, PyObject *obj)
{
    return write_dedup_typed(b, ds, obj, TAG_BYTES,
                             (const unsigned char *)PyBytes_AS_STRING(obj),
                             PyBytes_GET_SIZE(obj));
}

int
serialize_bytearray(Buf *b, DedupState *ds, PyObject *obj)
{
    return write_dedup_typed(b, ds, obj, TAG_BYTEARRAY,
                             (const unsigned char *)PyByteArray_AS_STRING(obj),
                             PyByteArray_GET_SIZE(obj));
}

/* ---- block readers ----------------------------------------------------- */

/* Pushes a freshly built object and hands it on; on failure releases it. */
static PyObject *
push_new(Load *ld, PyObject *obj)
{
    if (obj == NULL)
        return NULL;
    if (!read_table_push(ld, obj)) {
        Py_DECREF(obj);
        return NULL;
    }
    return obj;
}

PyObject *
inflate_bounded(const unsigned char *src, Py_ssize_t n, const char *fail_msg,
                Py_ssize_t *budget)
{
    if ((size_t)n > (SIZE_MAX - 256) / 4 / 64)
        return fail_value(fail_msg);
    size_t cap = 4 * (size_t)n + 256;
    for (int attempt = 0; attempt < 4; attempt++, cap *= 4) {
        /* The last attempt that fits the budget gets exactly the budget. */
        int last = attempt == 3;
        if (cap >= (size_t)*budget) {
            cap = (size_t)*budget;
            last = 1;
        }
        unsigned char *out = (unsigned char *)malloc(cap ? cap : 1);
        if (out == NULL)
            return PyErr_NoMemory();
        uLongf out_len = (uLongf)cap;
        int rc = uncompress(out, &out_len, src, (uLong)n);
        if (rc == Z_OK) {
            PyObject *r = PyBytes_FromStringAndSize((const char *)out,
                                                    (Py_ssize_t)out_len);
            free(out);
            if (r != NULL)
                *budget -= (Py_ssize_t)out_len;
            return r;
        }
        free(out);
        if (rc != Z_BUF_ERROR)
            break;
        if (last) {
            if (cap == (size_t)*budget) {
                char msg[160];
                snprintf(msg, sizeof msg,
                         "zlib: el código fuente descomprimido supera el límite de "
                         "%zd bytes que queda para este stream",
                         *budget);
                PyErr_SetString(PyExc_ValueError, msg);
                return NULL;
            }
            break;
        }
    }
    return fail_value(fail_msg);
}

static PyObject *
inflate_stream(Load *ld, const unsigned char *src, Py_ssize_t n)
{
    return inflate_bounded(src, n, "SRC_Z: fallo zlib decompress", &ld->inflate_left);
}

/* Checks that a referenced block used as bytes really is bytes. */
static PyObject *
expect_bytes(PyObject *obj, const char *what)
{
    if (obj != NULL && !PyBytes_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s: se esperaba bytes, no %.200s", what,
                     Py_TYPE(obj)->tp_name);
        Py_DECREF(obj);
        return NULL;
    }
    return obj;
}

/* The head of the block after marker, or null with the message of where
 * it stops short. */
static inline const unsigned char *
read_block(const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos, unsigned marker, Py_ssize_t *n, const char *cut_head,
           const char *cut_payload, unsigned *ctag = NULL)
{
    BlockHead head;
    BlockStatus st = read_block_head(data, size, pos, marker, &head);
    if (st != BLOCK_OK) {
        fail_value(st == BLOCK_CUT_HEAD ? cut_head : cut_payload);
        return NULL;
    }
    if (ctag != NULL)
        *ctag = head.ctag;
    *n = head.len;
    return head.payload;
}

static PyObject *
read_src_z(READER_ARGS)
{
    if (*pos >= size)
        return fail_value("EOF SRC_Z sub");
    uint8_t sub = data[(*pos)++];
    Ref stream;
    if (sub == MARK_SHORT || sub == MARK_LONG) {
        /* A long block's content tag is not consulted: this block is a stream. */
        Py_ssize_t n;
        const unsigned char *p =
            sub == MARK_SHORT
                ? read_block(data, size, pos, sub, &n, "EOF SRC_Z len", "SRC_Z overflow")
                : read_block(data, size, pos, sub, &n, "EOF SRC_Z 0xFB",
                             "SRC_Z 0xFB overflow");
        if (p == NULL)
            return NULL;
        stream = Ref::steal(push_new(ld, PyBytes_FromStringAndSize((const char *)p, n)));
    }
    else if (is_ref_tag(sub)) {
        stream = Ref::steal(expect_bytes(read_ref(ld, data, size, pos, sub),
                                         "SRC_Z"));
    }
    else {
        PyErr_Format(PyExc_ValueError, "SRC_Z: sub-marker desconocido 0x%02x",
                     sub);
        return NULL;
    }
    if (!stream)
        return NULL;
    return push_new(ld, inflate_stream(ld, (const unsigned char *)PyBytes_AS_STRING(stream.get()),
                                   PyBytes_GET_SIZE(stream.get())));
}

PyObject *
read_dedup_bytes(READER_ARGS)
{
    if (*pos >= size)
        return fail_value("EOF en dedup");
    uint8_t marker = data[(*pos)++];
    if (is_ref_tag(marker))
        return read_ref(ld, data, size, pos, marker);
    Py_ssize_t n;
    if (marker == MARK_SHORT) {
        const unsigned char *p = read_block(data, size, pos, marker, &n, "EOF short len",
                                            "short str overflow");
        return p ? push_new(ld, PyBytes_FromStringAndSize((const char *)p, n)) : NULL;
    }
    if (marker == MARK_LONG) {
        unsigned ctag;
        const unsigned char *p = read_block(data, size, pos, marker, &n, "EOF 0xFB tag",
                                            "0xFB longitud inválida", &ctag);
        if (p == NULL)
            return NULL;
        if (ctag == TAG_SRC_Z)
            return push_new(ld, inflate_stream(ld, p, n));
        return push_new(ld, PyBytes_FromStringAndSize((const char *)p, n));
    }
    if (marker == MARK_SRC_Z)
        return read_src_z(ld, data, size, pos);
    PyErr_Format(PyExc_ValueError, "Marker dedup_bytes desconocido: 0x%02x",
                 marker);
    return NULL;
}

PyObject *
read_dedup_bytes_checked(READER_ARGS, const char *what)
{
    return expect_bytes(read_dedup_bytes(ld, data, size, pos), what);
}

/* The UTF-8 text of a block (0x15 and MARK_SHORT in str blocks have one
 * length byte, MARK_LONG its content tag and length field). */
static inline PyObject *
read_text_block(READER_ARGS, unsigned marker, const char *cut_head, const char *cut_payload)
{
    Py_ssize_t n;
    const unsigned char *p = read_block(data, size, pos, marker, &n, cut_head, cut_payload);
    if (p == NULL)
        return NULL;
    return push_new(ld, PyUnicode_DecodeUTF8((const char *)p, n, "strict"));
}

PyObject *
deserialize_short_str(READER_ARGS)
{
    return read_text_block(ld, data, size, pos, TAG_SHORT_STR, "EOF 0x15 len", "0x15 overflow");
}

PyObject *
read_str_dedup(READER_ARGS)
{
    if (*pos >= size)
        return fail_value("EOF str_dedup");
    uint8_t marker = data[(*pos)++];
    if (is_ref_tag(marker))
        return read_ref(ld, data, size, pos, marker);
    if (marker == MARK_SHORT)
        return read_text_block(ld, data, size, pos, marker, "EOF short len",
                               "short str overflow");
    if (marker == TAG_SHORT_STR)
        return read_text_block(ld, data, size, pos, marker, "EOF 0x15 len", "0x15 overflow");
    /* A long text block is never inflated, whatever its content tag. */
    if (marker == MARK_LONG)
        return read_text_block(ld, data, size, pos, marker, "EOF 0xFB tag",
                               "0xFB str overflow");
    PyErr_Format(PyExc_ValueError, "str_dedup: marker inesperado 0x%02x", marker);
    return NULL;
}

PyObject *
read_str_any(READER_ARGS)
{
    if (*pos >= size)
        return fail_value("EOF str_any");
    uint8_t t = data[*pos];
    if (t == TAG_STR) {
        (*pos)++;
        return read_str_dedup(ld, data, size, pos);
    }
    if (t == MARK_SHORT || t == TAG_SHORT_STR || t == MARK_LONG || is_ref_tag(t))
        return read_str_dedup(ld, data, size, pos);
    PyErr_Format(PyExc_ValueError, "read_str_any: tag inesperado 0x%02x", t);
    return NULL;
}

/* A text block with lone surrogates, read as read_str_dedup reads a text
 * block (a long one is never inflated); the entry is the str. */
PyObject *
deserialize_str_surrogates(READER_ARGS)
{
    if (*pos >= size)
        return fail_value("EOF en dedup");
    uint8_t marker = data[*pos];
    if (is_ref_tag(marker)) {
        (*pos)++;
        PyObject *s = read_ref(ld, data, size, pos, marker);
        if (s != NULL && !PyUnicode_Check(s)) {
            PyErr_Format(PyExc_TypeError, "0x37: se esperaba str, no %.200s",
                         Py_TYPE(s)->tp_name);
            Py_CLEAR(s);
        }
        return s;
    }
    Py_ssize_t n;
    if (marker == MARK_SHORT || marker == TAG_SHORT_STR) {
        if (size - *pos < 2)
            return fail_value("EOF short len");
        n = data[*pos + 1];
        *pos += 2;
        if (size - *pos < n)
            return fail_value("short str overflow");
    }
    else if (marker == MARK_LONG) {
        if (size - *pos < 2)
            return fail_value("EOF 0xFB tag");
        *pos += 2;
        n = read_len(data, size, pos);
        if (n < 0 || size - *pos < n)
            return fail_value("0xFB str overflow");
    }
    else {
        PyErr_Format(PyExc_ValueError, "0x37: marker inesperado 0x%02x", marker);
        return NULL;
    }
    const char *p = (const char *)data + *pos;
    *pos += n;
    return push_new(ld, PyUnicode_DecodeUTF8(p, n, "surrogatepass"));
}

PyObject *
deserialize_bytearray(READER_ARGS)
{
    Ref raw = Ref::steal(read_dedup_bytes_checked(ld, data, size, pos, "0x07"));
    if (!raw)
        return NULL;
    return PyByteArray_FromStringAndSize(PyBytes_AS_STRING(raw.get()),
                                         PyBytes_GET_SIZE(raw.get()));
}
