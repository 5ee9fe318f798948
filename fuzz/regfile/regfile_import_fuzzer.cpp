// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The .reg reader that "dornelreg import" runs on a file an administrator hands it, over
// arbitrary bytes (UTF-8 with or without BOM, UTF-16LE after its BOM, LF or CRLF).
//
// Beyond not crashing: whatever the reader accepts as a value must survive the writer of
// "dornelreg export". Every value set by the file is written back as a section line and a
// value line, and reading that text again gives the same key, name, type and stored bytes.
// A reader that fails must say why.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "tools/dornelreg/regfile.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "regfile fuzzer: %s\n%s\n", what, detail.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using dornelreg::RegOperation;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::string error;
    const auto operations = dornelreg::ParseRegFile(bytes, &error);
    if (!operations) {
        if (error.empty()) Fail("a refused file came without a reason", std::string(bytes));
        return 0;
    }

    // The values as export would write them, one section per value.
    std::string written = std::string(dornelreg::kRegFileHeader) + "\r\n";
    std::vector<const RegOperation*> values;
    for (const RegOperation& op : *operations) {
        if (op.kind != RegOperation::Kind::SetValue) continue;
        std::string lineError;
        const auto section = dornelreg::FormatSectionLine(op.subKey, &lineError);
        const auto line = dornelreg::FormatValueLine(op.value, &lineError);
        if (!section || !line) continue;  // a name no .reg line can hold is refused on export
        written += "\r\n" + *section + "\r\n" + *line + "\r\n";
        values.push_back(&op);
    }

    std::string rereadError;
    const auto reread = dornelreg::ParseRegFile(written, &rereadError);
    if (!reread) Fail(("the written values do not read back: " + rereadError).c_str(), written);
    std::size_t next = 0;
    for (const RegOperation& op : *reread) {
        if (op.kind != RegOperation::Kind::SetValue) continue;
        if (next == values.size()) Fail("reading back gave more values than were written", written);
        const RegOperation& original = *values[next++];
        if (op.subKey != original.subKey || op.value.name != original.value.name ||
            op.value.type != original.value.type || op.value.data != original.value.data) {
            Fail(("value " + original.value.name + " of " + original.subKey +
                  " changed on the way through the writer")
                     .c_str(),
                 written);
        }
    }
    if (next != values.size()) Fail("reading back lost values", written);
    return 0;
}
