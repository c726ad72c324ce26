#include "imagefiles/compose_rows.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "compose/blend.h"
#include "compose/texture_rows.h"
#include "formats/row_writer.h"
#include "platform/files.h"
#include "platform/memory_budget.h"
#include "platform/parallel.h"
#include "platform/progress.h"

namespace imagefiles {

using platform::Status;

namespace {

// Bands of about 4 MiB: large enough that a band is a good share of work for every core, small
// enough that a few of them are nothing beside a picture. Their height depends only on the
// width; the writers cut their own bands anyway, so the file does not depend on it.
constexpr std::uint64_t kBandBytes = std::uint64_t{4} << 20;
// Bands the decoder may have ready before the composition takes them.
constexpr int kBandsAhead = 2;

int BandRows(int width) {
    return int(std::clamp<std::uint64_t>(kBandBytes / (std::uint64_t(width) * 4), 8, 1024));
}

struct Band {
    std::uint32_t* rows = nullptr;
    int y = 0, count = 0;
};

// Bands between the decoder thread and the composing thread: full ones in order, empty ones
// back. Stop() ends the job for both sides: every Take fails from then on.
class BandQueue {
public:
    void PutFull(Band b) { Put(full_, b); }
    void PutFree(Band b) { Put(free_, b); }
    bool TakeFull(Band& b) { return Take(full_, b); }
    bool TakeFree(Band& b) { return Take(free_, b); }
    void Stop() {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        changed_.notify_all();
    }

private:
    void Put(std::deque<Band>& q, Band b) {
        {
            std::lock_guard lock(mutex_);
            q.push_back(b);
        }
        changed_.notify_all();
    }
    bool Take(std::deque<Band>& q, Band& b) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stopped_ || !q.empty(); });
        if (stopped_) return false;
        b = q.front();
        q.pop_front();
        return true;
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Band> full_, free_;
    bool stopped_ = false;
};

formats::WriteSettings SettingsFor(const std::string& ext, const OutputSettings& settings) {
    formats::WriteSettings w;
    if (ext == ".JPG") {
        w.format = formats::OutputFormat::Jpeg;
        w.jpegRate = settings.jpegRate;
        w.progressive = settings.jpegPrgrs != 0;
    } else if (ext == ".PNG") {
        w.format = formats::OutputFormat::Png;
        w.pngRate = settings.pngRate;
    } else {
        w.format = formats::OutputFormat::Bmp;
    }
    return w;
}

Status CheckRate(std::int16_t rate, const char* setting) {
    if (rate >= 0 && rate <= 255) return Status::Ok();
    return Status::Fail(std::string(setting) + " の設定値 " + std::to_string(rate) +
                        " が範囲 (0～255) の外です");
}

}  // namespace

bool WritesByRows(const std::string& ext, const OutputSettings& settings) {
    if (ext == ".JPG") return settings.jpegPrgrs == 0;
    return ext == ".PNG" || ext == ".BMP";
}

std::uint64_t RowRouteBytes(int width) {
    const std::uint64_t band = std::uint64_t(BandRows(width)) * std::uint64_t(width) * 4;
    // kBandsAhead + 1 source bands and the texture band; the writers hold a few bands of their
    // own (pixels waiting for their band, and its coded bytes), counted as four more.
    return band * (kBandsAhead + 2) + band * 4 + (std::uint64_t{16} << 20);
}

