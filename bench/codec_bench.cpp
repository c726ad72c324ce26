// The writers on a 6000 x 4000 photo-like image, and libjpeg-turbo driven through its plain
// libjpeg API the way cjpeg drives it, at the same quality and subsampling: our JPEG writer
// should stay within 1.2 times that reference.

#include <benchmark/benchmark.h>
#include <jpeglib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "formats/row_writer.h"
#include "platform/bitmap.h"
#include "platform/parallel.h"

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;

std::uint8_t Clamp8(double v) {
    return v < 0 ? 0 : v > 255 ? 255 : static_cast<std::uint8_t>(std::lround(v));
}

std::uint32_t Mix(std::uint32_t x) {
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x;
}

// Smooth gradients over the whole frame, a mid-frequency texture and +-3 levels of sensor-like
// noise per channel: compresses like a photograph, unlike a pure gradient or pure noise.
const platform::Bitmap& PhotoImage() {
    static const platform::Bitmap image = [] {
        platform::Bitmap b;
        if (!b.Allocate(kWidth, kHeight).ok()) std::abort();
        for (int y = 0; y < kHeight; ++y) {
            std::uint32_t* row = b.row(y);
            for (int x = 0; x < kWidth; ++x) {
                const std::uint32_t n = Mix(std::uint32_t(x) * 7919u + std::uint32_t(y) * 104729u);
                const auto noise = [&](int shift) { return double(int((n >> shift) & 7) - 3); };
                const double t = 20 * std::sin(x / 13.0) * std::cos(y / 17.0);
                const std::uint8_t r =
                    Clamp8(128 + 90 * std::sin(x / 900.0 + y / 1500.0) + t + noise(0));
                const std::uint8_t g =
                    Clamp8(128 + 80 * std::cos(x / 1350.0 - y / 810.0) + 0.7 * t + noise(3));
                const std::uint8_t bl =
                    Clamp8(120 + 70 * std::sin((x + y) / 1140.0) + 0.5 * t + noise(6));
                row[x] = platform::Rgb(r, g, bl);
            }
        }
        return b;
    }();
    return image;
}

// A private folder for the outputs; each benchmark removes its file, the folder goes at exit.
struct OutputFolder {
    OutputFolder() {
        char pattern[] = "/tmp/glimbra-bench-XXXXXX";
        if (!::mkdtemp(pattern)) std::abort();
        path = pattern;
    }
    ~OutputFolder() { ::rmdir(path.c_str()); }
    std::string path;
};

std::string OutputPath(const char* name) {
    static const OutputFolder folder;
    return folder.path + "/" + name;
}

double FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? double(st.st_size) : 0.0;
}

void Report(benchmark::State& state, const std::string& path) {
    state.SetItemsProcessed(std::int64_t(state.iterations()) * kWidth * kHeight);
    state.counters["bytes"] = FileSize(path);
    std::remove(path.c_str());
}

// Arguments: quality, progressive (0 or 1).
void BM_DCSavetoJPEG(benchmark::State& state) {
    platform::Bitmap& image = const_cast<platform::Bitmap&>(PhotoImage());
    const std::string path = OutputPath("ours.jpg");
    for (auto _ : state) {
        std::string reason;
        if (codec::DCSavetoJPEG(&image, kWidth, kHeight, path, std::uint8_t(state.range(0)),
                                state.range(1) ? -1 : 0, &reason) != 0) {
            state.SkipWithError(reason.c_str());
            break;
        }
    }
    Report(state, path);
}

