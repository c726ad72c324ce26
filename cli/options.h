#pragma once
// glimbra-cli's command line and its language: options read with QCommandLineParser, texts in
// English, or in Japanese when the user's locale is Japanese.

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "compose/compose_image.h"
#include "imagefiles/save_result.h"

namespace cli {

inline constexpr int kOk = 0;
inline constexpr int kFailed = 1;
inline constexpr int kUsage = 2;

struct Options {
    std::int16_t tile = basCommon::kFalse;
    imagefiles::OutputSettings output;
    bool batch = false;
    std::string format = "png";
    int jobs = 0;
    std::vector<std::string> args;  // the positional arguments, then the --files-from lines
    bool fromList = false;          // --files-from was given: an empty batch is no error
};

// The options to run, or the exit status to end with at once (after --help, --version, a usage
// error or an unreadable list, each already reported).
struct Parsed {
    std::optional<Options> options;
    int exitCode = kOk;
};

// Chooses the language (Japanese when LC_ALL, else LC_MESSAGES, else LANG starts with "ja"; the
// first one set and non-empty decides, as for any program) and installs its translations. Call
// once, before any text is made.
void SetUpLanguage();
// Whether SetUpLanguage chose Japanese for this environment.
bool WantsJapanese();

// text with %1, %2, ... replaced by args.
std::string Format(std::string text, std::initializer_list<std::string> args);

// text (English, a key of the translation file) in the user's language.
std::string Tr(const char* text);

// Reads argv. Lines of --files-from lists (a file, or "-" for standard input) are appended to
// args; blank lines are skipped.
Parsed ParseCommandLine(int argc, char** argv);

// The --format names, "png" first: png, jpg, bmp, then those of formats::PictureWriters().
std::vector<std::string> OutputFormats();
// The output extensions glimbra-cli writes, dot first, one space between: ".png .jpg .jpeg ...".
std::string OutputExtensions();
// The help text, in the user's language, with the formats filled in.
std::string HelpText();

// Reports a usage error: message, then how to get help, on stderr. Returns kUsage.
int UsageError(const std::string& message);

}  // namespace cli
