// glimbra-cli: composes images without a window, through the same loading, composition and
// writers as the window program.
//
//   glimbra-cli [options] SOURCE FLOATING OUTPUT
//   glimbra-cli [options] --batch FLOATING OUTDIR [SOURCE...] [--files-from LIST]
//
// Exit status: 0 success, 1 an input or output failed, 2 usage error.

#include <fcntl.h>
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
#include <system_error>
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
#include "formats/jpeg_load.h"
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

// The size that a JPEG or PNG source will load at, read from its headers; false for other files,
// when the headers are not within the first 256 KiB, or when the file is too small to be a
// picture of that size that is worth readying for (under one byte per 64 pixels: a damaged or
// hostile header, or a flat graphic that composes quickly anyway).
bool SourceSize(const std::string& path, int& width, int& height) {
    // Regular files only: opening a named pipe or a device must neither block nor consume it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    std::string head;
    std::uint64_t fileSize = 0;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        fileSize = std::uint64_t(st.st_size);
        head.resize(256 * 1024);
        const ssize_t n = ::read(fd, head.data(), head.size());
        head.resize(n > 0 ? std::size_t(n) : 0);
    }
    ::close(fd);
    const auto* b = reinterpret_cast<const unsigned char*>(head.data());
    if (head.size() >= 24 && head.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0) {
        const auto be32 = [&](int at) {
            return std::uint32_t(b[at]) << 24 | std::uint32_t(b[at + 1]) << 16 |
                   std::uint32_t(b[at + 2]) << 8 | b[at + 3];
        };
        if (!platform::CheckBitmapSize(be32(16), be32(20)) ||
            fileSize * 64 < std::uint64_t(be32(16)) * be32(20)) {
            return false;
        }
        width = int(be32(16));
        height = int(be32(20));
        return true;
    }
    formats::JpegHeader header;
    if (head.size() < 2 || b[0] != 0xFF || b[1] != 0xD8 ||
        !formats::ReadJpegHeader(head, header) ||
        !platform::CheckBitmapSize(header.width, header.height) ||
        fileSize * 64 < std::uint64_t(header.width) * std::uint64_t(header.height)) {
        return false;
    }
    width = header.width;
    height = header.height;
    return true;
}

// Loads the source (and the floating image unless the slots already hold it), composes and
// writes output. Reports its own failure.
bool ComposeOne(compose::SlotSet& slots, const Options& opt, const std::string& source,
                const std::string* floating, const std::string& output) {
    // The texture loads on a second thread while the source decodes (the two touch different
    // slots); a failing source is still the one reported when both fail.
    std::string reason, floatingReason;
    std::int32_t floatingLoaded = 0;
    const auto loadFloating = [&] {
        floatingLoaded = basCommon::LoadImageSlot(slots, *floating, 1, &floatingReason);
        // The rest of the source's decoding time readies the composition's two surfaces, whose
        // first touch would otherwise come after it.
        int w = 0, h = 0;
        if (SourceSize(source, w, h)) basCommon::PrepareCompose(slots, w, h);
    };
    std::thread floatingThread;
    if (floating) {
        try {
            floatingThread = std::thread(loadFloating);
        } catch (const std::system_error&) {
            loadFloating();
        }
    }
    const std::int32_t sourceLoaded = basCommon::LoadImageSlot(slots, source, 0, &reason);
    if (floatingThread.joinable()) floatingThread.join();
    if (sourceLoaded != 0) {
        Fail(source, reason);
        return false;
    }
    if (floatingLoaded != 0) {
        Fail(*floating, floatingReason);
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
