// _decompress, _build_index and _test: convert the arguments, copy what the
// interpreter owns, then run the engine without the interpreter lock.
#include "errors.hpp"
#include "functions.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "morvane/decode/engine.hpp"
#include "morvane/decode/options.hpp"
#include "morvane/index/index.hpp"
#include "morvane/source.hpp"
#include "morvane/writer.hpp"

namespace morvane::python {

namespace {

// The decoded output of _decompress, gathered for one bytes object at the end.
// Grown by realloc, which moves a large block by remapping its pages rather
// than copying them, so the output is copied once into the buffer and once
// into the bytes object, whatever its size.
class OutputBuffer {
 public:
  OutputBuffer() = default;
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;
  ~OutputBuffer() { std::free(data_); }

  std::expected<void, IoError> write_all(std::span<const std::uint8_t> bytes) {
    if (capacity_ - size_ < bytes.size()) grow(size_ + bytes.size());
    if (!bytes.empty()) std::memcpy(data_ + size_, bytes.data(), bytes.size());
    size_ += bytes.size();
    return {};
  }
  std::expected<void, IoError> flush() { return {}; }
  std::span<const std::uint8_t> bytes() const { return {data_, size_}; }

 private:
  void grow(std::size_t needed) {
    const std::size_t capacity = std::max(needed, 2 * capacity_);
    void* grown = std::realloc(data_, capacity);
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<std::uint8_t*>(grown);
    capacity_ = capacity;
  }

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// threads and memory_limit, shared by the three functions; `slots` holds them from position 1.
std::optional<decode::DecodeOptions> decode_options(PyObject* threads, PyObject* memory_limit) {
  auto t = to_u64_or(threads, "threads", 0);
  if (!t) return std::nullopt;
  auto m = to_u64_or(memory_limit, "memory_limit", decode::kDefaultMemoryLimit);
  if (!m) return std::nullopt;
  return decode::DecodeOptions{*t, *m};
}

constexpr Params<3> kDecompressParams{"_decompress", {"data", "threads", "memory_limit"}, 1};

PyObject* py_decompress(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto slots = match(kDecompressParams, args, nargs, kwnames);
    if (!slots) return nullptr;
    auto data = to_bytes((*slots)[0], "data");
    if (!data) return nullptr;
    auto options = decode_options((*slots)[1], (*slots)[2]);
    if (!options) return nullptr;

    // The copy lets the lock go while the caller's object stays untouched.
    std::vector<std::uint8_t> input(data->begin(), data->end());
    OutputBuffer output;
    Result<void> done = without_gil([&] {
      Result<void> result = decode::decompress_to_writer(std::span<const std::uint8_t>(input), output, *options);
      std::vector<std::uint8_t>().swap(input);
      return result;
    });
    if (!done) return raise(std::move(done.error()));
    return bytes_from(output.bytes());
  });
}

// Opens the file and builds its index, all without the interpreter lock. An
// index built over a mapping that lost pages meanwhile (the file truncated by
// another process) is the I/O error that says so.
Result<index::Index> index_of_file(const std::string& path, decode::DecodeOptions options) {
  auto source = Source::open(path);
  if (!source) return fail(open_error(std::move(source.error())));
  Result<index::Index> index = decode::build_index(source->bytes(), options);
  if (auto intact = source->intact(); !intact) return fail(Error::io(std::move(intact.error())));
  return index;
}

constexpr Params<3> kBuildIndexParams{"_build_index", {"path", "threads", "memory_limit"}, 1};

PyObject* py_build_index(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto slots = match(kBuildIndexParams, args, nargs, kwnames);
    if (!slots) return nullptr;
    auto path = to_utf8((*slots)[0], "path");
    if (!path) return nullptr;
    auto options = decode_options((*slots)[1], (*slots)[2]);
    if (!options) return nullptr;

    Result<std::vector<std::uint8_t>> image = without_gil([&]() -> Result<std::vector<std::uint8_t>> {
      Result<index::Index> index = index_of_file(*path, *options);
      if (!index) return fail(std::move(index.error()));
      return index->to_bytes();
    });
    if (!image) return raise(std::move(image.error()));
    return bytes_from(*image);
  });
}

constexpr Params<3> kTestParams{"_test", {"path", "threads", "memory_limit"}, 1};

PyObject* py_test(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto slots = match(kTestParams, args, nargs, kwnames);
    if (!slots) return nullptr;
    auto path = to_utf8((*slots)[0], "path");
    if (!path) return nullptr;
    auto options = decode_options((*slots)[1], (*slots)[2]);
    if (!options) return nullptr;

    Result<void> checked = without_gil([&]() -> Result<void> {
      Result<index::Index> index = index_of_file(*path, *options);
      if (!index) return fail(std::move(index.error()));
      return {};
    });
    if (!checked) return raise(std::move(checked.error()));
    Py_RETURN_NONE;
  });
}

}  // namespace

PyMethodDef decompress_function = {"_decompress", as_cfunction(py_decompress), METH_FASTCALL | METH_KEYWORDS,
                                   "_decompress(data, threads=0, memory_limit=...)\n--\n\n"};
PyMethodDef build_index_function = {"_build_index", as_cfunction(py_build_index), METH_FASTCALL | METH_KEYWORDS,
                                    "_build_index(path, threads=0, memory_limit=...)\n--\n\n"};
PyMethodDef test_function = {"_test", as_cfunction(py_test), METH_FASTCALL | METH_KEYWORDS,
                             "_test(path, threads=0, memory_limit=...)\n--\n\n"};

}  // namespace morvane::python
