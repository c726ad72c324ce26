// glimbra-cli: composes images without a window, through the same loading, composition and
// writers as the window program.
//
//   glimbra-cli [options] SOURCE FLOATING OUTPUT
//   glimbra-cli [options] --batch FLOATING OUTDIR [SOURCE...] [--files-from LIST]
//
// Exit status: 0 success, 1 an input or output failed, 2 usage error.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cli/batch_admission.h"
#include "cli/messages.h"
#include "cli/options.h"
#include "cli/progress.h"
#include "compose/compose_image.h"
#include "compose/slots.h"
#include "imagefiles/load_image.h"
#include "imagefiles/save_result.h"
#include "platform/files.h"
#include "platform/parallel.h"
#include "platform/signal_cleanup.h"

namespace {

using cli::kFailed;
using cli::kOk;
using cli::kUsage;
using cli::Options;
using cli::Tr;
using cli::UsageError;

using cli::Fail;

// Before the first job: the libraries' diagnostics stay off stderr, and an interrupted write
// takes its temporary file with it.
void PrepareRun() {
    cli::SilenceLibraryMessages();
    platform::RemoveTemporariesOnSignals();
}

// The format that a name's extension selects: ".BMP", ".JPG" or ".PNG"; "" for none of them.
std::string FormatOf(const std::string& name) {
    std::string ext = std::filesystem::path(name).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return char(std::toupper(c)); });
    if (ext == ".JPEG") ext = ".JPG";
    return (ext == ".BMP" || ext == ".JPG" || ext == ".PNG") ? ext : "";
}

// Loads the source (and the floating image unless the slots already hold it), composes and
// writes output. Reports its own failure.
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
    PrepareRun();
    // A target that cannot be written is refused before the inputs are decoded.
    if (platform::Status s = platform::CheckOutputTarget(output); !s) {
        Fail(output, s.reason());
        return kFailed;
    }
    compose::SlotSet slots;
    return ComposeOne(slots, opt, opt.args[0], &opt.args[1], output) ? kOk : kFailed;
}

// A file's identity (device and inode, links followed); nullopt when it does not exist.
std::optional<std::pair<dev_t, ino_t>> Identity(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return std::pair(st.st_dev, st.st_ino);
}

// The absolute path with "." and ".." resolved as far as the path exists, to compare names of
// files that do not exist yet.
std::string PlainPath(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path plain = std::filesystem::weakly_canonical(path, ec);
    return ec ? path : plain.string();
}

// Why outputs[i] must not be written, for every output that would replace an input (the texture
// or any source, under its own name or through a link) or an earlier output; "" for the others.
std::vector<std::string> OutputClashes(const std::string& floating,
                                       const std::vector<std::string>& sources,
                                       const std::vector<std::string>& outputs) {
    std::map<std::pair<dev_t, ino_t>, std::string> inputs;
    std::map<std::string, std::string> inputNames;
    for (const std::string* input : [&] {
             std::vector<const std::string*> all{&floating};
             for (const auto& s : sources) all.push_back(&s);
             return all;
         }()) {
        if (const auto id = Identity(*input)) inputs.emplace(*id, *input);
        inputNames.emplace(PlainPath(*input), *input);
    }
    std::vector<std::string> clash(outputs.size());
    std::map<std::pair<dev_t, ino_t>, std::string> written;
    std::set<std::string> writtenNames;
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        const auto id = Identity(outputs[i]);
        const std::string plain = PlainPath(outputs[i]);
        if (id && inputs.count(*id)) {
            clash[i] = Tr("the output is the same file as an input: ") + inputs[*id];
        } else if (inputNames.count(plain)) {
            clash[i] = Tr("the output is the same file as an input: ") + inputNames[plain];
        } else if ((id && written.count(*id)) || writtenNames.count(plain)) {
            clash[i] = Tr("the output name is taken by an earlier source: ") + outputs[i];
        } else {
            if (id) written.emplace(*id, outputs[i]);
            writtenNames.insert(plain);
        }
    }
    return clash;
}

int RunBatch(const Options& opt) {
    // A list may be empty (one shard of a split batch can be); sources on the command line not.
    if (opt.args.size() < (opt.fromList ? 2u : 3u)) {
        return UsageError(Tr("--batch needs FLOATING, OUTDIR and at least one SOURCE."));
    }
    PrepareRun();
    const std::string& floating = opt.args[0];
    const std::string& folder = opt.args[1];
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) {
        Fail(folder, Tr("the output folder does not exist"));
        return kFailed;
    }
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        Fail(folder, Tr("cannot write into the output folder") + " (" + platform::ErrnoText(errno) + ")");
        return kFailed;
    }
    const std::vector<std::string> sources(opt.args.begin() + 2, opt.args.end());
    if (sources.empty()) return kOk;
    const std::string ext = opt.format == "jpg" ? ".jpg" : opt.format == "bmp" ? ".bmp" : ".png";
    std::vector<std::string> outputs;
    for (const std::string& source : sources) {
        const std::string stem = std::filesystem::path(source).stem().string();
        outputs.push_back((std::filesystem::path(folder) / (stem + ext)).string());
    }
    const std::vector<std::string> clash = OutputClashes(floating, sources, outputs);

    // The texture is decoded once; every job reads the same pixels.
    compose::SlotSet texture;
    std::string reason;
    if (basCommon::LoadImageSlot(texture, floating, 1, &reason) != 0) {
        Fail(floating, reason);
        return kFailed;
    }
    cli::BatchAdmission admission(platform::CurrentMemoryRoom());

    const int hardware = platform::WorkerCount();
    const int jobs = std::clamp(opt.jobs > 0 ? opt.jobs : hardware, 1, int(sources.size()));
    // Parallel jobs share the cores; each job's own passes then stay on its thread.
    platform::SetWorkerCount(std::max(1, hardware / jobs));

    std::atomic<std::size_t> next{0};
    std::atomic<bool> anyFailed{false};
    std::mutex printing;
    cli::BatchProgress progress(sources.size());
    const auto worker = [&] {
        for (std::size_t i; (i = next++) < sources.size();) {
            progress.Started(sources[i]);
            bool ok = false;
            if (!clash[i].empty()) {
                std::lock_guard lock(printing);
                Fail(sources[i], clash[i]);
            } else if (platform::Status s = platform::CheckOutputTarget(outputs[i]); !s) {
                std::lock_guard lock(printing);
                Fail(outputs[i], s.reason());
            } else {
                const std::uint64_t need = cli::EstimateJobBytes(sources[i]);
                if (platform::Status admitted = admission.Admit(need); !admitted) {
                    std::lock_guard lock(printing);
                    Fail(sources[i], admitted.reason());
                } else {
                    {
                        // A job's slots live only for the job, so that its memory is free again
                        // for the next one.
                        compose::SlotSet slots;
                        platform::Bitmap shared;
                        shared.ShareFrom(texture.picLoad[1].Image());
                        slots.picLoad[1].Adopt(std::move(shared));
                        ok = ComposeOne(slots, opt, sources[i], nullptr, outputs[i]);
                    }
                    admission.Release(need);
                }
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
