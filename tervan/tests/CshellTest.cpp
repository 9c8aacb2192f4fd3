// The main window as the operator uses it, against the virtual crate.
#include "PanelFixture.h"

#include "Drawgrid.h"
#include "Help.h"
#include "Imgbutton.h"
#include "Panelimage.h"

#include <cstdlib>

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMimeData>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QImage>
#include <QKeyEvent>
#include <QScreen>
#include <QWindow>

#include <algorithm>
#include <QTimer>

#include <functional>

namespace tervan::test {
namespace {

constexpr uint16_t word(int n, int a, int f) { return static_cast<uint16_t>(n << 9 | a << 5 | f); }

TEST_F(PanelTest, RoadOfOneCommandReachesTheAdapter)
{
    open();
    click(form->hexshow);
    typeW("1234");
    EXPECT_EQ(form->W(), 0x1234);
    click(form->btnCreate0);
    select(5, 0, 16);
    click(form->btnOneTime);
    QTRY_VERIFY(!form->btnOneTime->down());
    QTRY_VERIFY(idle());
    const auto log = hw.log();
    // Data first, then the command word.
    std::vector<kt40sim::Access> writes;
    for (const auto &a : log)
        if (a.dir == kt40sim::Direction::Write)
            writes.push_back(a);
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(writes[writes.size() - 2].offset, kt40sim::kWdlo);
    EXPECT_EQ(writes[writes.size() - 2].value, 0x1234u);
    EXPECT_EQ(writes.back().offset, kt40sim::kCmd);
    EXPECT_EQ(writes.back().value, word(5, 0, 16));
    EXPECT_EQ(count(), 0);
    // A write: X green, Q yellow, L and I black.
    QTRY_COMPARE(background(form->Xstate), QColor(0, 255, 0));
    EXPECT_EQ(background(form->Qstate), QColor(255, 255, 0));
    EXPECT_EQ(background(form->Lstate), QColor(0, 0, 0));
    EXPECT_EQ(background(form->Istate), QColor(0, 0, 0));

    // Read it back: F0 shows R, X and Q only.
    click(form->btnF[0]);
    click(form->btnOneTime);
    QTRY_COMPARE(form->RMonitor->text(), QStringLiteral("12 34"));
    EXPECT_EQ(background(form->Lstate), QColor(192, 192, 192));
    EXPECT_EQ(commandWords().back(), word(5, 0, 0));
}

TEST_F(PanelTest, ThePackedPathShowsTheSame)
{
    // The PCI adapter's path: the real kt40drv under the stand-in kernel.
    setenv("KT40_ADAPTER", "virtual-pci", 1);
    open();
    unsetenv("KT40_ADAPTER");
    click(form->hexshow);
    typeW("1234");
    click(form->btnCreate0);
    select(5, 0, 16);
    click(form->btnOneTime);
    QTRY_VERIFY(!form->btnOneTime->down());
    QTRY_VERIFY(idle());
    QTRY_COMPARE(background(form->Xstate), QColor(0, 255, 0));
    EXPECT_EQ(background(form->Qstate), QColor(255, 255, 0));
    click(form->btnF[0]);
    click(form->btnOneTime);
    QTRY_COMPARE(form->RMonitor->text(), QStringLiteral("12 34"));
    // Every access went through the packed port, none to the ISA registers.
    const auto log = hw.log();
    ASSERT_FALSE(log.empty());
    for (const auto &a : log)
        EXPECT_EQ(a.face, kt40sim::Face::Pci);
}

TEST_F(PanelTest, StartsWithTheDocumentedState)
{
    open();
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Tervan KT40"));
    EXPECT_EQ(form->size(), QSize(599, 520));
    EXPECT_EQ(form->RMonitor->text(), QStringLiteral(" 0000 0000 0000 0000"));
    EXPECT_EQ(form->edW->displayText(), QString(9, QLatin1Char(' ')) + QStringLiteral("0000 0000 0000 0000"));
    EXPECT_EQ(form->EditMask(), QStringLiteral("         aaaa aaaa aaaa aaaa;1;0"));
    for (QLabel *l : {form->Xstate, form->Qstate, form->Lstate, form->Istate})
        EXPECT_EQ(background(l), QColor(192, 192, 192));
    EXPECT_TRUE(form->btnCreate0->down());
    EXPECT_TRUE(form->binshow->isChecked());
    EXPECT_TRUE(form->runCmd->isChecked());
    // Nothing selected: "Однократно" pops up again and nothing reaches the crate.
    click(form->btnOneTime);
    EXPECT_FALSE(form->btnOneTime->down());
    QTRY_VERIFY(idle());
    EXPECT_TRUE(commandWords().empty());
    EXPECT_EQ(count(), 0);
}

TEST_F(PanelTest, ControlsStandWhereTheLayoutPutsThem)
{
    open();
    EXPECT_EQ(form->btnN[24]->geometry(), QRect(349, 488, 33, 20));
    EXPECT_EQ(form->btnA[15]->geometry(), QRect(397, 478, 33, 30));
    EXPECT_EQ(form->btnF[31]->geometry(), QRect(442, 493, 33, 15));
    EXPECT_EQ(form->btnN[10]->tag(), 20);
    EXPECT_EQ(form->btnA[0]->tag(), 20);
    EXPECT_EQ(form->btnF[13]->tag(), 43);
    EXPECT_EQ(form->SpeedButton190->geometry(), QRect(547, 300, 38, 20));
    EXPECT_EQ(form->SpeedButton190->tag(), 78);
    EXPECT_EQ(form->btnCycle->groupIndex(), 8);
    EXPECT_EQ(form->btnOneTime->groupIndex(), 8);
    EXPECT_FALSE(form->btnCreate0->allowAllUp());
    EXPECT_EQ(form->runProg->parentWidget(), form->Panel1);
    EXPECT_EQ(form->LAMTable->geometry(), QRect(11, 145, 220, 46));
    EXPECT_EQ(form->ProgMon->geometry(), QRect(13, 280, 302, 199));
    // Stacking: the picture at the bottom, the edit field created last on top.
    const QObjectList children = form->children();
    EXPECT_EQ(children.indexOf(static_cast<QObject *>(form->Image1)), 0);
    EXPECT_LT(children.indexOf(static_cast<QObject *>(form->btnN[16])), children.indexOf(static_cast<QObject *>(form->btnN[23])));
    EXPECT_LT(children.indexOf(static_cast<QObject *>(form->btnN[17])), children.indexOf(static_cast<QObject *>(form->btnA[0])));
    EXPECT_GT(children.indexOf(static_cast<QObject *>(form->btnF[4])), children.indexOf(static_cast<QObject *>(form->btnF[7])));
    EXPECT_GT(children.indexOf(static_cast<QObject *>(form->edW)), children.indexOf(static_cast<QObject *>(form->Panel1)));
    // The radix buttons stand on the colour of their area, label included:
    // a light box behind white text would make it unreadable.
    for (QRadioButton *radio : {form->binshow, form->hexshow, form->decshow}) {
        const QImage image = radio->grab().toImage();
        for (const QPoint p : {QPoint(radio->width() - 2, 1), QPoint(radio->width() - 2, radio->height() - 2)})
            EXPECT_EQ(image.pixelColor(p), QColor(146, 176, 192)) << radio->objectName().toStdString() << p.x();
    }
    // A picture of the window for a look (not compared).
    form->grab().save(QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("tervan-panel.png")));
}

TEST_F(PanelTest, CycleRepeatsUntilStoppedInEveryWay)
{
    open();
    select(1, 0, 0);
    const std::vector<std::function<void()>> stops = {
        [&] { click(form->btnCycle); },
        [&] { click(form->btnN[2]); },
        [&] { click(form->btnA[1]); },
        [&] { click(form->btnF[1]); },
        [&] { click(form->SpeedButton189); },
        [&] { click(form->SpeedButton175); },
        [&] { click(form->LRead); },
        [&] { click(form->btn24bit); },
    };
    int k = 0;
    for (const auto &stop : stops) {
        SCOPED_TRACE(k++);
        if (!form->btnN[1]->down() || !form->btnA[0]->down() || !form->btnF[0]->down()) {
            click(form->btnCreate0);
            select(1, 0, 0);
        }
        hw.clearLog();
        click(form->btnCycle);
        ASSERT_TRUE(form->btnCycle->down());
        QTRY_VERIFY(commandWords().size() >= 3);
        EXPECT_EQ(count(), 1);
        stop();
        EXPECT_FALSE(form->btnCycle->down());
        QTRY_VERIFY(idle());
        EXPECT_EQ(count(), 0);
        const size_t seen = commandWords().size();
        QTest::qWait(20); // nothing more may come
        EXPECT_EQ(commandWords().size(), seen);
    }
}

TEST_F(PanelTest, ProgramRunsOnceAndInACycle)
{
    open();
    select(1, 0, 16);
    click(form->SpeedButton181);
    select(1, 1, 16);
    click(form->SpeedButton181);
    click(form->SpeedButton175); // Z
    click(form->SpeedButton181);
    ASSERT_EQ(count(), 3);
    click(form->runProg);
    ASSERT_TRUE(form->runProg->isChecked());
    click(form->btnOneTime);
    QTRY_VERIFY(!form->btnOneTime->down());
    QTRY_VERIFY(idle());
    EXPECT_EQ(commandWords(), (std::vector<uint16_t>{word(1, 0, 16), word(1, 1, 16), 0x8002}));
    EXPECT_EQ(form->Worker().WithProgram([](TCamProgram &p) { return p.runPosition; }), 0);

    hw.clearLog();
    click(form->btnCycle);
    QTRY_VERIFY(commandWords().size() >= 7);
    click(form->btnCycle);
    QTRY_VERIFY(idle());
    const auto words = commandWords();
    EXPECT_EQ(words[3], word(1, 0, 16));
    EXPECT_EQ(count(), 3);

    // An empty program: the button pops up again.
    click(form->btnClearProg);
    EXPECT_EQ(count(), 0);
    click(form->btnOneTime);
    EXPECT_FALSE(form->btnOneTime->down());
}

TEST_F(PanelTest, ProgramChosenDuringACommandCycleRunsTheProgramFromTheNextRound)
{
    open();
    select(7, 0, 16);
    click(form->SpeedButton181);
    select(9, 1, 0);
    click(form->btnCycle);
    QTRY_VERIFY(!commandWords().empty());
    EXPECT_EQ(commandWords().back(), word(9, 1, 0));
    click(form->runProg);
    EXPECT_EQ(count(), 1); // the temporary entry has gone
    hw.clearLog();
    QTRY_VERIFY(commandWords().size() >= 3);
    EXPECT_EQ(commandWords().back(), word(7, 0, 16));
    EXPECT_TRUE(form->btnCycle->down());
    click(form->btnCycle);
    QTRY_VERIFY(idle());
    EXPECT_EQ(count(), 1);

    // With an empty program there is nothing left to run: the cycle ends.
    click(form->btnClearProg);
    click(form->runCmd);
    click(form->btnCycle);
    QTRY_VERIFY(!commandWords().empty());
    click(form->runProg);
    QTRY_VERIFY(!form->btnCycle->down());
    QTRY_VERIFY(idle());
    EXPECT_EQ(count(), 0);
}

TEST_F(PanelTest, ProgramGridShowsEachKindOfEntry)
{
    open();
    typeW("0001001000110100"); // 0x1234
    select(5, 0, 16);
    click(form->SpeedButton181);
    click(form->btnF[0]);
    click(form->SpeedButton181);
    click(form->btn24bit);
    click(form->hexshow);
    typeW("123456");
    EXPECT_EQ(form->W(), 0x123456);
    click(form->btnF[16]);
    click(form->SpeedButton181);
    click(form->SpeedButton188); // crate 2
    click(form->SpeedButton175); // Z
    click(form->SpeedButton181);
    click(form->LRead);
    click(form->SpeedButton181);
    ASSERT_EQ(count(), 5);
    const QStringList row0 = {"B16", "C00", "N05", "A00", "F16", "D1234"};
    for (int c = 0; c < 6; ++c)
        EXPECT_EQ(form->ProgMonCellText(c, 0), row0[c]) << c;
    EXPECT_EQ(form->ProgMonCellText(4, 1), QStringLiteral("F00"));
    EXPECT_EQ(form->ProgMonCellText(5, 1), QString());
    EXPECT_EQ(form->ProgMonCellText(0, 2), QStringLiteral("B24"));
    EXPECT_EQ(form->ProgMonCellText(5, 2), QStringLiteral("D123456"));
    EXPECT_EQ(form->ProgMonCellText(0, 3), QStringLiteral("C02"));
    EXPECT_EQ(form->ProgMonCellText(1, 3), QStringLiteral("Z"));
    EXPECT_EQ(form->ProgMonCellText(2, 3), QString());
    EXPECT_EQ(form->ProgMonCellText(0, 4), QStringLiteral("RDL"));
    EXPECT_EQ(form->ProgMonCellText(0, 5), QString());

    // Z goes to crate 2.
    click(form->runProg);
    click(form->btnOneTime);
    QTRY_VERIFY(idle());
    EXPECT_EQ(commandWords().back(), 0x8002);
    const auto log = hw.log();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const kt40sim::Access &a) {
        return a.dir == kt40sim::Direction::Write && a.offset == kt40sim::kCsr && (a.value & 3) == 2;
    }));
}

