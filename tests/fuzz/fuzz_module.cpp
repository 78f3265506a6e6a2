// The _core module, as built for this tree (with its sanitizers), imported by
// an embedded interpreter and driven through its functions and its reader:
// every call is compared with the library called directly (the module is a
// thin layer over it), the reader's reads with _decompress's output, and no
// call may raise anything but the documented exceptions or leave a reference
// behind (python_embed.hpp checks the counts, and repeats each call that
// raised to see whether it leaks).
//
// Input: a flags byte (bits 0-1 the kind of input: raw bytes, valid streams,
// damaged streams, the reader target's input; bit 2 a path that does not
// exist), an options byte (threads, memory limit, cache budget), the input's
// recipe, the reader's index image and factory (from_bytes, or from_path with
// the image in an index file), then the reader's operations. Every call
// takes one more byte that may put one fault into its arguments (a value of
// the wrong type or range, an unknown keyword, one argument too many or
// missing, or one given twice), which must raise its own exception first.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <unistd.h>
#include <vector>

#include "fuzz_support.hpp"
#include "index_edits.hpp"
#include "morvane/constants.hpp"
#include "morvane/decode/engine.hpp"
#include "morvane/decode/options.hpp"
#include "morvane/format/scan.hpp"
#include "morvane/index/index.hpp"
#include "morvane/indexed/indexed_reader.hpp"
#include "morvane/source.hpp"
#include "morvane/writer.hpp"
#include "python_embed.hpp"
#include "support/block_builder.hpp"

using namespace morvane;
using morvane::fuzz::Recipe;
using morvane::fuzz::py::Obj;
using Bytes = std::vector<std::uint8_t>;
namespace py = morvane::fuzz::py;

