#pragma once
// libtiff over bytes in memory, for the TIFF reader and writer: the file is read from the bytes
// the loader holds and written into a buffer that then goes out through OutputFile. libtiff's
// warnings and errors are kept from stderr.

#include <tiffio.h>

#include <cstdint>
#include <string_view>
#include <vector>

namespace formats {

struct TiffStream;

// An open TIFF and the bytes under it; closes it when it goes.
class TiffFile {
public:
    // Over file (which must outlive this) for reading: get() is null when libtiff cannot read the
    // header and first directory. No single allocation of libtiff's may exceed maxAlloc bytes.
    TiffFile(std::string_view file, std::uint64_t maxAlloc);
    // Writing into *out (which must outlive this): Finish completes the bytes.
    explicit TiffFile(std::vector<std::uint8_t>* out);
    ~TiffFile();
    TiffFile(const TiffFile&) = delete;
    TiffFile& operator=(const TiffFile&) = delete;

    TIFF* get() const { return tif_; }
    // Closes the TIFF (a written one gets its last directory); false when a write failed.
    bool Finish();

private:
    TiffStream* stream_;
    TIFF* tif_ = nullptr;
};

}  // namespace formats
