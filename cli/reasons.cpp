#include "cli/reasons.h"

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/options.h"

namespace cli {
namespace {

// The phrases of the loaders', writers' and file helpers' reasons. A reason that gains a new
// phrase shows that phrase in Japanese until it is added here.
const std::pair<std::string_view, std::string_view> kPhrases[] = {
    // Files and folders (errno texts first: they appear inside other reasons).
    {"ファイルまたはフォルダが見つかりません", "no such file or folder"},
    {"アクセスが拒否されました", "permission denied"},
    {"ディスクの空きがありません", "no space left on the disk"},
    {"ディスクの割り当てを超えました", "disk quota exceeded"},
    {"読み取り専用のファイルシステムです", "read-only file system"},
    {"読み取り専用のファイルです", "the file is read-only"},
    {"パスが長すぎます", "path too long"},
    {"パスの途中がフォルダではありません", "a part of the path is not a folder"},
    {"シンボリックリンクが循環しています", "too many levels of symbolic links"},
    {"入出力エラー", "input/output error"},
    {"システムエラー", "system error"},
    {"フォルダです (ファイルではありません)", "a folder, not a file"},
    {"フォルダです", "is a folder"},
    {"ファイルが見つかりません", "file not found"},
    {"通常のファイルではありません", "not a regular file"},
    {"ファイルが大きすぎます", "file too large"},
    {"空のファイルです", "empty file"},
    {"ファイルを開けません", "cannot open the file"},
    {"ファイルを読めません", "cannot read the file"},
    {"ファイルを作成できません", "cannot create the file"},
    {"ファイルに書き込めません", "cannot write the file"},
    {"ファイルが開かれていません", "the file is not open"},
    {"一時ファイルがありません", "no temporary file"},
    {"ファイルが途中で切れています", "the file is cut short"},
    // Pictures.
    {"メモリが足りません", "not enough memory"},
    {"画素の作業領域", "pixels of working space"},
    {"画像のデータが壊れています", "the picture's data is damaged"},
    {"画像の大きさが不正です", "invalid picture size"},
    {"画像の大きさが 0 です", "the picture's size is 0"},
    {"画像が大きすぎて BMP ファイルにできません", "the picture is too large for a BMP file"},
    {"BMP ファイルの上限は 4 GiB", "a BMP file holds at most 4 GiB"},
    {"画像が大きすぎます", "the picture is too large"},
    {"PNG の画像またはチャンクが上限を超えます", "a PNG picture or chunk beyond the limits"},
    {"この種類の JPEG は読めません", "JPEG files of this kind cannot be read"},
    {"スキャンが多すぎます", "too many scans"},
    {"画像のデータが途中で終わっています", "the picture's data ends early"},
    {"画像のデータが足りません", "too little picture data"},
    {"には少なくとも", "needs at least"},
    {"バイト必要; あるのは", "bytes; there are"},
    {"バイト", "bytes"},
    {"上限は", "the limit is"},
    {"画素", "pixels"},
    {"GIF ファイルに画像がありません", "the GIF file holds no picture"},
    {"この形式の画像は読めません", "pictures of this kind cannot be read"},
    {"画像の形式が分かりません", "unknown picture format"},
    {"画像を読み取れません", "cannot read the picture"},
    {"画像の欄の番号が不正です", "invalid slot number"},
    {"描画先がありません", "nothing to draw into"},
    {"保存する画像がありません", "no picture to save"},
    {"元の画像", "source image"},
    {"浮き画像の大きさが 0 です", "the floating image's size is 0"},
    {"PNG ファイルが途中で切れています", "the PNG file is cut short"},
    {"PNG ファイルを読み込めません", "cannot read the PNG file"},
    {"PNG ファイルではありません", "not a PNG file"},
    {"シグネチャが違います", "wrong signature"},
    {"PNG ファイルが壊れています", "the PNG file is damaged"},
    {"CRC が一致しません", "CRC mismatch"},
    {"ヘッダが不正です", "invalid header"},
    {"圧縮データが不正です", "invalid compressed data"},
    {"JPEG 圧縮を開始できません", "cannot start JPEG compression"},
    {"JPEG に圧縮できません", "cannot compress to JPEG"},
    {"PNG に圧縮できません", "cannot compress to PNG"},
    {"JPEG の圧縮率", "JPEG quality"},
    {"PNG の設定", "PNG setting"},
    {"の設定値", "value"},
    {"が範囲 (0～255) の外です", "is outside 0..255"},
    {"画像が大きすぎてこの形式の読み込み処理では読めません",
     "the picture is too large for this format's reader"},
    {"の上限は", "limit is"},
    {"一辺の上限は", "the limit of a side is"},
    // Kinds of files that are not regular files.
    {"名前付きパイプ", "named pipe"},
    {"キャラクタデバイス", "character device"},
    {"ブロックデバイス", "block device"},
    {"ソケット", "socket"},
    {"特殊ファイル", "special file"},
    {"フォルダ", "folder"},
    // Memory.
    {"メモリが足りません: 必要", "not enough memory: needs"},
    {"使える量", "available"},
    {"空きメモリ", "free memory"},
    {"アドレス空間の残り", "address space left"},
    {"、", ", "},
    // glimbra-cli's own reasons that name other files.
    {"出力名が前の画像と重なります", "the output name is taken by an earlier source"},
    {"出力が入力の画像と同じファイルです", "the output is the same file as an input"},
    {"出力フォルダに書き込めません", "cannot write into the output folder"},
};

}  // namespace

std::string EnglishReason(std::string reason) {
    static const std::vector<std::pair<std::string_view, std::string_view>> phrases = [] {
        std::vector<std::pair<std::string_view, std::string_view>> sorted(std::begin(kPhrases),
                                                                          std::end(kPhrases));
        std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
            return a.first.size() > b.first.size();
        });
        return sorted;
    }();
    // One left-to-right pass: at each position the longest phrase that starts there, so that an
    // English replacement is never searched again.
    std::string out;
    for (std::size_t at = 0; at < reason.size();) {
        const auto match = std::find_if(phrases.begin(), phrases.end(), [&](const auto& p) {
            return std::string_view(reason).substr(at).starts_with(p.first);
        });
        if (match == phrases.end()) {
            out += reason[at++];
        } else {
            out += match->second;
            at += match->first.size();
        }
    }
    return out;
}

std::string LocalReason(const std::string& reason) {
    return WantsJapanese() ? reason : EnglishReason(reason);
}

}  // namespace cli
