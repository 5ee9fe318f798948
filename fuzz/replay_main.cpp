// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The driver of a fuzz target in a normal build: runs LLVMFuzzerTestOneInput once on every
// file given, or on every regular file of every folder given (in name order, so a failure
// names the same input every run). No libFuzzer is needed; a sanitizer build catches what
// the fuzzer would. A crash input that was fixed goes into the target's corpus folder and
// stays fixed: CTest replays that folder on every run.
//
// Exit status: 0 when every input ran, 1 when an input could not be read or a folder held
// no input at all, 2 for a usage error. A crash ends the process as the crash does.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

namespace fs = std::filesystem;

bool ReadInput(const fs::path& path, std::vector<std::uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// The inputs a command-line argument names: the file itself, or a folder's regular files.
bool CollectInputs(const fs::path& argument, std::vector<fs::path>& inputs) {
    std::error_code error;
    if (!fs::is_directory(argument, error)) {
        if (!fs::is_regular_file(argument, error)) {
            std::fprintf(stderr, "fuzz replay: %s: no such file or folder\n", argument.c_str());
            return false;
        }
        inputs.push_back(argument);
        return true;
    }
    std::vector<fs::path> found;
    for (const fs::directory_entry& entry : fs::directory_iterator(argument, error)) {
        if (entry.is_regular_file(error)) found.push_back(entry.path());
    }
    if (error) {
        std::fprintf(stderr, "fuzz replay: %s: %s\n", argument.c_str(), error.message().c_str());
        return false;
    }
    if (found.empty()) {
        std::fprintf(stderr, "fuzz replay: %s holds no input\n", argument.c_str());
        return false;
    }
    std::sort(found.begin(), found.end());
    inputs.insert(inputs.end(), found.begin(), found.end());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::fprintf(argc < 2 ? stderr : stdout,
                     "Usage: %s FILE_OR_FOLDER...\n"
                     "Runs the fuzz target once on every file given and on every file of every\n"
                     "folder given (a corpus), in name order, and names each input before it\n"
                     "runs, so the last name printed is the one that crashed.\n",
                     argv[0]);
        return argc < 2 ? 2 : 0;
    }
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);

    std::vector<fs::path> inputs;
    bool complete = true;
    for (int i = 1; i < argc; ++i) complete = CollectInputs(argv[i], inputs) && complete;

    std::size_t ran = 0;
    std::vector<std::uint8_t> bytes;
    for (const fs::path& input : inputs) {
        if (!ReadInput(input, bytes)) {
            std::fprintf(stderr, "fuzz replay: cannot read %s\n", input.c_str());
            complete = false;
            continue;
        }
        std::fprintf(stderr, "replaying %s (%zu bytes)\n", input.c_str(), bytes.size());
        // A copy of exactly the input's size, so a read past its end is caught by the
        // sanitizers as the fuzzer would catch it.
        std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[bytes.size() ? bytes.size() : 1]);
        if (!bytes.empty()) std::memcpy(exact.get(), bytes.data(), bytes.size());
        LLVMFuzzerTestOneInput(exact.get(), bytes.size());
        ++ran;
    }
    std::fprintf(stderr, "fuzz replay: %zu of %zu inputs ran\n", ran, inputs.size());
    return complete ? 0 : 1;
}
