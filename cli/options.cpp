#include "cli/options.h"

#include "cli/messages.h"
#include "formats/picture_writers.h"

#include <QCommandLineParser>
#include <QTranslator>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string_view>

#ifndef GLIMBRA_VERSION
#define GLIMBRA_VERSION "0"
#endif

namespace cli {
namespace {

QTranslator* g_translator = nullptr;  // set once by SetUpLanguage, then only read

const char* const kHelp = QT_TRANSLATE_NOOP(
    "glimbra-cli",
    "Usage:\n"
    "  glimbra-cli [options] SOURCE FLOATING OUTPUT\n"
    "  glimbra-cli [options] --batch FLOATING OUTDIR [SOURCE...]\n"
    "\n"
    "Lays the floating image over the source image as light and shade around the neutral grey\n"
    "191. Reads BMP, GIF, ICO, JPEG, PNG, WebP, TIFF, HEIF (HEIC, AVIF) and JPEG XL; the\n"
    "output's extension (%1) picks its format.\n"
    "\n"
    "Options:\n"
    "  --stretch          stretch the floating image to the source's size (default)\n"
    "  --tile             repeat the floating image from the top-left corner\n"
    "  --jpeg-rate N      quality of the lossy formats (JPEG, WebP, AVIF, HEIC, JPEG XL)\n"
    "                     1..100 (default 50)\n"
    "  --lossless         lossless WebP and JPEG XL\n"
    "  --progressive      progressive JPEG\n"
    "  --png-rate N       PNG compression: 1 fastest (default), 0 normal, 2 smallest\n"
    "  --batch            one floating image over many sources, written to OUTDIR/<name>.<format>\n"
    "  --files-from FILE  --batch: further sources, one path a line (\"-\": standard input)\n"
    "  --format EXT       --batch output format: %2 (default png)\n"
    "  --jobs N           --batch: sources at once (default: the number of cores)\n"
    "  -h, --help         show this help\n"
    "  --version          show the version\n"
    "\n"
    "Exit status: 0 success, 1 an input or output failed, 2 usage error.\n");

// Arguments reach the parser one byte a character, so that any file name, UTF-8 or not, comes
// back byte for byte; option names are ASCII and match all the same.
QString FromBytes(std::string_view bytes) {
    return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
}
std::string ToBytes(const QString& text) {
    const QByteArray bytes = text.toLatin1();
    return std::string(bytes.constData(), std::size_t(bytes.size()));
}


std::string Joined(const std::vector<std::string>& items, const char* between) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : between) + item;
    return text;
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

// Appends the list's paths to args. A list is bytes, one path a line: blank lines are skipped and
// a line's closing carriage return dropped, so lists written on Windows work too.
bool ReadList(const std::string& name, std::vector<std::string>& args) {
    std::ifstream file;
    std::istream* in = &std::cin;
    if (name != "-") {
        file.open(name, std::ios::binary);
        in = &file;
    }
    if (!*in) {
        Fail(name, Tr("cannot read the list of sources"));
        return false;
    }
    for (std::string line; std::getline(*in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) args.push_back(line);
    }
    if (in->bad()) {
        Fail(name, Tr("cannot read the list of sources"));
        return false;
    }
    return true;
}

bool StartsWithJa(const char* value) { return std::strncmp(value, "ja", 2) == 0; }

}  // namespace

// text with %1, %2, ... replaced by args.
std::string Format(std::string text, std::initializer_list<std::string> args) {
    int n = 1;
    for (const std::string& arg : args) {
        const std::string mark = "%" + std::to_string(n++);
        if (const auto at = text.find(mark); at != text.npos) text.replace(at, mark.size(), arg);
    }
    return text;
}

bool WantsJapanese() {
    // The first of these that is set and not empty names the language of messages.
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value) return StartsWithJa(value);
    }
    return false;
}

void SetUpLanguage() {
    if (g_translator || !WantsJapanese()) return;
    // Kept for the life of the process; reachable, so no leak checker counts it.
    auto* translator = new QTranslator;
    if (translator->load(QStringLiteral(":/i18n/glimbra-cli_ja.qm")))
        g_translator = translator;
    else
        delete translator;
}

std::string Tr(const char* text) {
    if (g_translator) {
        const QString translated = g_translator->translate("glimbra-cli", text);
        if (!translated.isEmpty()) return translated.toStdString();
    }
    return text;
}

std::vector<std::string> OutputFormats() {
    std::vector<std::string> names{"png", "jpg", "bmp"};
    for (const formats::WriterEntry& e : formats::PictureWriters()) {
        std::string name = e.ext + 1;
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        names.push_back(name);
    }
    return names;
}

std::string OutputExtensions() {
    std::vector<std::string> names = OutputFormats();
    names.insert(names.begin() + 2, "jpeg");
    for (std::string& n : names) n.insert(0, ".");
    return Joined(names, " ");
}

