// Keeps libjxl's debugging lines off stderr (see libjxl_quiet.h).

#include "formats/libjxl_quiet.h"

#include <dlfcn.h>
#include <jxl/decode.h>

#include <cstdarg>
#include <cstdio>

namespace formats {

void KeepLibjxlQuiet() {}

}  // namespace formats

// libjxl as Debian builds it (not a release build) prints a line on stderr for every failure it
// meets in a damaged file ("./lib/jxl/decode.cc:2143: missing input"), through vfprintf on
// stderr, and offers no switch. The program promises one line of its own per failed file and
// nothing from the libraries, so the executable takes over the fortified vfprintf: a call from
// within libjxl that writes to stderr is dropped, every other call goes on to the C library.
extern "C" int __vfprintf_chk(std::FILE* stream, int flag, const char* format, std::va_list ap) {
    using Real = int (*)(std::FILE*, int, const char*, std::va_list);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "__vfprintf_chk"));
    static const void* const libjxl = [] {
        Dl_info info{};
        return dladdr(reinterpret_cast<const void*>(&JxlDecoderVersion), &info) ? info.dli_fbase
                                                                                : nullptr;
    }();
    // dav1d, libheif's AV1 decoder, logs damaged streams the same way ("Unknown OBU type 12").
    static const void* const dav1d = [] {
        Dl_info info{};
        const void* symbol = dlsym(RTLD_DEFAULT, "dav1d_version");
        return symbol && dladdr(symbol, &info) ? info.dli_fbase : nullptr;
    }();
    if (stream == stderr && (libjxl || dav1d)) {
        Dl_info caller{};
        if (dladdr(__builtin_return_address(0), &caller) &&
            (caller.dli_fbase == libjxl || caller.dli_fbase == dav1d)) {
            return 0;
        }
    }
    return real ? real(stream, flag, format, ap) : -1;
}
