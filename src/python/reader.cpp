// _IndexedReader: one library IndexedReader behind a mutex with a poison flag.
// read and seek release the interpreter lock before they take the mutex and
// give the mutex back before they take the interpreter lock again, so a thread
// waiting for the reader never holds the interpreter lock.
#include "reader.hpp"

#include <new>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <vector>

#include "errors.hpp"
#include "functions.hpp"
#include "morvane/index/index.hpp"
#include "morvane/indexed/indexed_reader.hpp"
#include "morvane/source.hpp"

namespace morvane::python {

namespace {

using indexed::IndexedReader;

// The default byte budget of the block cache: 64 MiB.
inline constexpr std::uint64_t kDefaultCacheLimit = 67108864;
inline constexpr const char* kPoisoned = "reader lock poisoned";
inline constexpr const char* kIndexTooLarge = "index file is larger than any index of its input";

// The reader with its lock. `poisoned` is set, under the mutex, when a fault
// escapes while the mutex is held, and stays set: the reader's state may then
// be half-updated.
struct ReaderCell {
  explicit ReaderCell(IndexedReader r) : reader(std::move(r)) {}
  std::mutex mutex;
  bool poisoned = false;
  IndexedReader reader;
};

struct PyIndexedReader {
  PyObject_HEAD
  ReaderCell* cell;  // owned; set once by a factory
};

ReaderCell& cell_of(PyObject* self) { return *reinterpret_cast<PyIndexedReader*>(self)->cell; }

// Runs `body` on the reader under its mutex; nothing when the reader is
// poisoned. An allocation failure (while decoding a block, growing the read
// buffer or caching a block) passes through and leaves the reader usable: its
// position moves only after a piece has been delivered, and the cache keeps
// its invariants when an insertion fails. Any other exception poisons it.
template <class F>
auto with_reader(ReaderCell& cell, F&& body) -> std::optional<std::invoke_result_t<F&, IndexedReader&>> {
  std::lock_guard<std::mutex> lock(cell.mutex);
  if (cell.poisoned) return std::nullopt;
  try {
    return body(cell.reader);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    cell.poisoned = true;
    throw;
  }
}

PyObject* raise_poisoned() { return raise(Error::invalid_configuration(kPoisoned)); }

PyObject* raise_io(IoError error) { return raise(Error::io(std::move(error))); }

// Wraps a new reader in a Python object; the cell is freed on failure.
PyObject* wrap_reader(std::unique_ptr<ReaderCell> cell) {
  auto* type = reinterpret_cast<PyTypeObject*>(indexed_reader_type());
  if (!type) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  reinterpret_cast<PyIndexedReader*>(self)->cell = cell.release();
  return self;
}

// The reader over `source`: with an image, the index it holds after checking
// it against the source (the options are then unused); without, one built by
// a full decode.
Result<std::unique_ptr<ReaderCell>> open_reader(Source source, const std::optional<std::vector<std::uint8_t>>& image,
                                                decode::DecodeOptions options, std::uint64_t cache_limit) {
  const Source kept = source;  // checked at the end: a hash or a build over lost pages means nothing
  std::optional<index::Index> index;
  if (image) {
    Result<index::Index> parsed = index::Index::from_bytes(*image, source.bytes());
    if (auto intact = kept.intact(); !intact) return fail(Error::io(std::move(intact.error())));
    if (!parsed) return fail(std::move(parsed.error()));
    index = std::move(*parsed);
    options = decode::DecodeOptions{0, decode::kDefaultMemoryLimit};
  }
  Result<IndexedReader> reader =
      IndexedReader::from_source(std::move(source), std::move(index), options, static_cast<std::size_t>(cache_limit));
  if (auto intact = kept.intact(); !intact) return fail(Error::io(std::move(intact.error())));
  if (!reader) return fail(std::move(reader.error()));
  return std::make_unique<ReaderCell>(std::move(*reader));
}

// An optional argument that is None, left out, or converted by `convert`.
template <class T, class F>
std::optional<std::optional<T>> optional_arg(PyObject* object, F&& convert) {
  if (!object || object == Py_None) return std::optional<T>();
  auto value = convert(object);
  if (!value) return std::nullopt;
  return std::optional<T>(std::move(*value));
}

constexpr Params<5> kFromPathParams{
    "from_path", {"path", "threads", "memory_limit", "index_path", "cache_limit"}, 1};

PyObject* py_from_path(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto slots = match(kFromPathParams, args, nargs, kwnames);
    if (!slots) return nullptr;
    auto& s = *slots;
    auto path = to_utf8(s[0], "path");
    if (!path) return nullptr;
    auto threads = to_u64_or(s[1], "threads", 0);
    if (!threads) return nullptr;
    auto memory_limit = to_u64_or(s[2], "memory_limit", decode::kDefaultMemoryLimit);
    if (!memory_limit) return nullptr;
    auto index_path = optional_arg<std::string>(s[3], [](PyObject* o) { return to_utf8(o, "index_path"); });
    if (!index_path) return nullptr;
    auto cache_limit = to_u64_or(s[4], "cache_limit", kDefaultCacheLimit);
    if (!cache_limit) return nullptr;

    Result<std::unique_ptr<ReaderCell>> made = without_gil([&]() -> Result<std::unique_ptr<ReaderCell>> {
      // The data file first: when it is missing the index file is not touched.
      auto source = Source::open(*path);
      if (!source) return fail(open_error(std::move(source.error())));
      std::optional<std::vector<std::uint8_t>> image;
      if (*index_path) {
        // Read, not mapped: a rewrite of the file during the open must not
        // fault. No longer than any index of this input can be, so an endless
        // or huge file is neither read nor allocated for.
        auto contents = read_file(**index_path, index::max_image_bytes(source->size()), kIndexTooLarge);
        if (!contents) return fail(Error::io(std::move(contents.error())));
        image = std::move(*contents);
      }
      return open_reader(std::move(*source), image, decode::DecodeOptions{*threads, *memory_limit}, *cache_limit);
    });
    if (!made) return raise(std::move(made.error()));
    return wrap_reader(std::move(*made));
  });
}

