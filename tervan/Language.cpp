#include "Language.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>

bool TPanelLanguage::Install()
{
    // Numbers, dates and sizes in Qt's dialogs the Russian way too.
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    auto *translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(QStringLiteral(":/translations/qtbase_ru.qm"))) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}
