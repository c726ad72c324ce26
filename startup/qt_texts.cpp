#include "startup/qt_texts.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <iterator>

namespace startup {
namespace {

// Qt 6 asks for the file list's type names under the context QAbstractFileIconProvider, which
// its Japanese catalogue (Debian 12) does not have yet; its words for them under QFileDialog are
// used here. Every other text is left to the catalogue.
class FileTypeNames final : public QTranslator {
  public:
    using QTranslator::QTranslator;

    QString translate(const char* context, const char* sourceText, const char* /*disambiguation*/,
                      int /*n*/) const override {
        if (qstrcmp(context, "QAbstractFileIconProvider") != 0) return {};
        for (const auto& [english, japanese] : kNames) {
            if (qstrcmp(sourceText, english) == 0) return QString::fromUtf8(japanese);
        }
        return {};
    }
    bool isEmpty() const override { return false; }

  private:
    static constexpr const char* kNames[][2] = {
        {"Folder", "フォルダ"}, {"File Folder", "ファイルフォルダ"}, {"Drive", "ドライブ"},
        {"File", "ファイル"},   {"Shortcut", "ショートカット"},      {"Alias", "エイリアス"},
        {"Unknown", "不明"},
    };
};

}  // namespace

bool InstallQtJapanese(QCoreApplication& app) {
    // Dates, numbers and the file types' descriptions (shared-mime-info's Japanese comments)
    // follow the default locale. Qt's file model formats sizes and dates with the system locale
    // instead; the file dialog formats those again (platform/qt_ui_host).
    QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan));
    // Parented to app: they live exactly as long as the application that uses them.
    QCoreApplication::installTranslator(new FileTypeNames(&app));
    auto* translator = new QTranslator(&app);
    if (!translator->load(QStringLiteral("qtbase_ja"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

}  // namespace startup
