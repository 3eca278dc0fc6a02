/* The verifier: a structural walk over a stream that reads it with the
 * reader's own rules but builds nothing, imports nothing and runs nothing,
 * and the StreamReport made from it.  The walk has the deserializer's cases
 * in the deserializer's order, each walk_skip_X beside its deserialize_X.
 * Process-wide state: only the package module and its StreamReport class,
 * imported on first use and kept. */
#include "vellum.h"

#include <zlib.h>

/* ---- block list -------------------------------------------------------- */

static void
verify_ctx_init(VerifyCtx *vc)
{
    memset(vc, 0, sizeof *vc);
}

/* Takes over raw_parts on success; on failure the caller still owns it. */
[[nodiscard]] static int
verify_ctx_add_block(VerifyCtx *vc, Py_ssize_t pos, uint8_t tag,
                     const char *reason, PyObject *raw_parts)
{
    if (vc->block_count >= vc->block_cap) {
        Py_ssize_t cap = vc->block_cap ? 2 * vc->block_cap : 16;
        UnexecBlock *nb = (UnexecBlock *)PyMem_Realloc(
            vc->blocks, (size_t)cap * sizeof(UnexecBlock));
        if (nb == NULL) {
            PyErr_NoMemory();
            return 0;
        }
        vc->blocks = nb;
        vc->block_cap = cap;
    }
    UnexecBlock *blk = &vc->blocks[vc->block_count++];
    blk->pos = pos;
    blk->tag = tag;
    blk->reason = reason;
    blk->raw_parts = raw_parts;
    return 1;
}

static void
verify_ctx_destroy(VerifyCtx *vc)
{
    for (Py_ssize_t i = 0; i < vc->block_count; i++)
        Py_XDECREF(vc->blocks[i].raw_parts);
    PyMem_Free(vc->blocks);
    vc->blocks = NULL;
    vc->block_count = vc->block_cap = 0;
}

/* ---- capture mirror ---------------------------------------------------- */

/* What the reader's read table holds at one index, as far as capture needs
 * it: a content payload (a span of the input, copied only when a block
 * names it, or its inflated text), or a container or callable (span null,
 * no text). */
struct MirrorEntry {
    const unsigned char *span;
    Py_ssize_t len;
    PyObject *text; /* owned inflated source, or null */
};

/* The index space seen by the walk: the count of entries, and with capture
 * the mirror of what each entry is. */
struct WalkIndex {
    Py_ssize_t dedup_n;
    MirrorEntry *dedup_table; /* null without capture */
    Py_ssize_t cap;
    Py_ssize_t inflate_left; /* bytes the capture may still inflate */
    int globals_depth;       /* nesting of the function globals being walked */
};

[[nodiscard]] static int
mirror_push(WalkIndex *ix, const unsigned char *span, Py_ssize_t len, PyObject *text)
{
    if (ix->dedup_n >= ix->cap) {
        Py_ssize_t cap = ix->cap ? 2 * ix->cap : 256;
        MirrorEntry *nt = (MirrorEntry *)PyMem_Realloc(
            ix->dedup_table, (size_t)cap * sizeof(MirrorEntry));
        if (nt == NULL) {
            Py_XDECREF(text);
            PyErr_NoMemory();
            return 0;
        }
        ix->dedup_table = nt;
        ix->cap = cap;
    }
    MirrorEntry *e = &ix->dedup_table[ix->dedup_n++];
    e->span = span;
    e->len = len;
    e->text = text; /* stolen */
    return 1;
}

/* The capture mirror starts empty, with room for a first run of entries. */
[[nodiscard]] static int
mirror_init(WalkIndex *ix)
{
    ix->dedup_table = (MirrorEntry *)PyMem_Malloc(256 * sizeof(MirrorEntry));
    if (ix->dedup_table == NULL) {
        PyErr_NoMemory();
        return 0;
    }
    ix->cap = 256;
    return 1;
}

static void
mirror_free(WalkIndex *ix)
{
    if (ix->dedup_table == NULL)
        return;
    for (Py_ssize_t i = 0; i < ix->dedup_n; i++)
        Py_XDECREF(ix->dedup_table[i].text);
    PyMem_Free(ix->dedup_table);
    ix->dedup_table = NULL;
    ix->cap = 0;
}

/* An entry that stands for no content: a shared container or a callable. */
[[nodiscard]] static inline int
walk_take_entry(WalkIndex *ix)
{
    if (ix->dedup_table == NULL) {
        ix->dedup_n++;
        return 1;
    }
    return mirror_push(ix, NULL, 0, NULL);
}

/* ---- walk helpers ------------------------------------------------------ */

#define WALK_ARGS const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos, \
                  WalkIndex *ix, VerifyCtx *vc, int depth
#define WALK_CURSOR data, size, pos, ix

static int verify_walk(WALK_ARGS);

static int
walk_fail(const char *msg)
{
    PyErr_SetString(PyExc_ValueError, msg);
    return 0;
}

static int
walk_unknown_tag(unsigned t)
{
    PyErr_Format(PyExc_ValueError, "Tag desconocido: 0x%02x", t);
    return 0;
}

/* The tags of values whose loading runs, loads or imports code. */
struct ExecTags {
    bool is[256];
};

static constexpr ExecTags
make_exec_tags()
{
    ExecTags t{};
    const uint8_t tags[] = {
        TAG_FN_SOURCE, TAG_INSTANCE_V1, TAG_SLOTS_INSTANCE_V1, TAG_REDUCE_V1,
        TAG_FN_BYTECODE, TAG_CODE, TAG_CLASSMETHOD, TAG_STATICMETHOD,
        TAG_PROPERTY, TAG_INSTANCE, TAG_SLOTS_INSTANCE, TAG_REDUCE,
        TAG_FUNCTION, TAG_CODE_V2, TAG_CLASS, TAG_GLOBAL, TAG_MODULE, TAG_REDUCE_EX,
    };
    for (uint8_t tag : tags)
        t.is[tag] = true;
    return t;
}

static constexpr ExecTags exec_tags = make_exec_tags();

static inline int
is_exec_tag(uint8_t tag)
{
    return exec_tags.is[tag];
}