TEST_F(PanelTest, FullProgramKeepsItsEntriesAndSaysSo)
{
    open();
    select(1, 0, 0);
    for (int k = 0; k < 255; ++k)
        click(form->SpeedButton181);
    EXPECT_EQ(count(), 255);
    EXPECT_TRUE(reporter.texts.isEmpty());
    click(form->SpeedButton181);
    EXPECT_EQ(count(), 255);
    EXPECT_EQ(reporter.texts.size(), 1);
    // A single command still runs, in the spare slot.
    select(5, 0, 16);
    click(form->btnOneTime);
    QTRY_VERIFY(idle());
    EXPECT_EQ(commandWords().back(), word(5, 0, 16));
    EXPECT_EQ(count(), 255);
}

TEST_F(PanelTest, RShowsEveryRadixAndWidth)
{
    open();
    struct Case { QRadioButton *radix; bool wide; int value; const char *text; };
    const Case cases[] = {
        {form->binshow, false, 5, " 0000 0000 0000 0101"},
        {form->binshow, true, 0xABCDEF, " 1010 1011 1100 1101 1110 1111"},
        {form->hexshow, false, 0x12345, "23 45"},
        {form->hexshow, true, 0x12345, "01 23 45"},
        {form->decshow, false, 0x12345, "74565"},
        {form->decshow, true, 0x12345, "74565"},
        {form->decshow, true, -1, "-1"},
    };
    for (const Case &c : cases) {
        click(c.radix);
        if (form->btn24bit->down() != c.wide)
            click(form->btn24bit);
        ASSERT_TRUE(c.radix->isChecked()) << c.text;
        form->ShowR(c.value);
        EXPECT_EQ(form->RMonitor->text(), QString::fromLatin1(c.text)) << c.text;
    }
}

