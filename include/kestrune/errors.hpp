// The failure kinds every module raises. Each carries the exact message text the caller sees.
#pragma once

#include <stdexcept>
#include <string>

namespace kestrune {

// Base of every failure Kestrune raises on purpose.
class Error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A file, directory or model was not found.
class NotFoundError : public Error {
  public:
    using Error::Error;
};

// Malformed input, an unsupported value, or text that does not parse.
class InvalidValueError : public Error {
  public:
    using Error::Error;
};

// An operation that cannot proceed, such as generation without a loaded model.
class RuntimeFailure : public Error {
  public:
    using Error::Error;
};

// An optional outside library or program is not installed.
class MissingComponentError : public Error {
  public:
    using Error::Error;
};

}  // namespace kestrune