static const char *
exec_reason(uint8_t tag)
{
    switch (tag) {
    case TAG_FN_SOURCE: return "función vía exec() de código fuente";
    case TAG_INSTANCE_V1:
    case TAG_SLOTS_INSTANCE_V1:
        return "instancia: clase materializada vía exec() de su fuente";
    case TAG_INSTANCE:
    case TAG_SLOTS_INSTANCE:
        return "instancia: clase se re-vincula por módulo si está importada, "
               "si no se materializa vía exec() de su fuente";
    case TAG_REDUCE_V1:
        return "objeto reconstruido invocando un callable (__reduce__)";
    case TAG_REDUCE:
        return "objeto reconstruido invocando un callable (__reduce__): callable "
               "se re-vincula por módulo si está importado, si no se materializa "
               "vía exec() de su fuente";
    case TAG_FN_BYTECODE:
    case TAG_CODE: return "bytecode vía marshal.loads()";
    case TAG_CLASSMETHOD:
        return "classmethod: envuelve una función (ver bloque anterior para su "
               "contenido)";
    case TAG_STATICMETHOD:
        return "staticmethod: envuelve una función (ver bloque anterior para su "
               "contenido)";
    case TAG_FUNCTION:
        return "función con sus globales: bytecode vía marshal.loads(), solo si lo "
               "escribió esta versión del intérprete";
    case TAG_CODE_V2:
        return "código: bytecode vía marshal.loads(), solo si lo escribió esta "
               "versión del intérprete";
    case TAG_CLASS:
        return "clase como valor: se re-vincula por módulo si está importada, si no "
               "se materializa vía exec() de su fuente";
    case TAG_GLOBAL:
        return "valor por referencia: se toma de su módulo por nombre; una carga de "
               "confianza importa el módulo si no está importado";
    case TAG_MODULE:
        return "módulo por nombre: una carga de confianza lo importa si no está "
               "importado";
    case TAG_REDUCE_EX:
        return "objeto reconstruido invocando un callable (protocolo reduce completo: "
               "el callable o la clase es el valor anidado anterior, el estado va a "
               "__setstate__ si lo tiene)";
    default:
        return "property: envuelve accesor(es) (ver bloque(s) anterior(es) para "
               "su contenido)";
    }
}

/* 1 when 0 <= idx < dedup_n, else the reference error. */
static int
check_ref_idx(Py_ssize_t idx, Py_ssize_t dedup_n)
{
    if (idx >= 0 && idx < dedup_n)
        return 1;
    PyErr_Format(PyExc_ValueError,
                 "referencia a indice %d fuera de rango (solo %zd entradas vistas "
                 "hasta este punto)",
                 (int)idx, dedup_n);
    return 0;
}

/* The index after a reference opcode (0xFC to 0xFE, already consumed), read
 * as the reader reads it and checked against the entries seen. */
[[nodiscard]] static int
walk_read_ref_idx(const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos,
                  Py_ssize_t dedup_n, uint8_t opcode, Py_ssize_t *idx)
{
    if (!read_ref_index(data, size, pos, opcode, idx))
        return walk_fail(ref_eof_text(opcode));
    return check_ref_idx(*idx, dedup_n);
}

/* The values of a container, or the pairs of a dict as 2n values, at depth
 * + 1.  Leaves that need no check beyond their width (fixed-width scalars,
 * big ints, in-range 1- and 2-byte references and, without capture,
 * short strings) are settled here with the cursor in a local; everything
 * else, and every error, goes through the full step.  The function starts on
 * a cache line, so that the speed of its loop does not hang on where the
 * linker happens to place it. */
[[nodiscard]] static int __attribute__((aligned(64)))
walk_skip_values(WALK_ARGS, Py_ssize_t n)
{
    Py_ssize_t p = *pos;
    Py_ssize_t *counts = vc->tag_counts;
    const int leaves = depth + 1 <= VELLUM_MAX_DEPTH;
    const int short_strs = ix->dedup_table == NULL;
    /* Every value takes at least one byte: a count beyond the input ends at
     * the first missing value. */
    for (Py_ssize_t i = 0; i < n; i++) {
        if (leaves && p < size) {
            unsigned t = data[p];
            /* Ints 0..255 step the cursor by a constant, so that the next
             * position does not wait for a table load. */
            if (is_smallint_tag(t)) {
                counts[t]++;
                p += 1;
                continue;
            }
            Py_ssize_t left = size - p;
            if (t == TAG_UINT8 && left >= fixed_width(TAG_UINT8)) {
                counts[t]++;
                p += fixed_width(TAG_UINT8);
                continue;
            }
            Py_ssize_t w = fixed_width(t);
            if (w == 0 && left >= 2) {
                Py_ssize_t q = p + 1;
                if (t == TAG_REF8 && ref_index_at(data + q, TAG_REF8) < ix->dedup_n)
                    w = 1 + ref_width(TAG_REF8);
                else if (t == TAG_REF16 && left > ref_width(TAG_REF16) &&
                         ref_index_at(data + q, TAG_REF16) < ix->dedup_n)
                    w = 1 + ref_width(TAG_REF16);
                else if (t == TAG_SHORT_STR && short_strs) {
                    Py_ssize_t len = short_block_len(data + q, left - 1);
                    if (len >= 0) {
                        w = 2 + len;
                        ix->dedup_n++;
                    }
                }
                else if (t == TAG_BIGINT && left >= 3) {
                    /* Tag, sign byte and a one-byte length field; a longer
                     * field takes the full step. */
                    Py_ssize_t m = one_byte_len(data[p + 2]);
                    if (m >= 0)
                        w = 3 + m;
                }
            }
            if (w != 0 && left >= w) {
                counts[t]++;
                p += w;
                continue;
            }
        }
        /* Short lists (shared ones above all) and tuples go straight to
         * their items, as walk_skip_list_deduped, walk_skip_seq and
         * walk_skip_tuple_deduped read them. */
        if (leaves && size - p >= 2 && data[p + 1] <= 0x3F) {
            unsigned t = data[p];
            if (t == TAG_LIST_DEDUP || t == TAG_LIST || t == TAG_TUPLE ||
                t == TAG_TUPLE_DEDUP) {
                counts[t]++;
                *pos = p + 2;
                if ((t == TAG_LIST_DEDUP && !walk_take_entry(ix)) ||
                    !walk_skip_values(data, size, pos, ix, vc, depth + 1, data[p + 1]) ||
                    (t == TAG_TUPLE_DEDUP && !walk_take_entry(ix)))
                    return 0;
                p = *pos;
                continue;
            }
        }
        *pos = p;
        if (!verify_walk(data, size, pos, ix, vc, depth + 1))
            return 0;
        p = *pos;
    }
    *pos = p;
    return 1;
}

/* One value one level below depth. */
[[nodiscard]] static inline int
walk_nested(WALK_ARGS)
{
    return walk_skip_values(data, size, pos, ix, vc, depth, 1);
}

/* ---- dedup blocks and string fields ------------------------------------ */

/* Inflates a captured compressed source block within the reader's bounds:
 * four attempts of growing output size. */
static PyObject *
walk_inflate(WalkIndex *ix, const unsigned char *src, Py_ssize_t n)
{
    return inflate_bounded(src, n, "0xFB: fallo zlib decompress al capturar fuente",
                           &ix->inflate_left);
}

