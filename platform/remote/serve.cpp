// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "platform/remote/serve.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace platform::remote {

namespace {

// Reads until a whole frame is buffered; false at the end of input or on a failure.
bool ReadFrame(int in, std::string* buffer, std::string* payload, bool* malformed) {
    *malformed = false;
    for (;;) {
        std::string_view frame;
        std::size_t used = 0;
        const FrameStatus status = TakeFrame(*buffer, &frame, &used);
        if (status == FrameStatus::Complete) {
            payload->assign(frame);
            buffer->erase(0, used);
            return true;
        }
        if (status == FrameStatus::TooLarge) {
            *malformed = true;
            return false;
        }
        char chunk[65536];
        const ssize_t n = ::read(in, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *malformed = !buffer->empty();  // input ended inside a frame
            return false;
        }
        buffer->append(chunk, static_cast<std::size_t>(n));
    }
}

bool WriteAll(int out, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(out, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int Serve(int in, int out, const std::string& service, const RequestHandler& handler) {
    std::string buffer;
    std::string payload;
    bool malformed = false;
    if (!ReadFrame(in, &buffer, &payload, &malformed)) {
        std::fprintf(stderr, "remote %s: no greeting from the client\n", service.c_str());
        return 1;
    }
    Reader hello(payload);
    std::uint32_t magic = 0, version = 0;
    std::string wanted;
    if (!hello.U32(&magic) || !hello.U32(&version) || !hello.Text(&wanted) || magic != kMagic) {
        std::fprintf(stderr, "remote %s: the client does not speak this protocol\n",
                     service.c_str());
        return 1;
    }
    const bool accepted = version == kVersion && wanted == service;
    Writer answer;
    answer.U32(kMagic).U32(kVersion).U32(accepted ? 0 : 1);
    if (!WriteAll(out, Frame(answer.Payload())) || !accepted) {
        if (!accepted) {
            std::fprintf(stderr, "remote %s: the client asked for %s, protocol version %u\n",
                         service.c_str(), wanted.c_str(), version);
        }
        return 1;
    }
    for (;;) {
        if (!ReadFrame(in, &buffer, &payload, &malformed)) {
            if (malformed) std::fprintf(stderr, "remote %s: malformed frame\n", service.c_str());
            return malformed ? 1 : 0;
        }
        Reader request(payload);
        std::uint32_t operation = 0;
        std::optional<std::string> reply;
        if (request.U32(&operation)) reply = handler(operation, request);
        if (!reply) {
            std::fprintf(stderr, "remote %s: malformed request\n", service.c_str());
            return 1;
        }
        if (!WriteAll(out, Frame(*reply))) return 1;
    }
}

}  // namespace platform::remote
