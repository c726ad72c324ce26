#include "imagefiles/save_result.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <string_view>

#include "codec/codec.h"
#include "dialogs/cls_dialog.h"
#include "formats/picture_writers.h"
#include "platform/files.h"
#include "platform/progress.h"
#include "startup/settings.h"

namespace basFunc {

std::int16_t CheckFile(const std::string& path, std::string* failure) {
    if (path.find_first_not_of(' ') == std::string::npos) return 1;
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0) {
        // A folder is no file to replace: reported like any other unreadable status, so that
        // the save stops with a message instead of asking to overwrite it.
        if (S_ISDIR(st.st_mode)) {
            if (failure) *failure = std::to_string(EISDIR) + ":" + platform::ErrnoText(EISDIR);
            return -1;
        }
        return st.st_size != 0 ? 0 : 3;
    }
    const int error = errno;
    if (error == ENOENT) return 2;
    if (failure) *failure = std::to_string(error) + ":" + platform::ErrnoText(error);
    return -1;
}

}  // namespace basFunc

namespace imagefiles {
namespace {

using platform::Status;

using namespace std::string_view_literals;

// The save dialog's file types: description, NUL, patterns, NUL for each, in this order. The
// literal suffix keeps the embedded NULs in the view.
constexpr std::string_view kFilterPattern =
    "画像ファイル\0*.bmp;*.jpg;*.png\0"
    "ビットマップファイル\0*.bmp\0"
    "ＪＰＥＧファイル\0*.jpg\0"
    "ＰＮＧファイル\0*.png\0"sv;
// OFN_HIDEREADONLY | OFN_CREATEPROMPT; no overwrite prompt from the dialog, the command asks.
constexpr const char* kSaveFlags = "8196";

std::string TrimSpaces(const std::string& text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

Status CheckRate(std::int16_t rate, const char* setting) {
    if (rate >= 0 && rate <= 255) return Status::Ok();
    return Status::Fail(std::string(setting) + " の設定値 " + std::to_string(rate) +
                        " が範囲 (0～255) の外です");
}

Status WriterStatus(std::int32_t result, const std::string& reason) {
    return result == 0 ? Status::Ok() : Status::Fail(reason);
}

ResultWriter& WriterForTesting() {
    static ResultWriter writer;
    return writer;
}

}  // namespace

std::string SettleExtension(const std::string& name, std::int32_t filterIndex, std::string* ext) {
    std::string tail = basFunc::UpperTail4(name);
    std::string result = name;
    const auto require = [&](const char* wanted) {
        if (tail != wanted) {
            result += wanted;
            tail = wanted;
        }
    };
    switch (filterIndex) {
        case 2: require(".BMP"); break;
        case 3: require(".JPG"); break;
        case 4: require(".PNG"); break;
        default:
            if (tail != ".JPG" && tail != ".BMP" && tail != ".PNG") {
                result += ".BMP";
                tail = ".BMP";
            }
            break;
    }
    if (ext) *ext = tail;
    return result;
}

Status WriteResultFile(platform::Surface& slot, const std::string& path, const std::string& ext,
                       const OutputSettings& settings) {
    const bool jpeg = ext == ".JPG";
    const bool png = ext == ".PNG";
    const formats::PictureWriter other = formats::FindWriter(ext);
    if (!jpeg && !png && !other && ext != ".BMP") {
        return Status::Fail("この形式では保存できません (" + ext + ")");
    }
    if (jpeg || other) {
        if (Status s = CheckRate(settings.jpegRate, "JPEG の圧縮率 ([JPEG] Rate)"); !s) return s;
    } else if (png) {
        if (Status s = CheckRate(settings.pngRate, "PNG の設定 ([PNG] Rate)"); !s) return s;
    }

    platform::AtomicFile file(path);
    if (Status s = file.Create(); !s) return s;
    const std::string& temp = file.tempPath();
    Status written;
    std::string reason;
    if (jpeg) {
        written = WriterStatus(
            codec::DCSavetoJPEG(slot.hDC(), slot.Width(), slot.Height(), temp,
                                std::uint8_t(settings.jpegRate), settings.jpegPrgrs != 0 ? -1 : 0,
                                &reason, slot.Meta().get()),
            reason);
    } else if (png) {
        written = WriterStatus(codec::DCSavetoPNG(slot.hDC(), slot.Width(), slot.Height(), temp,
                                                  std::uint8_t(settings.pngRate), &reason,
                                                  slot.Meta().get()),
                               reason);
    } else if (other) {
        formats::SaveOptions options;
        options.quality = std::min<int>(settings.jpegRate, 100);
        options.lossless = settings.lossless;
        written = other(slot.Image(), slot.Width(), slot.Height(), temp, options,
                        slot.Meta().get());
    } else {
        written = codec::SavePicture(slot.Image(), temp);
    }
    // A write the user stopped leaves the old file; the temporary goes with `file`. A stop asked
    // for after the last row still counts: nothing has replaced the target yet.
    if (platform::WorkCancelled()) return Status::Cancelled();
    if (!written) return written;
    return file.Commit();
}

void SetResultWriterForTesting(ResultWriter writer) { WriterForTesting() = std::move(writer); }

void SaveResult(compose::SlotSet& slots, platform::HWND owner, const StepRunner& run) {
    dialogs::clsDialog dialog;
    dialog.SetSelectTitle("ファイルの保存");
    dialog.SetFilterPattern(std::string(kFilterPattern));
    dialog.SetSelectFlags(kSaveFlags);
    std::string name = TrimSpaces(dialog.SaveFile(owner));
    if (name.empty()) return;

    std::string ext;
    name = SettleExtension(name, dialog.FilterIndex(), &ext);

    std::string failure;
    switch (basFunc::CheckFile(name, &failure)) {
        case 0:
            if (platform::Ui().MessageBox(owner, "上書きしますか？\r\n" + name, "上書き確認",
                                          platform::MB_YESNO | platform::MB_ICONQUESTION |
                                              platform::MB_DEFBUTTON1) == platform::IDNO) {
                return;
            }
            break;
        case -1:
            // The status of the name could not be read. Only this command ends; the program and
            // the result image stay, so that the user can save under another name.
            platform::Ui().MessageBox(owner, failure, "システムエラー",
                                      platform::MB_OK | platform::MB_ICONSTOP);
            return;
        default:
            break;
    }

    OutputSettings settings;
    settings.jpegRate = basCommon::JpegRate;
    settings.jpegPrgrs = basCommon::JpegPrgrs;
    settings.pngRate = basCommon::PngRate;
    Status written;
    const auto write = [&] {
        try {
            const ResultWriter& standIn = WriterForTesting();
            written = standIn ? standIn(slots.picLoad[2], name, ext, settings)
                               : WriteResultFile(slots.picLoad[2], name, ext, settings);
        } catch (const std::bad_alloc&) {
            written = Status::Fail("メモリが足りません");
        }
    };
    run ? run(write) : write();
    // A save the user stopped wrote nothing and needs no message.
    if (!written && !written.cancelled()) {
        platform::Ui().MessageBox(owner,
                                  "保存できませんでした。\r\n" + name + "\r\n" + written.reason(),
                                  "保存エラー", platform::MB_OK | platform::MB_ICONEXCLAMATION);
    }
}

}  // namespace imagefiles