/* The captured part for the entry at idx: a new reference to its bytes. */
static PyObject *
mirror_part(WalkIndex *ix, Py_ssize_t idx)
{
    MirrorEntry *e = &ix->dedup_table[idx];
    if (e->text != NULL)
        return Py_NewRef(e->text);
    if (e->span != NULL) {
        /* Kept in the entry: a block named again shares the one copy. */
        PyObject *part = PyBytes_FromStringAndSize((const char *)e->span, e->len);
        if (part == NULL)
            return NULL;
        e->text = part;
        return Py_NewRef(part);
    }
    {
        PyErr_Format(PyExc_ValueError,
                     "referencia a indice %d invalida: apunta a un "
                     "dict/list/tuple/frozenset deduplicado (tag "
                     "0x13/0x14/0x16/0x17), no a un bloque de bytes -- un nombre o "
                     "fuente de funcion/clase no puede referenciar una entrada de "
                     "contenedor",
                     (int)idx);
        return NULL;
    }
}

/* One dedup block or reference, as the reader's block readers take it.
 * A text block (str_block) is read as read_str_dedup reads it: 0x15 is a
 * short block too and a long block is never inflated.  A byte block is read
 * as read_dedup_bytes reads it: 0x15 is no marker, and a long block under
 * the compressed-source content tag holds a zlib stream. */
[[nodiscard]] static int
walk_skip_dedup(const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos,
                WalkIndex *ix, PyObject **out_captured, int str_block)
{
    if (out_captured != NULL)
        *out_captured = NULL;
    if (*pos >= size)
        return walk_fail("EOF en dedup");
    uint8_t marker = data[(*pos)++];
    if (is_ref_tag(marker)) {
        Py_ssize_t idx;
        if (!walk_read_ref_idx(data, size, pos, ix->dedup_n, marker, &idx))
            return 0;
        if (ix->dedup_table != NULL && out_captured != NULL) {
            *out_captured = mirror_part(ix, idx);
            return *out_captured != NULL;
        }
        return 1;
    }
    BlockHead head;
    if (marker == MARK_SHORT || (marker == TAG_SHORT_STR && str_block)) {
        BlockStatus st = read_block_head(data, size, pos, marker, &head);
        if (st != BLOCK_OK)
            return walk_fail(st == BLOCK_CUT_HEAD ? "EOF short len" : "short data overflow");
    }
    else if (marker == MARK_LONG) {
        BlockStatus st = read_block_head(data, size, pos, marker, &head);
        if (st != BLOCK_OK)
            return walk_fail(st == BLOCK_CUT_HEAD ? "EOF 0xFB tag" : "0xFB overflow");
    }
    else {
        PyErr_Format(PyExc_ValueError, "Marker dedup desconocido: 0x%02x", marker);
        return 0;
    }
    int compressed = head.ctag == TAG_SRC_Z && !str_block;
    const unsigned char *payload = head.payload;
    Py_ssize_t n = head.len;
    if (ix->dedup_table == NULL) {
        ix->dedup_n++;
        return 1;
    }
    /* Compressed source is inflated as it is met, so that a corrupt stream
     * fails the capture wherever it stands. */
    PyObject *text = NULL;
    if (compressed) {
        text = walk_inflate(ix, payload, n);
        if (text == NULL)
            return 0;
    }
    if (!mirror_push(ix, payload, n, text))
        return 0;
    if (out_captured != NULL) {
        *out_captured = mirror_part(ix, ix->dedup_n - 1);
        return *out_captured != NULL;
    }
    return 1;
}

[[nodiscard]] static int
walk_skip_dedup_bytes(const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos,
                      WalkIndex *ix, PyObject **out_captured)
{
    return walk_skip_dedup(data, size, pos, ix, out_captured, 0);
}

[[nodiscard]] static int
walk_skip_str_dedup(const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos,
                    WalkIndex *ix, PyObject **out_captured)
{
    return walk_skip_dedup(data, size, pos, ix, out_captured, 1);
}

/* A string field: an optional 0x05, then a text block.  The first bytes
 * accepted are the reader's; 0xFF goes on to fail as a marker. */
[[nodiscard]] static int
walk_skip_str_any(const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos,
                  WalkIndex *ix, PyObject **out_captured)
{
    if (out_captured != NULL)
        *out_captured = NULL;
    if (*pos >= size)
        return walk_fail("EOF str_any");
    uint8_t t = data[*pos];
    if (t == TAG_STR)
        (*pos)++;
    else if (t != MARK_SHORT && t != TAG_SHORT_STR && t != MARK_LONG && t < TAG_REF32) {
        PyErr_Format(PyExc_ValueError, "read_str_any: tag inesperado 0x%02x", t);
        return 0;
    }
    return walk_skip_str_dedup(data, size, pos, ix, out_captured);
}

/* ---- scalars ----------------------------------------------------------- */

[[nodiscard]] static int
walk_skip_bigint(const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos)
{
    if (*pos >= size)
        return walk_fail("EOF int sign");
    (*pos)++;
    Py_ssize_t n = read_len(data, size, pos);
    if (n < 0 || size - *pos < n)
        return walk_fail("EOF int data");
    *pos += n;
    return 1;
}

/* The payload of a fixed-width value, whose tag was just read. */
[[nodiscard]] static int
walk_skip_fixed(Py_ssize_t size, Py_ssize_t *pos, unsigned tag, const char *eof_msg)
{
    if (size - *pos < fixed_payload(tag))
        return walk_fail(eof_msg);
    *pos += fixed_payload(tag);
    return 1;
}

/* A value-level short string: one length byte and the text; one entry. */
[[nodiscard]] static int
walk_skip_short_str(const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos,
                    WalkIndex *ix)
{
    BlockHead head;
    BlockStatus st = read_block_head(data, size, pos, TAG_SHORT_STR, &head);
    if (st != BLOCK_OK)
        return walk_fail(st == BLOCK_CUT_HEAD ? "EOF 0x15 len" : "0x15 overflow");
    if (ix->dedup_table == NULL) {
        ix->dedup_n++;
        return 1;
    }
    return mirror_push(ix, head.payload, head.len, NULL);
}

[[nodiscard]] static int
walk_skip_ref(const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos,
              WalkIndex *ix, uint8_t opcode)
{
    Py_ssize_t idx;
    return walk_read_ref_idx(data, size, pos, ix->dedup_n, opcode, &idx);
}

/* ---- containers -------------------------------------------------------- */

/* A count, or -1 with eof_msg raised. */
static Py_ssize_t
walk_read_count(const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos,
                const char *eof_msg)
{
    Py_ssize_t n = read_len(data, size, pos);
    if (n < 0)
        walk_fail(eof_msg);
    return n;
}

[[nodiscard]] static int
walk_skip_list_deduped(WALK_ARGS)
{
    Py_ssize_t n = walk_read_count(data, size, pos, "EOF seq len");
    return n >= 0 && walk_take_entry(ix) && walk_skip_values(WALK_CURSOR, vc, depth, n);
}

/* Tuples and frozensets take their entry once their items are read. */
[[nodiscard]] static int
walk_skip_tuple_deduped(WALK_ARGS)
{
    Py_ssize_t n = walk_read_count(data, size, pos, "EOF seq len");
    return n >= 0 && walk_skip_values(WALK_CURSOR, vc, depth, n) && walk_take_entry(ix);
}

