// The failure kinds every module raises. Each carries the exact message text the caller sees.
#pragma once

#include <stdexcept>
#include <string>

#include "kestrune/core/export.hpp"

namespace kestrune {

// Base of every failure Kestrune raises on purpose.
class KESTRUNE_API Error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A file, directory or model was not found.
class KESTRUNE_API NotFoundError : public Error {
  public:
    using Error::Error;
};

// Malformed input, an unsupported value, or text that does not parse.
class KESTRUNE_API InvalidValueError : public Error {
  public:
    using Error::Error;
};

// An operation that cannot proceed, such as generation without a loaded model.
class KESTRUNE_API RuntimeFailure : public Error {
  public:
    using Error::Error;
};

// An optional outside library or program is not installed.
class KESTRUNE_API MissingComponentError : public Error {
  public:
    using Error::Error;
};

}  // namespace kestrune