std::string HelpText() {
    std::vector<std::string> formats = OutputFormats();
    return Format(Tr(kHelp), {OutputExtensions(), Joined(formats, ", ")});
}

int UsageError(const std::string& message) {
    PrintLine("glimbra-cli: " + message);
    PrintLine(Tr("'glimbra-cli --help' shows how to use it."));
    return kUsage;
}

Parsed ParseCommandLine(int argc, char** argv) {
    QCommandLineParser parser;
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    const QCommandLineOption help(QStringList{"h", "help"}), version("version"), tile("tile"),
        stretch("stretch"), progressive("progressive"), lossless("lossless"), batch("batch"),
        jpegRate("jpeg-rate", "", "N"), pngRate("png-rate", "", "N"), jobs("jobs", "", "N"),
        format("format", "", "EXT"), filesFrom("files-from", "", "FILE");
    parser.addOptions({help, version, tile, stretch, progressive, lossless, batch, jpegRate,
                       pngRate, jobs, format, filesFrom});

    QStringList args;
    for (int i = 0; i < argc; ++i) args << FromBytes(argv[i]);
    if (!parser.parse(args)) {
        if (!parser.unknownOptionNames().isEmpty()) {
            const QString name = parser.unknownOptionNames().first();
            return {std::nullopt,
                    UsageError(Format(Tr("unknown option: %1"),
                                      {(name.size() == 1 ? "-" : "--") + ToBytes(name)}))};
        }
        // The other failures are a value missing after the last option or one given to a switch
        // (--tile=x). Qt's text is English whatever the language: only its quoted name is used.
        const QString error = parser.errorText();
        const auto from = error.indexOf('\''), to = error.lastIndexOf('\'');
        const std::string name =
            from >= 0 && to > from ? ToBytes(error.mid(from + 1, to - from - 1)) : "";
        return {std::nullopt,
                UsageError(Format(error.startsWith("Missing") ? Tr("%1 needs a value.")
                                                              : Tr("%1 takes no value."),
                                  {name}))};
    }
    if (parser.isSet(help)) {
        std::fputs(HelpText().c_str(), stdout);
        return {std::nullopt, kOk};
    }
    if (parser.isSet(version)) {
        std::printf("glimbra-cli %s\n", GLIMBRA_VERSION);
        return {std::nullopt, kOk};
    }

    Options opt;
    // Of --tile and --stretch the last one given counts.
    const QStringList names = parser.optionNames();
    const auto lastTile = names.lastIndexOf("tile"), lastStretch = names.lastIndexOf("stretch");
    opt.tile = lastTile > lastStretch ? basCommon::kTrue : basCommon::kFalse;
    if (parser.isSet(progressive)) opt.output.jpegPrgrs = -1;
    opt.output.lossless = parser.isSet(lossless);
    opt.batch = parser.isSet(batch);

    struct Number {
        const QCommandLineOption& option;
        int lo, hi;
        int* field;
    };
    int jpeg = opt.output.jpegRate, png = opt.output.pngRate;
    for (const Number& n : {Number{jpegRate, 1, 100, &jpeg}, Number{pngRate, 0, 2, &png},
                            Number{jobs, 1, 256, &opt.jobs}}) {
        if (!parser.isSet(n.option)) continue;
        const auto value = ParseInt(ToBytes(parser.value(n.option)), n.lo, n.hi);
        if (!value) {
            return {std::nullopt, UsageError(Format(Tr("%1 takes a whole number from %2 to %3."),
                                                    {"--" + ToBytes(n.option.names().first()),
                                                     std::to_string(n.lo), std::to_string(n.hi)}))};
        }
        *n.field = *value;
    }
    opt.output.jpegRate = std::int16_t(jpeg);
    opt.output.pngRate = std::int16_t(png);

    if (parser.isSet(format)) {
        std::string f = ToBytes(parser.value(format));
        std::transform(f.begin(), f.end(), f.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        if (f == "jpeg") f = "jpg";
        const std::vector<std::string> known = OutputFormats();
        if (std::find(known.begin(), known.end(), f) == known.end()) {
            return {std::nullopt,
                    UsageError(Format(Tr("--format takes one of: %1."), {Joined(known, ", ")}))};
        }
        opt.format = f;
    }

    for (const QString& a : parser.positionalArguments()) opt.args.push_back(ToBytes(a));
    if (opt.args.empty()) {
        std::fputs(HelpText().c_str(), stderr);
        return {std::nullopt, kUsage};
    }
    if (parser.isSet(filesFrom)) {
        if (!opt.batch) return {std::nullopt, UsageError(Tr("--files-from needs --batch."))};
        opt.fromList = true;
        for (const QString& list : parser.values(filesFrom)) {
            if (!ReadList(ToBytes(list), opt.args)) return {std::nullopt, kFailed};
        }
    }
    return {std::move(opt), kOk};
}

}  // namespace cli