namespace {

constexpr std::size_t kMaxReaderOperations = 24;
constexpr const char* kMissingPath = "/nonexistent-morvane-fuzz/input.bz2";

std::string temporary_file() {
  char name[] = "/tmp/morvane-fuzz-module-XXXXXX";
  const int fd = mkstemp(name);
  FUZZ_CHECK(fd >= 0);
  close(fd);
  return name;
}

// The imported module and the objects every input uses.
struct Module {
  Obj core, scan, crc32, decompress, build_index, test, from_bytes, from_path, reader_type, bad_bzip2_file;
  // Values of the wrong type or range for each kind of parameter.
  Obj bytearray, text, path_bytes, surrogate, minus_one, two_64, half, two_63, below_i64, two_31;
  Obj path, missing_path, index_path;
  std::string file, index_file;  // the input and its index image, written anew for each input
};

Module& module() {
  static Module m = [] {
    py::start(MORVANE_FUZZ_MODULE_DIR);
    Module m;
    m.core = py::made(PyImport_ImportModule("_core"));
    for (auto [slot, name] : {std::pair{&m.scan, "_scan"}, {&m.crc32, "bz2_crc32"}, {&m.decompress, "_decompress"},
                              {&m.build_index, "_build_index"}, {&m.test, "_test"},
                              {&m.reader_type, "_IndexedReader"}, {&m.bad_bzip2_file, "BadBzip2File"}}) {
      *slot = py::attr(m.core.get(), name);
    }
    m.from_bytes = py::attr(m.reader_type.get(), "from_bytes");
    m.from_path = py::attr(m.reader_type.get(), "from_path");
    m.bytearray = py::made(PyByteArray_FromStringAndSize("BZh9", 4));
    m.text = py::str("BZh9");
    m.path_bytes = py::bytes(std::vector<std::uint8_t>{'/', 't'});
    m.surrogate = py::made(PyUnicode_DecodeUTF8("\xed\xb2\x80", 3, "surrogatepass"));
    m.minus_one = py::integer(-1);
    m.two_64 = py::big("18446744073709551616");
    m.half = py::made(PyFloat_FromDouble(0.5));
    m.two_63 = py::big("9223372036854775808");
    m.below_i64 = py::big("-9223372036854775809");
    m.two_31 = py::big("2147483648");

    m.file = temporary_file();
    m.index_file = temporary_file();
    std::atexit([] {
      std::remove(module().file.c_str());
      std::remove(module().index_file.c_str());
    });
    m.path = py::str(m.file);
    m.index_path = py::str(m.index_file);
    m.missing_path = py::str(kMissingPath);
    return m;
  }();
  return m;
}

// The share of inputs whose _decompress succeeded, printed when the run ends.
struct Share {
  std::uint64_t inputs = 0, decoded = 0;
  Share() {
    std::atexit([] {
      std::fprintf(stderr, "morvane-fuzz: fuzz_module decoded %llu of %llu inputs\n",
                   static_cast<unsigned long long>(share().decoded), static_cast<unsigned long long>(share().inputs));
    });
  }
  static Share& share() {
    static Share s;
    return s;
  }
};

// ---- What a call must give ----

struct Expected {
  PyObject* type = nullptr;  // nullptr: the call returns
  std::string message;
  bool any_message = false;  // the binding layer's own wording is not fixed
  std::string note;          // the parameter a conversion failure names
};

Expected raising(PyObject* type, std::string message) { return {type, std::move(message), false, ""}; }

// The exception the module raises for a library error.
Expected raised_for(const Error& e) {
  switch (e.tag()) {
    case Error::Tag::InvalidIndex:
    case Error::Tag::InvalidConfiguration: return raising(PyExc_ValueError, std::string(e.reason()));
    case Error::Tag::Io: return raising(PyExc_OSError, e.get_if<Error::Io>()->error.display());
    default: return raising(module().bad_bzip2_file.get(), e.display());
  }
}

Expected io_error(const IoError& e) { return raising(PyExc_OSError, e.display()); }

template <class T>
Expected expected_of(const Result<T>& r) {
  return r ? Expected{} : raised_for(r.error());
}

void check(const py::Outcome& got, const Expected& want) {
  auto show = [&](const char* what) {
    std::fprintf(stderr, "%s: got %s \"%s\", expected %s \"%s\" (note '%s')\n", what,
                 got.exception ? Py_TYPE(got.exception.get())->tp_name : "a result", got.message().c_str(),
                 want.type ? reinterpret_cast<PyTypeObject*>(want.type)->tp_name : "a result", want.message.c_str(),
                 want.note.c_str());
  };
  if (!want.type) {
    if (!got.result) show("raised");
    FUZZ_CHECK(got.result);
    return;
  }
  if (!got.raised(want.type) || (!want.any_message && got.message() != want.message) ||
      (!want.note.empty() && !got.noted(want.note))) {
    show("wrong outcome");
    FUZZ_CHECK(false);
  }
  // An OSError made from the message alone: no error number, no file name.
  if (PyObject_IsSubclass(want.type, PyExc_OSError) == 1) {
    FUZZ_CHECK(py::attr(got.exception.get(), "errno").get() == Py_None);
  }
}

// ---- Calls and the faults that may go into their arguments ----

enum class Kind { Bytes, Str, U64, I64, I32, OptionalBytes, OptionalStr };

struct Param {
  const char* name;
  Kind kind;
  PyObject* value;  // nullptr: left to its default
};

// A value of the wrong type or range for a parameter, and what it raises.
std::pair<PyObject*, Expected> bad_value(const Param& p, std::uint8_t variant) {
  const Module& m = module();
  const Expected type_error{PyExc_TypeError, "", true, p.name};
  const Expected overflow{PyExc_OverflowError, "", true, p.name};
  switch (p.kind) {
    case Kind::Bytes:
    case Kind::OptionalBytes: return {variant % 2 ? m.bytearray.get() : m.text.get(), type_error};
    case Kind::Str:
    case Kind::OptionalStr:
      if (variant % 2) return {m.path_bytes.get(), type_error};
      return {m.surrogate.get(), {PyExc_UnicodeEncodeError, "", true, p.name}};
    case Kind::U64:
      if (variant % 3 == 0) return {m.half.get(), type_error};
      return {variant % 3 == 1 ? m.minus_one.get() : m.two_64.get(), overflow};
    case Kind::I64:
      if (variant % 3 == 0) return {m.half.get(), type_error};
      return {variant % 3 == 1 ? m.two_63.get() : m.below_i64.get(), overflow};
    case Kind::I32:
      if (variant % 3 == 0) return {m.half.get(), type_error};
      if (variant % 3 == 1) return {m.two_63.get(), overflow};
      return {m.two_31.get(), {PyExc_OverflowError, "out of range integral type conversion attempted", false, p.name}};
  }
  return {nullptr, {}};
}

// Makes the call: the required parameters by position, the others by position
// or by keyword as the recipe says, those left to their default omitted; and
// at most one fault. The exception a fault must raise, when there is one.
std::optional<Expected> make_call(PyObject* callable, std::vector<Param> params, std::size_t required, Recipe& r,
                                  py::Call& call) {
  const std::uint8_t choice = r.byte();
  const std::uint8_t fault = choice % 24;
  const bool by_keyword = choice & 0x80;
  const Expected type_error{PyExc_TypeError, "", true, ""};
  std::optional<Expected> raised;
  if (fault == 19 && !params.empty()) {  // a wrong value
    Param& p = params[r.byte() % params.size()];
    auto [value, expected] = bad_value(p, r.byte());
    p.value = value;
    raised = expected;
  }
  call = py::Call{callable, {}, {}};
  bool positional = true;
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (!params[i].value) {
      positional = false;
      continue;
    }
    if (i >= required && by_keyword) positional = false;
    if (fault == 20 && i == 0) positional = false;  // the first required one left out below
    if (positional) {
      call.positional.push_back(params[i].value);
    } else if (!(fault == 20 && i == 0)) {
      call.keywords.emplace_back(params[i].name, params[i].value);
    }
  }
  switch (fault) {
    case 20:  // a required argument missing
      if (required > 0) raised = type_error;
      break;
    case 21:  // an unknown keyword
      call.keywords.emplace_back("bogus", Py_None);
      raised = type_error;
      break;
    case 22:  // one positional argument too many
      if (call.keywords.empty() && call.positional.size() == params.size()) {
        call.positional.push_back(Py_None);
        raised = type_error;
      }
      break;
    case 23:  // the first argument given twice
      if (!call.positional.empty()) {
        call.keywords.emplace_back(params[0].name, call.positional[0]);
        raised = type_error;
      }
      break;
  }
  return raised;
}

