#include "morvane/io_error.hpp"

#include <cerrno>
#include <cstring>

#include "morvane/error.hpp"

namespace morvane {

namespace {

IoKind kind_of_errno(int code) {
  switch (code) {
    case ENOENT: return IoKind::NotFound;
    case EACCES: case EPERM: return IoKind::PermissionDenied;
    case EEXIST: return IoKind::AlreadyExists;
    case EINVAL: return IoKind::InvalidInput;
    case EPIPE: return IoKind::BrokenPipe;
    case EINTR: return IoKind::Interrupted;
    case EISDIR: return IoKind::IsADirectory;
    case ENOMEM: return IoKind::OutOfMemory;
    case ENOSYS: case EOPNOTSUPP: return IoKind::Unsupported;
    default: return IoKind::Other;
  }
}

}  // namespace

const char* io_kind_name(IoKind kind) {
  switch (kind) {
    case IoKind::NotFound: return "NotFound";
    case IoKind::PermissionDenied: return "PermissionDenied";
    case IoKind::AlreadyExists: return "AlreadyExists";
    case IoKind::InvalidInput: return "InvalidInput";
    case IoKind::InvalidData: return "InvalidData";
    case IoKind::UnexpectedEof: return "UnexpectedEof";
    case IoKind::WriteZero: return "WriteZero";
    case IoKind::BrokenPipe: return "BrokenPipe";
    case IoKind::Interrupted: return "Interrupted";
    case IoKind::IsADirectory: return "IsADirectory";
    case IoKind::OutOfMemory: return "OutOfMemory";
    case IoKind::Unsupported: return "Unsupported";
    case IoKind::Other: return "Other";
  }
  return "Other";
}

IoError IoError::from_errno(int code) {
  IoError e;
  e.kind_ = kind_of_errno(code);
  e.code_ = code;
  return e;
}

IoError IoError::last_os_error() { return from_errno(errno); }

IoError IoError::custom(IoKind kind, std::string message) {
  IoError e;
  e.kind_ = kind;
  e.message_ = std::move(message);
  return e;
}

IoError IoError::wrap(Error error, IoKind kind) {
  IoError e;
  e.kind_ = kind;
  e.message_ = error.display();
  e.payload_ = std::make_shared<const Error>(std::move(error));
  return e;
}

std::string IoError::display() const {
  if (code_) return std::string(std::strerror(*code_)) + " (os error " + std::to_string(*code_) + ")";
  return message_;
}

std::string IoError::debug() const {
  if (code_) {
    return "Os { code: " + std::to_string(*code_) + ", kind: " + io_kind_name(kind_) +
           ", message: " + debug_quote(std::strerror(*code_)) + " }";
  }
  if (payload_) return std::string("Custom { kind: ") + io_kind_name(kind_) + ", error: " + payload_->debug() + " }";
  return std::string("Custom { kind: ") + io_kind_name(kind_) + ", error: " + debug_quote(message_) + " }";
}

}  // namespace morvane
