// Writes the fuzzers' seed corpora: small valid images of every format from our own generator,
// a few damaged ones (hostile JPEGs also for the JPEG reader's own target), settings texts and
// GetField inputs. Run by hand when a corpus should change:
//   build-fuzz/bin/glimbra-make-seeds fuzz/corpus

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "formats/picture_writers.h"
#include "platform/bitmap.h"
#include "platform/image_meta.h"
#include "tools/make_malformed.h"

namespace {

void Write(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

// Seeds for the readers of formats/: what our own writers make of a small picture, with and
// without a profile and EXIF, in each coding, each cut in half as well.
void WriterSeeds(const std::filesystem::path& root, const std::string& scratch) {
    platform::Bitmap b;
    if (!b.Allocate(23, 17)) return;
    for (int y = 0; y < 17; ++y)
        for (int x = 0; x < 23; ++x) b.at(x, y) = platform::Rgb(x * 11, y * 15, (x ^ y) * 9);
    std::vector<std::uint8_t> icc(132);
    icc[3] = 132;
    icc[36] = 'a', icc[37] = 'c', icc[38] = 's', icc[39] = 'p';
    const std::vector<std::uint8_t> exif = {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 1, 3, 0,
                                            1,   0,   0,  0, 6, 0, 0, 0, 0, 0, 0,    0};
    const platform::ImageMetaPtr meta = platform::MakeImageMeta(icc, exif);
    struct Kind {
        const char* ext;
        const char* target;
        bool lossless;
    };
    for (const Kind k : {Kind{".WEBP", "webp_load", false}, Kind{".WEBP", "webp_load", true},
                         Kind{".TIF", "tiff_load", false}, Kind{".AVIF", "heif_load", false},
                         Kind{".HEIC", "heif_load", false}, Kind{".JXL", "jxl_load", false},
                         Kind{".JXL", "jxl_load", true}}) {
        for (const bool withMeta : {false, true}) {
            formats::SaveOptions o;
            o.lossless = k.lossless;
            const std::string path = scratch + "/glimbra-seed" + k.ext;
            if (!formats::FindWriter(k.ext)(b, 23, 17, path, o, withMeta ? meta.get() : nullptr))
                continue;
            std::ifstream in(path, std::ios::binary);
            const std::string bytes((std::istreambuf_iterator<char>(in)), {});
            std::filesystem::remove(path);
            // AVIF and HEIC share their reader's corpus.
            const std::string kind = std::string(k.target) == "heif_load"
                                         ? std::string(k.ext[1] == 'A' ? "avif-" : "heic-")
                                         : std::string();
            const std::string name = kind + (k.lossless ? "lossless" : "plain") +
                                     (withMeta ? "-meta" : "");
            Write(root / k.target / name, bytes);
            Write(root / k.target / (name + "-cut"), bytes.substr(0, bytes.size() / 2));
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_FOLDER\n", argv[0]);
        return 2;
    }
    const std::filesystem::path root = argv[1];
    const std::string scratch = std::filesystem::temp_directory_path().string();
    using malformed::Format;
    for (Format f : malformed::kFormats) {
        for (const malformed::Sample& s : malformed::ValidSamples(f, scratch)) {
            if (f == Format::Jpeg) Write(root / "jpeg_read" / s.name, s.bytes);
            if (f == Format::Png) {
                Write(root / "png_load" / s.name, s.bytes);
            } else {
                // The picture loader's first byte picks the name: .bmp .gif .ico .jpg.
                const char pick = char(int(f) - int(Format::Bmp));
                Write(root / "picture_load" / (std::string(malformed::Label(f)) + "-" + s.name),
                      std::string(1, pick) + s.bytes);
            }
        }
        for (const malformed::Sample& s : malformed::Hostile(f, scratch)) {
            // The JPEG reader's own target takes the run's 64 KiB inputs (the scan bomb).
            if (f == Format::Jpeg && !s.heavy && s.bytes.size() <= 65536)
                Write(root / "jpeg_read" / ("hostile-" + s.name), s.bytes);
            if (s.heavy || s.bytes.size() > 4096) continue;
            if (f == Format::Png) {
                Write(root / "png_load" / ("hostile-" + s.name), s.bytes);
            } else {
                const char pick = char(int(f) - int(Format::Bmp));
                Write(root / "picture_load" /
                          (std::string(malformed::Label(f)) + "-hostile-" + s.name),
                      std::string(1, pick) + s.bytes);
            }
        }
    }

    WriterSeeds(root, scratch);

    // Settings: section, key and value as the fuzzer reads them (each a length-limited string
    // ended by a lone backslash), then the file.
    const auto settings = [&](const std::string& name, const std::string& s, const std::string& k,
                              const std::string& v, const std::string& file) {
        Write(root / "settings" / name, s + "\\ " + k + "\\ " + v + "\\ " + file);
    };
    settings("defaults", "JPEG", "Rate", "75",
             "[JPEG]\r\nRate=50\r\nPrgrs=0\r\n[PNG]\r\nRate=1\r\n");
    settings("options", "Options", "GIF", "0",
             "; comment\n[Options]\nGIF=0\n\n[JPEG]\n  rate = 007 \nPrgrs=-1\n[PNG]\nRate=2");
    settings("new-section", "Extra", "Key", "value", "[JPEG]\nRate=50\n");
    settings("quotes-bom", "PNG", "Rate", "\"2\"", "\xEF\xBB\xBF[PNG]\nRate='1'\n[png]\nrate=9\n");
    settings("odd-lines", "JPEG", "Prgrs", "-1",
             "[JPEG\nRate\n=5\n[ JPEG ]\nRate=+40000\nPrgrs= x\n[]\n=\n");
    settings("empty", "A", "B", "", "");

    // GetField: a 16-bit n (two bytes, read from the end), the delimiter, then the text.
    const auto field = [&](const std::string& name, const std::string& delim,
                           const std::string& text, char n) {
        // ConsumeIntegral reads from the end, the last byte as the most significant: n = -32768 +
        // value.
        Write(root / "get_field" / name, delim + "\\ " + text + std::string(1, n) + "\x80");
    };
    field("comma", ",", "a,b,c", 2);
    field("double-colon", "::", "a::b:::c", 3);
    field("nul", std::string(1, '\0'), std::string("C:\\dir\0a.png\0b.png\0\0", 20), 3);
    field("leading", ",", ",x,,y,", 4);
    field("japanese", "、", "一、二、三", 2);
    return 0;
}