RowJobResult ComposeRowsToFile(formats::RowReader& reader, const platform::Bitmap& texture,
                               std::int16_t tile, const std::string& path, const std::string& ext,
                               const OutputSettings& settings) {
    const auto sourceFailure = [](Status s) { return RowJobResult{std::move(s), true}; };
    const auto outputFailure = [](Status s) { return RowJobResult{std::move(s), false}; };
    const int width = reader.width();
    const int height = reader.height();
    // As ComposeImage and WriteResultFile refuse, before anything is written.
    if (texture.width() <= 0 || texture.height() <= 0) {
        return sourceFailure(Status::Fail("浮き画像の大きさが 0 です (" +
                                          std::to_string(texture.width()) + " × " +
                                          std::to_string(texture.height()) + ")"));
    }
    if (ext == ".JPG") {
        if (Status s = CheckRate(settings.jpegRate, "JPEG の圧縮率 ([JPEG] Rate)"); !s)
            return outputFailure(s);
    } else if (ext == ".PNG") {
        if (Status s = CheckRate(settings.pngRate, "PNG の設定 ([PNG] Rate)"); !s)
            return outputFailure(s);
    }
    if (Status s = platform::CheckMemory(RowRouteBytes(width) + reader.workingBytes()); !s)
        return sourceFailure(s);

    const int bandRows = BandRows(width);
    const std::size_t bandPixels = std::size_t(bandRows) * std::size_t(width);
    std::vector<std::unique_ptr<std::uint32_t[]>> storage;
    std::unique_ptr<std::uint32_t[]> textureBand;
    try {
        for (int i = 0; i < kBandsAhead + 1; ++i)
            storage.emplace_back(new std::uint32_t[bandPixels]);
        textureBand.reset(new std::uint32_t[bandPixels]);
    } catch (const std::bad_alloc&) {
        return sourceFailure(Status::Fail("メモリが足りません"));
    }

    platform::AtomicFile file(path);
    if (Status s = file.Create(); !s) return outputFailure(s);
    const formats::WriteSettings writeSettings = SettingsFor(ext, settings);
    Status opened;
    std::unique_ptr<formats::RowWriter> writer = formats::OpenRowWriter(
        file.tempPath(), width, height, writeSettings,
        writeSettings.format == formats::OutputFormat::Bmp ? nullptr : reader.meta().get(), opened);
    if (!writer) return outputFailure(opened.ok() ? Status::Fail("書き込めません") : opened);

    // The decoder runs ahead on its own thread; the rows it hands over are composed here.
    BandQueue queue;
    for (auto& s : storage) queue.PutFree(Band{s.get(), 0, 0});
    Status decoded;
    const auto decode = [&] {
        for (int y = 0; y < height; y += bandRows) {
            Band band;
            if (!queue.TakeFree(band)) return;
            band.y = y;
            band.count = std::min(bandRows, height - y);
            if (Status s = reader.ReadRows(band.rows, std::size_t(width), band.count); !s) {
                decoded = s;
                queue.Stop();
                return;
            }
            queue.PutFull(band);
        }
        decoded = reader.Finish();
        if (!decoded) queue.Stop();
    };
    std::thread decoder;
    try {
        decoder = std::thread(decode);
    } catch (const std::system_error&) {
        return sourceFailure(Status::Fail("スレッドを作れません"));
    }

    const compose::TextureRows textureRows(texture, width, height, tile == -1);
    // The writers count the rows they have written (ProgressAdvance).
    platform::ProgressStart(height);
    Status written;
    for (int done = 0; done < height && written;) {
        Band band;
        if (!queue.TakeFull(band)) break;  // the decoder failed: its status says why
        std::uint32_t* const rows = band.rows;
        std::uint32_t* const tex = textureBand.get();
        platform::ParallelFor(
            band.count,
            [&](int r0, int r1) {
                for (int r = r0; r < r1; ++r) {
                    std::uint32_t* t = tex + std::size_t(r) * std::size_t(width);
                    textureRows.Make(band.y + r, t, r > r0 ? t - width : nullptr);
                    std::uint32_t* s = rows + std::size_t(r) * std::size_t(width);
                    compose::BlendPixels(s, s, t, std::size_t(width));
                }
            },
            8);
        written = writer->WriteRows(rows, std::size_t(width), band.count);
        done += band.count;
        queue.PutFree(band);
        if (written && platform::WorkCancelled()) written = Status::Cancelled();
    }
    if (!written) queue.Stop();
    decoder.join();
    if (!decoded) return sourceFailure(decoded);
    if (!written) return written.cancelled() ? sourceFailure(written) : outputFailure(written);
    if (Status s = writer->Finish(); !s) return outputFailure(s);
    writer.reset();
    if (Status s = file.Commit(); !s) return outputFailure(s);
    return RowJobResult{Status::Ok(), false};
}

}  // namespace imagefiles
