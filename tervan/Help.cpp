#include "Help.h"

#include "Reporter.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>

namespace {

// Viewers of compiled HTML help, in order of preference.
#ifdef Q_OS_WIN
const char *const chmViewers[] = {"hh.exe"};
#else
const char *const chmViewers[] = {"xchm", "kchmviewer", "uchmviewer"};
#endif

// Where the help lies: beside the program (the build's folder, the Windows
// distribution), else where an installed prefix keeps it (PREFIX/share/kt40
// for PREFIX/bin/tervan).
QDir helpFolder(const QString &programFolder)
{
    const QDir beside(programFolder);
    const QDir installed(QDir::cleanPath(beside.filePath(QStringLiteral("../share/kt40"))));
    for (const QDir &dir : {beside, installed}) {
        if (QFileInfo(dir.filePath(QStringLiteral("tervan.chm"))).isFile()
            || QFileInfo(dir.filePath(QStringLiteral("help/index.html"))).isFile())
            return dir;
    }
    return beside;
}

} // namespace

void THelp::Open(const QString &folder, TReporter &outside)
{
    const QDir dir = helpFolder(folder);
    const QString chm = dir.filePath(QStringLiteral("tervan.chm"));
    const QString pages = dir.filePath(QStringLiteral("help/index.html"));
    const bool haveChm = QFileInfo(chm).isFile();
    const bool havePages = QFileInfo(pages).isFile();

    if (haveChm) {
        for (const char *name : chmViewers) {
            const QString viewer = outside.FindProgram(QLatin1String(name));
            if (!viewer.isEmpty() && outside.StartProgram(viewer, {QDir::toNativeSeparators(chm)}))
                return;
        }
    }
    if (havePages && outside.OpenUrl(QUrl::fromLocalFile(pages)))
        return;

    if (!haveChm && !havePages) {
        outside.ShowError(QStringLiteral("Справка"), QStringLiteral("Файлы справки не найдены в папке программы:\n")
                                                         + QDir::toNativeSeparators(dir.absolutePath()));
        return;
    }
    QString where;
    if (havePages)
        where += QStringLiteral("\n") + QDir::toNativeSeparators(pages);
    if (haveChm)
        where += QStringLiteral("\n") + QDir::toNativeSeparators(chm);
    outside.ShowInformation(QStringLiteral("Справка"),
                            QStringLiteral("Не удалось открыть справку: не найдена программа для её просмотра.\n"
                                           "Справка находится здесь:")
                                + where);
}