// One function call with its parameters: checked against `want` unless a
// fault decides the outcome. The outcome, and whether it was the real call.
struct Made {
  py::Outcome outcome;
  bool faulted;
};

Made call_checked(PyObject* callable, std::vector<Param> params, std::size_t required, Recipe& r,
                  const Expected& want) {
  py::Call call;
  const auto fault = make_call(callable, std::move(params), required, r, call);
  Made out{py::call(call), fault.has_value()};
  check(out.outcome, fault ? *fault : want);
  return out;
}

// ---- The input ----

// Streams of blocks the recipe fills: up to three streams of up to three
// blocks of small-alphabet bytes (runs appear), each stream at its own level.
Bytes built_streams(Recipe& r) {
  Bytes out;
  const std::size_t streams = 1 + r.byte() % 3;
  for (std::size_t s = 0; s < streams; ++s) {
    const unsigned level = 1 + r.byte() % 9;
    std::vector<Bytes> blocks(r.byte() % 4);
    for (auto& block : blocks) {
      const std::size_t length = 1 + r.byte() * 4;
      const unsigned alphabet = 1 + r.byte() % 20;
      while (block.size() < length) block.push_back(static_cast<std::uint8_t>('a' + r.byte() % alphabet));
    }
    const Bytes stream = test::make_stream(level, blocks);
    out.insert(out.end(), stream.begin(), stream.end());
  }
  return out;
}

// One bit flipped, or the input cut short.
void damage(Bytes& data, Recipe& r) {
  if (data.empty()) return;
  const std::uint64_t at = r.take(2);
  if (r.byte() % 2) {
    data[at / 8 % data.size()] ^= static_cast<std::uint8_t>(1u << (at % 8));
  } else {
    data.resize(at % data.size());
  }
}

Bytes make_input(std::uint8_t flags, Recipe& r) {
  switch (flags & 3) {
    case 0: {
      Bytes raw(r.take(2) % 2048);
      for (auto& b : raw) b = r.byte();
      return raw;
    }
    case 1: return built_streams(r);
    case 2: {
      Bytes data = built_streams(r);
      damage(data, r);
      return data;
    }
    default: {
      Bytes data = fuzz::reader_input();
      if (r.byte() % 2) damage(data, r);
      return data;
    }
  }
}

struct Options {
  decode::DecodeOptions decode;
  Obj threads, memory_limit;  // null: left to the default
  std::optional<std::uint64_t> cache_limit;
  Obj cache;
};

