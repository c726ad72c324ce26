// glimbra-cli: composes images without a window, through the same loading, composition and
// writers as the window program.
//
//   glimbra-cli [options] SOURCE FLOATING OUTPUT
//   glimbra-cli [options] --batch FLOATING OUTDIR SOURCE...
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
#include "compose/compose_image.h"
#include "compose/slots.h"
#include "imagefiles/load_image.h"
#include "imagefiles/save_result.h"
#include "platform/files.h"
#include "platform/parallel.h"
#include "platform/signal_cleanup.h"

#ifndef GLIMBRA_VERSION
#define GLIMBRA_VERSION "0"
#endif

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

constexpr const char* kUsageText =
    "使い方:\n"
    "  glimbra-cli [オプション] 元の画像 浮き画像 出力ファイル\n"
    "  glimbra-cli [オプション] --batch 浮き画像 出力フォルダ 元の画像...\n"
    "\n"
    "浮き画像を元の画像に重ね、191 を中間の明るさとして明暗を付けます。\n"
    "入力: BMP, GIF, ICO, JPEG, PNG。出力の形式は拡張子 (.bmp .jpg .jpeg .png) で決まります。\n"
    "\n"
    "オプション:\n"
    "  --stretch          浮き画像を元の画像の大きさに拡大・縮小する (既定)\n"
    "  --tile             浮き画像を左上から並べる\n"
    "  --jpeg-rate N      JPEG の品質 1..100 (既定 50)\n"
    "  --progressive      プログレッシブ JPEG で保存する\n"
    "  --png-rate N       PNG の圧縮: 1 速い (既定), 0 標準, 2 最小\n"
    "  --batch            一つの浮き画像で多数の元画像を処理する\n"
    "  --format EXT       --batch の出力形式: png (既定), jpg, bmp\n"
    "  --jobs N           --batch で同時に処理する数 (既定: CPU の数)\n"
    "  --help             この説明を表示する\n"
    "  --version          版を表示する\n";

struct Options {
    std::int16_t tile = basCommon::kFalse;
    imagefiles::OutputSettings output;
    bool batch = false;
    std::string format = "png";
    int jobs = 0;
    std::vector<std::string> args;
};

using cli::Fail;

int UsageError(const std::string& message) {
    cli::PrintLine("glimbra-cli: " + message);
    cli::PrintLine("'glimbra-cli --help' で使い方を表示します。");
    return kUsage;
}

// Before the first job: the libraries' diagnostics stay off stderr, and an interrupted write
// takes its temporary file with it.
void PrepareRun() {
    cli::SilenceLibraryMessages();
    platform::RemoveTemporariesOnSignals();
}

std::optional<int> ParseInt(std::string_view text, int lo, int hi) {
    if (text.empty() || text.size() > 6) return std::nullopt;
    int value = 0;
    std::size_t i = 0;
    bool negative = false;
    if (text[0] == '-' || text[0] == '+') {
        negative = text[0] == '-';
        i = 1;
        if (text.size() == 1) return std::nullopt;
    }
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    if (negative) value = -value;
    if (value < lo || value > hi) return std::nullopt;
    return value;
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
    if (opt.args.size() != 3) return UsageError("元の画像、浮き画像、出力ファイルの三つを指定してください。");
    const std::string& output = opt.args[2];
    if (FormatOf(output).empty()) {
        return UsageError(output + ": 出力の拡張子は .bmp .jpg .jpeg .png のどれかにしてください。");
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
            clash[i] = "出力が入力の画像と同じファイルです: " + inputs[*id];
        } else if (inputNames.count(plain)) {
            clash[i] = "出力が入力の画像と同じファイルです: " + inputNames[plain];
        } else if ((id && written.count(*id)) || writtenNames.count(plain)) {
            clash[i] = "出力名が前の画像と重なります: " + outputs[i];
        } else {
            if (id) written.emplace(*id, outputs[i]);
            writtenNames.insert(plain);
        }
    }
    return clash;
}

int RunBatch(const Options& opt) {
    if (opt.args.size() < 3) {
        return UsageError("--batch には浮き画像、出力フォルダ、一つ以上の元の画像を指定してください。");
    }
    PrepareRun();
    const std::string& floating = opt.args[0];
    const std::string& folder = opt.args[1];
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) {
        Fail(folder, "出力フォルダがありません");
        return kFailed;
    }
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        Fail(folder, "出力フォルダに書き込めません (" + platform::ErrnoText(errno) + ")");
        return kFailed;
    }
    const std::vector<std::string> sources(opt.args.begin() + 2, opt.args.end());
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
    std::atomic<int> done{0};
    std::atomic<bool> anyFailed{false};
    std::mutex printing;
    const auto worker = [&] {
        for (std::size_t i; (i = next++) < sources.size();) {
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
            cli::PrintLine("[" + std::to_string(++done) + "/" + std::to_string(sources.size()) +
                           "] " + (ok ? "完了 " : "失敗 ") + sources[i] + " -> " + outputs[i]);
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
    Options opt;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        const auto value = [&]() -> std::optional<std::string_view> {
            if (i + 1 >= argc) return std::nullopt;
            return std::string_view(argv[++i]);
        };
        if (optionsEnded || a.empty() || a[0] != '-' || a == "-") {
            opt.args.emplace_back(a);
        } else if (a == "--") {
            optionsEnded = true;
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsageText, stdout);
            return kOk;
        } else if (a == "--version") {
            std::printf("glimbra-cli %s\n", GLIMBRA_VERSION);
            return kOk;
        } else if (a == "--tile") {
            opt.tile = basCommon::kTrue;
        } else if (a == "--stretch") {
            opt.tile = basCommon::kFalse;
        } else if (a == "--progressive") {
            opt.output.jpegPrgrs = -1;
        } else if (a == "--batch") {
            opt.batch = true;
        } else if (a == "--jpeg-rate" || a == "--png-rate" || a == "--jobs") {
            const auto v = value();
            const int hi = a == "--jpeg-rate" ? 100 : a == "--png-rate" ? 2 : 256;
            const int lo = a == "--png-rate" ? 0 : 1;
            const auto n = v ? ParseInt(*v, lo, hi) : std::nullopt;
            if (!n) {
                return UsageError(std::string(a) + " には " + std::to_string(lo) + " から " +
                                  std::to_string(hi) + " までの整数を指定してください。");
            }
            if (a == "--jpeg-rate") opt.output.jpegRate = std::int16_t(*n);
            if (a == "--png-rate") opt.output.pngRate = std::int16_t(*n);
            if (a == "--jobs") opt.jobs = *n;
        } else if (a == "--format") {
            const auto v = value();
            std::string f = v ? std::string(*v) : "";
            std::transform(f.begin(), f.end(), f.begin(),
                           [](unsigned char c) { return char(std::tolower(c)); });
            if (f == "jpeg") f = "jpg";
            if (f != "png" && f != "jpg" && f != "bmp") {
                return UsageError("--format には png, jpg, bmp のどれかを指定してください。");
            }
            opt.format = f;
        } else {
            return UsageError("不明なオプションです: " + std::string(a));
        }
    }
    if (opt.args.empty()) {
        std::fputs(kUsageText, stderr);
        return kUsage;
    }
    return opt.batch ? RunBatch(opt) : RunSingle(opt);
}
