#pragma once
// libjxl as Debian builds it (not a release build) prints a line on stderr for every failure it
// meets ("./lib/jxl/decode.cc:2143: missing input", "LCMS error 9: ..."), and offers no switch.
// libjxl_quiet.cpp overrides the C library's fortified vfprintf in the executable and drops the
// calls that come from libjxl (or from dav1d, libheif's AV1 decoder, which logs damaged streams
// the same way) and write to stderr; every other call goes on unchanged.

namespace formats {

// Does nothing; the JPEG XL and HEIF readers and the JPEG XL writer call it so that any program
// linking one of them links the override too.
void KeepLibjxlQuiet();

}  // namespace formats
