/* The one header shared by every file of the extension: tag constants, the
 * plain records of the codec (Buf, Arena, DEntry, IdEntry, DedupState), the
 * reference handle, the inline byte writers and readers, the process-wide
 * state and the prototypes that cross files.  Anything used by one file only
 * is static there. */
#ifndef VELLUM_H
#define VELLUM_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>
#include <string.h>

#include "compat.h"

/* ------------------------------------------------------------------------
 * Tags.  Every value starts with one tag byte; markers appear only inside
 * dedup blocks.
 * ------------------------------------------------------------------------ */
#define VELLUM_SMALLINT_MAX 58 /* the ints from 0 up to here are their own tag byte */

enum : uint8_t {
    TAG_NONE = 0x00,
    TAG_BIGINT = 0x02,
    TAG_FLOAT = 0x03,
    TAG_COMPLEX = 0x04,
    TAG_STR = 0x05,
    TAG_BYTES = 0x06,
    TAG_BYTEARRAY = 0x07,
    TAG_LIST = 0x08,
    TAG_TUPLE = 0x09,
    TAG_SET = 0x0A,
    TAG_FROZENSET = 0x0B,
    TAG_DICT = 0x0C,
    TAG_FN_SOURCE = 0x0D,
    TAG_INT16 = 0x0F,
    TAG_NEG_INT = 0x10,
    TAG_UINT8 = 0x11,
    TAG_NEG8 = 0x12,
    TAG_DICT_DEDUP = 0x13,
    TAG_LIST_DEDUP = 0x14,
    TAG_SHORT_STR = 0x15,
    TAG_TUPLE_DEDUP = 0x16,
    TAG_FROZENSET_DEDUP = 0x17,
    TAG_SRC_Z = 0x1B,
    TAG_INSTANCE_V1 = 0x1C,
    TAG_SRC_RAW = 0x1D, /* content tag of plain source text; never a value */
    TAG_SLOTS_INSTANCE_V1 = 0x1E,
    TAG_REDUCE_V1 = 0x1F,
    TAG_FN_BYTECODE = 0x20,
    TAG_CODE = 0x21,
    TAG_CLASSMETHOD = 0x22,
    TAG_STATICMETHOD = 0x23,
    TAG_PROPERTY = 0x24,
    TAG_INSTANCE = 0x25,
    TAG_SLOTS_INSTANCE = 0x26,
    TAG_REDUCE = 0x27,
    TAG_ELLIPSIS = 0x28,
    TAG_NOTIMPLEMENTED = 0x29,
    TAG_DICT_KEYS = 0x2A,
    TAG_DICT_VALUES = 0x2B,
    TAG_DICT_ITEMS = 0x2C,
    TAG_MAPPINGPROXY = 0x2D,
    TAG_ARRAY = 0x2E,
    TAG_INT32 = 0x2F,
    TAG_FUNCTION = 0x30,       /* a function with its globals, version-checked */
    TAG_CODE_V2 = 0x31,        /* a code object, version-checked */
    TAG_CLASS = 0x32,          /* a class as a value: class header fields */
    TAG_GLOBAL = 0x33,         /* an object found by module and qualified name */
    TAG_MODULE = 0x34,         /* a module by name */
    TAG_CELL = 0x35,           /* a closure cell, with its identity */
    TAG_REDUCE_EX = 0x36,      /* the reduce protocol in pickle's order */
    TAG_STR_SURROGATES = 0x37, /* a str holding lone surrogates */
    TAG_FALSE = 0x80,
    TAG_TRUE = 0x81,
    TAG_FLOAT_ZERO = 0x82,
    TAG_FLOAT_NEG_ZERO = 0x83,
    TAG_FLOAT_ONE = 0x84,
    TAG_FLOAT_MINUS_ONE = 0x85,
    TAG_FLOAT_NAN = 0x86,
    TAG_FLOAT_INF = 0x87,
    TAG_FLOAT_NEG_INF = 0x88,
    TAG_SMALLINT = 0xC0, /* TAG_SMALLINT + v carries the int v */
    TAG_SMALLINT_LAST = TAG_SMALLINT + VELLUM_SMALLINT_MAX,
    TAG_REF32 = 0xFC,
    TAG_REF16 = 0xFD,
    TAG_REF8 = 0xFE,

    MARK_SHORT = 0x0E,
    MARK_LONG = 0xFB,
    MARK_SRC_Z = 0x1B,
};

/* TAG_FUNCTION: the flags byte after the function's index says which
 * optional fields follow its qualname, in this order. */
enum : uint8_t {
    FN_NAME = 0x40,   /* __name__, when it differs from the code's name */
    FN_MODULE = 0x80, /* __module__, when it differs from the namespace's name */
    FN_DEFAULTS = 0x01,
    FN_KWDEFAULTS = 0x02,
    FN_CLOSURE = 0x04, /* count, then cells */
    FN_GLOBALS = 0x08, /* count, then name and value pairs */
    FN_DICT = 0x10,
    FN_DOC = 0x20,
};

/* TAG_REDUCE_EX: how the object is made, the byte after the tag. */
enum : uint8_t {
    REDUCE_EX_CALL = 0,   /* callable(*args) */
    REDUCE_EX_NEW = 1,    /* cls.__new__(cls, *args) */
    REDUCE_EX_NEW_KW = 2, /* cls.__new__(cls, *args, **kwargs) */
};

#define VELLUM_MAX_DEPTH 200
#define VELLUM_LEN_MAX ((Py_ssize_t)0xFFFFFFFF)
#define VELLUM_LARGE_VALUE 65536 /* str/bytes payloads from here skip content dedup */
#define VELLUM_SHORT_MAX 63      /* longest payload of the one-byte-length forms */

/* ------------------------------------------------------------------------
 * Reference handle: owns one strong reference (or none) and drops it on
 * scope exit.  Borrowed references stay raw PyObject pointers.
 * ------------------------------------------------------------------------ */