Options make_options(std::uint8_t byte) {
  // threads 0 (every CPU) now and then: it starts a pool as large as the machine.
  constexpr std::uint64_t kThreads[] = {1, 2, 1, 3, 2, 4, 1, 0};
  constexpr std::uint64_t kLimits[] = {MAX_BLOCK_OUTPUT, 2 * MAX_BLOCK_OUTPUT, 0, MAX_BLOCK_OUTPUT - 1};
  constexpr std::uint64_t kCaches[] = {0, 300, 0, 1 << 20};
  Options o;
  o.decode.threads = kThreads[byte & 7];
  o.threads = py::unsigned_integer(o.decode.threads);
  const std::uint64_t limit = kLimits[(byte >> 3) & 3];
  o.decode.memory_limit = limit ? limit : decode::kDefaultMemoryLimit;
  if (limit) o.memory_limit = py::unsigned_integer(limit);
  if (((byte >> 5) & 3) != 2) {
    o.cache_limit = kCaches[(byte >> 5) & 3];
    o.cache = py::unsigned_integer(*o.cache_limit);
  }
  return o;
}

void write_file(const std::string& path, const Bytes& data) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(f != nullptr);
  FUZZ_CHECK(std::fwrite(data.data(), 1, data.size(), f) == data.size());
  FUZZ_CHECK(std::fclose(f) == 0);
}

// ---- The functions ----

void check_crc32(PyObject* data_obj, const Bytes& data, Recipe& r) {
  Made got = call_checked(module().crc32.get(), {{"data", Kind::Bytes, data_obj}}, 1, r, {});
  if (got.faulted) return;
  FUZZ_CHECK(PyLong_CheckExact(got.outcome.result.get()));
  FUZZ_CHECK(PyLong_AsUnsignedLongLong(got.outcome.result.get()) == test::crc32(data));
}

// A list of tuples whose items are the given integers (or bools).
bool tuples_equal(PyObject* list, const std::vector<std::vector<std::uint64_t>>& want, int bool_at = -1) {
  if (!PyList_CheckExact(list) || PyList_GET_SIZE(list) != static_cast<Py_ssize_t>(want.size())) return false;
  for (std::size_t i = 0; i < want.size(); ++i) {
    PyObject* t = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i));
    if (!PyTuple_CheckExact(t) || PyTuple_GET_SIZE(t) != static_cast<Py_ssize_t>(want[i].size())) return false;
    for (std::size_t j = 0; j < want[i].size(); ++j) {
      PyObject* item = PyTuple_GET_ITEM(t, static_cast<Py_ssize_t>(j));
      if (static_cast<int>(j) == bool_at) {
        if (item != (want[i][j] ? Py_True : Py_False)) return false;
      } else if (!PyLong_CheckExact(item) || PyLong_AsUnsignedLongLong(item) != want[i][j]) {
        return false;
      }
    }
  }
  return true;
}

void check_scan(PyObject* data_obj, const Bytes& data, Recipe& r) {
  const auto scan = format::scan_input(data);
  // _scan raises ValueError with the error's whole text, whatever the error.
  const Expected want = scan ? Expected{} : raising(PyExc_ValueError, scan.error().display());
  Made got = call_checked(module().scan.get(), {{"data", Kind::Bytes, data_obj}}, 1, r, want);
  if (got.faulted || !scan) return;
  PyObject* result = got.outcome.result.get();
  FUZZ_CHECK(PyTuple_CheckExact(result) && PyTuple_GET_SIZE(result) == 3);
  std::vector<std::vector<std::uint64_t>> streams, blocks, ends;
  for (const auto& s : scan->streams) streams.push_back({s.byte_offset, s.level});
  for (const auto& b : scan->blocks) blocks.push_back({b.bit_offset, b.crc, b.randomized, b.orig_ptr});
  for (const auto& e : scan->ends) ends.push_back({e.bit_offset, e.crc});
  FUZZ_CHECK(tuples_equal(PyTuple_GET_ITEM(result, 0), streams));
  FUZZ_CHECK(tuples_equal(PyTuple_GET_ITEM(result, 1), blocks, 2));
  FUZZ_CHECK(tuples_equal(PyTuple_GET_ITEM(result, 2), ends));
}

std::vector<Param> decode_params(const char* first, Kind kind, PyObject* value, const Options& o) {
  return {{first, kind, value}, {"threads", Kind::U64, o.threads.get()}, {"memory_limit", Kind::U64, o.memory_limit.get()}};
}

