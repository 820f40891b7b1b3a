// Why a Core operation did not do what was asked. The kinds say nothing of HTTP: hub/api maps
// each to its answer.
#pragma once

#include "error.hpp"

namespace zembra::hub {

enum class CoreErrorKind {
    // A malformed address or session id, no owner ids, or an address that is not the owner's
    // socket.
    InvalidInput,
    // A start after the shutdown began.
    HelperStopping,
    // The Core in the slot could not be stopped; its record stays.
    StopFailed,
    // The Core file failed its checks or its digest.
    VerificationFailed,
    // The Core could not be spawned; the error keeps the errno when there is one.
    LaunchFailed,
    // The Core ran but its stderr reader could not start; it has been killed.
    CaptureFailed,
    // A ping named another digest than the one this helper expects.
    DigestMismatch,
    // A ping found no Core file to open.
    CoreNotInPlace,
};

struct CoreError {
    CoreErrorKind kind;
    Error error;
};

}  // namespace zembra::hub