constexpr Params<5> kFromBytesParams{"from_bytes", {"data", "threads", "memory_limit", "index", "cache_limit"}, 1};

PyObject* py_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto slots = match(kFromBytesParams, args, nargs, kwnames);
    if (!slots) return nullptr;
    auto& s = *slots;
    auto data = to_bytes(s[0], "data");
    if (!data) return nullptr;
    auto threads = to_u64_or(s[1], "threads", 0);
    if (!threads) return nullptr;
    auto memory_limit = to_u64_or(s[2], "memory_limit", decode::kDefaultMemoryLimit);
    if (!memory_limit) return nullptr;
    auto index = optional_arg<std::span<const std::uint8_t>>(s[3], [](PyObject* o) { return to_bytes(o, "index"); });
    if (!index) return nullptr;
    auto cache_limit = to_u64_or(s[4], "cache_limit", kDefaultCacheLimit);
    if (!cache_limit) return nullptr;

    // Copies made under the interpreter lock: the reader keeps no reference to the caller's objects.
    std::vector<std::uint8_t> input(data->begin(), data->end());
    std::optional<std::vector<std::uint8_t>> image;
    if (*index) image.emplace((*index)->begin(), (*index)->end());

    Result<std::unique_ptr<ReaderCell>> made = without_gil([&]() {
      return open_reader(Source::from_vector(std::move(input)), image,
                         decode::DecodeOptions{*threads, *memory_limit}, *cache_limit);
    });
    if (!made) return raise(std::move(made.error()));
    return wrap_reader(std::move(*made));
  });
}

// Reads exactly `n` bytes (n never passes what is left). The buffer grows one
// delivered block at a time, so a forged record promising more than its block
// holds fails its length check before anything that size is allocated.
std::expected<void, IoError> read_exactly(IndexedReader& reader, std::uint64_t n, std::vector<std::uint8_t>& out) {
  auto append = [&out](std::span<const std::uint8_t> piece) { out.insert(out.end(), piece.begin(), piece.end()); };
  while (out.size() < n) {
    auto got = reader.read_with(n - out.size(), append);
    if (!got) {
      if (got.error().kind() == IoKind::Interrupted) continue;
      return std::unexpected(std::move(got.error()));
    }
    if (*got == 0) return std::unexpected(IoError::custom(IoKind::UnexpectedEof, "failed to fill whole buffer"));
  }
  return {};
}

constexpr Params<1> kReadParams{"read", {"size"}, 1};

