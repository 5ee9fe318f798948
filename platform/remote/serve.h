// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The serving end of a remote connection ("dornelreg --serve", "dornelsc --serve"): reads
// framed requests on standard input and writes one framed reply to each on standard output,
// until its input ends. Diagnostics go to standard error, which ssh carries to the client.

#include <functional>
#include <optional>
#include <string>

#include "platform/remote/frame.h"

namespace platform::remote {

// Answers one request (the reader is positioned after the operation number): the reply
// payload, or nothing for a malformed request, which ends the conversation.
using RequestHandler =
    std::function<std::optional<std::string>(std::uint32_t operation, Reader& request)>;

// Runs the conversation on the descriptors in and out for service ("registry" or
// "service"). Returns the program's exit status: 0 when the client closed the
// conversation, 1 on a broken or malformed conversation.
int Serve(int in, int out, const std::string& service, const RequestHandler& handler);

}  // namespace platform::remote