TEST_F(PanelTest, WIsRebuiltInEveryRadixAndWidth)
{
    open();
    typeW("0000000011111111");
    EXPECT_EQ(form->W(), 255);
    EXPECT_EQ(cdata()->lastWritten, 255);
    click(form->decshow);
    EXPECT_EQ(form->edW->displayText(), QString(21, QLatin1Char(' ')) + QStringLiteral("00255"));
    click(form->hexshow);
    EXPECT_EQ(form->edW->displayText(), QString(21, QLatin1Char(' ')) + QStringLiteral("00 FF"));
    click(form->binshow);
    EXPECT_EQ(form->edW->displayText(), QString(9, QLatin1Char(' ')) + QStringLiteral("0000 0000 1111 1111"));
    click(form->btn24bit);
    EXPECT_EQ(form->EditMask(), QStringLiteral("aaaa aaaa aaaa aaaa aaaa aaaa;1;0"));
    EXPECT_EQ(form->edW->displayText(), QStringLiteral("0000 0000 0000 0000 1111 1111"));
    click(form->hexshow);
    EXPECT_EQ(form->edW->displayText(), QString(19, QLatin1Char(' ')) + QStringLiteral("00 00 FF"));
    // Only 24 bits are shown; the value itself is kept.
    form->ShowW(0x1000000);
    click(form->decshow);
    form->ShowW(0x1000000);
    EXPECT_EQ(form->edW->displayText(), QString(19, QLatin1Char(' ')) + QStringLiteral("00000000"));
    // Decimal entries are not masked until a command is composed.
    click(form->btn24bit);
    typeW("99999");
    EXPECT_EQ(form->W(), 99999);
    select(5, 0, 16);
    TCamCommand c;
    ASSERT_EQ(form->ComposePanelCommand(c), 0);
    EXPECT_EQ(c.data, 99999 & 0xFFFF);
}

