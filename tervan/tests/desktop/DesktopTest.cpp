// The main window under a real X server and window manager: what the
// operator sees after the window was covered or minimised, and the titles
// that the window manager shows.
#include "PanelFixture.h"

#include "Drawgrid.h"
#include "Reporter.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QProcess>
#include <QScreen>
#include <QTimer>
#include <QWindow>

namespace tervan::test {
namespace {

class DesktopTest : public PanelTest
{
protected:
    void SetUp() override
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            GTEST_SKIP() << "needs an X server (run-under-x.sh)";
        PanelTest::SetUp();
    }
    // The colour the X server shows inside LAM cell k (1..24).
    QColor lamCell(int k)
    {
        const QRect r = form->LAMTable->cellRect((k - 1) % 8, (k - 1) / 8);
        const QPoint p = form->LAMTable->viewport()->mapTo(form.get(), r.topLeft() + QPoint(1, 1));
        return form->screen()->grabWindow(form->winId(), p.x(), p.y(), 1, 1).toImage().pixelColor(0, 0);
    }
    bool allCellsNotValid()
    {
        for (int k = 1; k <= 24; ++k)
            if (lamCell(k) != QColor(128, 128, 128))
                return false;
        return true;
    }
    // "Z": the upper eight cells become valid (black: no LAM there).
    void runZ()
    {
        click(form->SpeedButton175);
        click(form->btnOneTime);
        QTRY_VERIFY(idle());
        QTRY_COMPARE(lamCell(17), QColor(0, 0, 0));
        EXPECT_EQ(lamCell(24), QColor(0, 0, 0));
        EXPECT_EQ(lamCell(1), QColor(128, 128, 128));
    }
    // The title the window manager shows for a window.
    static QString shownTitle(WId window)
    {
        QProcess xprop;
        xprop.start(QStringLiteral("xprop"), {QStringLiteral("-id"), QString::number(window), QStringLiteral("_NET_WM_NAME")});
        if (!xprop.waitForFinished(5000))
            return QStringLiteral("(xprop did not answer)");
        // _NET_WM_NAME(UTF8_STRING) = "title"
        const QString out = QString::fromUtf8(xprop.readAllStandardOutput()).trimmed();
        const qsizetype quote = out.indexOf(QLatin1Char('"'));
        return quote < 0 ? out : out.mid(quote + 1).chopped(1);
    }
};

TEST_F(DesktopTest, LamTableShowsNothingValidOnceIdleAfterBeingCoveredOrMinimised)
{
    open();
    form->activateWindow();
    runZ();
    // The options dialog opens over the table and closes again.
    click(form->btnOptions);
    QTRY_VERIFY(QApplication::activeModalWidget() != nullptr);
    QWidget *dialog = QApplication::activeModalWidget();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
    ASSERT_TRUE(dialog->frameGeometry().intersects(QRect(form->LAMTable->mapToGlobal(QPoint()), form->LAMTable->size())));
    QTest::keyClick(dialog, Qt::Key_Escape);
    QTRY_VERIFY(!form->btnOptions->down());
    QTRY_VERIFY(allCellsNotValid());

    // Minimised and restored.
    runZ();
    form->showMinimized();
    QTRY_VERIFY(!form->windowHandle()->isExposed());
    form->showNormal();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    QTRY_VERIFY(allCellsNotValid());
}

TEST_F(DesktopTest, MessageWithoutCaptionShowsAnEmptyTitle)
{
    open();
    TReporter::install(nullptr); // the real message boxes
    QString title = QStringLiteral("(no box)");
    QTimer::singleShot(0, [&] {
        QWidget *box = nullptr;
        (void)QTest::qWaitFor([&] { return (box = QApplication::activeModalWidget()) != nullptr; }, 5000);
        if (!box)
            return;
        (void)QTest::qWaitForWindowExposed(box);
        title = shownTitle(box->winId());
        static_cast<QMessageBox *>(box)->done(0);
    });
    TReporter::current().ShowError(QString(), QStringLiteral("Несовместимый формат !!!"));
    EXPECT_TRUE(title.trimmed().isEmpty()) << title.toStdString();
    EXPECT_EQ(shownTitle(form->winId()), QStringLiteral("Tervan KT40"));
}

} // namespace
} // namespace tervan::test
