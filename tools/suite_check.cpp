// glimbra-suite-check TESTDATA_DIR [FORMAT,...]
//
// Loads every file listed in TESTDATA_DIR/EXPECTED.tsv through basCommon::LoadImageSlot into a
// fresh slot set, each in a child process with a time limit and an address-space cap, and checks
// the outcome against the row's expectation:
//   decode    must load; pixels compared with the reference when one is given
//   reject    must be refused
//   either    may load or be refused
//   optional  must load correctly or be refused
// Nothing may crash or hang. Pixels are compared as the slot shows them: a reference with alpha
// is first drawn over the slot's white background with the same blend as the slot, so
// transparent areas are compared too. Lossless formats must match exactly, JPEG within +-8 per
// channel (decoders differ in IDCT and upsampling). For the newer formats the row's note states
// the tolerance ("within 1", "approximate", ...: PSNR >= 30 dB for a lossy coder inside); a
// TIFF or WebP reference is read through our own loader, and a libwebp md5 list is matched by the
// decoded picture's PAM (RGBA) or PPM (RGB) bytes as libwebp's dwebp writes them.
//
// Prints one line per file and a table per format and expectation; exits 1 when a 'decode' row
// fails or mismatches, a 'reject' row loads, an 'optional' row mismatches, or anything crashes or
// hangs.

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QImage>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "compose/slots.h"
#include "imagefiles/load_image.h"
#include "platform/load_picture.h"
#include "platform/surface.h"

namespace {

constexpr int kTimeLimitSeconds = 10;
constexpr rlim_t kAddressSpaceCap = rlim_t{4} << 30;

struct Row {
    std::string path, format, expect, reference, note;
};

std::vector<Row> ReadExpected(const std::string& dir) {
    std::vector<Row> rows;
    std::ifstream in(dir + "/EXPECTED.tsv");
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> f;
        std::stringstream ss(line);
        std::string cell;
        while (std::getline(ss, cell, '\t')) f.push_back(cell);
        f.resize(5);
        if (f[3] == "-") f[3].clear();
        rows.push_back({f[0], f[1], f[2], f[3], f[4]});
    }
    return rows;
}

// A reference as straight-alpha 0xAARRGGBB pixels, rows top-down.
struct Reference {
    int width = 0, height = 0;
    std::vector<std::uint32_t> pixels;
    int tolerance = 0;  // per channel
    double meanAbs = 0;  // > 0: instead, the mean absolute difference of all channels below it
};

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::optional<Reference> FromImageFile(const std::string& path) {
    QImage img(QString::fromStdString(path));
    if (img.isNull()) return std::nullopt;
    img = img.convertToFormat(QImage::Format_ARGB32);
    Reference r;
    r.width = img.width();
    r.height = img.height();
    r.pixels.resize(std::size_t(r.width) * std::size_t(r.height));
    for (int y = 0; y < r.height; ++y) {
        std::memcpy(&r.pixels[std::size_t(y) * std::size_t(r.width)], img.constScanLine(y),
                    std::size_t(r.width) * 4);
    }
    return r;
}

// A reference in a format that only our own loader reads (a TIFF, a WebP).
std::optional<Reference> FromOurLoader(const std::string& path) {
    std::shared_ptr<const platform::Picture> picture;
    if (!platform::LoadPicture(path, picture)) return std::nullopt;
    Reference r;
    r.width = picture->pixels.width();
    r.height = picture->pixels.height();
    const std::uint32_t* p = picture->pixels.data();
    r.pixels.assign(p, p + picture->pixels.pixelCount());
    return r;
}

