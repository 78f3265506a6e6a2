// The platform I/O error value: a kind, and either an OS error number or a
// message of its own, optionally carrying a whole library Error (the
// random-access reader wraps library errors this way).
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace morvane {

class Error;

enum class IoKind : unsigned char {
  NotFound,
  PermissionDenied,
  AlreadyExists,
  InvalidInput,
  InvalidData,
  UnexpectedEof,
  WriteZero,
  BrokenPipe,
  Interrupted,
  IsADirectory,
  OutOfMemory,
  Unsupported,
  Other,
};

// The kind's name as the debug form shows it ("NotFound").
const char* io_kind_name(IoKind kind);

// A value like Error: copies share only the carried Error, which never
// changes, so copies may live on different threads.
class IoError {
 public:
  // An operating-system error; its kind follows from the number.
  static IoError from_errno(int code);
  // The calling thread's current errno.
  static IoError last_os_error();
  // An error with a message of its own.
  static IoError custom(IoKind kind, std::string message);
  // A library error carried whole, of kind Other unless told; its text is the
  // error's display.
  static IoError wrap(Error error, IoKind kind = IoKind::Other);

  IoKind kind() const { return kind_; }
  std::optional<int> raw_os_error() const { return code_; }
  // The carried library error, if any.
  const Error* payload() const { return payload_.get(); }

  // "<system text> (os error N)" for an OS error, else the message.
  std::string display() const;
  // The structural form: Os { code: 2, kind: NotFound, message: "..." } or
  // Custom { kind: InvalidData, error: "..." }.
  std::string debug() const;

 private:
  IoError() = default;
  IoKind kind_ = IoKind::Other;
  std::optional<int> code_;
  std::string message_;
  std::shared_ptr<const Error> payload_;
};

}  // namespace morvane
