// The options dialog: its look, the two delay rows with their arrows, and
// what "OK" and "Отмена" hand to the worker.
#include "PanelFixture.h"

#include "Fonts.h"
#include "Options.h"

#include <QApplication>
#include <QPointer>

#include <chrono>
#include <utility>
#include <vector>

namespace tervan::test {
namespace {

class OptionsTest : public PanelTest
{
protected:
    // Opens the dialog with the main window's "Настройки".
    void show()
    {
        ASSERT_FALSE(form->btnOptions->down());
        click(form->btnOptions);
        QTRY_VERIFY((dialog = form->findChild<TfrmOptions *>()) && dialog->isVisible());
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
    }
    // Replaces the text of an edit field by typing.
    static void type(QLineEdit *edit, const QString &text)
    {
        edit->setFocus();
        QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(edit, Qt::Key_Delete);
        QTest::keyClicks(edit, text);
    }
    static void up(TUpDown *arrows) { QTest::mouseClick(arrows, Qt::LeftButton, {}, QPoint(7, 2)); }
    static void down(TUpDown *arrows) { QTest::mouseClick(arrows, Qt::LeftButton, {}, QPoint(7, 11)); }
    void ok()
    {
        QTest::mouseClick(dialog->SpeedButton11, Qt::LeftButton);
        QTRY_VERIFY(!dialog);
    }
    void cancel()
    {
        QTest::mouseClick(dialog->SpeedButton12, Qt::LeftButton);
        QTRY_VERIFY(!dialog);
    }
    std::int32_t commandDelay() { return form->Worker().CommandDelay; }
    std::int32_t cycleDelay() { return form->Worker().CycleDelay; }