// libwebp's md5 list: whether the picture's PAM or PPM bytes, as dwebp writes them, have the
// md5 listed for "<file>.pam" or "<file>.ppm". Empty when they do; else why not.
std::string CompareMd5(const std::string& listPath, const std::string& picturePath) {
    std::ifstream in(listPath);
    const std::string name = std::filesystem::path(picturePath).filename().string();
    std::string md5, entry, pam, ppm;
    while (in >> md5 >> entry) {
        if (entry == name + ".pam") pam = md5;
        if (entry == name + ".ppm") ppm = md5;
    }
    if (pam.empty() && ppm.empty()) return "no md5 listed for " + name;
    std::shared_ptr<const platform::Picture> picture;
    if (!platform::LoadPicture(picturePath, picture)) return "cannot load it again";
    const int w = picture->pixels.width(), h = picture->pixels.height();
    QByteArray rgba = QByteArray("P7\nWIDTH ") + QByteArray::number(w) + "\nHEIGHT " +
                      QByteArray::number(h) + "\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
    QByteArray rgb = QByteArray("P6\n") + QByteArray::number(w) + " " + QByteArray::number(h) +
                     "\n255\n";
    for (std::size_t i = 0, n = picture->pixels.pixelCount(); i < n; ++i) {
        const std::uint32_t p = picture->pixels.data()[i];
        const char c[4] = {char(p >> 16), char(p >> 8), char(p), char(p >> 24)};
        rgba.append(c, 4);
        rgb.append(c, 3);
    }
    const auto hex = [](const QByteArray& b) {
        return QCryptographicHash::hash(b, QCryptographicHash::Md5).toHex().toStdString();
    };
    if ((!pam.empty() && hex(rgba) == pam) || (!ppm.empty() && hex(rgb) == ppm)) return "";
    return "md5 differs from the listed .pam/.ppm";
}

std::optional<Reference> FromRgba(const std::vector<long>& v, int width, int height) {
    if (width <= 0 || height <= 0 || v.size() != std::size_t(width) * std::size_t(height) * 4) {
        return std::nullopt;
    }
    Reference r;
    r.width = width;
    r.height = height;
    r.pixels.resize(v.size() / 4);
    for (std::size_t i = 0; i < r.pixels.size(); ++i) {
        const auto c = [&](int k) { return std::uint32_t(std::clamp(v[i * 4 + k], 0L, 255L)); };
        r.pixels[i] = c(3) << 24 | c(0) << 16 | c(1) << 8 | c(2);
    }
    return r;
}

// pngsuite's JSON: one flat array of RGBA values, 16-bit for 16-bit files. The image size is not
// in the file; the decoded size is used and the length must agree.
std::optional<Reference> FromJson(std::string path, int width, int height) {
    const std::string to8 = path.substr(0, path.size() - 5) + "_to8.json";
    bool reduce = false, from16 = false;
    if (std::filesystem::exists(to8)) path = to8, from16 = true;
    std::ifstream in(path);
    std::vector<long> v;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] >= '0' && text[i] <= '9') {
            std::size_t end = i;
            v.push_back(std::stol(text.substr(i), &end));
            i += end;
        } else {
            ++i;
        }
    }
    for (long x : v) reduce = reduce || x > 255;
    // Without an 8-bit version, a 16-bit reference is reduced here.
    if (reduce) {
        for (long& x : v) x = (x * 255 + 32767) / 65535;
    }
    // Reducing 16 bits to 8 by shifting or by rounding is the decoder's choice; the files'
    // own 8-bit versions took one of them. One step either way is allowed.
    auto r = FromRgba(v, width, height);
    if (r && (reduce || from16)) r->tolerance = 1;
    return r;
}

// The gif-test-suite's .conf: the expected first frame, as a PNG or a raw RGBA file.
std::optional<Reference> FromConf(const std::string& path) {
    std::ifstream in(path);
    std::string line, section, frame0;
    int width = 0, height = 0;
    while (std::getline(in, line)) {
        if (line.starts_with("[")) {
            section = line;
            continue;
        }
        const auto eq = line.find(" = ");
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 3);
        if (section == "[config]" && key == "width") width = std::stoi(value);
        if (section == "[config]" && key == "height") height = std::stoi(value);
        if (section == "[frame0]" && key == "pixels") frame0 = value;
    }
    if (frame0.empty()) return std::nullopt;
    const std::string file = std::filesystem::path(path).parent_path() / frame0;
    if (EndsWith(frame0, ".png")) return FromImageFile(file);
    std::ifstream raw(file, std::ios::binary);
    std::vector<long> v;
    for (int c; (c = raw.get()) != EOF;) v.push_back(c);
    return FromRgba(v, width, height);
}

