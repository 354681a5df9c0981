#pragma once
// The fuzz entry points, shared by the libFuzzer programs and by the replay
// test that runs the committed corpus and past crash files without clang.
// Each takes one input, runs it, and aborts with a message on stderr when
// an invariant is broken.

#include <cstddef>
#include <cstdint>

namespace vek::fuzz {

// Include-file reader: the whole input is the file.
int incFile(const uint8_t *data, size_t size);
// Setup-file reader: the whole input is the file.
int setupFile(const uint8_t *data, size_t size);
// Monitor protocol against an arbitrary target: the input is what the
// target sends (see entries.cpp for the layout).
int protocol(const uint8_t *data, size_t size);

} // namespace vek::fuzz
