#pragma once

#include <QString>

// What the panel asks of the world outside its window: message boxes without
// an owner window, and opening a document with its viewer. Tests install their
// own so that nothing blocks and nothing is started.
class TReporter
{
public:
    virtual ~TReporter() = default;
    virtual void ShowError(const QString &caption, const QString &text);
    virtual void OpenDocument(const QString &path);

    static TReporter &current();
    // Installs `reporter` (null: the standard one); returns the one before.
    static TReporter *install(TReporter *reporter);
};