TEST_F(PanelTest, KeysOutsideTheRadixAreNotTyped)
{
    open();
    const QString before = form->edW->displayText();
    typeW("2");
    EXPECT_EQ(form->edW->displayText(), before);
    // A Cyrillic letter, as a keyboard with that layout sends it.
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QStringLiteral("а"));
    QCoreApplication::sendEvent(form->edW, &press);
    EXPECT_EQ(form->edW->displayText(), before);
    click(form->hexshow);
    const QString hexBefore = form->edW->displayText();
    typeW("g");
    EXPECT_EQ(form->edW->displayText(), hexBefore);
    typeW("aB");
    EXPECT_EQ(form->W(), 0xAB00);
    click(form->decshow);
    const QString decBefore = form->edW->displayText();
    typeW("a");
    EXPECT_EQ(form->edW->displayText(), decBefore);
}

TEST_F(PanelTest, PastedOrDroppedTextObeysTheRadixAsTypedKeysDo)
{
    open();
    QClipboard *clipboard = QGuiApplication::clipboard();
    const QPoint inside(30, form->edW->height() / 2);
    // Each way text enters the field; the cursor first goes to its first digit.
    const std::vector<std::pair<const char *, std::function<void(const QString &)>>> ways = {
        {"Ctrl+V", [&](const QString &text) {
             clipboard->setText(text);
             QTest::keyClick(form->edW, Qt::Key_V, Qt::ControlModifier);
         }},
        {"Shift+Insert", [&](const QString &text) {
             clipboard->setText(text);
             QTest::keyClick(form->edW, Qt::Key_Insert, Qt::ShiftModifier);
         }},
        {"context menu", [&](const QString &text) {
             clipboard->setText(text);
             QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, inside, form->edW->mapToGlobal(inside));
             QCoreApplication::sendEvent(form->edW, &menuEvent);
             QMenu *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
             ASSERT_NE(menu, nullptr);
             // The paste entry, known by the shortcut shown beside it.
             const QString shortcut = QKeySequence(QKeySequence::Paste).toString(QKeySequence::NativeText);
             QAction *paste = nullptr;
             for (QAction *action : menu->actions())
                 if (action->text().endsWith(QLatin1Char('\t') + shortcut))
                     paste = action;
             ASSERT_NE(paste, nullptr);
             paste->trigger();
             menu->close();
         }},
        {"drop", [&](const QString &text) {
             QMimeData mime;
             mime.setText(text);
             QDragEnterEvent enter(inside, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
             QCoreApplication::sendEvent(form->edW, &enter);
             QDropEvent drop(QPointF(inside), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
             QCoreApplication::sendEvent(form->edW, &drop);
         }},
    };
    // What the field keeps of a text is what typing it would keep: the
    // characters of the radix. Digits of other scripts are refused.
    struct Case { QRadioButton *radix; const char *text; std::int32_t w; };
    const Case cases[] = {
        {form->binshow, "2z9x", 0},
        {form->binshow, "1x0y1z0", 0xA000},
        {form->binshow, "0000 0000 1111 1111", 0xFF}, // W's own text, copied
        {form->hexshow, "DEAG", 0xDEA0},
        {form->hexshow, "\xd0\x9e\xd0\x90", 0}, // Cyrillic capitals O and A
        {form->decshow, "12a4", 12400},
        {form->decshow, "1\xd9\xa2" "3", 0}, // an Arabic-Indic two in the middle
    };
    for (const auto &[name, enter] : ways) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(name) + " " + c.text);
            click(c.radix);
            form->ShowW(0);
            form->edWKeyUp();
            const QString before = form->edW->displayText();
            form->edW->setFocus();
            QTest::keyClick(form->edW, Qt::Key_Home);
            enter(QString::fromUtf8(c.text));
            if (c.w == 0) {
                EXPECT_EQ(form->edW->displayText(), before);
            }
            // W follows what the field shows, also without a key release.
            EXPECT_EQ(form->W(), c.w);
            EXPECT_EQ(form->W(), form->ReadW());
        }
    }
}