// Compares the slot's pixels with the reference drawn over white. Returns "" when they agree.
std::string Compare(const platform::Bitmap& got, Reference ref, double minPsnr) {
    if (got.width() != ref.width || got.height() != ref.height) {
        return "size " + std::to_string(got.width()) + "x" + std::to_string(got.height()) +
               ", reference " + std::to_string(ref.width) + "x" + std::to_string(ref.height);
    }
    std::vector<std::uint32_t> expect(std::size_t(ref.width), platform::kWhite);
    // A grey reference for a colour file (the JPEG test images' source) is compared by luma.
    bool grayRef = minPsnr > 0;
    for (std::uint32_t p : ref.pixels) {
        grayRef = grayRef && ((p >> 16 & 0xFF) == (p & 0xFF)) && ((p >> 8 & 0xFF) == (p & 0xFF));
    }
    const auto luma = [](std::uint32_t p) {
        return 0.299 * (p >> 16 & 0xFF) + 0.587 * (p >> 8 & 0xFF) + 0.114 * (p & 0xFF);
    };
    long long bad = 0, firstX = -1, firstY = -1;
    std::uint32_t firstGot = 0, firstWant = 0;
    double squared = 0, absolute = 0;
    for (int y = 0; y < ref.height; ++y) {
        std::fill(expect.begin(), expect.end(), platform::kWhite);
        platform::BlendRowOver(expect.data(), &ref.pixels[std::size_t(y) * std::size_t(ref.width)],
                               ref.width);
        const std::uint32_t* row = got.row(y);
        for (int x = 0; x < ref.width; ++x) {
            int worst = 0;
            for (int shift = 0; shift < 24; shift += 8) {
                const int d = int((row[x] >> shift) & 0xFF) - int((expect[x] >> shift) & 0xFF);
                worst = std::max(worst, std::abs(d));
                absolute += std::abs(d);
                if (!grayRef) squared += double(d) * d;
            }
            if (grayRef) {
                const double d = luma(row[x]) - luma(expect[x]);
                squared += 3 * d * d;
            }
            if (worst > ref.tolerance) {
                if (bad++ == 0) {
                    firstX = x;
                    firstY = y;
                    firstGot = row[x];
                    firstWant = expect[x];
                }
            }
        }
    }
    if (ref.meanAbs > 0) {
        const double mean = absolute / (3.0 * double(ref.width) * double(ref.height));
        if (mean < ref.meanAbs) return "";
        return "mean abs diff " + std::to_string(mean);
    }
    if (minPsnr > 0) {
        const double mse = squared / (3.0 * double(ref.width) * double(ref.height));
        const double psnr = mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
        if (psnr >= minPsnr) return "";
        return "PSNR " + std::to_string(psnr) + " dB";
    }
    if (bad == 0) return "";
    char text[160];
    std::snprintf(text, sizeof text,
                  "%lld pixels differ (tolerance %d); first at %lld,%lld: %06X, want %06X", bad,
                  ref.tolerance, firstX, firstY, firstGot & 0xFFFFFFu, firstWant & 0xFFFFFFu);
    return text;
}