[[nodiscard]] static int
walk_skip_seq(WALK_ARGS)
{
    Py_ssize_t n = walk_read_count(data, size, pos, "EOF seq len");
    return n >= 0 && walk_skip_values(WALK_CURSOR, vc, depth, n);
}

/* The pairs of a dict: key, then value, n times. */
[[nodiscard]] static inline int
walk_skip_dict_items(WALK_ARGS, Py_ssize_t n)
{
    return walk_skip_values(data, size, pos, ix, vc, depth, 2 * n);
}

[[nodiscard]] static int
walk_skip_dict_deduped(WALK_ARGS)
{
    Py_ssize_t n = walk_read_count(data, size, pos, "EOF dict len");
    return n >= 0 && walk_take_entry(ix) && walk_skip_dict_items(WALK_CURSOR, vc, depth, n);
}

[[nodiscard]] static int
walk_skip_dict(WALK_ARGS)
{
    Py_ssize_t n = walk_read_count(data, size, pos, "EOF dict len");
    return n >= 0 && walk_skip_dict_items(WALK_CURSOR, vc, depth, n);
}

[[nodiscard]] static int
walk_skip_array(const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos,
                WalkIndex *ix)
{
    if (!walk_skip_str_any(data, size, pos, ix, NULL))
        return 0;
    Py_ssize_t n = read_len(data, size, pos);
    if (n < 0)
        return walk_fail("EOF 0x2E array len");
    if (size - *pos < n)
        return walk_fail("0x2E array overflow (verify)");
    *pos += n;
    return 1;
}

/* ---- code-carrying values ---------------------------------------------- */

/* The raw parts tuple of a block, stealing every part (null becomes None);
 * null with an exception, the parts released, on failure. */
static PyObject *
walk_parts(Ref *parts, int n)
{
    PyObject *tuple = PyTuple_New(n);
    if (tuple == NULL)
        return NULL;
    for (int i = 0; i < n; i++) {
        PyObject *part = parts[i] ? parts[i].release() : Py_NewRef(Py_None);
        PyTuple_SET_ITEM(tuple, i, part); /* steals part */
    }
    return tuple;
}

/* Records the block of a code-carrying value once the whole of it was
 * walked; with capture, parts[0..n) become its raw parts. */
[[nodiscard]] static int
walk_record(WalkIndex *ix, VerifyCtx *vc, Py_ssize_t start, uint8_t tag,
            Ref *parts, int n)
{
    if (!is_exec_tag(tag)) {
        PyErr_Format(PyExc_SystemError, "0x%02x: no es un tag con codigo", tag);
        return 0;
    }
    PyObject *raw = NULL;
    if (ix->dedup_table != NULL) {
        raw = walk_parts(parts, n);
        if (raw == NULL)
            return 0;
    }
    if (!verify_ctx_add_block(vc, start, tag, exec_reason(tag), raw)) {
        Py_XDECREF(raw);
        return 0;
    }
    return 1;
}

/* A part that is known text, built only when capturing. */
[[nodiscard]] static int
walk_literal_part(const WalkIndex *ix, Ref *part, const char *text, Py_ssize_t n)
{
    if (ix->dedup_table == NULL)
        return 1;
    *part = Ref::steal(PyBytes_FromStringAndSize(text, n));
    return (bool)*part;
}

/* The reader requires the string tag before the name. */
[[nodiscard]] static int
walk_skip_fn_source(const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos,
                    WalkIndex *ix, VerifyCtx *vc, Py_ssize_t start)
{
    if (*pos >= size)
        return walk_fail("EOF fn name tag");
    if (data[(*pos)++] != TAG_STR)
        return walk_fail("0x0D: esperado 0x05");
    PyObject *raw;
    Ref parts[2];
    if (!walk_skip_dedup_bytes(WALK_CURSOR, &raw))
        return 0;
    parts[0] = Ref::steal(raw);
    if (!walk_skip_dedup_bytes(WALK_CURSOR, &raw))
        return 0;
    parts[1] = Ref::steal(raw);
    return walk_record(ix, vc, start, TAG_FN_SOURCE, parts, 2);
}

/* The instance dictionary that follows a class header: the reader takes
 * the 0x0C byte itself and reads the pairs one level below the instance. */
[[nodiscard]] static int
walk_skip_instance_dict(WALK_ARGS, uint8_t tag)
{
    if (*pos >= size || data[*pos] != TAG_DICT) {
        PyErr_Format(PyExc_ValueError, "0x%02x: esperado 0x0C", tag);
        return 0;
    }
    vc->tag_counts[TAG_DICT]++;
    (*pos)++;
    return walk_skip_dict(data, size, pos, ix, vc, depth);
}

/* Instances with a version 1 (name, source) or version 2 (name, source,
 * module) class header. */
[[nodiscard]] static int
walk_skip_instance(WALK_ARGS, Py_ssize_t start, uint8_t tag)
{
    int with_module = tag == TAG_INSTANCE || tag == TAG_SLOTS_INSTANCE;
    PyObject *raw;
    Ref parts[3];
    if (!walk_skip_str_any(WALK_CURSOR, &raw))
        return 0;
    parts[0] = Ref::steal(raw);
    if (!walk_skip_dedup_bytes(WALK_CURSOR, &raw))
        return 0;
    parts[1] = Ref::steal(raw);
    if (with_module) {
        if (!walk_skip_str_any(WALK_CURSOR, &raw))
            return 0;
        parts[2] = Ref::steal(raw);
    }
    return walk_skip_instance_dict(data, size, pos, ix, vc, depth, tag) &&
           walk_record(ix, vc, start, tag, parts, with_module ? 3 : 2);
}

/* Name (version 1) or marker and callable (version 2), through the module
 * field; parts gets (name, source, module). */
[[nodiscard]] static int
walk_skip_callable_fields(const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos,
                          WalkIndex *ix, Ref *parts, int with_module)
{
    PyObject *raw;
    if (!walk_skip_str_any(WALK_CURSOR, &raw))
        return 0;
    parts[0] = Ref::steal(raw);
    if (*pos >= size)
        return walk_fail("EOF reduce has_src");
    if (data[(*pos)++] != 0) {
        if (!walk_skip_dedup_bytes(WALK_CURSOR, &raw))
            return 0;
        parts[1] = Ref::steal(raw);
    }
    if (!with_module)
        return 1;
    if (!walk_skip_str_any(WALK_CURSOR, &raw))
        return 0;
    parts[2] = Ref::steal(raw);
    return 1;
}

[[nodiscard]] static int
walk_skip_callable_ref_v2(const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos,
                          WalkIndex *ix, Ref *parts)
{
    if (*pos >= size)
        return walk_fail("EOF callable marker");
    uint8_t marker = data[(*pos)++];
    if (marker == 0x01) {
        /* A callable written in full takes its entry after its fields. */
        return walk_skip_callable_fields(WALK_CURSOR, parts, 1) && walk_take_entry(ix);
    }
    if (marker != 0x00)
        return walk_fail("callable: marcador invalido");
    if (*pos >= size)
        return walk_fail("EOF callable ref");
    uint8_t opcode = data[(*pos)++];
    if (!is_ref_tag(opcode))
        return walk_fail("callable ref: opcode invalido");
    return walk_skip_ref(WALK_CURSOR, opcode);
}

