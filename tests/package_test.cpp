// The Debian package that `cpack -G DEB` makes of this build, as a Debian user and lintian meet
// it: one version throughout, dependencies as they are on Debian 12, the licence and changelog,
// compressed manual pages, hardened programs, and no lintian error or warning.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;

struct Output {
    int status = -1;  // the exit status, -1 when the command did not exit
    std::string text;  // stdout and stderr together
};

Output Shell(const std::string& command) {
    Output out;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.text.append(buffer, n);
    const int status = pclose(pipe);
    if (WIFEXITED(status)) out.status = WEXITSTATUS(status);
    return out;
}

std::string Quote(const std::string& path) { return "'" + path + "'"; }

bool Have(const std::string& program) {
    return Shell("command -v " + program + " >/dev/null").status == 0;
}

// What `gzip -9n` makes: no file name and no time stamp in the header, so that the same text
// always gives the same bytes (lintian's package-contains-timestamped-gzip).
::testing::AssertionResult ReproducibleGzip(const std::string& path) {
    const std::string bytes = testing_support::ReadBytes(path);
    if (bytes.size() < 10 || bytes.compare(0, 3, "\x1f\x8b\x08") != 0)
        return ::testing::AssertionFailure() << path << " is not a gzip file";
    if (bytes[3] != 0 || bytes.compare(4, 4, std::string(4, '\0')) != 0)
        return ::testing::AssertionFailure() << path << " keeps a name or a time stamp";
    return ::testing::AssertionSuccess();
}

std::string Gunzip(const std::string& path) { return Shell("gzip -dc " + Quote(path)).text; }

class Package : public ::testing::Test {
protected:
    // Makes the package of this build in a private folder and unpacks it beside.
    void SetUp() override {
        const Output cpack = Shell("cd " + Quote(dir_.path()) + " && '" GLIMBRA_CPACK
                                 "' --config '" GLIMBRA_BUILD_DIR "/CPackConfig.cmake' -G DEB -B " +
                                 Quote(dir_.path()));
        ASSERT_EQ(cpack.status, 0) << cpack.text;
        for (const auto& e : fs::directory_iterator(dir_.path()))
            if (e.path().extension() == ".deb") debs_.push_back(e.path().string());
        ASSERT_EQ(debs_.size(), 1u) << cpack.text;
        deb_ = debs_.front();
        root_ = dir_.file("root");
        ASSERT_EQ(Shell("dpkg-deb -x " + Quote(deb_) + " " + Quote(root_)).status, 0);
    }

    std::string Field(const std::string& name) const {
        std::string value = Shell("dpkg-deb -f " + Quote(deb_) + " " + name).text;
        while (!value.empty() && value.back() == '\n') value.pop_back();
        return value;
    }

    std::string File(const std::string& path) const { return root_ + "/" + path; }

    testing_support::TempDir dir_;
    std::vector<std::string> debs_;
    std::string deb_, root_;
};

// The version is written in project() alone; the package, the programs' manual pages, the
// changelog's newest entry and the metainfo's newest release must all say it.
TEST_F(Package, SaysOneVersionThroughout) {
    const std::string version = GLIMBRA_VERSION;
    EXPECT_EQ(Field("Version"), version);
    EXPECT_EQ(fs::path(deb_).filename().string().rfind("glimbra_" + version + "_", 0), 0u) << deb_;
    const std::string changelog = Gunzip(File("usr/share/doc/glimbra/changelog.gz"));
    EXPECT_EQ(changelog.rfind("glimbra (" + version + ") ", 0), 0u)
        << "the newest entry of startup/desktop/changelog is not " << version << ":\n"
        << changelog.substr(0, changelog.find('\n'));
    const std::string metainfo =
        testing_support::ReadBytes(File("usr/share/metainfo/io.github.glimbra.Glimbra.metainfo.xml"));
    std::smatch release;
    ASSERT_TRUE(std::regex_search(metainfo, release, std::regex("<release version=\"([^\"]+)\"")));
    EXPECT_EQ(release[1], version) << "the newest <release> of the metainfo";
    for (const char* page : {"glimbra.1.gz", "glimbra-cli.1.gz"}) {
        const std::string path = File(std::string("usr/share/man/man1/") + page);
        EXPECT_TRUE(ReproducibleGzip(path));
        const std::string text = Gunzip(path);
        EXPECT_NE(text.substr(0, text.find('\n')).find("\"Glimbra " + version + "\""),
                  std::string::npos)
            << page << ": " << text.substr(0, text.find('\n'));
    }
    EXPECT_TRUE(ReproducibleGzip(File("usr/share/doc/glimbra/changelog.gz")));
}