    QPointer<TfrmOptions> dialog;
};

QColor colour(QWidget *w, QPalette::ColorRole role)
{
    return w->palette().color(role);
}

TEST_F(OptionsTest, LooksAsLaidOutAndStandsOverTheMainWindow)
{
    open();
    show();
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Настройки"));
    EXPECT_EQ(dialog->objectName(), QStringLiteral("frmOptions"));
    const Qt::WindowFlags flags = dialog->windowFlags();
    EXPECT_FALSE(flags & Qt::WindowSystemMenuHint);
    EXPECT_FALSE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(dialog->isModal());
    EXPECT_LE(std::abs(dialog->frameGeometry().center().x() - form->frameGeometry().center().x()), 1);
    EXPECT_LE(std::abs(dialog->frameGeometry().center().y() - form->frameGeometry().center().y()), 1);
    EXPECT_EQ(colour(dialog, QPalette::Window), QColor(146, 176, 192));

    const struct
    {
        QWidget *widget;
        QRect geometry;
    } places[] = {
        {dialog->MaskEdit1, {296, 32, 57, 14}}, {dialog->udp1, {353, 32, 14, 14}}, {dialog->Label2, {384, 32, 14, 13}},
        {dialog->Label3, {32, 64, 149, 13}},    {dialog->MaskEdit2, {296, 64, 57, 14}}, {dialog->udp2, {353, 64, 14, 14}},
        {dialog->Label4, {384, 64, 14, 13}},    {dialog->SpeedButton11, {112, 110, 89, 22}},
        {dialog->SpeedButton12, {232, 110, 89, 22}},
    };
    for (const auto &p : places)
        EXPECT_EQ(p.widget->geometry(), p.geometry) << p.widget->objectName().toStdString();
    // The long label may wrap into a second line where the face is wider.
    EXPECT_EQ(dialog->Label1->geometry().topLeft(), QPoint(32, 32));
    EXPECT_EQ(dialog->Label1->width(), 242);
    EXPECT_TRUE(dialog->Label1->wordWrap());
    // Every control fits in the window.
    for (QWidget *w : dialog->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
        EXPECT_TRUE(dialog->rect().contains(w->geometry())) << w->objectName().toStdString();

    const QString labels[] = {QStringLiteral("Задержка между командами микропрограммы"), QStringLiteral("мс"),
                              QStringLiteral("Задержка выполнения цикла"), QStringLiteral("мс")};
    QLabel *const labelWidgets[] = {dialog->Label1, dialog->Label2, dialog->Label3, dialog->Label4};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(labelWidgets[i]->text(), labels[i]);
        EXPECT_EQ(colour(labelWidgets[i], QPalette::WindowText), QColor(Qt::white));
        EXPECT_EQ(labelWidgets[i]->font().family(), TPanelFonts::resolve(QStringLiteral("MS Sans Serif")));
        EXPECT_EQ(labelWidgets[i]->font().pixelSize(), 11);
    }
    for (QLineEdit *e : {dialog->MaskEdit1, dialog->MaskEdit2}) {
        EXPECT_FALSE(e->hasFrame());
        EXPECT_EQ(colour(e, QPalette::Base), QColor(Qt::black));
        EXPECT_EQ(colour(e, QPalette::Text), QColor(0, 255, 0));
        EXPECT_EQ(e->font().family(), TPanelFonts::resolve(QStringLiteral("Verdana")));
        EXPECT_EQ(e->font().pixelSize(), 11);
        EXPECT_TRUE(e->font().bold());
    }
    EXPECT_EQ(dialog->udp1->associate(), dialog->MaskEdit1);
    EXPECT_EQ(dialog->udp2->associate(), dialog->MaskEdit2);
    for (TUpDown *u : {dialog->udp1, dialog->udp2}) {
        EXPECT_EQ(u->min(), 0);
        EXPECT_EQ(u->max(), 2000);
        EXPECT_FALSE(u->wrap());
    }
    const struct
    {
        TSpeedButton1 *button;
        const char *caption;
        TColor text;
    } buttons[] = {{dialog->SpeedButton11, "OK", TColor::rgb(0, 255, 0)},
                   {dialog->SpeedButton12, "Отмена", TColor::rgb(255, 0, 0)}};
    for (const auto &b : buttons) {
        EXPECT_EQ(b.button->caption(), QString::fromUtf8(b.caption));
        EXPECT_EQ(b.button->fontColor(), b.text);
        EXPECT_EQ(b.button->faceColor(), TColor::rgb(128, 128, 128));
        EXPECT_EQ(b.button->faceColorDown(), TColor::rgb(192, 192, 192));
        EXPECT_EQ(b.button->groupIndex(), 0);
        EXPECT_EQ(b.button->altitude(), 2);
        EXPECT_TRUE(b.button->font().bold());
        EXPECT_EQ(b.button->font().pixelSize(), 11);
    }
    // The tab order runs from the first row to the second.
    dialog->MaskEdit1->setFocus();
    QTRY_VERIFY(dialog->MaskEdit1->hasFocus());
    QTest::keyClick(dialog->MaskEdit1, Qt::Key_Tab);
    QTRY_VERIFY(dialog->MaskEdit2->hasFocus());
    cancel();
}

TEST_F(OptionsTest, SettingsButtonIsDownOnlyWhileTheDialogIsOpen)
{
    open();
    show();
    EXPECT_TRUE(form->btnOptions->down());
    EXPECT_EQ(dialog->parentWidget(), form.get());
    // Modal over the whole program: the main window takes no input meanwhile.
    EXPECT_EQ(QApplication::activeModalWidget(), dialog.data());
    EXPECT_EQ(dialog->windowModality(), Qt::ApplicationModal);
    ok();
    EXPECT_FALSE(form->btnOptions->down());
    EXPECT_EQ(form->findChild<TfrmOptions *>(), nullptr); // destroyed, not hidden

    show();
    EXPECT_TRUE(form->btnOptions->down());
    cancel();
    EXPECT_FALSE(form->btnOptions->down());
    EXPECT_EQ(form->findChild<TfrmOptions *>(), nullptr);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(OptionsTest, FirstOpeningShowsZeroAndOkStoresBothRows)
{
    open();
    show();
    EXPECT_EQ(dialog->MaskEdit1->text(), QStringLiteral("0"));
    EXPECT_EQ(dialog->MaskEdit2->text(), QStringLiteral("0"));
    type(dialog->MaskEdit1, QStringLiteral("500"));
    type(dialog->MaskEdit2, QStringLiteral("1000"));
    EXPECT_EQ(commandDelay(), 0); // nothing is stored before "OK"
    ok();
    EXPECT_EQ(commandDelay(), 500);
    EXPECT_EQ(cycleDelay(), 1000);

    show();
    EXPECT_EQ(dialog->MaskEdit1->text(), QStringLiteral("500"));
    EXPECT_EQ(dialog->MaskEdit2->text(), QStringLiteral("1000"));
    EXPECT_EQ(dialog->udp1->position(), 500);
    // The arrows change one row only, and the rows are not swapped.
    up(dialog->udp2);
    ok();
    EXPECT_EQ(commandDelay(), 500);
    EXPECT_EQ(cycleDelay(), 1001);
}

TEST_F(OptionsTest, CancelLeavesTheValuesInForce)
{
    open();
    show();
    type(dialog->MaskEdit1, QStringLiteral("250"));
    ok();
    show();
    type(dialog->MaskEdit1, QStringLiteral("700"));
    up(dialog->udp2);
    cancel();
    EXPECT_EQ(commandDelay(), 250);
    EXPECT_EQ(cycleDelay(), 0);
    show();
    EXPECT_EQ(dialog->MaskEdit1->text(), QStringLiteral("250"));
    EXPECT_EQ(dialog->MaskEdit2->text(), QStringLiteral("0"));
    // Escape is a cancel too.
    type(dialog->MaskEdit2, QStringLiteral("9"));
    QTest::keyClick(dialog->MaskEdit2, Qt::Key_Escape);
    QTRY_VERIFY(!dialog);
    EXPECT_EQ(cycleDelay(), 0);
}

TEST_F(OptionsTest, ArrowsStopAtTheEndsOfTheRange)
{
    open();
    show();
    down(dialog->udp1);
    EXPECT_EQ(dialog->MaskEdit1->text(), QStringLiteral("0"));
    up(dialog->udp1);
    up(dialog->udp1);
    EXPECT_EQ(dialog->MaskEdit1->text(), QStringLiteral("2"));
    down(dialog->udp1);
    EXPECT_EQ(dialog->MaskEdit1->text(), QStringLiteral("1"));

    // The arrows start from what was typed.
    type(dialog->MaskEdit1, QStringLiteral("1998"));
    for (int i = 0; i < 4; ++i)
        up(dialog->udp1);
    EXPECT_EQ(dialog->MaskEdit1->text(), QStringLiteral("2000"));
    // The keyboard arrows in the field step as well.
    QTest::keyClick(dialog->MaskEdit1, Qt::Key_Down);
    EXPECT_EQ(dialog->MaskEdit1->text(), QStringLiteral("1999"));
    QTest::keyClick(dialog->MaskEdit1, Qt::Key_Up);
    QTest::keyClick(dialog->MaskEdit1, Qt::Key_Up);
    EXPECT_EQ(dialog->MaskEdit1->text(), QStringLiteral("2000"));

    type(dialog->MaskEdit2, QStringLiteral("1"));
    for (int i = 0; i < 3; ++i)
        down(dialog->udp2);
    EXPECT_EQ(dialog->MaskEdit2->text(), QStringLiteral("0"));
    ok();
    EXPECT_EQ(commandDelay(), 2000);
    EXPECT_EQ(cycleDelay(), 0);
}

TEST_F(OptionsTest, HoldingAnArrowRepeatsUntilReleased)
{
    open();
    show();
    QTest::mousePress(dialog->udp1, Qt::LeftButton, {}, QPoint(7, 2));
    EXPECT_EQ(dialog->udp1->position(), 1); // the press itself steps once
    QTRY_VERIFY(dialog->udp1->position() >= 5);
    QTest::mouseRelease(dialog->udp1, Qt::LeftButton, {}, QPoint(7, 2));
    const int released = dialog->udp1->position();
    // A single click afterwards adds exactly one: nothing else is stepping.
    up(dialog->udp1);
    EXPECT_EQ(dialog->udp1->position(), released + 1);
    cancel();
}

TEST_F(OptionsTest, TypedTextOutsideTheRangeIsNotTaken)
{
    open();
    show();
    type(dialog->MaskEdit1, QStringLiteral("300"));
    ok();
    show();
    // Only digits can be typed.
    type(dialog->MaskEdit1, QStringLiteral("-5x"));
    EXPECT_EQ(dialog->MaskEdit1->text(), QStringLiteral("5"));
    // A number beyond 2000 leaves the last value in force, and leaving the
    // field shows it again.
    type(dialog->MaskEdit1, QStringLiteral("2500"));
    EXPECT_EQ(dialog->udp1->position(), 300);
    QTest::keyClick(dialog->MaskEdit1, Qt::Key_Tab);
    QTRY_COMPARE(dialog->MaskEdit1->text(), QStringLiteral("300"));
    // An emptied field stores the last value too.
    type(dialog->MaskEdit2, QString());
    ok();
    EXPECT_EQ(commandDelay(), 300);
    EXPECT_EQ(cycleDelay(), 0);
}

TEST_F(OptionsTest, ARestartedPanelBeginsWithBothDelaysAtZero)
{
    open();
    show();
    type(dialog->MaskEdit1, QStringLiteral("40"));
    type(dialog->MaskEdit2, QStringLiteral("60"));
    ok();
    ASSERT_EQ(commandDelay(), 40);
    form->close();
    form.reset();
    open();
    EXPECT_EQ(commandDelay(), 0);
    EXPECT_EQ(cycleDelay(), 0);
    show();
    EXPECT_EQ(dialog->MaskEdit1->text(), QStringLiteral("0"));
    EXPECT_EQ(dialog->MaskEdit2->text(), QStringLiteral("0"));
    cancel();
}

// Command words the adapter received after `sinceNs` on the steady clock,
// with the time of each.
std::vector<std::pair<std::uint64_t, std::uint16_t>> commandsSince(std::uint64_t sinceNs)
{
    std::vector<std::pair<std::uint64_t, std::uint16_t>> words;
    for (const auto &a : kt40sim::Adapter::instance().log())
        if (a.dir == kt40sim::Direction::Write && a.offset == kt40sim::kCmd && a.ns > sinceNs)
            words.emplace_back(a.ns, static_cast<std::uint16_t>(a.value));
    return words;
}

std::uint64_t nowNs()
{
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

// A cycle of two entries runs without pauses; the operator sets a pause
// between commands and none at the end of the cycle. From the next pause on
// the first entry is followed by the new pause and the second one by none.
TEST_F(OptionsTest, ANewDelayTakesEffectInARunningCycle)
{
    open();
    select(5, 0, 16);
    click(form->SpeedButton181);
    select(6, 0, 16);
    click(form->SpeedButton181);
    ASSERT_EQ(count(), 2);
    click(form->runProg);
    click(form->btnCycle);
    ASSERT_TRUE(form->btnCycle->down());
    const std::uint64_t started = nowNs();
    ASSERT_TRUE(QTest::qWaitFor([&] { return commandsSince(started).size() >= 20; }, 10000));

    show();
    type(dialog->MaskEdit1, QStringLiteral("300"));
    ok();
    const std::uint64_t changed = nowNs();
    ASSERT_TRUE(form->btnCycle->down());
    ASSERT_TRUE(QTest::qWaitFor([&] { return commandsSince(changed).size() >= 7; }, 10000));
    click(form->btnCycle);
    QTRY_VERIFY(idle());

    const auto words = commandsSince(changed);
    const std::uint16_t first = 5 << 9 | 16, second = 6 << 9 | 16;
    int longPauses = 0, shortPauses = 0;
    for (std::size_t i = 1; i < words.size(); ++i) {
        const double ms = double(words[i].first - words[i - 1].first) / 1e6;
        if (words[i - 1].second == first) {
            EXPECT_EQ(words[i].second, second);
            EXPECT_GE(ms, 295.0) << "after entry 0, command " << i;
            EXPECT_LT(ms, 3000.0) << "after entry 0, command " << i;
            ++longPauses;
        } else {
            EXPECT_EQ(words[i - 1].second, second);
            EXPECT_EQ(words[i].second, first);
            EXPECT_LT(ms, 250.0) << "after entry 1, command " << i;
            ++shortPauses;
        }
    }
    EXPECT_GE(longPauses, 3);
    EXPECT_GE(shortPauses, 2);
}

} // namespace
} // namespace tervan::test