/* Arguments, flags and the optional state, list items and dict items. */
[[nodiscard]] static int
walk_skip_reduce_tail(WALK_ARGS, const char *args_msg)
{
    unsigned a = *pos < size ? data[*pos] : 0;
    if (*pos >= size || (a != TAG_TUPLE && a != TAG_TUPLE_DEDUP && !is_ref_tag(a)))
        return walk_fail(args_msg);
    if (!verify_walk(data, size, pos, ix, vc, depth + 1))
        return 0;
    if (*pos >= size)
        return walk_fail("EOF reduce flags");
    uint8_t flags = data[(*pos)++];
    for (int bit = 0; bit < 3; bit++) {
        if ((flags & (1 << bit)) && !walk_nested(data, size, pos, ix, vc, depth))
            return 0;
    }
    return 1;
}

[[nodiscard]] static int
walk_skip_reduce(WALK_ARGS, Py_ssize_t start, uint8_t tag)
{
    Ref parts[3];
    if (tag == TAG_REDUCE) {
        if (!walk_skip_callable_ref_v2(WALK_CURSOR, parts) ||
            !walk_skip_reduce_tail(data, size, pos, ix, vc, depth, "0x27: esperaba tupla args"))
            return 0;
        return walk_record(ix, vc, start, tag, parts, 3);
    }
    /* A version 1 callable takes no entry. */
    if (!walk_skip_callable_fields(WALK_CURSOR, parts, 0) ||
        !walk_skip_reduce_tail(data, size, pos, ix, vc, depth, "0x1F: esperaba tupla args"))
        return 0;
    return walk_record(ix, vc, start, tag, parts, 2);
}

[[nodiscard]] static int
walk_skip_fn_bytecode(WALK_ARGS, Py_ssize_t start)
{
    PyObject *raw;
    if (!walk_skip_dedup_bytes(WALK_CURSOR, &raw))
        return 0;
    Ref parts[1] = {Ref::steal(raw)};
    Py_ssize_t nd = walk_read_count(data, size, pos, "EOF fn defaults");
    if (nd < 0 || !walk_skip_values(WALK_CURSOR, vc, depth, nd))
        return 0;
    Py_ssize_t nc = walk_read_count(data, size, pos, "EOF fn freevars");
    if (nc < 0 || !walk_skip_values(WALK_CURSOR, vc, depth, nc))
        return 0;
    return walk_record(ix, vc, start, TAG_FN_BYTECODE, parts, 1);
}

[[nodiscard]] static int
walk_skip_code(const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos,
               WalkIndex *ix, VerifyCtx *vc, Py_ssize_t start)
{
    PyObject *raw;
    if (!walk_skip_dedup_bytes(WALK_CURSOR, &raw))
        return 0;
    Ref parts[1] = {Ref::steal(raw)};
    return walk_record(ix, vc, start, TAG_CODE, parts, 1);
}

[[nodiscard]] static int
walk_skip_method_wrapper(WALK_ARGS, Py_ssize_t start, uint8_t tag)
{
    if (!walk_nested(data, size, pos, ix, vc, depth))
        return 0;
    Ref parts[1];
    int ok = tag == TAG_CLASSMETHOD ? walk_literal_part(ix, &parts[0], "classmethod", 11)
                                    : walk_literal_part(ix, &parts[0], "staticmethod", 12);
    return ok && walk_record(ix, vc, start, tag, parts, 1);
}

[[nodiscard]] static int
walk_skip_property(WALK_ARGS, Py_ssize_t start)
{
    static const char *const accessors[] = {"fget", "fset", "fdel"};
    char names[32];
    size_t len = 0;
    for (const char *name : accessors) {
        if (*pos >= size) {
            PyErr_Format(PyExc_ValueError, "0x24: EOF en %s", name);
            return 0;
        }
        uint8_t present = data[(*pos)++];
        if (present == 0x00)
            continue;
        if (present != 0x01) {
            PyErr_Format(PyExc_ValueError, "0x24: marker inesperado en %s: 0x%02x",
                         name, present);
            return 0;
        }
        if (!walk_nested(data, size, pos, ix, vc, depth))
            return 0;
        if (len > 0) {
            memcpy(names + len, ", ", 2);
            len += 2;
        }
        memcpy(names + len, name, 4);
        len += 4;
    }
    Ref parts[1];
    return walk_literal_part(ix, &parts[0], names, (Py_ssize_t)len) &&
           walk_record(ix, vc, start, TAG_PROPERTY, parts, 1);
}

/* ---- functions with their globals, values by reference ----------------- */

/* A field given as a 1-byte reference to an entry seen, settled in place
 * when nothing is captured (a function written again is mostly these);
 * 0 for anything else, which the field's own reader then takes. */
static inline int
walk_short_ref(const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos,
               const WalkIndex *ix)
{
    Py_ssize_t p = *pos;
    if (ix->dedup_table != NULL || size - p <= ref_width(TAG_REF8) || data[p] != TAG_REF8 ||
        ref_index_at(data + p + 1, TAG_REF8) >= ix->dedup_n)
        return 0;
    *pos = p + 1 + ref_width(TAG_REF8);
    return 1;
}

/* A dedup block into *part; a string field when text is set. */
[[nodiscard]] static int
walk_skip_part(const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos, WalkIndex *ix,
               Ref *part, int text)
{
    if (walk_short_ref(WALK_CURSOR))
        return 1;
    PyObject *raw;
    if (!(text ? walk_skip_str_any(WALK_CURSOR, &raw) : walk_skip_dedup_bytes(WALK_CURSOR, &raw)))
        return 0;
    *part = Ref::steal(raw);
    return 1;
}

/* The version block and the code block of a function or code object. */
[[nodiscard]] static int
walk_skip_versioned_code(const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos,
                         WalkIndex *ix, Ref *version, Ref *blob)
{
    return walk_skip_part(WALK_CURSOR, version, 0) && walk_skip_part(WALK_CURSOR, blob, 0);
}

/* A count of items, each walked by walk_nested; with globals, each is a
 * name field and a value. */
[[nodiscard]] static int
walk_skip_counted(WALK_ARGS, const char *eof_msg, int globals)
{
    Py_ssize_t n = walk_read_count(data, size, pos, eof_msg);
    if (n < 0)
        return 0;
    if (!globals)
        return walk_skip_values(WALK_CURSOR, vc, depth, n);
    ix->globals_depth++;
    int ok = 1;
    for (Py_ssize_t i = 0; ok && i < n; i++)
        ok = walk_skip_str_any(WALK_CURSOR, NULL) && walk_nested(WALK_CURSOR, vc, depth);
    ix->globals_depth--;
    return ok;
}

