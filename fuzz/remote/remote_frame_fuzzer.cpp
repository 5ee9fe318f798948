// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// Bytes as they would arrive on ssh's standard output or on "dornelreg --serve"'s standard
// input: the frame decoder and the field reader must take any of them apart without reading
// past them, and the registry's serving side must answer or end cleanly, whatever a client
// sends (a registry of its own under a temporary root).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/registry/registry.h"
#include "platform/remote/frame.h"

namespace {

using namespace platform::remote;

void Decode(std::string_view bytes) {
    while (!bytes.empty()) {
        std::string_view payload;
        std::size_t used = 0;
        if (TakeFrame(bytes, &payload, &used) != FrameStatus::Complete) return;
        bytes.remove_prefix(used);
        // The first byte of the payload chooses the fields read after it.
        Reader reader(payload);
        std::uint32_t pattern = 0;
        if (!reader.U32(&pattern)) continue;
        for (int i = 0; i < 16; ++i, pattern >>= 2) {
            std::uint32_t number = 0;
            std::string text;
            std::vector<BYTE> data;
            const bool ok = (pattern & 3) == 0   ? reader.U32(&number)
                            : (pattern & 3) == 1 ? reader.Text(&text)
                                                 : reader.Bytes(&data);
            if (!ok) break;
        }
    }
}

const std::string& Root() {
    static const std::string root = [] {
        char pattern[] = "/tmp/dornel-fuzz-remote-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        std::string path = made ? made : "/tmp";
        ::setenv("DORNEL_ROOT", path.c_str(), 1);
        return path;
    }();
    return root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    Decode(bytes);

    // The serving side, on the bytes as its input and its answers thrown away.
    Root();
    const int in = ::memfd_create("remote-fuzz-input", MFD_CLOEXEC);
    const int out = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (in >= 0 && out >= 0 && ::write(in, data, size) == static_cast<ssize_t>(size) &&
        ::lseek(in, 0, SEEK_SET) == 0) {
        platform::registry::ServeRemote(in, out);
    }
    if (in >= 0) ::close(in);
    if (out >= 0) ::close(out);
    return 0;
}
