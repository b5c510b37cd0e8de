// Every failure oamctl reports, classified in one place: each Fail* gives
// the one-line message and the exit code of its cause, and Report prints a
// Failure (stderr, and stdout with --json).
#pragma once

#include <optional>
#include <string>

#include "Ctl.h"

namespace oamctl {

[[noreturn]] void Fail(int exit, const std::string& message, std::optional<int> code = std::nullopt);
[[noreturn]] inline void FailUsage(const std::string& message) { Fail(kExitUsage, message); }

// After CClientSocket::Create failed: a name that does not resolve, or the
// system's reason the connection failed.
[[noreturn]] void FailConnect(const GlobalOptions& g);

// After an exchange gave no answer, read from the library's trace since
// Trace::Mark(): a refusal (with the server's reason), a reply that is not
// the protocol, or the transport's cause (closed, reset, no reply in time,
// send failed).
[[noreturn]] void FailExchange(const GlobalOptions& g, const std::string& what);
[[noreturn]] void FailRefused(const std::string& what, int code, const std::string& reply);

// A local file operation (`action`: "read", "write", "create", ...) that
// failed with the system's error `err` (errno).
[[noreturn]] void FailLocal(const std::string& action, const std::string& path, int err);

// Names the protocol carries bare inside NAME=VALUE; pairs: refused with
// exit 2 before anything is sent when they hold ';', '=', a NUL or a
// control character, or (unless `path` is allowed) a path separator.
void CheckBareName(const std::string& what, const std::string& value);

// At most the first line of `raw`, non-printable bytes as \xNN, cut to
// `max` characters.
std::string Excerpt(const std::string& raw, size_t max = 60);

// "4", "0.5", "1.25": seconds as people write them.
std::string Seconds(double s);

// Prints the failure: one line on stderr, and the JSON error document on
// stdout with --json. Gives the exit code.
int Report(const Failure& f, bool json);

}  // namespace oamctl