TEST_F(PanelTest, ImageButtonHandlerFlipsBetweenTheFirstTwoStates)
{
    open();
    QStringList refused;
    const auto previous = TImgButton::setErrorReporter([&](const QString &m) { refused << m; });
    auto *button = new TImgButton(form.get());
    QImage strip(3 * 9 - 1, 8, QImage::Format_RGB32);
    strip.fill(Qt::blue);
    button->setGlyph(strip);
    button->setStatesCount(3);
    button->setStateImageWidth(8);
    button->setStateImageHeight(8);
    QObject::connect(button, &TImgButton::mouseDown, form.get(), &TfrmCamac::ImgButton24MouseDown);
    const std::vector<std::pair<int, int>> flips = {{0, 1}, {1, 0}, {2, 0}};
    for (const auto &[from, to] : flips) {
        button->setCurrentState(from);
        QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(3, 3));
        EXPECT_EQ(button->currentState(), to) << from;
    }
    // A button of one state refuses state 1 and stays as it is.
    button->setStatesCount(1);
    button->setCurrentState(0);
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(3, 3));
    EXPECT_EQ(button->currentState(), 0);
    EXPECT_EQ(refused, QStringList{QStringLiteral("CurrentState value not corresponding to StatesCount")});
    TImgButton::setErrorReporter(previous);
}

TEST_F(PanelTest, SelectionsReleaseEachOther)
{
    open();
    select(3, 1, 2);
    click(form->SpeedButton177); // C
    EXPECT_FALSE(form->btnN[3]->down());
    EXPECT_FALSE(form->btnA[1]->down());
    EXPECT_FALSE(form->btnF[2]->down());
    EXPECT_TRUE(form->SpeedButton177->down());
    click(form->btnN[4]);
    EXPECT_FALSE(form->SpeedButton177->down());
    click(form->LRead);
    EXPECT_TRUE(form->LRead->down());
    EXPECT_FALSE(form->btnN[4]->down());
    click(form->btnA[2]);
    EXPECT_FALSE(form->LRead->down());
    // A second click on the selected N shows it up, yet it stays selected.
    select(7, 3, 0);
    click(form->btnN[7]);
    EXPECT_FALSE(form->btnN[7]->down());
    TCamCommand c;
    ASSERT_EQ(form->ComposePanelCommand(c), 0);
    EXPECT_EQ(c.n, 7);
    EXPECT_EQ(c.data, 0);
    // A crate button changes nothing but the crate.
    click(form->SpeedButton187);
    EXPECT_TRUE(form->btnA[3]->down());
    ASSERT_EQ(form->ComposePanelCommand(c), 0);
    EXPECT_EQ(c.crate, 3);
    // btnInterrupt only toggles.
    click(form->btnInterrupt);
    EXPECT_TRUE(form->btnInterrupt->down());
    EXPECT_TRUE(form->btnA[3]->down());
    click(form->btnInterrupt);
    EXPECT_FALSE(form->btnInterrupt->down());
}