PyObject* py_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto slots = match(kReadParams, args, nargs, kwnames);
    if (!slots) return nullptr;
    auto size = to_i64((*slots)[0], "size");
    if (!size) return nullptr;

    std::vector<std::uint8_t> buffer;
    auto outcome = without_gil([&] {
      return with_reader(cell_of(self), [&](IndexedReader& reader) {
        const std::uint64_t remaining = reader.index().decoded_bytes - reader.position();
        const std::uint64_t n = *size < 0 ? remaining : std::min(static_cast<std::uint64_t>(*size), remaining);
        return read_exactly(reader, n, buffer);
      });
    });
    if (!outcome) return raise_poisoned();
    if (!*outcome) return raise_io(std::move(outcome->error()));
    return bytes_from(buffer);
  });
}

constexpr Params<2> kSeekParams{"seek", {"offset", "whence"}, 1};

PyObject* py_seek(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto slots = match(kSeekParams, args, nargs, kwnames);
    if (!slots) return nullptr;
    auto offset = to_i64((*slots)[0], "offset");
    if (!offset) return nullptr;
    auto whence = to_i32_or((*slots)[1], "whence", 0);
    if (!whence) return nullptr;

    auto outcome = without_gil([&] {
      return with_reader(cell_of(self), [&](IndexedReader& reader) -> std::expected<std::uint64_t, IoError> {
        switch (*whence) {
          case 0:
            if (*offset < 0) return std::unexpected(IoError::custom(IoKind::InvalidInput, "negative absolute seek"));
            return reader.seek_start(static_cast<std::uint64_t>(*offset));
          case 1: return reader.seek(IndexedReader::Whence::Current, *offset);
          case 2: return reader.seek(IndexedReader::Whence::End, *offset);
          default: return std::unexpected(IoError::custom(IoKind::InvalidInput, "invalid whence"));
        }
      });
    });
    if (!outcome) return raise_poisoned();
    if (!*outcome) return raise_io(std::move(outcome->error()));
    return PyLong_FromUnsignedLongLong(**outcome);
  });
}

// tell, size and index_bytes take the mutex with the interpreter lock held:
// read and seek give the mutex back before they ask for the interpreter lock,
// so waiting here cannot deadlock. The Python result is made after the mutex
// is released, so no Python code (a finalizer run by an allocation) can run
// while this thread holds it.
template <class F, class C>
PyObject* with_reader_held(PyObject* self, F&& body, C&& convert) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto value = with_reader(cell_of(self), [&](const IndexedReader& reader) { return body(reader); });
    if (!value) return raise_poisoned();
    return convert(*value);
  });
}

PyObject* to_int(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

PyObject* py_tell(PyObject* self, PyObject*) {
  return with_reader_held(self, [](const IndexedReader& r) { return r.position(); }, to_int);
}

PyObject* py_size(PyObject* self, void*) {
  return with_reader_held(self, [](const IndexedReader& r) { return r.index().decoded_bytes; }, to_int);
}

PyObject* py_index_bytes(PyObject* self, PyObject*) {
  return with_reader_held(
      self, [](const IndexedReader& r) { return r.index().to_bytes(); },
      [](const std::vector<std::uint8_t>& image) { return bytes_from(image); });
}

// The object holds no Python references; a heap type's instances visit their type.
int traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int clear(PyObject*) { return 0; }

void dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  delete reinterpret_cast<PyIndexedReader*>(self)->cell;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef methods[] = {
    {"from_path", as_cfunction(py_from_path), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_path(path, threads=0, memory_limit=..., index_path=None, cache_limit=...)\n--\n\n"},
    {"from_bytes", as_cfunction(py_from_bytes), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_bytes(data, threads=0, memory_limit=..., index=None, cache_limit=...)\n--\n\n"},
    {"read", as_cfunction(py_read), METH_FASTCALL | METH_KEYWORDS, "read($self, size)\n--\n\n"},
    {"seek", as_cfunction(py_seek), METH_FASTCALL | METH_KEYWORDS, "seek($self, offset, whence=0)\n--\n\n"},
    {"tell", as_cfunction(py_tell), METH_NOARGS, "tell($self)\n--\n\n"},
    {"index_bytes", as_cfunction(py_index_bytes), METH_NOARGS, "index_bytes($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"size", py_size, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    {0, nullptr},
};

// Not instantiable, not subclassable (no BASETYPE), no __dict__ or weak
// references, collected by the cyclic GC, and left mutable.
PyType_Spec spec = {
    "builtins._IndexedReader",
    static_cast<int>(sizeof(PyIndexedReader)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

ProcessOnce reader_type;

}  // namespace

PyObject* indexed_reader_type() {
  return reader_type.get([] { return PyType_FromSpec(&spec); });
}

}  // namespace morvane::python