/* Parts: (qualname, namespace module, version, bytecode). */
[[nodiscard]] static int
walk_skip_function(WALK_ARGS, Py_ssize_t start)
{
    Ref parts[4];
    if (!walk_skip_versioned_code(WALK_CURSOR, &parts[2], &parts[3]) ||
        !walk_skip_part(WALK_CURSOR, &parts[1], 1))
        return 0;
    /* The function takes its entry before its fields. */
    if (!walk_take_entry(ix))
        return 0;
    if (*pos >= size)
        return walk_fail("0x30: EOF en flags");
    uint8_t flags = data[(*pos)++];
    if (!walk_skip_part(WALK_CURSOR, &parts[0], 1))
        return 0;
    if ((flags & FN_NAME) && !walk_skip_str_any(WALK_CURSOR, NULL))
        return 0;
    static const uint8_t values[] = {FN_MODULE, FN_DEFAULTS, FN_KWDEFAULTS};
    for (uint8_t bit : values) {
        if ((flags & bit) && !walk_nested(WALK_CURSOR, vc, depth))
            return 0;
    }
    if ((flags & FN_CLOSURE) && !walk_skip_counted(WALK_CURSOR, vc, depth, "0x30: EOF en celdas", 0))
        return 0;
    if ((flags & FN_GLOBALS) &&
        !walk_skip_counted(WALK_CURSOR, vc, depth, "0x30: EOF en globales", 1))
        return 0;
    if ((flags & FN_DICT) && !walk_nested(WALK_CURSOR, vc, depth))
        return 0;
    if ((flags & FN_DOC) && !walk_nested(WALK_CURSOR, vc, depth))
        return 0;
    return walk_record(ix, vc, start, TAG_FUNCTION, parts, 4);
}

/* Parts: (version, bytecode). */
[[nodiscard]] static int
walk_skip_code_v2(const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos,
                  WalkIndex *ix, VerifyCtx *vc, Py_ssize_t start)
{
    Ref parts[2];
    return walk_skip_versioned_code(WALK_CURSOR, &parts[0], &parts[1]) &&
           walk_record(ix, vc, start, TAG_CODE_V2, parts, 2);
}

/* Parts: (name, source, module), as for an instance. */
[[nodiscard]] static int
walk_skip_class(const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos,
                WalkIndex *ix, VerifyCtx *vc, Py_ssize_t start)
{
    Ref parts[3];
    PyObject *raw;
    if (!walk_skip_str_any(WALK_CURSOR, &raw))
        return 0;
    parts[0] = Ref::steal(raw);
    if (!walk_skip_dedup_bytes(WALK_CURSOR, &raw))
        return 0;
    parts[1] = Ref::steal(raw);
    if (!walk_skip_str_any(WALK_CURSOR, &raw))
        return 0;
    parts[2] = Ref::steal(raw);
    /* The class takes its entry after its fields. */
    return walk_take_entry(ix) && walk_record(ix, vc, start, TAG_CLASS, parts, 3);
}

/* What a value by reference or a module is named by: "function globals" when
 * a function's globals name it (a safe load with allow_functions lets those
 * import), else nothing. */
[[nodiscard]] static int
walk_scope_part(const WalkIndex *ix, Ref *part)
{
    return ix->globals_depth == 0 || walk_literal_part(ix, part, "function globals", 16);
}

/* Parts: (qualname, module, scope). */
[[nodiscard]] static int
walk_skip_global(const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos,
                 WalkIndex *ix, VerifyCtx *vc, Py_ssize_t start)
{
    Ref parts[3];
    PyObject *raw;
    if (!walk_skip_str_any(WALK_CURSOR, &raw))
        return 0;
    parts[1] = Ref::steal(raw);
    if (!walk_skip_str_any(WALK_CURSOR, &raw))
        return 0;
    parts[0] = Ref::steal(raw);
    return walk_take_entry(ix) && walk_scope_part(ix, &parts[2]) &&
           walk_record(ix, vc, start, TAG_GLOBAL, parts, 3);
}

/* Parts: (module, scope). */
[[nodiscard]] static int
walk_skip_module(const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos,
                 WalkIndex *ix, VerifyCtx *vc, Py_ssize_t start)
{
    Ref parts[2];
    PyObject *raw;
    if (!walk_skip_str_any(WALK_CURSOR, &raw))
        return 0;
    parts[0] = Ref::steal(raw);
    return walk_take_entry(ix) && walk_scope_part(ix, &parts[1]) &&
           walk_record(ix, vc, start, TAG_MODULE, parts, 2);
}

/* A cell takes its entry before its contents. */
[[nodiscard]] static int
walk_skip_cell(WALK_ARGS)
{
    if (!walk_take_entry(ix))
        return 0;
    if (*pos >= size)
        return walk_fail("0x35: EOF en celda");
    uint8_t marker = data[(*pos)++];
    if (marker == 0x00)
        return 1;
    if (marker != 0x01) {
        PyErr_Format(PyExc_ValueError, "0x35: marcador inesperado 0x%02x", marker);
        return 0;
    }
    return walk_nested(WALK_CURSOR, vc, depth);
}

/* A value that must start as a tuple (or dict) or a reference does. */
[[nodiscard]] static int
walk_skip_reduce_args(WALK_ARGS, int kwargs)
{
    unsigned t = *pos < size ? data[*pos] : 0;
    int starts = kwargs ? t == TAG_DICT || t == TAG_DICT_DEDUP || is_ref_tag(t)
                        : t == TAG_TUPLE || t == TAG_TUPLE_DEDUP || is_ref_tag(t);
    if (*pos >= size || !starts)
        return walk_fail(kwargs ? "0x36: esperaba dict kwargs" : "0x36: esperaba tupla args");
    return walk_nested(WALK_CURSOR, vc, depth);
}

/* Parts: (kind,), the way the object is made. */
[[nodiscard]] static int
walk_skip_reduce_ex(WALK_ARGS, Py_ssize_t start)
{
    static const char *const kinds[] = {"call", "new", "new with keywords"};
    if (*pos >= size)
        return walk_fail("0x36: EOF en tipo");
    uint8_t kind = data[(*pos)++];
    if (kind > REDUCE_EX_NEW_KW) {
        PyErr_Format(PyExc_ValueError, "0x36: tipo inesperado 0x%02x", kind);
        return 0;
    }
    if (!walk_nested(WALK_CURSOR, vc, depth) || !walk_skip_reduce_args(WALK_CURSOR, vc, depth, 0) ||
        (kind == REDUCE_EX_NEW_KW && !walk_skip_reduce_args(WALK_CURSOR, vc, depth, 1)))
        return 0;
    if (*pos >= size)
        return walk_fail("EOF reduce flags");
    uint8_t flags = data[(*pos)++];
    for (int bit = 0; bit < 3; bit++) {
        if ((flags & (1 << bit)) && !walk_nested(WALK_CURSOR, vc, depth))
            return 0;
    }
    Ref parts[1];
    return walk_literal_part(ix, &parts[0], kinds[kind], (Py_ssize_t)strlen(kinds[kind])) &&
           walk_record(ix, vc, start, TAG_REDUCE_EX, parts, 1);
}