TEST_F(PanelTest, LamTableColoursFollowTheLastEntry)
{
    open();
    // What the window shows now, as the last paint left it (no repaint).
    const auto cell = [&](int k) {
        const QRect r = form->LAMTable->cellRect((k - 1) % 8, (k - 1) / 8);
        const QPoint p = form->LAMTable->viewport()->mapTo(form.get(), r.topLeft() + QPoint(1, 1));
        return form->screen()->grabWindow(form->winId(), p.x(), p.y(), 1, 1).toImage().pixelColor(0, 0);
    };
    EXPECT_EQ(cell(1), QColor(128, 128, 128));
    hw.raiseLam(0, 1);
    hw.raiseLam(0, 3);
    click(form->LRead);
    click(form->btnOneTime);
    QTRY_COMPARE(form->LamMaskShown(), 0xFFFFFFu);
    QTRY_COMPARE(cell(1), QColor(255, 255, 0));
    EXPECT_EQ(cell(2), QColor(0, 0, 0));
    EXPECT_EQ(cell(3), QColor(255, 255, 0));
    EXPECT_EQ(cell(24), QColor(0, 0, 0));
    EXPECT_EQ(background(form->Lstate), QColor(255, 255, 0));
    EXPECT_EQ(background(form->Xstate), QColor(192, 192, 192));

    // An addressed command: nothing valid.
    select(5, 0, 0);
    click(form->btnOneTime);
    QTRY_COMPARE(form->LamMaskShown(), 0u);
    QTRY_COMPARE(cell(1), QColor(128, 128, 128));
    EXPECT_EQ(cell(3), QColor(128, 128, 128));

    // Z: only the upper byte, which holds no LAM (the sources were cleared by Z).
    click(form->SpeedButton175);
    click(form->btnOneTime);
    QTRY_COMPARE(form->LamMaskShown(), 0xFF0000u);
    QTRY_COMPARE(cell(17), QColor(0, 0, 0));
    EXPECT_EQ(cell(1), QColor(128, 128, 128));
}

TEST_F(PanelTest, LamTableRepaintedAfterTheRunShowsNothingValid)
{
    open();
    const auto cellIn = [&](const QImage &image, int k) {
        const QRect r = form->LAMTable->cellRect((k - 1) % 8, (k - 1) / 8);
        const QPoint p = form->LAMTable->viewport()->mapTo(form.get(), r.topLeft() + QPoint(1, 1));
        return image.pixelColor(p);
    };
    const auto shown = [&] { return form->screen()->grabWindow(form->winId()).toImage(); };
    hw.raiseLam(0, 2);
    click(form->LRead);
    click(form->btnOneTime);
    QTRY_VERIFY(idle());
    // The repaint that brings the read shows its pattern ...
    QTRY_COMPARE(cellIn(shown(), 2), QColor(255, 255, 0));
    EXPECT_EQ(cellIn(shown(), 1), QColor(0, 0, 0));
    EXPECT_EQ(form->Worker().LamMask(), 0u);
    // ... and a repaint the worker did not ask for (the window uncovered:
    // the platform reports it exposed) shows the worker as it is: idle,
    // nothing valid.
    QExposeEvent uncovered{QRegion(form->rect())};
    QCoreApplication::sendEvent(form->windowHandle(), &uncovered);
    QTRY_COMPARE(cellIn(shown(), 2), QColor(128, 128, 128));
    const QImage after = shown();
    for (int k : {1, 2, 24})
        EXPECT_EQ(cellIn(after, k), QColor(128, 128, 128)) << k;
    // Text silver on grey: a pixel of the label's strokes is silver.
    const QImage table = form->LAMTable->viewport()->grab().toImage();
    const QRect c2 = form->LAMTable->cellRect(1, 0);
    bool silverText = false;
    for (int y = c2.top(); y <= c2.bottom(); ++y)
        for (int x = c2.left(); x <= c2.right(); ++x)
            silverText = silverText || table.pixelColor(x, y) == QColor(192, 192, 192);
    EXPECT_TRUE(silverText);
    EXPECT_EQ(table.pixelColor(c2.topLeft() + QPoint(1, 1)), QColor(128, 128, 128));
    EXPECT_EQ(form->LamMaskShown(), 0xFFFFFFu); // the last refresh is unchanged
}

