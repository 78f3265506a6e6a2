#include "exit_status.hpp"

namespace morvane::cli {

int exit_status(const Error& error) {
  switch (error.tag()) {
    case Error::Tag::Io:
      return error.get_if<Error::Io>()->error.kind() == IoKind::InvalidData ? kExitBadData : kExitIo;
    case Error::Tag::InvalidConfiguration:
      return kExitUsage;
    case Error::Tag::InvalidStreamHeader:
    case Error::Tag::Decode:
    case Error::Tag::InvalidIndex:
      return kExitBadData;
    case Error::Tag::InvalidBitCount:
    case Error::Tag::InvalidBitOffset:
    case Error::Tag::UnexpectedEof:
      return kExitBitAccess;
  }
  return kExitIo;
}

}  // namespace morvane::cli
