// TIFF writing: libtiff codes the strips into memory (tiff_stream), and the bytes go out through
// OutputFile. Nothing in the file depends on the time or the machine.

#include "formats/tiff_save.h"

#include <tiffio.h>

#include <vector>

#include "formats/embed_meta.h"
#include "formats/output_file.h"
#include "formats/tiff_stream.h"

namespace formats {

using platform::Status;

Status SaveTiff(const platform::Bitmap& bitmap, int w, int h, const std::string& path,
                const SaveOptions&, const platform::ImageMeta* meta) {
    if (w <= 0 || h <= 0) return Status::Fail("画像の大きさが不正です");
    std::vector<std::uint8_t> bytes;
    {
        TiffFile tiff(&bytes);
        TIFF* tif = tiff.get();
        if (!tif) return Status::Fail("TIFF に圧縮できません");
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, std::uint32_t(w));
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, std::uint32_t(h));
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
        TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
        const Embedded embedded = PrepareEmbedded(meta, Container::Tiff, w, h);
        if (embedded.icc) {
            TIFFSetField(tif, TIFFTAG_ICCPROFILE, std::uint32_t(embedded.icc->size()),
                         embedded.icc->data());
        }
        std::vector<std::uint8_t> row(std::size_t(w) * 3);
        for (int y = 0; y < h; ++y) {
            const auto* src = reinterpret_cast<const std::uint8_t*>(bitmap.row(y));
            for (int x = 0; x < w; ++x, src += 4) {
                row[std::size_t(x) * 3] = src[2];
                row[std::size_t(x) * 3 + 1] = src[1];
                row[std::size_t(x) * 3 + 2] = src[0];
            }
            if (TIFFWriteScanline(tif, row.data(), std::uint32_t(y), 0) != 1) {
                return Status::Fail("TIFF に圧縮できません");
            }
        }
        if (!tiff.Finish()) return Status::Fail("TIFF に圧縮できません");
    }
    OutputFile out;
    if (Status s = out.Open(path); !s) return s;
    out.Write(bytes.data(), bytes.size());
    return out.Close();
}

}  // namespace formats