/* ---- the walk ---------------------------------------------------------- */

/* One value and everything nested in it, at depth (0 for the root). */
static int
verify_walk(WALK_ARGS)
{
    Py_ssize_t start;
    unsigned t;
    /* A dict view or mapping proxy stands for the value after it, one level
     * deeper: the same step goes on with that value. */
    for (;;) {
        if (depth > VELLUM_MAX_DEPTH)
            return walk_fail("Profundidad de anidamiento excesiva (>200)");
        if (*pos >= size)
            return walk_fail("EOF inesperado");
        start = *pos;
        t = data[(*pos)++];
        vc->tag_counts[t]++;
        if (t < TAG_DICT_KEYS || t > TAG_MAPPINGPROXY)
            break;
        depth++;
    }

    /* Small ints and the constants are their tag byte alone. */
    if (fixed_width(t) == 1)
        return 1;
    if (t == TAG_SHORT_STR)
        return walk_skip_short_str(WALK_CURSOR);
    /* 0xFB and 0xFF are no reference to the reader. */
    if (is_ref_tag(t))
        return walk_skip_ref(WALK_CURSOR, (uint8_t)t);

    switch (t) {
    case TAG_BIGINT: return walk_skip_bigint(data, size, pos);
    case TAG_FLOAT: return walk_skip_fixed(size, pos, t, "EOF float64");
    case TAG_COMPLEX: return walk_skip_fixed(size, pos, t, "EOF complex");
    case TAG_STR: return walk_skip_str_dedup(WALK_CURSOR, NULL);
    case TAG_BYTES: return walk_skip_dedup_bytes(WALK_CURSOR, NULL);
    case TAG_BYTEARRAY: return walk_skip_dedup_bytes(WALK_CURSOR, NULL);
    case TAG_LIST:
    case TAG_TUPLE:
    case TAG_SET:
    case TAG_FROZENSET: return walk_skip_seq(WALK_CURSOR, vc, depth);
    case TAG_DICT: return walk_skip_dict(WALK_CURSOR, vc, depth);
    case TAG_FN_SOURCE: return walk_skip_fn_source(WALK_CURSOR, vc, start);
    case TAG_INT16: return walk_skip_fixed(size, pos, t, "EOF int16");
    case TAG_NEG_INT:
    case TAG_NEG8: return walk_skip_fixed(size, pos, t, "EOF int 1B");
    case TAG_UINT8: return walk_skip_fixed(size, pos, t, "EOF int 1B");
    case TAG_DICT_DEDUP: return walk_skip_dict_deduped(WALK_CURSOR, vc, depth);
    case TAG_LIST_DEDUP: return walk_skip_list_deduped(WALK_CURSOR, vc, depth);
    case TAG_TUPLE_DEDUP: return walk_skip_tuple_deduped(WALK_CURSOR, vc, depth);
    case TAG_FROZENSET_DEDUP: return walk_skip_tuple_deduped(WALK_CURSOR, vc, depth);
    /* The reader takes a bare compressed block here, which no writer makes
     * and whose inner stream takes an entry of its own: refused. */
    case TAG_SRC_Z: return walk_unknown_tag(t);
    case TAG_INSTANCE_V1:
    case TAG_SLOTS_INSTANCE_V1: return walk_skip_instance(WALK_CURSOR, vc, depth, start, (uint8_t)t);
    case TAG_REDUCE_V1: return walk_skip_reduce(WALK_CURSOR, vc, depth, start, (uint8_t)t);
    case TAG_FN_BYTECODE: return walk_skip_fn_bytecode(WALK_CURSOR, vc, depth, start);
    case TAG_CODE: return walk_skip_code(WALK_CURSOR, vc, start);
    case TAG_CLASSMETHOD:
    case TAG_STATICMETHOD: return walk_skip_method_wrapper(WALK_CURSOR, vc, depth, start, (uint8_t)t);
    case TAG_PROPERTY: return walk_skip_property(WALK_CURSOR, vc, depth, start);
    case TAG_INSTANCE:
    case TAG_SLOTS_INSTANCE: return walk_skip_instance(WALK_CURSOR, vc, depth, start, (uint8_t)t);
    case TAG_REDUCE: return walk_skip_reduce(WALK_CURSOR, vc, depth, start, (uint8_t)t);
    /* TAG_DICT_KEYS to TAG_MAPPINGPROXY were settled above, and so were
     * the one-byte values. */
    case TAG_ARRAY: return walk_skip_array(WALK_CURSOR);
    case TAG_INT32: return walk_skip_fixed(size, pos, t, "EOF int32");
    case TAG_FUNCTION: return walk_skip_function(WALK_CURSOR, vc, depth, start);
    case TAG_CODE_V2: return walk_skip_code_v2(WALK_CURSOR, vc, start);
    case TAG_CLASS: return walk_skip_class(WALK_CURSOR, vc, start);
    case TAG_GLOBAL: return walk_skip_global(WALK_CURSOR, vc, start);
    case TAG_MODULE: return walk_skip_module(WALK_CURSOR, vc, start);
    case TAG_CELL: return walk_skip_cell(WALK_CURSOR, vc, depth);
    case TAG_REDUCE_EX: return walk_skip_reduce_ex(WALK_CURSOR, vc, depth, start);
    case TAG_STR_SURROGATES: return walk_skip_str_dedup(WALK_CURSOR, NULL);
    default: return walk_unknown_tag(t);
    }
}

/* ---- the report -------------------------------------------------------- */

static PyObject *verify_stream_vellum_mod_cached = NULL;
static PyObject *streamreport_cls_cached = NULL;

/* The package module and its report class, imported once; a failure leaves
 * the missing one to the next call. */
[[nodiscard]] static int
ensure_verify_stream_helpers_cached(void)
{
    if (verify_stream_vellum_mod_cached == NULL) {
        verify_stream_vellum_mod_cached = PyImport_ImportModule("vellum.vellum");
        if (verify_stream_vellum_mod_cached == NULL)
            return 0;
    }
    if (streamreport_cls_cached == NULL) {
        streamreport_cls_cached = PyObject_GetAttrString(verify_stream_vellum_mod_cached,
                                                         "StreamReport");
        if (streamreport_cls_cached == NULL)
            return 0;
    }
    return 1;
}

/* report.name = value, stealing value; 1, or 0 with an exception set. */
[[nodiscard]] static int
set_report_attr(PyObject *report, const char *name, PyObject *value)
{
    if (value == NULL)
        return 0;
    int rc = PyObject_SetAttrString(report, name, value);
    Py_DECREF(value);
    return rc == 0;
}

