#pragma once
// INI profile files with the semantics of the Windows profile functions: section and key names
// match without regard to case; a write replaces the value in place, or appends the key at the
// end of its section, or appends the section at the end of the file; every other line stays
// byte for byte. CRLF and LF files both read. Files are replaced atomically.

#include <cstdint>
#include <string>

namespace platform {

// Copies the key's value (or defaultText when the file, section or key is missing) into buffer,
// at most size - 1 characters followed by a NUL, and returns the number of characters copied.
std::uint32_t GetPrivateProfileStringA(const std::string& section, const std::string& key,
                                       const std::string& defaultText, char* buffer,
                                       std::uint32_t size, const std::string& filePath);

// Sets the key's value. Returns nonzero when the file was written.
int WritePrivateProfileStringA(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& filePath);

}  // namespace platform
