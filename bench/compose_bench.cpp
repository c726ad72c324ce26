// Speed of the composition on a 6000 x 4000 source with a 256 x 256 texture, beside a plain
// memory stream over the same amount of data (read two 96 MB buffers, write a third) that sets
// the scale. The argument is the number of threads (1 = one core).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "compose/blend.h"
#include "compose/compose_image.h"
#include "compose/slots.h"
#include "platform/parallel.h"

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;
constexpr std::size_t kPixels = std::size_t(kWidth) * kHeight;

std::uint32_t Noise(std::uint32_t i) {
    i ^= i >> 13;
    i *= 0x5bd1e995u;
    i ^= i >> 15;
    return i | 0xFF000000u;
}

struct Buffers {
    std::unique_ptr<std::uint32_t[]> a{new std::uint32_t[kPixels + 1]};
    std::unique_ptr<std::uint32_t[]> b{new std::uint32_t[kPixels + 1]};
    std::unique_ptr<std::uint32_t[]> c{new std::uint32_t[kPixels + 1]};
    Buffers() {
        for (std::size_t i = 0; i <= kPixels; ++i) {
            a[i] = Noise(std::uint32_t(i));
            b[i] = Noise(std::uint32_t(i) * 7u + 1u);
            c[i] = 0;
        }
    }
};

Buffers& SharedBuffers() {
    static Buffers buffers;
    return buffers;
}

void SetThreads(benchmark::State& state) { platform::SetWorkerCount(int(state.range(0))); }

void BM_MemoryStream(benchmark::State& state) {
    SetThreads(state);
    Buffers& buf = SharedBuffers();
    for (auto _ : state) {
        platform::ParallelFor(
            int(kPixels / 65536) + 1,
            [&](int c0, int c1) {
                const std::size_t k0 = std::size_t(c0) * 65536;
                const std::size_t k1 = std::min(kPixels, std::size_t(c1) * 65536);
                const std::uint32_t* a = buf.a.get();
                const std::uint32_t* b = buf.b.get();
                std::uint32_t* c = buf.c.get();
                for (std::size_t k = k0; k < k1; ++k) c[k] = a[k] ^ b[k];
            },
            1);
        benchmark::DoNotOptimize(buf.c.get());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(kPixels) * 12);
}

void BM_BlendPass(benchmark::State& state) {
    SetThreads(state);
    Buffers& buf = SharedBuffers();
    compose::GetBlendTable();
    for (auto _ : state) {
        // Blending c with b in place each time: the same work on every iteration.
        platform::ParallelFor(
            int(kPixels / 65536) + 1,
            [&](int c0, int c1) {
                const std::size_t k0 = std::size_t(c0) * 65536;
                const std::size_t k1 = std::min(kPixels + 1, std::size_t(c1) * 65536);
                compose::BlendPixels(buf.a.get() + k0, buf.b.get() + k0, k1 - k0);
            },
            1);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(kPixels) * 12);
}

// A texture of the given size, filled with noise.
void SetTexture(compose::SlotSet& slots, int w, int h) {
    if (slots.picLoad[1].Width() == w && slots.picLoad[1].Height() == h) return;
    if (!slots.picLoad[1].Resize(w, h, false)) std::abort();
    std::uint32_t* t = slots.picLoad[1].hDC()->data();
    for (std::size_t i = 0; i < std::size_t(w) * std::size_t(h); ++i)
        t[i] = Noise(std::uint32_t(i) * 3u);
}

compose::SlotSet& SharedSlots() {
    static compose::SlotSet* slots = [] {
        auto* s = new compose::SlotSet;
        if (!s->picLoad[0].Resize(kWidth, kHeight, false)) std::abort();
        std::uint32_t* p = s->picLoad[0].hDC()->data();
        for (std::size_t i = 0; i < kPixels; ++i) p[i] = Noise(std::uint32_t(i));
        return s;
    }();
    return *slots;
}

void Compose(benchmark::State& state, std::int16_t tile, int textureSize = 256) {
    SetThreads(state);
    compose::SlotSet& slots = SharedSlots();
    SetTexture(slots, textureSize, textureSize);
    if (!basCommon::ComposeImage(slots, tile)) state.SkipWithError("compose failed");
    for (auto _ : state) {
        benchmark::DoNotOptimize(basCommon::ComposeImage(slots, tile).ok());
    }
    state.SetItemsProcessed(std::int64_t(state.iterations()) * std::int64_t(kPixels));
}

void BM_ComposeTiled(benchmark::State& state) { Compose(state, basCommon::kTrue); }
void BM_ComposeStretched(benchmark::State& state) { Compose(state, basCommon::kFalse); }
// A 1 x 1 texture: 24 million tiles, which must cost no more than a few large ones.
void BM_ComposeTiledOnePixel(benchmark::State& state) { Compose(state, basCommon::kTrue, 1); }

}  // namespace

BENCHMARK(BM_MemoryStream)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BlendPass)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ComposeTiled)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ComposeStretched)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ComposeTiledOnePixel)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
