#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// What one send leaves behind.
struct PostwingLogs {
    // Empty exactly when the server accepted the message with 250.
    std::string errorLog;
    std::string sessionLog;
};

// One send through libESMTP. The message travels with its length: a NUL inside it is data, not its
// end.
PostwingLogs postwing(const char* recipient, const char* sender, const char* host, const std::uint16_t* port,
                      const char* user, const char* password, const bool* starttls, const char* subject,
                      const char* message, std::size_t messageLength);

// The longest user name or password the PLAIN mechanism accepts.
constexpr std::size_t maxCredentialLength = 255;

// Where a caller that must not show the password on a command line puts it instead; read when the
// password argument is empty.
constexpr const char* passwordVariable = "POSTWING_PASSWORD";

// The message's length in bytes, announced by a caller that hands it over through a pipe: a message
// that ends before (or after) it is a piece of one, from a caller that died while writing it, and is
// not sent.
constexpr const char* lengthVariable = "POSTWING_MESSAGE_LENGTH";

// The process id of the caller: postwing ends with it (Linux's parent-death signal), so that a caller
// killed before the end of the data never leaves a message behind that the server would take as
// whole. Set by the caller, as only it knows its id before postwing can look.
constexpr const char* parentVariable = "POSTWING_PARENT_PID";
