// What the fuzz targets share: the fuzzer's bytes taken piece by piece,
// files in a private directory, and stopping the run on a broken promise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The fuzzer's bytes, consumed from the front.
struct fuzz_input {
    const uint8_t *data;
    size_t size;

    // The next byte, or otherwise once every byte is consumed.
    uint8_t byte(uint8_t otherwise = 0);
    // The bytes up to the next 0 byte or the end; the 0 byte is consumed.
    std::string text();
    // Up to n bytes into out (the rest of out untouched). Returns how many.
    size_t take(void *out, size_t n);
};

// Writes text into the file `name` of a directory private to this process
// (on tmpfs where there is one, removed at exit). Returns the file's path.
std::string fuzz_file(const char *name, const std::string &text);

// A finding: prints what broke and aborts, so libFuzzer keeps the input.
void fuzz_check(bool ok, const char *what);

// Every target starts with standard output sent to /dev/null
// (LLVMFuzzerInitialize, here): the programs' progress lines would only slow
// the fuzzer down.