class Ref {
public:
    Ref() noexcept : p_(nullptr) {}
    static Ref steal(PyObject *p) noexcept { return Ref(p); }
    static Ref borrow(PyObject *p) noexcept
    {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept
    {
        PyObject *old = p_;
        p_ = other.p_;
        other.p_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject *get() const noexcept { return p_; }
    [[nodiscard]] PyObject *release() noexcept
    {
        PyObject *p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_;
};

/* ------------------------------------------------------------------------
 * Output buffer and byte writers.  Writers return 1, or 0 with an exception
 * set; a failed write leaves len unchanged.
 * ------------------------------------------------------------------------ */
/* A large output is written into the storage of a bytes object (`owner`),
 * so that the result is handed out by trimming it instead of copying it; a
 * small one starts in the caller's own block and is copied once. */
struct Buf {
    unsigned char *buf;
    Py_ssize_t len;
    Py_ssize_t cap;
    PyObject *owner; /* bytes object of size cap holding buf, or null */
};

#define BUF_LOCAL_SIZE 512

void buf_init(Buf *b, Py_ssize_t cap, unsigned char *local, Py_ssize_t local_n);
[[nodiscard]] int buf_grow(Buf *b, Py_ssize_t need);
PyObject *buf_finish(Buf *b);
void buf_free(Buf *b);
[[nodiscard]] int write_len_overflow(Py_ssize_t n);

/* Makes room for k more bytes; the caller stores them at b->buf + b->len. */
[[nodiscard]] static inline int
buf_room(Buf *b, Py_ssize_t k)
{
    return b->len + k <= b->cap || buf_grow(b, k);
}

/* Forced inline: one store on the hottest path, which the compiler would
 * otherwise leave out of line in the larger writers. */
[[nodiscard]] static inline Py_ALWAYS_INLINE int
buf_u8(Buf *b, uint8_t v)
{
    if (b->len >= b->cap && !buf_grow(b, 1))
        return 0;
    b->buf[b->len++] = v;
    return 1;
}

[[nodiscard]] static inline int
buf_u8_2(Buf *b, uint8_t a, uint8_t c)
{
    if (!buf_room(b, 2))
        return 0;
    b->buf[b->len] = a;
    b->buf[b->len + 1] = c;
    b->len += 2;
    return 1;
}

[[nodiscard]] static inline int
buf_raw(Buf *b, const void *d, Py_ssize_t n)
{
    if (!buf_room(b, n))
        return 0;
    if (n > 0)
        memcpy(b->buf + b->len, d, (size_t)n);
    b->len += n;
    return 1;
}

[[nodiscard]] static inline int
buf_u16be(Buf *b, uint16_t v)
{
    return buf_u8_2(b, (uint8_t)(v >> 8), (uint8_t)(v & 0xFF));
}

static inline void
store_be32(unsigned char *p, uint32_t v)
{
    p[0] = (unsigned char)(v >> 24);
    p[1] = (unsigned char)(v >> 16);
    p[2] = (unsigned char)(v >> 8);
    p[3] = (unsigned char)v;
}

static inline void
store_be64(unsigned char *p, uint64_t v)
{
    store_be32(p, (uint32_t)(v >> 32));
    store_be32(p + 4, (uint32_t)v);
}

[[nodiscard]] static inline int
buf_u32be(Buf *b, uint32_t v)
{
    if (!buf_room(b, 4))
        return 0;
    store_be32(b->buf + b->len, v);
    b->len += 4;
    return 1;
}

[[nodiscard]] static inline int
buf_u64be(Buf *b, uint64_t v)
{
    if (!buf_room(b, 8))
        return 0;
    store_be64(b->buf + b->len, v);
    b->len += 8;
    return 1;
}

static inline uint64_t
double_bits(double d)
{
    uint64_t u;
    memcpy(&u, &d, sizeof u);
    return u;
}

static inline double
bits_double(uint64_t u)
{
    double d;
    memcpy(&d, &u, sizeof d);
    return d;
}

/* Length field: 1 byte up to 63, 2 bytes (0x40 | high six bits, low byte) up
 * to 16,383, else 0xFF and 32 bits.  Lengths past 32 bits are refused. */
[[nodiscard]] static inline int
write_len(Buf *b, Py_ssize_t n)
{
    if (n <= 0x3F)
        return buf_u8(b, (uint8_t)n);
    if (n <= 0x3FFF)
        return buf_u8_2(b, (uint8_t)(0x40 | (n >> 8)), (uint8_t)(n & 0xFF));
    if (n > VELLUM_LEN_MAX)
        return write_len_overflow(n);
    if (!buf_room(b, 5))
        return 0;
    b->buf[b->len] = 0xFF;
    store_be32(b->buf + b->len + 1, (uint32_t)n);
    b->len += 5;
    return 1;
}

/* ------------------------------------------------------------------------
 * Reader cursor helpers.  No read at or past size.
 * ------------------------------------------------------------------------ */
/* The cursor helpers sit in the loops of the reader and the walk: inlined
 * whatever the compiler makes of the caller's size. */
#define CURSOR_INLINE static inline __attribute__((always_inline))

static inline uint32_t
load_be32(const unsigned char *p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) |
           ((uint32_t)p[2] << 8) | (uint32_t)p[3];
}

static inline uint64_t
load_be64(const unsigned char *p)
{
    return ((uint64_t)load_be32(p) << 32) | load_be32(p + 4);
}

/* The length a length field's first byte gives when the field is that one
 * byte, or -1 when more bytes follow. */
CURSOR_INLINE Py_ssize_t
one_byte_len(unsigned first)
{
    return first <= 0x3F ? (Py_ssize_t)first : -1;
}

/* Decoded length, or -1 when the field is truncated (message left to the
 * caller). */
static inline Py_ssize_t
read_len(const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos)
{
    Py_ssize_t p = *pos;
    if (p >= size)
        return -1;
    unsigned bv = data[p++];
    if (one_byte_len(bv) >= 0) {
        *pos = p;
        return one_byte_len(bv);
    }
    if ((bv & 0xC0) == 0x40) {
        if (p >= size)
            return -1;
        Py_ssize_t n = (Py_ssize_t)((bv & 0x3F) << 8) | data[p];
        *pos = p + 1;
        return n;
    }
    if (size - p < 4)
        return -1;
    Py_ssize_t n = (Py_ssize_t)load_be32(data + p);
    *pos = p + 4;
    return n;
}

/* The helpers below read a layout and build nothing: the reader and the
 * verifier both call them and map a failure to their own message. */

/* ---- small ints: the tag byte is the value ---- */

static inline bool
is_smallint_tag(unsigned t)
{
    return t >= TAG_SMALLINT && t <= TAG_SMALLINT_LAST;
}

static inline bool
fits_smallint(long long v)
{
    return v >= 0 && v <= VELLUM_SMALLINT_MAX;
}

static inline uint8_t
smallint_tag(long long v)
{
    return (uint8_t)(TAG_SMALLINT + v);
}

static inline unsigned
smallint_value(unsigned t)
{
    return t - TAG_SMALLINT;
}

/* ---- fixed widths ---- */

/* The bytes of a value whose width its tag alone fixes, tag byte included,
 * or 0 when the payload says how long it is.  The writers size their stores,
 * the readers their bounds checks and the walk its steps from this table. */
struct FixedWidths {
    uint8_t w[256];
};

static constexpr FixedWidths
make_fixed_widths()
{
    FixedWidths t{};
    const uint8_t one_byte[] = {TAG_NONE, TAG_ELLIPSIS, TAG_NOTIMPLEMENTED, TAG_FALSE,
                                TAG_TRUE, TAG_FLOAT_ZERO, TAG_FLOAT_NEG_ZERO,
                                TAG_FLOAT_ONE, TAG_FLOAT_MINUS_ONE, TAG_FLOAT_NAN,
                                TAG_FLOAT_INF, TAG_FLOAT_NEG_INF};
    for (uint8_t tag : one_byte)
        t.w[tag] = 1;
    for (int tag = TAG_SMALLINT; tag <= TAG_SMALLINT_LAST; tag++)
        t.w[tag] = 1;
    t.w[TAG_NEG_INT] = t.w[TAG_UINT8] = t.w[TAG_NEG8] = 2;
    t.w[TAG_INT16] = 3;
    t.w[TAG_INT32] = 5;
    t.w[TAG_FLOAT] = 9;
    t.w[TAG_COMPLEX] = 17;
    return t;
}

static constexpr FixedWidths FIXED_WIDTHS = make_fixed_widths();

static constexpr Py_ssize_t
fixed_width(unsigned tag)
{
    return FIXED_WIDTHS.w[tag];
}

/* The payload after the tag byte of a fixed-width value. */
static constexpr Py_ssize_t
fixed_payload(unsigned tag)
{
    return FIXED_WIDTHS.w[tag] - 1;
}

/* Each width is the tag byte and what the writer stores after it. */
static_assert(fixed_payload(TAG_UINT8) == sizeof(uint8_t), "UINT8: the value as one byte");
static_assert(fixed_payload(TAG_NEG_INT) == sizeof(uint8_t), "NEG_INT: -1 - v as one byte");
static_assert(fixed_payload(TAG_NEG8) == sizeof(uint8_t), "NEG8: -1 - v as one byte");
static_assert(fixed_payload(TAG_INT16) == sizeof(uint16_t), "INT16: 16 bits big-endian");
static_assert(fixed_payload(TAG_INT32) == sizeof(uint32_t), "INT32: store_be32");
static_assert(fixed_payload(TAG_FLOAT) == sizeof(uint64_t), "FLOAT: store_be64 of the bits");
static_assert(fixed_payload(TAG_COMPLEX) == 2 * sizeof(uint64_t), "COMPLEX: two store_be64");
static_assert(fixed_payload(TAG_SMALLINT) == 0 && fixed_payload(TAG_SMALLINT_LAST) == 0 &&
                  fixed_payload(TAG_NONE) == 0 && fixed_payload(TAG_FLOAT_NEG_INF) == 0,
              "small ints and constants are the tag byte alone");
static_assert(fixed_width(TAG_BIGINT) == 0 && fixed_width(TAG_REF8) == 0,
              "a big int or a reference is no fixed-width value");

/* ---- references ---- */

static inline bool
is_ref_tag(unsigned t)
{
    return t >= TAG_REF32 && t <= TAG_REF8;
}

/* A reference is its tag and the index in 1, 2 or 4 bytes, big-endian. */
static constexpr Py_ssize_t
ref_width(unsigned opcode)
{
    return opcode == TAG_REF8 ? 1 : opcode == TAG_REF16 ? 2 : 4;
}

/* The index in the ref_width(opcode) bytes at d, all present.  Four bytes
 * are read as signed, so that a top bit set gives a negative index. */
static inline Py_ssize_t
ref_index_at(const unsigned char *d, unsigned opcode)
{
    if (opcode == TAG_REF8)
        return d[0];
    if (opcode == TAG_REF16)
        return ((Py_ssize_t)d[0] << 8) | d[1];
    return (int32_t)load_be32(d);
}

/* The index after a reference tag already consumed (opcode): 1 with idx set
 * and pos past it, or 0 when the input ends first. */
CURSOR_INLINE int
read_ref_index(const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos,
               unsigned opcode, Py_ssize_t *idx)
{
    Py_ssize_t p = *pos;
    if (size - p < ref_width(opcode))
        return 0;
    *idx = ref_index_at(data + p, opcode);
    *pos = p + ref_width(opcode);
    return 1;
}

/* The message of a reference cut short, the same on both sides. */
static inline const char *
ref_eof_text(unsigned opcode)
{
    return opcode == TAG_REF8 ? "EOF ref8" : opcode == TAG_REF16 ? "EOF ref16" : "EOF ref32";
}

/* ---- dedup blocks ---- */

/* Where the head of a dedup block stops short: in its length byte or
 * content tag, or in its length field or payload. */
enum BlockStatus { BLOCK_OK, BLOCK_CUT_HEAD, BLOCK_CUT_PAYLOAD };

struct BlockHead {
    const unsigned char *payload; /* a span of the input */
    Py_ssize_t len;
    unsigned ctag; /* content tag of a long block, 0 for a short one */
};

/* The payload length of a short block whose length byte is at d, with left
 * (at least 1) bytes from d on; -1 when its payload runs past them. */
static inline Py_ssize_t
short_block_len(const unsigned char *d, Py_ssize_t left)
{
    Py_ssize_t n = d[0];
    return left - 1 >= n ? n : -1;
}

/* The block after its marker, already consumed: MARK_SHORT (and TAG_SHORT_STR
 * where a text block takes it) is one length byte and the payload, MARK_LONG
 * a content tag, a length field and the payload.  On BLOCK_OK pos is past
 * the payload. */
CURSOR_INLINE BlockStatus
read_block_head(const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos,
                unsigned marker, BlockHead *head)
{
    Py_ssize_t p = *pos;
    if (p >= size)
        return BLOCK_CUT_HEAD;
    Py_ssize_t n;
    if (marker == MARK_LONG) {
        head->ctag = data[p++];
        n = read_len(data, size, &p);
        if (n < 0)
            return BLOCK_CUT_PAYLOAD;
    }
    else {
        head->ctag = 0;
        n = short_block_len(data + p, size - p);
        if (n < 0)
            return BLOCK_CUT_PAYLOAD;
        p++;
    }
    if (size - p < n)
        return BLOCK_CUT_PAYLOAD;
    head->payload = data + p;
    head->len = n;
    *pos = p + n;
    return BLOCK_OK;
}

/* ------------------------------------------------------------------------
 * The writer's index space (index_space.cpp): the per-call state with its
 * index table (content entries and identity placeholders share one
 * numbering), identity table, content hash chains and payload arena; the
 * moments at which a shared object takes its index; references.
 * ------------------------------------------------------------------------ */
struct ArenaBlock;

/* Payload copies live in blocks that never move: growth adds a block. */
struct Arena {
    unsigned char *base; /* current block */
    size_t pos;          /* bytes handed out of the current block */
    size_t cap;          /* size of the current block */
    ArenaBlock *blocks;  /* every block, newest first */
};

struct DEntry {
    union {
        const unsigned char *data; /* payload copy of a content entry */
        PyObject *obj;             /* object of a placeholder, or null */
    };
    uint32_t len;  /* lengths past 32 bits are refused before registration */
    int32_t next;  /* next entry of the same hash chain, -1 at the end */
    uint32_t h;
    uint8_t tag;   /* content tag, 0xFF for an identity placeholder */
};

struct IdEntry {
    uintptr_t key; /* object address, 0 for an empty slot */
    int32_t val;
};

/* Memory for the per-call tables.  Freed blocks from 64 KiB to 32 MiB are
 * kept (64 MiB in all) for the next call, so that a large serialization
 * reuses pages instead of faulting fresh ones in; dedup_reset frees them. */
void *scratch_alloc(size_t n);
void *scratch_alloc_largest(size_t n, size_t *got);
void *scratch_realloc(void *p, size_t old_n, size_t n);
void scratch_free(void *p, size_t n);
void scratch_release_all(void);

/* Where the dispatch sent objects of one type, remembered for the call.  A
 * route holds while the type's version tag is unchanged: the interpreter
 * clears the tag when the namespace of the type or of a base changes. */
struct TypeRoute {
    PyTypeObject *tp;
    unsigned int version;
    int route;
};

#define TYPE_ROUTES 64 /* a power of two */

#define DEDUP_LOCAL_BUCKETS 64
#define DEDUP_LOCAL_IDS 32
#define DEDUP_LOCAL_ENTRIES 16
#define DEDUP_LOCAL_ARENA 512

struct CodeState;

struct DedupState {
    Arena arena;
    DEntry *table;
    int32_t count;
    int32_t cap;
    int32_t *buckets;
    int32_t nbuckets;
    IdEntry *id_tab;
    int32_t id_nb;
    int32_t id_count;
    /* Placeholders below this index own a reference to their object; those
     * from here on borrow it (see hold_registered). */
    int32_t held_upto;
    int depth;          /* nesting depth of the thread's serializer calls */
    int *depth_slot;    /* where the thread publishes it; set on first use */
    PyObject *retained; /* owns what the call keeps apart from placeholders */
    /* Per-call class facts, created on first use; each dict owns its class
     * keys, so no class dies and leaves its address to another mid-call. */
    PyObject *class_src;  /* class -> index of its source field (int) */
    PyObject *slot_names; /* class -> tuple of its slot attribute names */
    TypeRoute routes[TYPE_ROUTES];
    CodeState *code; /* functions, code objects and namespaces; made on first use */
    /* The first tables live here, so that a small call allocates none; a
     * table that outgrows its block moves to the heap. */
    int32_t local_buckets[DEDUP_LOCAL_BUCKETS];
    IdEntry local_ids[DEDUP_LOCAL_IDS];
    DEntry local_entries[DEDUP_LOCAL_ENTRIES];
    unsigned char local_arena[DEDUP_LOCAL_ARENA];
};

/* Frees a table of ds unless it is one of the blocks inside ds. */
static inline void
dedup_free_block(DedupState *ds, void *p, size_t n)
{
    uintptr_t q = (uintptr_t)p;
    if (q < (uintptr_t)ds || q >= (uintptr_t)(ds + 1))
        scratch_free(p, n);
}

#define DENTRY_PLACEHOLDER 0xFF

[[nodiscard]] int dedup_init(DedupState *ds, Py_ssize_t estimated_size);
[[nodiscard]] int dedup_table_grow(DedupState *ds);

/* Room for one more entry in the index table: 1, or 0 with an exception. */
[[nodiscard]] static inline int
dedup_table_reserve(DedupState *ds)
{
    return ds->count < ds->cap || dedup_table_grow(ds);
}
void dedup_destroy(DedupState *ds);
uint32_t fnv1a(uint8_t tag, const unsigned char *d, Py_ssize_t n);
uint32_t dedup_pyhash(PyObject *obj, uint8_t tag);
int32_t dedup_find_h(const DedupState *ds, uint8_t tag, const unsigned char *d,
                     Py_ssize_t n, uint32_t h);
int32_t dedup_register_h(DedupState *ds, PyObject *obj, uint8_t tag,
                         const unsigned char *d, Py_ssize_t n, uint32_t h);

/* The first slot for an address.  The product's upper half mixes every
 * address bit into the slot bits: objects allocated at regular strides in
 * regions a table size apart would otherwise fill runs of neighbouring
 * slots, and linear probing would walk them. */
static inline uintptr_t
id_tab_slot(uintptr_t key, uintptr_t mask)
{
    return (uintptr_t)(((uint64_t)key * 0x9E3779B97F4A7C15u) >> 32) & mask;
}

/* Identity table: open addressing on the object's address.  Its entries
 * hold no references: what keeps each object alive is the placeholder (or,
 * for content entries, the retained list) described at hold_registered. */
static inline int32_t
id_tab_find(const DedupState *ds, PyObject *obj)
{
    if (ds->id_count == 0)
        return -1;
    uintptr_t key = (uintptr_t)obj;
    uintptr_t mask = (uintptr_t)ds->id_nb - 1;
    uintptr_t slot = id_tab_slot(key, mask);
    for (;;) {
        const IdEntry *e = &ds->id_tab[slot];
        if (e->key == key)
            return e->val;
        if (e->key == 0)
            return -1;
        slot = (slot + 1) & mask;
    }
}

void id_tab_insert(DedupState *ds, PyObject *obj, int32_t idx);
[[nodiscard]] int write_ref(Buf *b, int32_t idx);
[[nodiscard]] int retain(DedupState *ds, PyObject *obj);
void arena_free(Arena *a); /* dedup.cpp */

/* The two moments of an object that the stream may name again.  Its writer
 * first asks index_seen; a new object then takes its index with index_take,
 * before its items when they may lead back to it (list, dict) and after
 * them when they cannot (tuple, frozenset, callable), as the reader pushes
 * each to its read table. */

/* An object met before is written as a reference to its index, after the
 * byte lead unless it is -1.  1 written, 0 failed, -1 when obj is new. */
[[nodiscard]] static inline int
index_seen(Buf *b, DedupState *ds, PyObject *obj, int lead = -1)
{
    int32_t idx = id_tab_find(ds, obj);
    if (idx < 0)
        return -1;
    if (lead >= 0 && !buf_u8(b, (uint8_t)lead))
        return 0;
    return write_ref(b, idx);
}

/* An object entered in the identity table must outlive the call: a later
 * object at its address would otherwise be written as a reference to it.
 * A placeholder first borrows its object, which stays alive as long as no
 * Python code runs and the serializer drops no last reference: until then
 * every container on the way from the root is alive and unchanged.  Before
 * either happens, hold_registered takes a reference to every object
 * registered since the last time, so a plain graph written without running
 * code takes none.  So every writer that drops a value it wrote (made by a
 * lookup or for the write) holds first, on failure too: the unwinding may
 * hold again.  Content entries of objects other than exact str and bytes
 * (subclasses, bytearrays) retain theirs when registered. */
void hold_registered_slow(DedupState *ds);
/* Drops the references taken by hold_registered (at the end of the call). */
void release_held(DedupState *ds);

static inline void
hold_registered(DedupState *ds)
{
    if (ds->held_upto < ds->count)
        hold_registered_slow(ds);
}

/* A placeholder index for obj, entered in the identity table; obj may be
 * null for a value that nothing refers back to.  The index, or -1. */
static inline int32_t
dedup_register_identity(DedupState *ds, PyObject *obj)
{
    if (!dedup_table_reserve(ds))
        return -1;
    int32_t idx = ds->count++;
    DEntry *e = &ds->table[idx];
    e->tag = DENTRY_PLACEHOLDER;
    e->obj = obj;
    e->len = 0;
    e->next = -1;
    e->h = 0;
    if (obj != NULL)
        id_tab_insert(ds, obj, idx);
    return idx;
}

/* Drops the serializer's own reference to obj, a value it has written;
 * when that is the last one, the objects registered below obj are held
 * first. */
void release_written_slow(DedupState *ds, PyObject *obj);

static inline void
release_written(DedupState *ds, PyObject *obj)
{
    if (Py_REFCNT(obj) > 1)
        Py_DECREF(obj);
    else
        release_written_slow(ds, obj);
}

/* obj takes the next index: a placeholder entry and, unless obj is null, its
 * identity entry.  1, or 0 with MemoryError. */
[[nodiscard]] static inline int
index_take(DedupState *ds, PyObject *obj)
{
    return dedup_register_identity(ds, obj) >= 0;
}

/* ------------------------------------------------------------------------
 * Process-wide state.
 * ------------------------------------------------------------------------ */

extern PyObject *source_cache;
extern PyObject *exec_cache;
extern PyObject *cls_cache;
extern PyObject *class_header_cache;

/* Borrowed from the module pointers imported at initialisation. */
PyObject *get_array_module(void);

/* ------------------------------------------------------------------------
 * Per-load state.  Everything one deserialize call builds or remembers lives
 * in its Load record, on that call's C stack: a load never sees another
 * load's table, whatever thread or greenlet it runs on, and nothing of it
 * outlives the call.
 * ------------------------------------------------------------------------ */

/* Object graphs that the loader can hash and compare in ordinary time: no
 * tuple or frozenset deeper than VELLUM_SHAPE_DEPTH_MAX, and none used as a
 * set item or dict key whose items, counted with multiplicity, exceed the
 * larger of VELLUM_KEY_SIZE_FLOOR and VELLUM_KEY_SIZE_PER_BYTE times the
 * input's length. */
#define VELLUM_SHAPE_DEPTH_MAX 10000
#define VELLUM_KEY_SIZE_FLOOR ((uint64_t)1 << 24)
#define VELLUM_KEY_SIZE_PER_BYTE 64
/* All inflated source of one load together: this many times the input's
 * length, plus VELLUM_INFLATE_EXTRA bytes. */
#define VELLUM_INFLATE_PER_BYTE 256
#define VELLUM_INFLATE_EXTRA ((Py_ssize_t)16 << 20)

static inline Py_ssize_t
inflate_budget(Py_ssize_t input_size)
{
    Py_ssize_t most = (PY_SSIZE_T_MAX - VELLUM_INFLATE_EXTRA) / VELLUM_INFLATE_PER_BYTE;
    return (input_size < most ? input_size : most) * VELLUM_INFLATE_PER_BYTE +
           VELLUM_INFLATE_EXTRA;
}

/* A class resolved during the load, keyed by the identity of the header's
 * field objects (which the read table keeps alive). */
struct ResolvedClass {
    PyObject *name, *src, *module, *cls; /* owned, or all null */
};
#define RESOLVED_SLOTS 256

/* Depth and expanded size of a tuple or frozenset that holds one; flat ones
 * (depth 1) are not recorded.  The entry owns its object, so no address is
 * reused while the load runs. */
struct Shape {
    PyObject *obj;
    uint32_t depth;
    uint64_t size;
};

#define LOAD_LOCAL_ENTRIES 32

struct Load {
    PyObject **table;        /* the read table: one owned reference per entry */
    Py_ssize_t count;
    Py_ssize_t cap;
    int depth;               /* nesting of deserialize */
    Py_ssize_t input_size;
    Py_ssize_t inflate_left; /* bytes this load may still inflate */
    uint64_t key_size_max;
    ResolvedClass *resolved; /* RESOLVED_SLOTS entries, made on first use */
    Shape *shapes;           /* open addressing on the address, made on first use */
    Py_ssize_t shape_count;
    Py_ssize_t shape_cap;
    /* Safe loading: the approved objects (a tuple), or null for a trusted
     * load, which resolves and runs what the stream names. */
    PyObject *allow;
    int allow_functions;
    /* Functions: namespace per module name, code per bytecode block, and the
     * nesting of the function globals being read (made on first use). */
    PyObject *namespaces;
    PyObject *codes;
    int globals_depth;
    PyObject *local_table[LOAD_LOCAL_ENTRIES];
};

/* Whether resolving what the stream names may import: always in a trusted
 * load, and in a safe load with allow_functions for what a function's
 * globals name, as the function itself could import it. */
static inline int
load_may_import(const Load *ld)
{
    return ld->allow == NULL || (ld->allow_functions && ld->globals_depth > 0);
}

void load_init(Load *ld, Py_ssize_t input_size, PyObject *allow, int allow_functions);
void load_free(Load *ld);
int load_table_grow(Load *ld);

/* Takes a new reference to obj; 1, or 0 with MemoryError. */
[[nodiscard]] static inline int
read_table_push(Load *ld, PyObject *obj)
{
    if (ld->count >= ld->cap && !load_table_grow(ld))
        return 0;
    ld->table[ld->count++] = Py_NewRef(obj);
    return 1;
}

Py_ssize_t read_ref_idx(Load *ld, const unsigned char *data, Py_ssize_t size,
                        Py_ssize_t *pos, uint8_t opcode);

/* The entry named by a one- or two-byte reference in range, its tag t
 * already consumed, borrowed, with *pos past it; null, *pos unchanged, for
 * any other reference, which read_ref_idx reads with its messages.  Reading
 * it runs no code. */
static inline PyObject *
ref_entry_fast(const Load *ld, const unsigned char *data, Py_ssize_t size,
               Py_ssize_t *pos, unsigned t)
{
    Py_ssize_t p = *pos, idx = 0;
    int ok = t == TAG_REF8    ? read_ref_index(data, size, &p, TAG_REF8, &idx)
             : t == TAG_REF16 ? read_ref_index(data, size, &p, TAG_REF16, &idx)
                              : 0;
    if (!ok || idx >= ld->count)
        return NULL;
    *pos = p;
    return ld->table[idx];
}

/* The entry a reference names (new reference), its tag already consumed. */
static inline PyObject *
read_ref(Load *ld, const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos,
         uint8_t opcode)
{
    PyObject *entry = ref_entry_fast(ld, data, size, pos, opcode); /* borrowed */
    if (entry != NULL)
        return Py_NewRef(entry);
    Py_ssize_t idx = read_ref_idx(ld, data, size, pos, opcode);
    return idx < 0 ? NULL : Py_NewRef(ld->table[idx]);
}

/* ------------------------------------------------------------------------
 * Serializer.  Writers return 1, or 0 with an exception set.
 * ------------------------------------------------------------------------ */
int serialize_impl(Buf *b, DedupState *ds, PyObject *obj);
int serialize_depth_error(void);

/* The depth a serializer call starts from: that of the call of the same
 * thread that runs the code calling it, or 0.  Nested calls in one thread
 * share the limit; other threads have their own. */
int serialize_depth_of_thread(void);

/* Runs code that may call the serializer again (a nested call starts from
 * ds->depth) or drop objects: the registered objects are held first. */
class CallingOut {
public:
    explicit CallingOut(DedupState *ds) noexcept;
    ~CallingOut();
    CallingOut(const CallingOut &) = delete;
    CallingOut &operator=(const CallingOut &) = delete;

private:
    int *slot_; /* the thread's published depth */
    int outer_;
};

[[nodiscard]] int serialize_int64(Buf *b, long long v);
[[nodiscard]] int serialize_float(Buf *b, double v);

/* Writes an exact int or float, which match no other row of the dispatch
 * and run no code: 1 written, 0 failed, -1 for any other object. */
static inline int
serialize_leaf(Buf *b, PyObject *obj)
{
    PyTypeObject *tp = Py_TYPE(obj);
    long long v;
    if (tp == &PyLong_Type && compat_long_compact_value(obj, &v)) {
        if (fits_smallint(v))
            return buf_u8(b, smallint_tag(v));
        return serialize_int64(b, v);
    }
    if (tp == &PyFloat_Type)
        return serialize_float(b, PyFloat_AS_DOUBLE(obj));
    return -1;
}

/* Every nested value goes through this guard, one level per call. */
[[nodiscard]] static inline int
serialize(Buf *b, DedupState *ds, PyObject *obj)
{
    if (ds->depth >= VELLUM_MAX_DEPTH)
        return serialize_depth_error();
    int leaf = serialize_leaf(b, obj);
    if (leaf >= 0)
        return leaf;
    ++ds->depth;
    int ok = serialize_impl(b, ds, obj);
    --ds->depth;
    return ok;
}

/* serialize for a value that the caller owns and drops afterwards (made by
 * an attribute lookup or for this write): what the write registered below
 * it is held before the value can go. */
[[nodiscard]] static inline int
serialize_owned(Buf *b, DedupState *ds, PyObject *obj)
{
    int ok = serialize(b, ds, obj);
    hold_registered(ds);
    return ok;
}

/* scalars.cpp */
[[nodiscard]] int serialize_int(Buf *b, PyObject *obj);
[[nodiscard]] int serialize_complex(Buf *b, PyObject *obj);

/* containers.cpp */
[[nodiscard]] int serialize_list(Buf *b, DedupState *ds, PyObject *list);
[[nodiscard]] int serialize_tuple(Buf *b, DedupState *ds, PyObject *tuple);
[[nodiscard]] int serialize_dict_deduped(Buf *b, DedupState *ds, PyObject *d);
[[nodiscard]] int serialize_dict(Buf *b, DedupState *ds, PyObject *d);
[[nodiscard]] int serialize_set(Buf *b, DedupState *ds, PyObject *s);
[[nodiscard]] int serialize_frozenset(Buf *b, DedupState *ds, PyObject *s);
[[nodiscard]] int serialize_generator(Buf *b, DedupState *ds, PyObject *gen);
[[nodiscard]] int serialize_dict_view(Buf *b, DedupState *ds, PyObject *view);
[[nodiscard]] int serialize_mappingproxy(Buf *b, DedupState *ds, PyObject *proxy);
[[nodiscard]] int serialize_array(Buf *b, DedupState *ds, PyObject *arr);

/* dedup.cpp */
[[nodiscard]] int write_dedup_typed(Buf *b, DedupState *ds, PyObject *obj,
                                    uint8_t type_tag, const unsigned char *d,
                                    Py_ssize_t n);
[[nodiscard]] int write_dedup(Buf *b, DedupState *ds, uint8_t tag,
                              const unsigned char *d, Py_ssize_t n);
/* write_dedup giving the index the block has (new or referenced), or -1. */
int32_t write_dedup_index(Buf *b, DedupState *ds, uint8_t tag,
                          const unsigned char *d, Py_ssize_t n);
[[nodiscard]] int serialize_str(Buf *b, DedupState *ds, PyObject *s);
[[nodiscard]] int serialize_bytes(Buf *b, DedupState *ds, PyObject *obj);
/* A bytes value as a new bytes object of content d would be written. */
[[nodiscard]] int write_bytes_content(Buf *b, DedupState *ds, const unsigned char *d,
                                      Py_ssize_t n);
[[nodiscard]] int serialize_bytearray(Buf *b, DedupState *ds, PyObject *obj);

/* functions.cpp */
[[nodiscard]] int serialize_function(Buf *b, DedupState *ds, PyObject *fn);
[[nodiscard]] int serialize_code(Buf *b, DedupState *ds, PyObject *code);
[[nodiscard]] int serialize_method_wrapper(Buf *b, DedupState *ds, PyObject *obj,
                                           uint8_t tag);
[[nodiscard]] int serialize_property(Buf *b, DedupState *ds, PyObject *prop);

/* namespaces.cpp */
[[nodiscard]] int namespaces_init(void);
[[nodiscard]] int serialize_cell(Buf *b, DedupState *ds, PyObject *cell);
void code_state_free(DedupState *ds);

/* source.cpp */
PyObject *get_source(PyObject *obj);
/* The source of a callable, or null without an exception when it has none
 * that can be captured. */
PyObject *get_source_if_any(PyObject *obj);
PyObject *_compute_class_header_payload(PyObject *src, Py_ssize_t n,
                                        const unsigned char *d);
/* The address key of the caches, and the weak reference that drops an
 * object's entries when it dies. */
PyObject *address_key(PyObject *obj);
PyObject *cache_watch(PyObject *obj, PyObject *key);
/* Entry (a tuple ending in its weak reference) stored under key for obj
 * itself, as a new reference; null when there is none (exception set only
 * on a failed lookup). */
PyObject *cache_entry_for(PyObject *cache, PyObject *key, PyObject *obj);

/* objects.cpp */
[[nodiscard]] int objects_init(void);
int has_custom_reduce(PyTypeObject *tp);
[[nodiscard]] int serialize_via_reduce(Buf *b, DedupState *ds, PyObject *obj);
[[nodiscard]] int serialize_instance(Buf *b, DedupState *ds, PyObject *obj);
[[nodiscard]] int serialize_slots(Buf *b, DedupState *ds, PyObject *obj, PyObject *cls);
[[nodiscard]] int write_class_header_v2(Buf *b, DedupState *ds, PyObject *cls);
[[nodiscard]] int serialize_callable_ref_v2(Buf *b, DedupState *ds, PyObject *callable);
/* A name or module field: a str written as a content block. */
[[nodiscard]] int write_str_field(Buf *b, DedupState *ds, PyObject *s);
[[nodiscard]] int serialize_class(Buf *b, DedupState *ds, PyObject *cls);
[[nodiscard]] int serialize_module(Buf *b, DedupState *ds, PyObject *mod);
/* An object written by module and qualified name when it is found again
 * under them: 1 written, 0 failed, -1 not found (nothing written). */
int serialize_by_name(Buf *b, DedupState *ds, PyObject *obj);
/* How objects of a type are reduced, in pickle's order of precedence. */
enum {
    REDUCE_NONE,     /* not reduced: an instance */
    REDUCE_CUSTOM,   /* its own __reduce__, written as TAG_REDUCE */
    REDUCE_COPYREG,  /* a copyreg.dispatch_table entry */
    REDUCE_EX,       /* its own __reduce_ex__ */
    REDUCE_SETSTATE, /* its own __reduce__ with its own __setstate__ */
    REDUCE_STATE,    /* its own __getstate__ or __setstate__ */
};
int reduce_route(PyTypeObject *tp);
[[nodiscard]] int serialize_reduced(Buf *b, DedupState *ds, PyObject *obj, int how);

/* ------------------------------------------------------------------------
 * Deserializer.  Readers take the cursor (data, size, pos) and return a new
 * reference, or null with an exception set.
 * ------------------------------------------------------------------------ */
#define READER_ARGS [[maybe_unused]] Load *ld, const unsigned char *data, Py_ssize_t size, Py_ssize_t *pos

PyObject *deserialize_impl(READER_ARGS);
PyObject *deserialize_depth_error(void);

/* The ints 0..255 (the one-byte tags and TAG_UINT8), created at import and
 * kept for the life of the process. */
extern PyObject *g_byte_ints[256];

/* The int v (0..255) as a new reference. */
static inline PyObject *
byte_int(unsigned v)
{
    return compat_byte_int_ref(g_byte_ints[v]);
}

/* Small integers, the most frequent tags, are settled here without a
 * dispatch call. */
static inline PyObject *
deserialize(READER_ARGS)
{
    if (ld->depth >= VELLUM_MAX_DEPTH)
        return deserialize_depth_error();
    if (*pos < size) {
        unsigned t = data[*pos];
        if (is_smallint_tag(t)) {
            ++*pos;
            return byte_int(smallint_value(t));
        }
    }
    ++ld->depth;
    PyObject *r = deserialize_impl(ld, data, size, pos);
    --ld->depth;
    return r;
}

/* obj.name(arg), arg passed as one positional argument whatever its type. */
PyObject *call_method_one(PyObject *obj, const char *name, PyObject *arg);

/* Raises ValueError with msg and returns null. */
PyObject *fail_value(const char *msg);

/* scalars.cpp */
PyObject *deserialize_bigint(READER_ARGS);
PyObject *deserialize_float(READER_ARGS);
PyObject *deserialize_complex(READER_ARGS);
PyObject *deserialize_int16(READER_ARGS);
PyObject *deserialize_neg_int(READER_ARGS, uint8_t tag);
PyObject *deserialize_uint8(READER_ARGS);
PyObject *deserialize_int32(READER_ARGS);
PyObject *deserialize_float_const(uint8_t tag);

/* containers.cpp */
PyObject *deserialize_list_deduped(READER_ARGS);
PyObject *deserialize_tuple_deduped(READER_ARGS);
PyObject *deserialize_frozenset_deduped(READER_ARGS);
PyObject *deserialize_seq(READER_ARGS, uint8_t tag);
PyObject *deserialize_dict_deduped(READER_ARGS);
PyObject *deserialize_dict(READER_ARGS);
PyObject *deserialize_attr_dict(READER_ARGS);
PyObject *deserialize_mappingproxy(READER_ARGS);
PyObject *deserialize_array(READER_ARGS);

/* dedup.cpp */
PyObject *read_dedup_bytes(READER_ARGS);
PyObject *read_str_dedup(READER_ARGS);
PyObject *read_str_any(READER_ARGS);
PyObject *deserialize_short_str(READER_ARGS);
PyObject *deserialize_bytearray(READER_ARGS);
PyObject *deserialize_str_surrogates(READER_ARGS);
PyObject *read_dedup_bytes_checked(READER_ARGS, const char *what);
/* A zlib stream inflated into at most 64 * (4n + 256) bytes, in four attempts
 * of growing size, and at most *budget bytes, which it then takes from
 * *budget; beyond either, or on corrupt data, ValueError fail_msg. */
PyObject *inflate_bounded(const unsigned char *src, Py_ssize_t n, const char *fail_msg,
                          Py_ssize_t *budget);

/* Raises ValueError for a refusal text (a new str, consumed); returns null. */
PyObject *refuse_load(PyObject *why);

/* A safe load builds function forms only when asked to approve them. */
static inline int
function_forms_refused(Load *ld, const char *why)
{
    if (ld->allow == NULL || ld->allow_functions)
        return 0;
    refuse_load(PyUnicode_FromString(why));
    return 1;
}

/* namespaces.cpp */
PyObject *deserialize_function(READER_ARGS);
PyObject *deserialize_code_v2(READER_ARGS);
PyObject *deserialize_cell(READER_ARGS);

/* functions.cpp */
PyObject *exec_source(PyObject *source);
PyObject *deserialize_fn_source(READER_ARGS);
PyObject *deserialize_fn_bytecode(READER_ARGS);
PyObject *deserialize_code(READER_ARGS);
PyObject *deserialize_method_wrapper(READER_ARGS, uint8_t tag);
PyObject *deserialize_property(READER_ARGS);

/* objects.cpp */
PyObject *read_class_header(READER_ARGS);
PyObject *read_class_header_v2(READER_ARGS);
PyObject *read_callable_ref(READER_ARGS);
PyObject *read_callable_ref_v2(READER_ARGS);
PyObject *resolve_class_by_module(PyObject *name_str, PyObject *module_str);
PyObject *read_class_direct(PyObject *name_str, PyObject *src_bytes);
PyObject *resolve_callable_by_qualname(PyObject *qualname_str, PyObject *module_str);
PyObject *deserialize_instance(READER_ARGS, uint8_t tag);
PyObject *deserialize_reduce(READER_ARGS, uint8_t tag);
PyObject *deserialize_class(READER_ARGS);
PyObject *deserialize_global(READER_ARGS);
PyObject *deserialize_module(READER_ARGS);
PyObject *deserialize_reduce_ex(READER_ARGS);
/* A name or module field; one reached by reference must be a str. */
PyObject *read_str_field(READER_ARGS);
/* Safe loading: what the stream's name denotes, found statically in an
 * already-imported module, when it is approved; else ValueError.  The kind
 * says what the name must denote: a callable, a class whose instances the
 * loader allocates, any object, a class, or (name ignored) the module. */
enum {
    APPROVE_CALLABLE = 0,
    APPROVE_INSTANCE = 1,
    APPROVE_VALUE = 2,
    APPROVE_CLASS = 3,
    APPROVE_MODULE = 4,
};
PyObject *approved_static(PyObject *name, PyObject *module, int kind, PyObject *allow);
/* None when approved, else the refusal as a str; null on failure. */
PyObject *approval_refusal(PyObject *name, PyObject *module, int kind, PyObject *allow);

/* verify.cpp */
/* One value whose loading would run code, as the walk recorded it. */
struct UnexecBlock {
    Py_ssize_t pos;       /* offset of the value's tag byte */
    uint8_t tag;
    const char *reason;   /* static UTF-8 text, never freed */
    PyObject *raw_parts;  /* owned tuple of captured parts, or null */
};

/* The walk's counters and block list, one per verify_stream_fast call. */
struct VerifyCtx {
    Py_ssize_t tag_counts[256];
    UnexecBlock *blocks;
    Py_ssize_t block_count;
    Py_ssize_t block_cap;
};

/* The report of one stream; null only when reporting itself failed. */
PyObject *verify_stream_fast(const unsigned char *data, Py_ssize_t size,
                             int show_source);

#endif /* VELLUM_H */