// Runs in the child: loads, compares, and writes one line "<outcome>\t<detail>".
std::string CheckInChild(const std::string& dir, const Row& row) {
    compose::SlotSet slotSet;
    std::string reason;
    const std::string path = dir + "/" + row.path;
    if (basCommon::LoadImageSlot(slotSet, path, 0, &reason) != 0) return "refused\t" + reason;
    const platform::Bitmap& image = slotSet.picLoad[0].Image();
    const std::string size = std::to_string(image.width()) + "x" + std::to_string(image.height());
    if (row.reference.empty()) return "loaded\t" + size + ", no reference";
    const std::string ref = dir + "/" + row.reference;
    std::optional<Reference> r;
    double minPsnr = 0;
    if (EndsWith(ref, ".md5")) {
        const std::string diff = CompareMd5(ref, path);
        if (!diff.empty()) return "mismatch\t" + size + ": " + diff;
        return "match\t" + size + ", md5 exact";
    }
    if (EndsWith(ref, ".tif") || EndsWith(ref, ".tiff") || EndsWith(ref, ".webp")) {
        r = FromOurLoader(ref);
    } else if (EndsWith(ref, ".json")) {
        r = FromJson(ref, image.width(), image.height());
    } else if (EndsWith(ref, ".conf")) {
        r = FromConf(ref);
        if (!r) return "loaded\t" + size + ", reference lists no frame";
    } else {
        r = FromImageFile(ref);
        // The uncompressed source of the JPEG test images: only close, not within a tolerance.
        if (EndsWith(ref, "testorig.png")) minPsnr = 30;
        // Turned copies of one photo, each encoded again: close to the upright original, not
        // within a tolerance. A wrong turn is far from it.
        if (row.path.find("orientation") != std::string::npos) minPsnr = 30;
    }
    if (!r) return "mismatch\treference unreadable: " + row.reference;
    if (row.format == "jpeg") r->tolerance = std::max(r->tolerance, 8);
    // The newer suites state their tolerance in the note.
    const auto says = [&](const char* words) { return row.note.find(words) != std::string::npos; };
    if (says("within 1") || says("16-bit")) r->tolerance = std::max(r->tolerance, 1);
    if (says("approximate") || says("JPEG-like") || says("compare in CMYK") ||
        says("mean abs diff")) {
        minPsnr = 30;
    }
    if (const auto at = row.note.find("mean abs diff under "); at != std::string::npos) {
        r->meanAbs = std::atof(row.note.c_str() + at + 20);
    }
    // AVIF, HEIF and JPEG XL references are the coders' sources or renderings in the reference's
    // own colour space: close to a right decode (PSNR over 30 dB), far from a wrong one.
    if (row.format == "avif" || row.format == "heif" || row.format == "jxl") minPsnr = 30;
    // The odd-sized AVIF files are their source less its first column and/or row, and the
    // monochrome ones are compared by luma.
    if (row.format == "avif") {
        const int dx = r->width - image.width(), dy = r->height - image.height();
        if (dx >= 0 && dx <= 1 && dy >= 0 && dy <= 1 && dx + dy > 0) {
            std::vector<std::uint32_t> cropped;
            for (int y = dy; y < r->height; ++y) {
                const auto* at = &r->pixels[std::size_t(y) * std::size_t(r->width) + std::size_t(dx)];
                cropped.insert(cropped.end(), at, at + image.width());
            }
            r->pixels.swap(cropped);
            r->width = image.width(), r->height = image.height();
        }
        if (row.path.find("monochrome") != std::string::npos) {
            for (std::uint32_t& p : r->pixels) {
                const auto v = std::uint32_t(std::lround(0.299 * (p >> 16 & 0xFF) +
                                                         0.587 * (p >> 8 & 0xFF) + 0.114 * (p & 0xFF)));
                p = (p & 0xFF000000u) | v << 16 | v << 8 | v;
            }
        }
    }
    const std::string diff = Compare(image, *r, minPsnr);
    if (!diff.empty()) return "mismatch\t" + size + ": " + diff;
    if (minPsnr > 0) return "match\t" + size + ", PSNR >= " + std::to_string(int(minPsnr)) + " dB";
    return "match\t" + size +
           (r->tolerance ? ", within +-" + std::to_string(r->tolerance) : ", exact");
}

enum class Outcome { Loaded, Refused, Crashed, Hung, Mismatched };

struct Result {
    Outcome outcome;
    std::string detail;
    bool compared = false;
};

