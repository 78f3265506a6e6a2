// The thin binding layer between the CPython C API and the library: owned
// references, work run without the interpreter lock, argument matching for
// the fast calling convention with keywords, integer/bytes/str conversion with
// a note naming the parameter, a one-time guard for process-wide objects, and
// the guard that keeps C++ exceptions from unwinding into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <cxxabi.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>

namespace morvane::python {

// An owned (strong) reference, released on destruction. Only touch one while
// holding the interpreter lock.
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* object) {
    Ref ref;
    ref.object_ = object;
    return ref;
  }
  static Ref borrow(PyObject* object) {
    Py_XINCREF(object);
    return steal(object);
  }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref old(std::move(*this));
    object_ = std::exchange(other.object_, nullptr);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// Runs `work` without the interpreter lock and returns its result, which must
// hold no Python object; the lock is held again however `work` ends.
//
// The lock is taken back in this ordinary frame, never in a destructor or a
// noexcept function: while the interpreter shuts down, Python 3.11 to 3.13 end
// a daemon thread that asks for the lock with pthread_exit, and the unwinding
// that starts there calls std::terminate if it meets a noexcept frame. Here
// it passes through, releasing what the frames above own, and ends the thread.
template <class F>
auto without_gil(F&& work) {
  PyThreadState* state = PyEval_SaveThread();
  auto result = [&] {
    try {
      return std::forward<F>(work)();
    } catch (...) {
      PyEval_RestoreThread(state);
      throw;
    }
  }();
  PyEval_RestoreThread(state);
  return result;
}

// The parameters of one function or method, all positional-or-keyword; the
// first `required` have no default.
template <std::size_t N>
struct Params {
  const char* function;  // the name shown in messages, e.g. "_decompress"
  std::array<const char*, N> names;
  std::size_t required;
};

bool match_arguments(const char* function, std::span<const char* const> names, std::size_t required,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots);

// Matches fast-call arguments to the parameters. Each slot is the borrowed
// argument of its parameter, or nullptr when it was left to its default.
// Nothing (with TypeError set) for a missing required argument, too many
// positional arguments, an unknown keyword or a parameter given twice.
template <std::size_t N>
std::optional<std::array<PyObject*, N>> match(const Params<N>& params, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
  std::array<PyObject*, N> slots{};
  if (!match_arguments(params.function, params.names, params.required, args, nargs, kwnames, slots)) {
    return std::nullopt;
  }
  return slots;
}

// Conversions of one argument. On failure the conversion's own exception is
// set, with the note "while processing '<param>'" added, and nothing returned.

// A bytes object or an instance of a subclass; its buffer is borrowed.
std::optional<std::span<const std::uint8_t>> to_bytes(PyObject* object, const char* param);
// A str (or subclass), as UTF-8 text; embedded NUL characters are kept.
std::optional<std::string> to_utf8(PyObject* object, const char* param);
// An int or an object with __index__, as unsigned / signed 64 bits (OverflowError when out of range).
std::optional<std::uint64_t> to_u64(PyObject* object, const char* param);
std::optional<std::int64_t> to_i64(PyObject* object, const char* param);
// Converted as signed 64 bits, then checked to fit 32.
std::optional<std::int32_t> to_i32(PyObject* object, const char* param);

// The same with a default for an argument left out (a nullptr slot).
std::optional<std::uint64_t> to_u64_or(PyObject* object, const char* param, std::uint64_t fallback);
std::optional<std::int32_t> to_i32_or(PyObject* object, const char* param, std::int32_t fallback);

// A new bytes object holding a copy of `data`; nullptr with MemoryError set.
PyObject* bytes_from(std::span<const std::uint8_t> data);

// Raises the fault exception (SystemError) for a C++ failure other than an
// allocation failure; always returns nullptr.
PyObject* raise_fault(const char* what);

// Runs an entry point's body so that no C++ exception unwinds into the
// interpreter: an allocation failure becomes MemoryError, anything else the
// fault exception. `failed` is the entry point's error return (nullptr or -1).
// Only the unwinding of a thread that pthread_exit ends passes on (see
// without_gil); it may not be stopped, and the thread never returns.
template <class R, class F>
R guarded(R failed, F&& body) {
  try {
    return std::forward<F>(body)();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_fault(e.what());
  } catch (...) {
    raise_fault("unknown C++ exception");
  }
  return failed;
}

// A process-wide Python object created once and kept for the rest of the
// process. A thread that finds another thread creating it waits for it with
// the interpreter lock released, then returns the same object.
class ProcessOnce {
 public:
  // `create` returns a new reference or nullptr with an exception set; a
  // failure leaves the slot empty for a later try.
  template <class F>
  PyObject* get(F&& create) {
    if (PyObject* made = value_.load(std::memory_order_acquire)) return made;
    std::unique_lock<std::mutex> lock = lock_without_gil();
    if (PyObject* made = value_.load(std::memory_order_acquire)) return made;
    PyObject* made = std::forward<F>(create)();
    if (made) value_.store(made, std::memory_order_release);
    return made;
  }

 private:
  // Every taker of the mutex waits for it without the interpreter lock, so the
  // holder can always get the interpreter lock back.
  std::unique_lock<std::mutex> lock_without_gil() {
    return without_gil([this] { return std::unique_lock<std::mutex>(mutex_); });
  }

  std::mutex mutex_;
  std::atomic<PyObject*> value_{nullptr};
};

// A C function of any of the interpreter's calling conventions, as a method table entry takes it.
template <class F>
PyCFunction as_cfunction(F* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace morvane::python
