// Tables leave lumora through the Arrow C data and C stream interfaces: the structs of those
// interfaces and builders that describe a table's columns as one struct array whose buffers point
// straight at the columns' memory. What keeps that memory alive is a Keeper the caller hands in
// with each column; the consumer's release callback destroys it, on whatever thread it runs.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

// The interface structs, under their canonical guards so that another copy of them can coexist.
extern "C" {
#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE
}

namespace lumora {
namespace engine {
namespace arrow {

enum class Type { int64, int32, float32, float64, boolean, large_utf8 };

inline const char* format_of(Type t) noexcept {
  switch (t) {
    case Type::int64: return "l";
    case Type::int32: return "i";
    case Type::float32: return "f";
    case Type::float64: return "g";
    case Type::boolean: return "b";
    case Type::large_utf8: return "U";
  }
  return "n";
}

// Keeps one column's memory alive until the consumer lets go of it. Its destructor may run on
// any thread.
struct Keeper {
  virtual ~Keeper() = default;
};

struct Field {
  std::string name;
  Type type;
};

// One column: `values` holds `length` values (NumPy's one byte per bool), or for a string column
// the length + 1 int64 offsets into `chars`, its UTF-8 bytes.
struct Column {
  Field field;
  int64_t length = 0;
  const void* values = nullptr;
  const void* chars = nullptr;
  std::unique_ptr<Keeper> keep;
};

// Arrow's booleans are bits, least significant first; NumPy's are bytes.
inline std::vector<uint8_t> pack_bits(const uint8_t* bools, int64_t n) {
  std::vector<uint8_t> bits(static_cast<size_t>((n + 7) / 8) + 1, 0);  // never an empty buffer
  for (int64_t i = 0; i < n; ++i) {
    bits[static_cast<size_t>(i >> 3)] |= static_cast<uint8_t>((bools[i] != 0) << (i & 7));
  }
  return bits;
}

namespace detail {

struct SchemaData {
  std::string name;
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> child_ptrs;
};

inline void release_schema(ArrowSchema* s) noexcept {
  if (s == nullptr || s->release == nullptr) return;
  auto* d = static_cast<SchemaData*>(s->private_data);
  // A child the consumer moved out has its release set to null here.
  for (ArrowSchema* c : d->child_ptrs) {
    if (c->release != nullptr) c->release(c);
  }
  delete d;
  s->release = nullptr;
}

inline void fill_schema(ArrowSchema* out, const char* format, std::unique_ptr<SchemaData> d,
                        int64_t flags) noexcept {
  out->format = format;
  out->name = d->name.c_str();
  out->metadata = nullptr;
  out->flags = flags;
  out->n_children = static_cast<int64_t>(d->child_ptrs.size());
  out->children = d->child_ptrs.empty() ? nullptr : d->child_ptrs.data();
  out->dictionary = nullptr;
  out->release = release_schema;
  out->private_data = d.release();
}

struct ArrayData {
  std::unique_ptr<Keeper> keep;
  std::vector<uint8_t> bits;
  const void* buffers[3] = {nullptr, nullptr, nullptr};
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_ptrs;
};

inline void release_array(ArrowArray* a) noexcept {
  if (a == nullptr || a->release == nullptr) return;
  auto* d = static_cast<ArrayData*>(a->private_data);
  for (ArrowArray* c : d->child_ptrs) {
    if (c->release != nullptr) c->release(c);
  }
  delete d;  // drops the keeper, and with it the column's memory
  a->release = nullptr;
}

inline void fill_array(ArrowArray* out, int64_t length, int64_t n_buffers,
                       std::unique_ptr<ArrayData> d) noexcept {
  out->length = length;
  out->null_count = 0;
  out->offset = 0;
  out->n_buffers = n_buffers;
  out->n_children = static_cast<int64_t>(d->child_ptrs.size());
  out->buffers = d->buffers;
  out->children = d->child_ptrs.empty() ? nullptr : d->child_ptrs.data();
  out->dictionary = nullptr;
  out->release = release_array;
  out->private_data = d.release();
}

// Releases what a builder made so far if it fails half-way.
template <class T, void (*Release)(T*)>
struct ReleaseAll {
  std::vector<T>& items;
  bool armed = true;
  ~ReleaseAll() {
    if (!armed) return;
    for (T& t : items) Release(&t);
  }
};

}  // namespace detail

// The schema of a table: a struct ("+s") with one nullable child per field (no value is null).
inline void export_schema(const std::vector<Field>& fields, ArrowSchema* out) {
  auto top = std::make_unique<detail::SchemaData>();
  top->children.resize(fields.size());
  for (ArrowSchema& c : top->children) c.release = nullptr;
  detail::ReleaseAll<ArrowSchema, detail::release_schema> guard{top->children};
  for (size_t i = 0; i < fields.size(); ++i) {
    auto d = std::make_unique<detail::SchemaData>();
    d->name = fields[i].name;
    detail::fill_schema(&top->children[i], format_of(fields[i].type), std::move(d),
                        ARROW_FLAG_NULLABLE);
  }
  for (ArrowSchema& c : top->children) top->child_ptrs.push_back(&c);
  guard.armed = false;
  detail::fill_schema(out, "+s", std::move(top), 0);
}

// A table's columns as one struct array of `length` rows; the columns' keepers move into it.
inline void export_struct(std::vector<Column>&& columns, int64_t length, ArrowArray* out) {
  auto top = std::make_unique<detail::ArrayData>();
  top->children.resize(columns.size());
  for (ArrowArray& c : top->children) c.release = nullptr;
  detail::ReleaseAll<ArrowArray, detail::release_array> guard{top->children};
  for (size_t i = 0; i < columns.size(); ++i) {
    Column& col = columns[i];
    auto d = std::make_unique<detail::ArrayData>();
    int64_t n_buffers = 2;
    if (col.field.type == Type::boolean) {
      d->bits = pack_bits(static_cast<const uint8_t*>(col.values), col.length);
      d->buffers[1] = d->bits.data();
    } else if (col.field.type == Type::large_utf8) {
      d->buffers[1] = col.values;
      d->buffers[2] = col.chars;
      n_buffers = 3;
    } else {
      d->buffers[1] = col.values;
    }
    d->keep = std::move(col.keep);
    detail::fill_array(&top->children[i], col.length, n_buffers, std::move(d));
  }
  for (ArrowArray& c : top->children) top->child_ptrs.push_back(&c);
  guard.armed = false;
  detail::fill_array(out, length, 1, std::move(top));
}

namespace detail {

struct StreamData {
  std::vector<Field> fields;
  std::vector<Column> columns;
  int64_t length = 0;
  bool given = false;
  std::string error;
};

inline int stream_failed(StreamData* d, const char* what) noexcept {
  try {
    d->error = what;
  } catch (...) {
    d->error.clear();
  }
  return ENOMEM;
}

inline int stream_schema(ArrowArrayStream* s, ArrowSchema* out) noexcept {
  auto* d = static_cast<StreamData*>(s->private_data);
  try {
    export_schema(d->fields, out);
    return 0;
  } catch (const std::exception& e) {
    return stream_failed(d, e.what());
  }
}

// The one batch holds every row (none for an empty table); after it, the end of the stream.
inline int stream_next(ArrowArrayStream* s, ArrowArray* out) noexcept {
  auto* d = static_cast<StreamData*>(s->private_data);
  if (d->given) {
    out->release = nullptr;
    return 0;
  }
  try {
    export_struct(std::move(d->columns), d->length, out);
    d->given = true;
    return 0;
  } catch (const std::exception& e) {
    return stream_failed(d, e.what());
  }
}

inline const char* stream_error(ArrowArrayStream* s) noexcept {
  auto* d = static_cast<StreamData*>(s->private_data);
  return d->error.empty() ? nullptr : d->error.c_str();
}

inline void release_stream(ArrowArrayStream* s) noexcept {
  if (s == nullptr || s->release == nullptr) return;
  delete static_cast<StreamData*>(s->private_data);
  s->release = nullptr;
}

}  // namespace detail

// A stream of one struct array holding the columns (of `length` rows each).
inline void export_stream(std::vector<Column>&& columns, int64_t length, ArrowArrayStream* out) {
  auto d = std::make_unique<detail::StreamData>();
  d->fields.reserve(columns.size());
  for (const Column& c : columns) d->fields.push_back(c.field);
  d->columns = std::move(columns);
  d->length = length;
  out->get_schema = detail::stream_schema;
  out->get_next = detail::stream_next;
  out->get_last_error = detail::stream_error;
  out->release = detail::release_stream;
  out->private_data = d.release();
}

// Whether `offsets` (n + 1 of them) rise from a non-negative start to at most `size`: the offsets
// of a string column whose bytes number `size`.
inline bool offsets_fit(const int64_t* offsets, int64_t n, int64_t size) noexcept {
  if (offsets[0] < 0) return false;
  for (int64_t i = 0; i < n; ++i) {
    if (offsets[i + 1] < offsets[i]) return false;
  }
  return offsets[n] <= size;
}

// Whether every string to gather (see gather_chars) lies within the `size` source bytes.
inline bool starts_fit(const int64_t* starts, const int64_t* offsets, int64_t n,
                       int64_t size) noexcept {
  for (int64_t i = 0; i < n; ++i) {
    if (starts[i] < 0 || starts[i] > size - (offsets[i + 1] - offsets[i])) return false;
  }
  return true;
}

// Copies the string of `offsets[i + 1] - offsets[i]` bytes at `src + starts[i]` to
// `dest + offsets[i]`, for each of n rows: the byte half of gathering a string column's rows.
inline void gather_chars(const uint8_t* src, const int64_t* starts, const int64_t* offsets,
                         int64_t n, uint8_t* dest) noexcept {
  for (int64_t i = 0; i < n; ++i) {
    const auto len = static_cast<size_t>(offsets[i + 1] - offsets[i]);
    std::memcpy(dest + offsets[i], src + starts[i], len);
  }
}

}  // namespace arrow
}  // namespace engine
}  // namespace lumora
