#pragma once
// The settings record and the settings file "Glimbra.ini": beside the executable for portable use,
// else in the user's configuration folder.

#include <cstdint>
#include <string>

namespace basCommon {

// The settings record, valid from LoadSettings to the end of the process.
inline std::int16_t JpegRate = 50;   // [JPEG] Rate: JPEG quality 1..100
inline std::int16_t JpegPrgrs = 0;   // [JPEG] Prgrs: -1 progressive, 0 baseline
inline std::int16_t PngRate = 1;     // [PNG] Rate: 1 fastest, 0 normal, 2 smallest
inline std::int16_t OptionsGif = 1;  // [Options] GIF: 1 GIF files may be dropped; never written
inline std::string SettingsPath;     // full path of the settings file, set by LoadSettings

inline constexpr const char* kSettingsFileName = "Glimbra.ini";

// Where the settings file of a program in exeFolder lives: kSettingsFileName in exeFolder when
// that folder already holds one that may be written, or holds none but lets us create files there
// (portable use); otherwise $XDG_CONFIG_HOME/glimbra/ (~/.config/glimbra/ when XDG_CONFIG_HOME is
// unset, empty or relative), a folder that is then created. So a read-only file beside the
// program, or one on a read-only share, leaves the settings to the user's folder instead of
// losing them; an installed program's folder (/usr/bin) without a file takes the second too, and
// so do the system's program folders for root, who could write there. With neither variable set
// it stays exeFolder.
std::string ChooseSettingsPath(const std::string& exeFolder);

// Sets SettingsPath (ChooseSettingsPath of the executable's folder) and reads all four settings. A stored value that is empty, not a whole
// number, or outside -32768..32767 is read as the key's default.
void LoadSettings();
// Writes JpegRate, JpegPrgrs and PngRate, in that order. A failed write is ignored.
void SaveSettings();

}  // namespace basCommon

namespace basFunc {

std::string ReadIni(const std::string& section, const std::string& key,
                    const std::string& defaultText, const std::string& filePath);
std::int16_t WriteIni(const std::string& section, const std::string& key,
                      const std::string& valueText, const std::string& filePath);
// The path with one trailing backslash; an empty path gives a single backslash.
std::string AddBackslash(const std::string& path);
// The text up to, not including, its first NUL character.
std::string CutAtNul(const std::string& text);
// The last four characters upper-cased (the whole text when shorter): how file types are told
// apart by name. Only ASCII letters change case, as every extension compared against is ASCII
// (so a non-ASCII letter can never turn into part of ".GIF" or ".ICO").
std::string UpperTail4(const std::string& text);
// AddBackslash for the folder separator of this platform, "/": the folder with one trailing
// "/" (unchanged when it already ends in one; an empty folder gives "/"). AddBackslash keeps its
// contract (a backslash) as a text helper; paths on this platform are joined with this one.
std::string AddPathSeparator(const std::string& folder);

}  // namespace basFunc
