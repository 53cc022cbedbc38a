// Why a command failed, in one plain line for a person at a terminal. The
// cause is the first failure the run recorded (see nxr_firstfailure.h).
#pragma once
#include <string>
#include <string_view>

namespace docseal {

// Other: a failure outside the two commands' work.
enum class Command { Encrypt, Decrypt, Other };

// Writes "docseal: " and the reason as one line on standard error when that
// is a terminal, with control characters shown as '?'; otherwise nothing.
void tellReason(std::string_view reason);

// The reason a command on fileName (as the user typed it) failed.
std::string failureReason(Command command, std::string_view fileName);

} // namespace docseal