// _decompress: the library's output, or its error; the output when it succeeded.
std::optional<Bytes> check_decompress(PyObject* data_obj, const Bytes& data, const Options& o, Recipe& r) {
  Bytes out;
  VectorWriter writer{out};
  const auto decoded = decode::decompress_to_writer(data, writer, o.decode);
  Made got = call_checked(module().decompress.get(), decode_params("data", Kind::Bytes, data_obj, o), 1, r,
                          expected_of(decoded));
  if (got.faulted || !decoded) return std::nullopt;
  const auto bytes = py::bytes_of(got.outcome.result.get());
  FUZZ_CHECK(std::equal(bytes.begin(), bytes.end(), out.begin(), out.end()));
  return out;
}

// The library's index of a file: opened, decoded whole, and still intact.
Result<index::Index> index_of_file(const std::string& path, decode::DecodeOptions options) {
  auto source = Source::open(path);
  if (!source) return fail(open_error(std::move(source.error())));
  auto built = decode::build_index(source->bytes(), options);
  if (auto intact = source->intact(); !intact) return fail(Error::io(std::move(intact.error())));
  return built;
}

// _test and _build_index of the file: the library's index of it, or its
// error; the image when it was built.
std::optional<Bytes> check_file_functions(PyObject* path_obj, const std::string& path, const Options& o, Recipe& r) {
  const Result<index::Index> built = index_of_file(path, o.decode);
  const Expected want = expected_of(built);

  Made tested = call_checked(module().test.get(), decode_params("path", Kind::Str, path_obj, o), 1, r, want);
  if (!tested.faulted && built) FUZZ_CHECK(tested.outcome.result.get() == Py_None);
  Made image = call_checked(module().build_index.get(), decode_params("path", Kind::Str, path_obj, o), 1, r, want);
  if (image.faulted || !built) return std::nullopt;
  const auto bytes = py::bytes_of(image.outcome.result.get());
  const Bytes expected = built->to_bytes();
  FUZZ_CHECK(std::equal(bytes.begin(), bytes.end(), expected.begin(), expected.end()));
  return expected;
}

// ---- The reader ----

// The index image handed to the reader: none, the one _build_index gave, that
// one with a byte flipped, with a record edited or with a block's CRC changed
// (and its trailer made right again: such an image passes every check, and
// reading that block fails), or the image of another input.
std::optional<Bytes> index_image(const std::optional<Bytes>& built, const Bytes& data, Recipe& r) {
  switch (r.byte() % 6) {
    case 0: return std::nullopt;
    case 1: return built;
    case 2: {
      if (!built) return std::nullopt;
      Bytes flipped = *built;
      flipped[r.take(2) % flipped.size()] ^= static_cast<std::uint8_t>(1 + r.byte() % 255);
      return flipped;
    }
    case 3: {
      if (!built) return std::nullopt;
      auto x = index::Index::from_bytes(*built, data);
      FUZZ_CHECK(x.has_value());
      fuzz::edit_index(*x, r);
      return x->to_bytes();
    }
    case 4: {
      if (!built) return std::nullopt;
      auto x = index::Index::from_bytes(*built, data);
      FUZZ_CHECK(x.has_value());
      if (!x->blocks.empty()) x->blocks[r.byte() % x->blocks.size()].expected_crc ^= 1u + r.byte();
      return x->to_bytes();
    }
    default: {
      static const Bytes other = [] {
        const Bytes input = fuzz::reader_input();
        auto x = decode::build_index(input, {1, MAX_BLOCK_OUTPUT});
        FUZZ_CHECK(x.has_value());
        return x->to_bytes();
      }();
      return other;
    }
  }
}

class ReaderCheck {
 public:
  // `decoded`, when given, is what the reader's data must be.
  ReaderCheck(PyObject* reader, indexed::IndexedReader& oracle, const Bytes* decoded)
      : reader_(reader), oracle_(oracle), decoded_(decoded) {}

  void step(Recipe& r) {
    switch (r.byte() % 6) {
      case 0:
      case 1: read(r); break;
      case 2: seek(r); break;
      case 3: {
        Made got = method("tell", {}, r, {});
        if (!got.faulted) FUZZ_CHECK(PyLong_AsUnsignedLongLong(got.outcome.result.get()) == oracle_.position());
        break;
      }
      case 4: {
        Obj size = py::attr(reader_, "size");
        FUZZ_CHECK(PyLong_AsUnsignedLongLong(size.get()) == oracle_.index().decoded_bytes);
        break;
      }
      default: {
        Made got = method("index_bytes", {}, r, {});
        if (got.faulted) break;
        const auto bytes = py::bytes_of(got.outcome.result.get());
        const Bytes want = oracle_.index().to_bytes();
        FUZZ_CHECK(std::equal(bytes.begin(), bytes.end(), want.begin(), want.end()));
        break;
      }
    }
  }

