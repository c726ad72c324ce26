// glimbra-cli: composes images without a window, through the same loading, composition and
// writers as the window program.
//
//   glimbra-cli [options] SOURCE FLOATING OUTPUT
//   glimbra-cli [options] --batch FLOATING OUTDIR [SOURCE...] [--files-from LIST]
//
// Exit status: 0 success, 1 an input or output failed, 2 usage error.

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cli/options.h"
#include "cli/progress.h"
#include "cli/reasons.h"
#include "compose/compose_image.h"
#include "compose/slots.h"
#include "imagefiles/load_image.h"
#include "imagefiles/save_result.h"
#include "platform/parallel.h"

namespace {

using cli::kFailed;
using cli::kOk;
using cli::kUsage;
using cli::Options;
using cli::Tr;
using cli::UsageError;

void Fail(const std::string& file, const std::string& reason) {
    cli::ClearProgressLine();
    std::fprintf(stderr, "glimbra-cli: %s: %s\n", file.c_str(), cli::LocalReason(reason).c_str());
}

// The format that a name's extension selects: ".BMP", ".JPG" or ".PNG"; "" for none of them.
std::string FormatOf(const std::string& name) {
    std::string ext = std::filesystem::path(name).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return char(std::toupper(c)); });
    if (ext == ".JPEG") ext = ".JPG";
    return (ext == ".BMP" || ext == ".JPG" || ext == ".PNG") ? ext : "";
}

// Loads both inputs into slots, composes and writes output. Reports its own failure.
bool ComposeOne(compose::SlotSet& slots, const Options& opt, const std::string& source,
                const std::string* floating, const std::string& output) {
    std::string reason;
    if (basCommon::LoadImageSlot(slots, source, 0, &reason) != 0) {
        Fail(source, reason);
        return false;
    }
    if (floating && basCommon::LoadImageSlot(slots, *floating, 1, &reason) != 0) {
        Fail(*floating, reason);
        return false;
    }
    if (platform::Status s = basCommon::ComposeImage(slots, opt.tile); !s) {
        Fail(source, s.reason());
        return false;
    }
    if (platform::Status s =
            imagefiles::WriteResultFile(slots.picLoad[2], output, FormatOf(output), opt.output);
        !s) {
        Fail(output, s.reason());
        return false;
    }
    return true;
}

int RunSingle(const Options& opt) {
    if (opt.args.size() != 3) return UsageError(Tr("give three names: SOURCE, FLOATING and OUTPUT."));
    const std::string& output = opt.args[2];
    if (FormatOf(output).empty()) {
        return UsageError(output + ": " + Tr("the output's extension must be .bmp, .jpg, .jpeg or .png."));
    }
    compose::SlotSet slots;
    return ComposeOne(slots, opt, opt.args[0], &opt.args[1], output) ? kOk : kFailed;
}

int RunBatch(const Options& opt) {
    // A list may be empty (one shard of a split batch can be); sources on the command line not.
    if (opt.args.size() < (opt.fromList ? 2u : 3u)) {
        return UsageError(Tr("--batch needs FLOATING, OUTDIR and at least one SOURCE."));
    }
    const std::string& floating = opt.args[0];
    const std::string& folder = opt.args[1];
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) {
        Fail(folder, Tr("the output folder does not exist"));
        return kFailed;
    }
    const std::vector<std::string> sources(opt.args.begin() + 2, opt.args.end());
    if (sources.empty()) return kOk;
    const std::string ext = opt.format == "jpg" ? ".jpg" : opt.format == "bmp" ? ".bmp" : ".png";
    std::vector<std::string> outputs;
    std::set<std::string> seen;
    std::vector<bool> duplicate(sources.size(), false);
    for (std::size_t i = 0; i < sources.size(); ++i) {
        const std::string stem = std::filesystem::path(sources[i]).stem().string();
        outputs.push_back((std::filesystem::path(folder) / (stem + ext)).string());
        duplicate[i] = !seen.insert(outputs.back()).second;
    }

    const int hardware = platform::WorkerCount();
    const int jobs = std::clamp(opt.jobs > 0 ? opt.jobs : hardware, 1, int(sources.size()));
    // Parallel jobs share the cores; each job's own passes then stay on its thread.
    platform::SetWorkerCount(std::max(1, hardware / jobs));

    std::atomic<std::size_t> next{0};
    std::atomic<bool> anyFailed{false};
    std::mutex printing;
    cli::BatchProgress progress(sources.size());
    const auto worker = [&] {
        compose::SlotSet slots;
        std::string reason;
        if (basCommon::LoadImageSlot(slots, floating, 1, &reason) != 0) {
            std::lock_guard lock(printing);
            if (!anyFailed.exchange(true)) Fail(floating, reason);
            next = sources.size();
            return;
        }
        for (std::size_t i; (i = next++) < sources.size();) {
            progress.Started(sources[i]);
            bool ok;
            if (duplicate[i]) {
                std::lock_guard lock(printing);
                Fail(sources[i], Tr("the output name is taken by an earlier source: ") + outputs[i]);
                ok = false;
            } else {
                ok = ComposeOne(slots, opt, sources[i], nullptr, outputs[i]);
            }
            if (!ok) anyFailed = true;
            std::lock_guard lock(printing);
            progress.Finished(ok, sources[i], outputs[i]);
        }
    };
    std::vector<std::thread> threads;
    for (int j = 1; j < jobs; ++j) threads.emplace_back(worker);
    worker();
    for (auto& t : threads) t.join();
    return anyFailed ? kFailed : kOk;
}

}  // namespace

int main(int argc, char** argv) {
    cli::SetUpLanguage();
    cli::Parsed parsed = cli::ParseCommandLine(argc, argv);
    if (!parsed.options) return parsed.exitCode;
    const Options& opt = *parsed.options;
    return opt.batch ? RunBatch(opt) : RunSingle(opt);
}
