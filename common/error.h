// The one error type of the server.
//
// Every failure that the server raises on purpose is an orvala::Error: a
// kind that callers branch on, a message, the help context that travels
// with it to the client, and, for a failed remote call or the database,
// that call's status or the database's own code. Handlers that absorb "any
// error" catch Error; handlers that absorb "everything" catch (...). No
// caller decides by comparing a message: messages are for people.
//
// An Error is an immutable value: const methods may be called from several
// threads without synchronization.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace orvala {

enum class ErrorKind {
  General,        // any failure with a message
  RemoteCall,     // a remote call failed; status() holds its status
  Database,       // the database refused; database_code() holds its code
  RegistryEntry,  // an entry of the class registration could not be written
};

class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message, int32_t help_context = 0)
      : std::runtime_error(message), help_context_(help_context) {}
  Error(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}

  // An error raised by a failed remote call keeps that call's status so that
  // the frame can hand it on instead of E_UNEXPECTED.
  static Error FromStatus(int32_t status, const std::string& message) {
    Error error(ErrorKind::RemoteCall, message);
    error.status_ = status;
    return error;
  }

  // An error that the database raised keeps the database's own code
  // (335544665 for a unique-key violation), which error packets hand on.
  static Error FromDatabase(int32_t code, const std::string& message) {
    Error error(ErrorKind::Database, message);
    error.database_code_ = code;
    return error;
  }

  ErrorKind kind() const noexcept { return kind_; }
  const char* message() const noexcept { return what(); }
  int32_t help_context() const noexcept { return help_context_; }
  int32_t status() const noexcept { return status_; }  // 0 when none
  int32_t database_code() const noexcept { return database_code_; }  // 0 when none

 private:
  ErrorKind kind_ = ErrorKind::General;
  int32_t help_context_ = 0;
  int32_t status_ = 0;
  int32_t database_code_ = 0;
};

// Replaces the first "%s" in a message pattern, as the server's fixed
// messages ("Provider not exported: %s") are written with one placeholder.
std::string Format(const std::string& pattern, const std::string& argument);

}  // namespace orvala