 private:
  Made method(const char* name, std::vector<Param> params, Recipe& r, const Expected& want) {
    Obj bound = py::attr(reader_, name);
    const std::size_t required = params.size() > 0 ? 1 : 0;
    return call_checked(bound.get(), std::move(params), required, r, want);
  }

  void read(Recipe& r) {
    std::int64_t size = 0;
    switch (r.byte() % 4) {
      case 0: size = -1; break;
      case 1: size = 0; break;
      case 2: size = static_cast<std::int64_t>(r.take(2)); break;
      default: size = std::int64_t{1} << 40; break;
    }
    // What the reader gives in one call: the rest when asked for less than
    // nothing, else at most what is left.
    const std::uint64_t remaining = oracle_.index().decoded_bytes - oracle_.position();
    const std::uint64_t n = size < 0 ? remaining : std::min<std::uint64_t>(size, remaining);
    const std::uint64_t from = oracle_.position();
    Obj size_obj = py::integer(size);
    // The oracle reads only if the call gets as far as reading.
    Obj bound = py::attr(reader_, "read");
    py::Call call;
    const auto fault = make_call(bound.get(), {{"size", Kind::I64, size_obj.get()}}, 1, r, call);
    Expected want;
    Bytes got_bytes;
    if (!fault) {
      auto got = oracle_.read_with(n, [&](std::span<const std::uint8_t> piece) {
        got_bytes.insert(got_bytes.end(), piece.begin(), piece.end());
      });
      if (!got) {
        want = io_error(got.error());
      } else if (*got < n) {
        want = raising(PyExc_OSError, "failed to fill whole buffer");
      }
    }
    py::Outcome out = py::call(call);
    check(out, fault ? *fault : want);
    if (fault || want.type) return;
    const auto bytes = py::bytes_of(out.result.get());
    FUZZ_CHECK(std::equal(bytes.begin(), bytes.end(), got_bytes.begin(), got_bytes.end()));
    // The reader's bytes are _decompress's, where that decoded the input.
    if (decoded_) {
      FUZZ_CHECK(decoded_->size() == oracle_.index().decoded_bytes);
      FUZZ_CHECK(std::equal(bytes.begin(), bytes.end(), decoded_->begin() + static_cast<std::ptrdiff_t>(from)));
    }
  }

  void seek(Recipe& r) {
    const std::uint8_t how = r.byte();
    std::int64_t whence = how % 5 < 3 ? how % 5 : how % 5 == 3 ? 3 : -1;
    std::int64_t offset = static_cast<std::int16_t>(r.take(2));
    if (how & 0x80) offset = how & 0x40 ? INT64_MAX - (how & 7) : INT64_MIN + (how & 7);
    Obj offset_obj = py::integer(offset), whence_obj = py::integer(whence);
    Obj bound = py::attr(reader_, "seek");
    py::Call call;
    const auto fault = make_call(
        bound.get(), {{"offset", Kind::I64, offset_obj.get()}, {"whence", Kind::I32, whence_obj.get()}}, 1, r, call);
    Expected want;
    std::optional<std::uint64_t> position;
    if (!fault) {
      std::expected<std::uint64_t, IoError> moved = std::unexpected(IoError::custom(IoKind::InvalidInput, "invalid whence"));
      if (whence == 0 && offset < 0) {
        moved = std::unexpected(IoError::custom(IoKind::InvalidInput, "negative absolute seek"));
      } else if (whence == 0) {
        moved = oracle_.seek_start(static_cast<std::uint64_t>(offset));
      } else if (whence == 1 || whence == 2) {
        moved = oracle_.seek(whence == 1 ? indexed::IndexedReader::Whence::Current : indexed::IndexedReader::Whence::End,
                             offset);
      }
      if (moved) {
        position = *moved;
      } else {
        want = io_error(moved.error());
      }
    }
    py::Outcome out = py::call(call);
    check(out, fault ? *fault : want);
    if (position) FUZZ_CHECK(PyLong_AsUnsignedLongLong(out.result.get()) == *position);
  }

  PyObject* reader_;
  indexed::IndexedReader& oracle_;
  const Bytes* decoded_;
};

