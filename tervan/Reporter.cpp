#include "Reporter.h"

#include <QDesktopServices>
#include <QMessageBox>
#include <QProcess>
#include <QUrl>

namespace {
TReporter standard;
TReporter *installed = &standard;
} // namespace

void TReporter::ShowError(const QString &caption, const QString &text)
{
    // The platform puts the program's name in place of an empty title; a
    // blank one shows as the empty caption that was asked for.
    QMessageBox::critical(nullptr, caption.isEmpty() ? QStringLiteral(" ") : caption, text);
}

void TReporter::OpenDocument(const QString &path)
{
#ifdef Q_OS_WIN
    QProcess::startDetached(QStringLiteral("hh.exe"), {path});
#else
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
#endif
}

TReporter &TReporter::current()
{
    return *installed;
}

TReporter *TReporter::install(TReporter *reporter)
{
    TReporter *before = installed;
    installed = reporter ? reporter : &standard;
    return before;
}