Result RunOne(const std::string& dir, const Row& row) {
    int fds[2];
    if (::pipe(fds) != 0) return {Outcome::Crashed, "pipe failed"};
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) return {Outcome::Crashed, "fork failed"};
    if (pid == 0) {
        ::close(fds[0]);
        const rlimit cap{kAddressSpaceCap, kAddressSpaceCap};
        ::setrlimit(RLIMIT_AS, &cap);
        ::alarm(kTimeLimitSeconds);
        const std::string line = CheckInChild(dir, row) + "\n";
        [[maybe_unused]] const ssize_t n = ::write(fds[1], line.data(), line.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string out;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(kTimeLimitSeconds + 2);
    bool killed = false;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            // The child ignored its alarm.
            ::kill(pid, SIGKILL);
            killed = true;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, int(left.count())) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, std::size_t(n));
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (killed || (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM)) {
        return {Outcome::Hung, "no result after " + std::to_string(kTimeLimitSeconds) + " s"};
    }
    if (WIFSIGNALED(status))
        return {Outcome::Crashed, std::string("signal ") + strsignal(WTERMSIG(status))};
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || out.empty()) {
        return {Outcome::Crashed, "exit status " + std::to_string(WEXITSTATUS(status))};
    }
    while (!out.empty() && out.back() == '\n') out.pop_back();
    const auto tab = out.find('\t');
    const std::string kind = out.substr(0, tab), detail = out.substr(tab + 1);
    if (kind == "refused") return {Outcome::Refused, detail};
    if (kind == "mismatch") return {Outcome::Mismatched, detail, true};
    return {Outcome::Loaded, detail, kind == "match"};
}

bool Acceptable(const std::string& expect, Outcome o) {
    if (o == Outcome::Crashed || o == Outcome::Hung) return false;
    if (expect == "decode") return o == Outcome::Loaded;
    if (expect == "reject") return o == Outcome::Refused;
    if (expect == "optional") return o != Outcome::Mismatched;
    return true;  // either: anything clean, and a mismatch of a doubtful file is only reported
}

struct Counts {
    int total = 0, loaded = 0, refused = 0, crashed = 0, hung = 0, mismatched = 0, failed = 0;
};

void PrintTable(const std::map<std::string, Counts>& table) {
    std::printf("\n%-16s %6s %7s %8s %8s %5s %11s %7s\n", "format/expect", "files", "loaded",
                "refused", "crashed", "hung", "mismatched", "FAILED");
    for (const auto& [key, c] : table) {
        std::printf("%-16s %6d %7d %8d %8d %5d %11d %7d\n", key.c_str(), c.total, c.loaded,
                    c.refused, c.crashed, c.hung, c.mismatched, c.failed);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s TESTDATA_DIR [FORMAT,...]\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    std::vector<Row> rows = ReadExpected(dir);
    // Only the rows of the formats named (the EXPECTED.tsv column: webp,tiff), when given.
    if (argc == 3) {
        const std::string wanted = "," + std::string(argv[2]) + ",";
        std::erase_if(rows, [&](const Row& r) {
            return wanted.find("," + r.format + ",") == std::string::npos;
        });
    }
    if (rows.empty()) {
        std::fprintf(stderr, "%s/EXPECTED.tsv: no rows\n", dir.c_str());
        return 2;
    }
    std::map<std::string, Counts> byFormat, byExpect;
    bool failed = false;
    static const char* kNames[] = {"loaded", "refused", "CRASHED", "HUNG", "MISMATCH"};
    for (const Row& row : rows) {
        const auto t0 = std::chrono::steady_clock::now();
        const Result r = RunOne(dir, row);
        const long ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - t0)
                                 .count());
        const bool ok = Acceptable(row.expect, r.outcome);
        failed = failed || !ok;
        std::printf("%s  %-8s %-8s %-68s %5ld ms  %s\n", ok ? "PASS" : "FAIL", row.expect.c_str(),
                    kNames[int(r.outcome)], row.path.c_str(), ms, r.detail.c_str());
        std::fflush(stdout);
        for (Counts* c : {&byFormat[row.format + "/" + row.expect], &byExpect[row.expect]}) {
            ++c->total;
            switch (r.outcome) {
                case Outcome::Loaded:
                    ++c->loaded;
                    break;
                case Outcome::Refused:
                    ++c->refused;
                    break;
                case Outcome::Crashed:
                    ++c->crashed;
                    break;
                case Outcome::Hung:
                    ++c->hung;
                    break;
                case Outcome::Mismatched:
                    ++c->loaded, ++c->mismatched;
                    break;
            }
            if (!ok) ++c->failed;
        }
    }
    PrintTable(byFormat);
    PrintTable(byExpect);
    return failed ? 1 : 0;
}
