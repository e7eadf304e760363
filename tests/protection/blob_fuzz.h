// The protection fuzz target's one entry point, shared by the libFuzzer
// program and the suite's run over generated inputs.
#pragma once

#include <cstddef>

namespace protecttest {

// Tries one input as blob bytes, as Base64 text and as UTF-16LE text.
// Returns null, or a description of the first fault found. Needs a key file
// set for the process.
const char* fuzz_protection_input(const unsigned char* data, std::size_t size);

}  // namespace protecttest
