#pragma once

#include <QString>
#include <QStringList>

class QUrl;

// What the panel asks of the world outside its window: message boxes without
// an owner window, programs found and started, and documents handed to the
// desktop. Tests install their own so that nothing blocks and nothing is
// started.
class TReporter
{
public:
    virtual ~TReporter() = default;
    virtual void ShowError(const QString &caption, const QString &text);
    virtual void ShowInformation(const QString &caption, const QString &text);
    // The full path of an installed program, or empty.
    virtual QString FindProgram(const QString &name);
    // Starts a program on its own; false when it could not be started.
    virtual bool StartProgram(const QString &program, const QStringList &arguments);
    // Hands `url` to the desktop (a browser for a page); false when the
    // desktop has nothing to open it with.
    virtual bool OpenUrl(const QUrl &url);

    static TReporter &current();
    // Installs `reporter` (null: the standard one); returns the one before.
    static TReporter *install(TReporter *reporter);
};