/* The report of a failed walk: bytes_total is set, error and ok follow. */
static PyObject *
report_failure(PyObject *report_raw)
{
    Ref report = Ref::steal(report_raw);
    Ref exc = Ref::steal(compat_err_take_value());
    Ref text = exc ? Ref::steal(PyObject_Str(exc.get()))
                   : Ref::steal(PyUnicode_FromString("error desconocido en verify_walk"));
    if (!text || !set_report_attr(report.get(), "error", text.release()) ||
        !set_report_attr(report.get(), "ok", Py_NewRef(Py_False)))
        return NULL;
    return report.release();
}

static PyObject *
report_tag_counts(const VerifyCtx *vc)
{
    Ref counts = Ref::steal(PyDict_New());
    if (!counts)
        return NULL;
    for (int tag = 0; tag < 256; tag++) {
        if (vc->tag_counts[tag] == 0)
            continue;
        Ref count = Ref::steal(PyLong_FromSsize_t(vc->tag_counts[tag]));
        if (!count ||
            PyDict_SetItem(counts.get(), g_byte_ints[tag], count.get()) < 0)
            return NULL;
    }
    return counts.release();
}

/* The reason texts as str, made on first use and kept for the process. */
static PyObject *reason_str_cached[256];

/* Code texts already rendered in one report, by tag and the identity of the
 * raw parts' items: the capture hands the same part objects to every block
 * that names the same entries, so a function written a thousand times is
 * rendered once.  Open addressing over a few probes; a block that finds no
 * room is rendered without being remembered. */
#define RENDER_MEMO 256
#define RENDER_PROBES 8

struct RenderMemo {
    uint8_t tag;
    PyObject *parts; /* borrowed from a block, which outlives the memo */
    Ref code;        /* null for a free slot */
};

static size_t
render_hash(uint8_t tag, PyObject *parts)
{
    uint64_t h = tag;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(parts); i++) {
        h = (h ^ (uint64_t)(uintptr_t)PyTuple_GET_ITEM(parts, i)) * 0x9E3779B97F4A7C15u;
        h ^= h >> 29;
    }
    return (size_t)h;
}

static int
same_parts(PyObject *a, PyObject *b)
{
    Py_ssize_t n = PyTuple_GET_SIZE(a);
    if (n != PyTuple_GET_SIZE(b))
        return 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        if (PyTuple_GET_ITEM(a, i) != PyTuple_GET_ITEM(b, i))
            return 0;
    }
    return 1;
}

/* The renderer's text for a block (new reference), from the memo when an
 * earlier block had the very same parts. */
static PyObject *
render_block(const UnexecBlock *blk, PyObject *render_fn, RenderMemo *memo)
{
    size_t h = render_hash(blk->tag, blk->raw_parts);
    RenderMemo *free_slot = NULL;
    for (size_t k = 0; k < RENDER_PROBES; k++) {
        RenderMemo *m = &memo[(h + k) % RENDER_MEMO];
        if (!m->code) {
            free_slot = m;
            break;
        }
        if (m->tag == blk->tag && same_parts(m->parts, blk->raw_parts))
            return Py_NewRef(m->code.get());
    }
    PyObject *args[2] = {g_byte_ints[blk->tag], blk->raw_parts}; /* borrowed */
    PyObject *code = PyObject_Vectorcall(render_fn, args, 2, NULL);
    if (code != NULL && free_slot != NULL) {
        free_slot->tag = blk->tag;
        free_slot->parts = blk->raw_parts;
        free_slot->code = Ref::borrow(code);
    }
    return code;
}

/* One (pos, tag, reason, code text) per block; the renderer, when given,
 * turns each block's raw parts into its code text. */
static PyObject *
report_blocks(const VerifyCtx *vc, PyObject *render_fn)
{
    Ref list = Ref::steal(PyList_New(vc->block_count));
    if (!list)
        return NULL;
    RenderMemo memo[RENDER_MEMO];
    for (Py_ssize_t i = 0; i < vc->block_count; i++) {
        const UnexecBlock *blk = &vc->blocks[i];
        PyObject **reason = &reason_str_cached[blk->tag];
        if (*reason == NULL && (*reason = PyUnicode_FromString(blk->reason)) == NULL)
            return NULL;
        Ref code;
        if (render_fn != NULL && blk->raw_parts != NULL) {
            code = Ref::steal(render_block(blk, render_fn, memo));
            if (!code)
                return NULL;
        }
        else {
            code = Ref::borrow(Py_None);
        }
        Ref at = Ref::steal(PyLong_FromSsize_t(blk->pos));
        PyObject *entry = at ? PyTuple_New(4) : NULL;
        if (entry == NULL)
            return NULL;
        /* PyTuple_SET_ITEM steals each item. */
        PyTuple_SET_ITEM(entry, 0, at.release());
        PyTuple_SET_ITEM(entry, 1, byte_int(blk->tag));
        PyTuple_SET_ITEM(entry, 2, Py_NewRef(*reason));
        PyTuple_SET_ITEM(entry, 3, code.release());
        PyList_SET_ITEM(list.get(), i, entry); /* steals entry */
    }
    return list.release();
}

PyObject *
verify_stream_fast(const unsigned char *data, Py_ssize_t size, int show_source)
{
    if (!ensure_verify_stream_helpers_cached())
        return NULL;
    Ref render_fn;
    if (show_source) {
        render_fn = Ref::steal(PyObject_GetAttrString(verify_stream_vellum_mod_cached,
                                                      "_render_captured_source"));
        if (!render_fn)
            return NULL;
    }
    Ref report = Ref::steal(PyObject_CallNoArgs(streamreport_cls_cached));
    if (!report ||
        !set_report_attr(report.get(), "bytes_total", PyLong_FromSsize_t(size)))
        return NULL;

    WalkIndex ix = {0, NULL, 0, inflate_budget(size), 0};
    if (show_source && !mirror_init(&ix))
        return NULL;

    /* The walk runs no Python code. */
    VerifyCtx vc;
    verify_ctx_init(&vc);
    Py_ssize_t pos = 0;
    int walk_ok = verify_walk(data, size, &pos, &ix, &vc, 0);
    mirror_free(&ix);
    if (walk_ok && pos != size) {
        PyErr_Format(PyExc_ValueError,
                     "%zd bytes sobrantes tras el objeto raiz (pos=%zd, total=%zd)",
                     size - pos, pos, size);
        walk_ok = 0;
    }
    if (!walk_ok) {
        verify_ctx_destroy(&vc);
        return report_failure(report.release());
    }

    int ok = set_report_attr(report.get(), "bytes_consumed", PyLong_FromSsize_t(pos)) &&
             set_report_attr(report.get(), "tag_counts", report_tag_counts(&vc)) &&
             set_report_attr(report.get(), "unexecuted_blocks",
                             report_blocks(&vc, render_fn.get()));
    verify_ctx_destroy(&vc);
    if (!ok || !set_report_attr(report.get(), "ok", Py_NewRef(Py_True)))
        return NULL;
    return report.release();
}
