// What the fuzz targets share: a scratch folder for the readers that take a file, the splitting
// of one input into several texts, and the check that stops a run on a broken rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace quarrow::fuzz {

// A folder of this process's own, made once and ending in "/"; in memory where the system has a
// memory file system, so that the file readers are driven at the speed of their parsing.
const std::string& ScratchFolder();

// Writes the bytes to the file, replacing it; aborts when it cannot, as no input may cause that.
void WriteBytes(const std::string& path, std::string_view bytes);

// The input cut at each NUL into at most `count` texts; the last takes the rest, NULs included,
// and missing ones are empty.
std::vector<std::string_view> SplitFields(const std::uint8_t* data, std::size_t size,
                                          std::size_t count);

// Stops the run with the rule's text, so that libFuzzer keeps the input that broke it.
[[noreturn]] inline void Broken(const char* rule) {
    std::fprintf(stderr, "rule broken: %s\n", rule);
    std::abort();
}

inline void Check(bool holds, const char* rule) {
    if (!holds)
        Broken(rule);
}

} // namespace quarrow::fuzz