// The reference: libjpeg's own API as cjpeg uses it, reading the same rows in place (BGRX input,
// 4:2:0 by the library's YCbCr defaults, the default DCT) and writing through stdio.
void BM_PlainLibjpeg(benchmark::State& state) {
    const platform::Bitmap& image = PhotoImage();
    const std::string path = OutputPath("plain.jpg");
    std::vector<JSAMPROW> rows(kHeight);
    for (int y = 0; y < kHeight; ++y) {
        rows[std::size_t(y)] = reinterpret_cast<JSAMPROW>(const_cast<std::uint32_t*>(image.row(y)));
    }
    for (auto _ : state) {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (!file) {
            state.SkipWithError("cannot create the output file");
            break;
        }
        jpeg_compress_struct cinfo{};
        jpeg_error_mgr jerr{};
        cinfo.err = jpeg_std_error(&jerr);
        jpeg_create_compress(&cinfo);
        jpeg_stdio_dest(&cinfo, file);
        cinfo.image_width = kWidth;
        cinfo.image_height = kHeight;
        cinfo.input_components = 4;
        cinfo.in_color_space = JCS_EXT_BGRX;
        jpeg_set_defaults(&cinfo);
        jpeg_set_quality(&cinfo, int(state.range(0)), TRUE);
        cinfo.comp_info[0].h_samp_factor = 2;
        cinfo.comp_info[0].v_samp_factor = 2;
        if (state.range(1)) jpeg_simple_progression(&cinfo);
        jpeg_start_compress(&cinfo, TRUE);
        while (cinfo.next_scanline < cinfo.image_height) {
            jpeg_write_scanlines(&cinfo, rows.data() + cinfo.next_scanline,
                                 cinfo.image_height - cinfo.next_scanline);
        }
        jpeg_finish_compress(&cinfo);
        jpeg_destroy_compress(&cinfo);
        std::fclose(file);
    }
    Report(state, path);
}

// Argument: the PNG setting (1 fastest, 0 normal, 2 smallest).
void BM_DCSavetoPNG(benchmark::State& state) {
    platform::Bitmap& image = const_cast<platform::Bitmap&>(PhotoImage());
    const std::string path = OutputPath("ours.png");
    for (auto _ : state) {
        std::string reason;
        if (codec::DCSavetoPNG(&image, kWidth, kHeight, path, std::uint8_t(state.range(0)),
                               &reason) != 0) {
            state.SkipWithError(reason.c_str());
            break;
        }
    }
    Report(state, path);
}

void BM_SavePicture(benchmark::State& state) {
    const platform::Bitmap& image = PhotoImage();
    const std::string path = OutputPath("ours.bmp");
    for (auto _ : state) {
        const platform::Status s = codec::SavePicture(image, path);
        if (!s) {
            state.SkipWithError(s.reason().c_str());
            break;
        }
    }
    Report(state, path);
}

// The row route: the same picture handed to OpenRowWriter in bands of its PreferredRows, as a
// streaming caller does, on one core and on two. Arguments: format (0 JPEG baseline q50, 1 JPEG
// baseline q90, 2 PNG fastest, 3 PNG normal), cores. The bytes are the same for any core count
// and any band height; only the time may differ.
void BM_RowWriter(benchmark::State& state) {
    const platform::Bitmap& image = PhotoImage();
    formats::WriteSettings settings;
    const int format = int(state.range(0));
    settings.format = format < 2 ? formats::OutputFormat::Jpeg : formats::OutputFormat::Png;
    settings.jpegRate = format == 0 ? 50 : 90;
    settings.pngRate = format == 2 ? 1 : 0;
    const std::string path = OutputPath(format < 2 ? "rows.jpg" : "rows.png");
    platform::SetWorkerCount(int(state.range(1)));
    for (auto _ : state) {
        platform::Status s;
        auto writer = formats::OpenRowWriter(path, kWidth, kHeight, settings, nullptr, s);
        const int band = writer ? writer->PreferredRows() : 0;
        for (int y = 0; s && y < kHeight; y += band) {
            s = writer->WriteRows(image.row(y), kWidth, std::min(band, kHeight - y));
        }
        if (s) s = writer->Finish();
        if (!s) {
            state.SkipWithError(s.reason().c_str());
            break;
        }
    }
    platform::SetWorkerCount(0);
    Report(state, path);
}

void JpegArgs(benchmark::internal::Benchmark* b) {
    b->ArgNames({"quality", "progressive"});
    for (int quality : {50, 90}) {
        for (int progressive : {0, 1}) b->Args({quality, progressive});
    }
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_DCSavetoJPEG)->Apply(JpegArgs);
BENCHMARK(BM_PlainLibjpeg)->Apply(JpegArgs);
BENCHMARK(BM_DCSavetoPNG)
    ->ArgName("setting")
    ->Arg(1)
    ->Arg(0)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_RowWriter)
    ->ArgNames({"format", "cores"})
    ->ArgsProduct({{0, 1, 2, 3}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_SavePicture)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
