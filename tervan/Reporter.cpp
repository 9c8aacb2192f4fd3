#include "Reporter.h"

#include <QDesktopServices>
#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>
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

void TReporter::ShowInformation(const QString &caption, const QString &text)
{
    QMessageBox::information(nullptr, caption.isEmpty() ? QStringLiteral(" ") : caption, text);
}

QString TReporter::FindProgram(const QString &name)
{
    return QStandardPaths::findExecutable(name);
}

bool TReporter::StartProgram(const QString &program, const QStringList &arguments)
{
    return QProcess::startDetached(program, arguments);
}

bool TReporter::OpenUrl(const QUrl &url)
{
    return QDesktopServices::openUrl(url);
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