// Depends comes from the libraries the programs link (Qt's X11 platform plugin is part of
// libqt6gui6 on Debian 12); what is loaded at run time is recommended.
TEST_F(Package, DependsOnWhatDebian12Provides) {
    const std::string depends = Field("Depends");
    for (const char* library : {"libqt6gui6", "libqt6widgets6", "libspng0", "libjpeg62-turbo",
                                "libexif12"})
        EXPECT_NE(depends.find(library), std::string::npos) << library << " in " << depends;
    EXPECT_EQ(depends.find("qt6-qpa-plugins"), std::string::npos) << depends;
    const std::string recommends = Field("Recommends");
    for (const char* package : {"qt6-wayland", "qt6-translations-l10n", "fonts-ipafont-gothic"})
        EXPECT_NE(recommends.find(package), std::string::npos) << package << " in " << recommends;
    const std::string entry = testing_support::ReadBytes(
        File("usr/share/applications/io.github.glimbra.Glimbra.desktop"));
    EXPECT_NE(entry.find("\nStartupWMClass=glimbra\n"), std::string::npos) << entry;
}

TEST_F(Package, CarriesTheMitLicence) {
    const std::string copyright = testing_support::ReadBytes(File("usr/share/doc/glimbra/copyright"));
    EXPECT_EQ(copyright.rfind(
                  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n", 0),
              0u);
    EXPECT_NE(copyright.find("\nLicense: Expat\n"), std::string::npos);
    EXPECT_NE(copyright.find("\nCopyright: 2026 The Glimbra developers\n"), std::string::npos);
    const std::string metainfo =
        testing_support::ReadBytes(File("usr/share/metainfo/io.github.glimbra.Glimbra.metainfo.xml"));
    EXPECT_NE(metainfo.find("<project_license>MIT</project_license>"), std::string::npos);
}

// What hardening-check looks for, read with binutils' readelf: a position-independent program,
// read-only relocations bound at start-up, the stack protector and fortified libc calls.
TEST_F(Package, ProgramsAreHardened) {
    for (const char* program : {"usr/bin/glimbra", "usr/bin/glimbra-cli"}) {
        SCOPED_TRACE(program);
        const std::string path = Quote(File(program));
        EXPECT_TRUE(std::regex_search(Shell("readelf -hW " + path).text,
                                      std::regex(R"(Type:\s+DYN)")));
        EXPECT_NE(Shell("readelf -lW " + path).text.find("GNU_RELRO"), std::string::npos);
        EXPECT_NE(Shell("readelf -dW " + path).text.find("BIND_NOW"), std::string::npos);
        const std::string symbols = Shell("readelf --dyn-syms -W " + path).text;
        EXPECT_NE(symbols.find("__stack_chk_fail"), std::string::npos);
        EXPECT_TRUE(std::regex_search(symbols, std::regex(R"(__(?!stack_)\w+_chk@)")));
    }
}

TEST_F(Package, LintianFindsNoErrorOrWarning) {
    if (!Have("lintian")) GTEST_SKIP() << "lintian is not installed (Debian lintian): not run";
    const Output lintian =
        Shell("lintian --allow-root --fail-on error,warning --no-tag-display-limit " + Quote(deb_));
    EXPECT_EQ(lintian.status, 0) << lintian.text;
    const std::string lines = "\n" + lintian.text;
    EXPECT_EQ(lines.find("\nE: "), std::string::npos) << lintian.text;
    EXPECT_EQ(lines.find("\nW: "), std::string::npos) << lintian.text;
}

}  // namespace
