#pragma once
// Saving the result image as BMP, JPEG or PNG.

#include <cstdint>
#include <functional>
#include <string>

#include "compose/slots.h"
#include "platform/status.h"
#include "platform/ui.h"

namespace basFunc {

// 0: the file exists and is not empty; 1: the path is empty or only spaces; 2: no such file;
// 3: the file exists and is empty; -1: the status could not be read (failure then holds
// "number:text").
std::int16_t CheckFile(const std::string& path, std::string* failure = nullptr);

}  // namespace basFunc

namespace imagefiles {

// The output settings handed to the writers.
struct OutputSettings {
    std::int16_t jpegRate = 50;
    std::int16_t jpegPrgrs = 0;
    std::int16_t pngRate = 1;
    bool lossless = false;  // WebP and the like: their lossless coding instead of jpegRate's
};

// Applies the extension rule for the chosen file type (1 all images, 2 BMP, 3 JPEG, 4 PNG):
// appends ".BMP", ".JPG" or ".PNG" where the name's upper-cased last four characters do not
// already name the type. ext receives the final upper-cased extension.
std::string SettleExtension(const std::string& name, std::int32_t filterIndex, std::string* ext);

// Writes the whole bitmap of slot to path in the format that ext (".BMP", ".JPG", ".PNG", or one
// of formats::PictureWriters(): ".WEBP", ".TIF", ...) names, atomically: an existing file is
// replaced only by a complete new one, and a failure leaves no file behind. Rates outside 0..255
// fail before anything is written; the lossy formats of formats/ take jpegRate as their quality
// (over 100 counts as 100). Every format but BMP carries the slot's metadata (Meta()) as far as
// it holds it.
platform::Status WriteResultFile(platform::Surface& slot, const std::string& path,
                                 const std::string& ext, const OutputSettings& settings);

// Runs one long step of a command to completion before it returns. The window's runner keeps
// the window painted meanwhile and shows progress; the default runs the step in place.
using StepRunner = std::function<void(const std::function<void()>& step)>;

// The save command: the save dialog, the extension rule, the overwrite question, the writer.
// Failures are reported in a message box (title "保存エラー"); nothing is written then. The
// dialogs and message boxes stay on the caller's thread; only the write goes through run.
void SaveResult(compose::SlotSet& slots, platform::HWND owner, const StepRunner& run = {});

// Replaces WriteResultFile in the save command (nullptr: back to it), so that tests can make
// the write slow or fail. The stand-in gets the same arguments.
using ResultWriter = std::function<platform::Status(platform::Surface& slot,
                                                    const std::string& path,
                                                    const std::string& ext,
                                                    const OutputSettings& settings)>;
void SetResultWriterForTesting(ResultWriter writer);

}  // namespace imagefiles