TEST_F(PanelTest, IndicatorColoursFollowTheFunctionClass)
{
    open();
    const QColor black(0, 0, 0), silver(192, 192, 192), green(0, 255, 0), yellow(255, 255, 0), red(255, 0, 0);
    struct Case
    {
        std::function<void()> choose;
        QColor x, q, l, i;
    };
    const std::vector<Case> cases = {
        // I sets the crate's inhibit: X and Q not applicable, I red.
        {[&] { click(form->SpeedButton176); }, silver, silver, black, red},
        // A write under inhibit: X, Q, L and I all shown.
        {[&] { select(5, 0, 16); }, green, yellow, black, red},
        // NI removes it again.
        {[&] { click(form->SpeedButton190); }, silver, silver, black, black},
        // A control command: Q is the module's answer (no LAM requested: 0).
        {[&] { select(5, 0, 8); }, green, black, silver, silver},
        // F24 (disable): X only.
        {[&] { click(form->btnF[24]); }, green, silver, silver, silver},
        // F27 on a register that does not know it: X 0, Q shown.
        {[&] { click(form->btnF[27]); }, black, black, silver, silver},
    };
    int k = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(k++);
        c.choose();
        const std::uint64_t shown = form->EntriesShown();
        click(form->btnOneTime);
        QTRY_VERIFY(form->EntriesShown() == shown + 1); // the window has taken this entry
        EXPECT_EQ(background(form->Istate), c.i);
        EXPECT_EQ(background(form->Xstate), c.x);
        EXPECT_EQ(background(form->Qstate), c.q);
        EXPECT_EQ(background(form->Lstate), c.l);
    }
}

TEST_F(PanelTest, FiftyFirstEntryHasNoRowYetIsExecuted)
{
    open();
    select(1, 0, 16);
    for (int k = 0; k < 50; ++k)
        click(form->SpeedButton181);
    select(7, 3, 16);
    click(form->SpeedButton181);
    ASSERT_EQ(count(), 51);
    // The grid has a row for the first 50 entries only; the 51st still runs.
    EXPECT_EQ(form->ProgMon->rowCount(), 50);
    EXPECT_EQ(form->ProgMonCellText(2, 49), QStringLiteral("N01"));
    click(form->runProg);
    click(form->btnOneTime);
    QTRY_VERIFY(!form->btnOneTime->down());
    QTRY_VERIFY(idle());
    const auto words = commandWords();
    ASSERT_EQ(words.size(), 51u);
    EXPECT_EQ(words[49], word(1, 0, 16));
    EXPECT_EQ(words[50], word(7, 3, 16));
}

TEST_F(PanelTest, FailingRoutineShowsError)
{
    open();
    select(5, 0, 16);
    click(form->btnOneTime);
    QTRY_COMPARE(background(form->Xstate), QColor(0, 255, 0));
    hw.setFault(kt40sim::Fault::DoneNever);
    click(form->btnF[0]);
    click(form->btnOneTime);
    QTRY_COMPARE(form->RMonitor->text(), QStringLiteral("ERROR"));
    EXPECT_EQ(background(form->Xstate), QColor(0, 255, 0)); // kept
    QTRY_VERIFY(idle());
}

TEST_F(PanelTest, StartUpFailureReportsAndShowsNothing)
{
    wdsim::controls().setPresent(false);
    form = std::make_unique<TfrmCamac>();
    EXPECT_FALSE(form->Start());
    EXPECT_FALSE(form->isVisible());
    ASSERT_EQ(reporter.texts.size(), 1);
    EXPECT_EQ(reporter.captions[0], QStringLiteral("Ошибка инициализации."));
    EXPECT_EQ(reporter.texts[0], QStringLiteral("Невозожно получить доступ к драйверу. Возможно драйвер не установлен."));
}

TEST_F(PanelTest, HelpIsLookedForBesideTheProgramAndOptionsStayDownWhileOpen)
{
    open();
    // No help beside the test program: the operator is told where it was looked for.
    click(form->SpeedButton11);
    ASSERT_EQ(reporter.texts.size(), 1);
    EXPECT_TRUE(reporter.texts[0].contains(QDir::toNativeSeparators(QCoreApplication::applicationDirPath())));
    EXPECT_FALSE(form->SpeedButton11->down());
    // "Настройки" stays down while its dialog is open.
    click(form->btnOptions);
    EXPECT_TRUE(form->btnOptions->down());
    QTRY_VERIFY(QApplication::activeModalWidget() != nullptr);
    QTest::keyClick(QApplication::activeModalWidget(), Qt::Key_Escape);
    QTRY_VERIFY(!form->btnOptions->down());
}

