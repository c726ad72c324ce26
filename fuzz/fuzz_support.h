#pragma once
// What every fuzz target shares: one private folder in memory per process, one reused file in it,
// and a check that stops the run with a message libFuzzer shows.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace fuzzing {

// The process's private folder: under /dev/shm when there is one (no disk traffic), else /tmp.
// Removed with its contents when the process exits normally.
const std::string& Folder();
// Folder() + "/" + name.
std::string FileIn(const std::string& name);
// Replaces the file's contents; aborts when that fails (a broken fuzz run, not a finding).
void WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size);
void WriteFile(const std::string& path, std::string_view bytes);
std::string ReadFile(const std::string& path);

// An invariant that does not hold: prints the message and aborts, which libFuzzer reports as a
// crash with the input that caused it.
[[noreturn]] void Violated(const char* what, const std::string& detail = {});
inline void Check(bool ok, const char* what, const std::string& detail = {}) {
    if (!ok) Violated(what, detail);
}

}  // namespace fuzzing