// The library's reader over `source` with the index an image gives, or with
// one built: the oracle of every member of the module's reader.
Result<indexed::IndexedReader> open_oracle(Source source, const std::optional<Bytes>& image, const Options& o) {
  std::optional<index::Index> index;
  if (image) {
    auto parsed = index::Index::from_bytes(*image, source.bytes());
    if (!parsed) return fail(std::move(parsed.error()));
    index = std::move(*parsed);
  }
  return indexed::IndexedReader::from_source(std::move(source), std::move(index), o.decode,
                                             o.cache_limit.value_or(64 << 20));
}

// The reader's two factories: from_bytes over the input with the image as
// bytes, or from_path over the input's file (or a missing one) with the image
// written to an index file (or a missing index file, or none).
void check_reader(PyObject* data_obj, const Bytes& data, PyObject* path_obj, const std::string& path,
                  const Options& o, const std::optional<Bytes>& built, const std::optional<Bytes>& decoded,
                  Recipe& r) {
  Module& m = module();
  const auto image = index_image(built, data, r);
  Obj image_obj = image ? py::bytes(*image) : Obj();
  std::vector<Param> params;
  Result<indexed::IndexedReader> oracle = fail(Error::invalid_stream_header());
  PyObject* factory = nullptr;
  if (r.byte() % 3) {
    factory = m.from_bytes.get();
    params = decode_params("data", Kind::Bytes, data_obj, o);
    params.push_back({"index", Kind::OptionalBytes, image_obj.get()});
    oracle = open_oracle(Source::from_vector(data), image, o);
  } else {
    factory = m.from_path.get();
    std::optional<std::string> index_path;
    PyObject* index_path_obj = nullptr;
    if (image) {
      write_file(m.index_file, *image);
      index_path = m.index_file;
      index_path_obj = m.index_path.get();
    } else if (r.byte() % 4 == 0) {
      index_path = kMissingPath;
      index_path_obj = m.missing_path.get();
    }
    params = decode_params("path", Kind::Str, path_obj, o);
    params.push_back({"index_path", Kind::OptionalStr, index_path_obj});
    oracle = [&]() -> Result<indexed::IndexedReader> {
      auto source = Source::open(path);
      if (!source) return fail(open_error(std::move(source.error())));
      std::optional<Bytes> contents;
      if (index_path) {
        auto read = read_file(*index_path, index::max_image_bytes(source->size()),
                              "index file is larger than any index of its input");
        if (!read) return fail(Error::io(std::move(read.error())));
        contents = std::move(*read);
      }
      return open_oracle(std::move(*source), contents, o);
    }();
  }
  params.push_back({"cache_limit", Kind::U64, o.cache.get()});
  Made made = call_checked(factory, params, 1, r, expected_of(oracle));
  if (made.faulted || !oracle) return;
  PyObject* reader = made.outcome.result.get();
  FUZZ_CHECK(Py_TYPE(reader) == reinterpret_cast<PyTypeObject*>(m.reader_type.get()));

  // Reads compare with _decompress's output only where the index is the input's own.
  const bool own_index = !image || image == built;
  ReaderCheck checker(reader, *oracle, own_index && decoded ? &*decoded : nullptr);
  for (std::size_t i = 0; i < kMaxReaderOperations && !r.done(); ++i) checker.step(r);
}

}  // namespace

// The module is loaded before the fuzzing starts, so that libFuzzer counts its coverage from the first input.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  module();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  Module& m = module();
  Recipe r(std::span(bytes, size));
  const std::uint8_t flags = r.byte();
  const Options options = make_options(r.byte());
  const Bytes data = make_input(flags, r);
  Obj data_obj = py::bytes(data);

  check_crc32(data_obj.get(), data, r);
  check_scan(data_obj.get(), data, r);
  const auto decoded = check_decompress(data_obj.get(), data, options, r);
  ++Share::share().inputs;
  if (decoded) ++Share::share().decoded;

  const bool missing = flags & 4;
  if (!missing) write_file(m.file, data);
  const auto built = check_file_functions(missing ? m.missing_path.get() : m.path.get(),
                                          missing ? kMissingPath : m.file, options, r);
  // _decompress on the serial road accepts an empty input that the index build refuses.
  check_reader(data_obj.get(), data, missing ? m.missing_path.get() : m.path.get(), missing ? kMissingPath : m.file,
               options, built, built ? decoded : std::nullopt, r);
  return 0;
}