// An empty file at `path`, with the folders above it.
bool put(const QString &path)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly);
}

TEST_F(PanelTest, HelpOpensInAViewerOrTheBrowserOrSaysWhereItIs)
{
    QTemporaryDir dir;
    const QString chm = QDir::toNativeSeparators(dir.filePath(QStringLiteral("tervan.chm")));
    const QString pages = dir.filePath(QStringLiteral("help/index.html"));
    const auto open = [&](const std::function<void(RecordingReporter &)> &setUp) {
        auto r = std::make_unique<RecordingReporter>();
        setUp(*r);
        THelp::Open(dir.path(), *r);
        return r;
    };
    // Nothing there: an error that names the folder.
    auto r = open([](RecordingReporter &) {});
    ASSERT_EQ(r->texts.size(), 1);
    EXPECT_TRUE(r->texts[0].contains(QDir::toNativeSeparators(dir.path())));
    ASSERT_TRUE(put(chm));
    ASSERT_TRUE(put(pages));
#ifdef Q_OS_WIN
    const QString viewer = QStringLiteral("hh.exe");
#else
    const QString viewer = QStringLiteral("kchmviewer");
#endif
    // A viewer of compiled help shows the CHM, and nothing else happens.
    r = open([&](RecordingReporter &o) { o.programs[viewer] = QStringLiteral("/opt/") + viewer; });
    EXPECT_EQ(r->started, QStringList{QStringLiteral("/opt/") + viewer + QLatin1Char(' ') + chm});
    EXPECT_TRUE(r->urls.isEmpty());
    EXPECT_TRUE(r->texts.isEmpty() && r->infoTexts.isEmpty());
    // No viewer, or one that does not start: the pages in the browser.
    for (bool installed : {false, true}) {
        r = open([&](RecordingReporter &o) {
            o.desktopOpens = true;
            if (installed) {
                o.programs[viewer] = viewer;
                o.broken << viewer;
            }
        });
        EXPECT_EQ(r->urls, QStringList{QUrl::fromLocalFile(pages).toString()}) << installed;
        EXPECT_TRUE(r->texts.isEmpty() && r->infoTexts.isEmpty()) << installed;
    }
    // Nothing opens them: a message that says where both lie.
    r = open([](RecordingReporter &) {});
    EXPECT_EQ(r->urls.size(), 1);
    ASSERT_EQ(r->infoTexts.size(), 1);
    EXPECT_TRUE(r->infoTexts[0].contains(chm));
    EXPECT_TRUE(r->infoTexts[0].contains(QDir::toNativeSeparators(pages)));
    EXPECT_EQ(r->infoCaptions[0], QStringLiteral("Справка"));
}

// Installed, the program is in PREFIX/bin and its help in PREFIX/share/kt40;
// help beside the program comes first.
TEST_F(PanelTest, AnInstalledPanelFindsItsHelpUnderShare)
{
    QTemporaryDir prefix;
    const QString bin = prefix.filePath(QStringLiteral("bin"));
    ASSERT_TRUE(QDir().mkpath(bin));
    const auto opened = [&] {
        RecordingReporter r;
        r.desktopOpens = true;
        THelp::Open(bin, r);
        return r.urls.join(QLatin1Char(' ')) + r.texts.join(QLatin1Char(' '));
    };
    const QString installed = prefix.filePath(QStringLiteral("share/kt40/help/index.html"));
    ASSERT_TRUE(put(installed));
    EXPECT_EQ(opened(), QUrl::fromLocalFile(installed).toString());
    const QString beside = prefix.filePath(QStringLiteral("bin/help/index.html"));
    ASSERT_TRUE(put(beside));
    EXPECT_EQ(opened(), QUrl::fromLocalFile(beside).toString());
}

TEST_F(PanelTest, ClosingDuringAZeroDelayCycleEndsTheWorker)
{
    open();
    select(2, 0, 0);
    click(form->btnCycle);
    QTRY_VERIFY(commandWords().size() >= 100);
    // The window keeps up with the cycle: a timer still fires promptly.
    QElapsedTimer t;
    t.start();
    bool fired = false;
    QTimer::singleShot(0, [&] { fired = true; });
    QTRY_VERIFY(fired);
    EXPECT_LT(t.elapsed(), 1000);
    form->close();
    const size_t seen = commandWords().size();
    QTest::qWait(20);
    EXPECT_EQ(commandWords().size(), seen);
}

} // namespace
} // namespace tervan::test
