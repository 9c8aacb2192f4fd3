// Saving and loading script files from the main window, with the file
// dialogs driven by typing a name as the operator does.
#include "PanelFixture.h"

#include <QCoreApplication>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>

#include <algorithm>
#include <cstring>
#include <filesystem>

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace tervan::test {
namespace {

using Bytes = QByteArray;

Bytes le32(std::int32_t v)
{
    const auto u = static_cast<std::uint32_t>(v);
    const char bytes[4] = {char(u & 0xFF), char(u >> 8 & 0xFF), char(u >> 16 & 0xFF), char(u >> 24 & 0xFF)};
    return Bytes(bytes, 4);
}

Bytes header(std::int32_t run, std::int32_t count)
{
    return "TVS" + le32(run) + le32(count) + Bytes(44, '\0');
}

Bytes readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : Bytes();
}

void writeAll(const QString &path, const Bytes &bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

class ScriptPanelTest : public PanelTest
{
protected:
    // The operator picks `path` in the dialog and confirms with its button.
    void choose(QFileDialog *dialog, const QString &path)
    {
        QTRY_VERIFY(dialog->isVisible());
        dialog->selectFile(path);
        auto *buttons = dialog->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
        ASSERT_NE(buttons, nullptr);
        QPushButton *confirm = buttons->button(dialog->acceptMode() == QFileDialog::AcceptSave ? QDialogButtonBox::Save
                                                                                              : QDialogButtonBox::Open);
        ASSERT_NE(confirm, nullptr);
        QTRY_VERIFY(confirm->isEnabled());
        QTest::mouseClick(confirm, Qt::LeftButton);
        QTRY_VERIFY(!dialog->isVisible());
    }
    void save(const QString &path)
    {
        click(form->btnSaveTVS);
        choose(form->SaveDialog1, path);
    }
    void load(const QString &path)
    {
        click(form->btnLoadTVS);
        choose(form->OpenDialog1, path);
    }
    QString file(const char *name) const { return dir.filePath(QLatin1String(name)); }
    // What the program grid shows, row by row, up to the first empty row.
    QStringList grid()
    {
        QStringList rows;
        for (int row = 0; row < 50; ++row) {
            QStringList cells;
            for (int col = 0; col < 6; ++col)
                cells << form->ProgMonCellText(col, row);
            if (cells.join(QString()).isEmpty())
                break;
            rows << cells.join(QLatin1Char(' ')).trimmed();
        }
        return rows;
    }
    int runPosition() { return form->Worker().WithProgram([](TCamProgram &p) { return p.runPosition; }); }
    // Adds the panel's current command to the program.
    void add() { click(form->SpeedButton181); }

    QTemporaryDir dir;
};

TEST_F(ScriptPanelTest, DialogsOfferScriptFilesFromTheProgramsFolder)
{
    open();
    for (QFileDialog *d : {form->OpenDialog1, form->SaveDialog1}) {
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->nameFilters(), QStringList{QStringLiteral("Tervan Script (*.tvs)")});
        EXPECT_EQ(d->defaultSuffix(), QStringLiteral("tvs"));
        EXPECT_EQ(QDir(d->directory()).canonicalPath(), QDir(QCoreApplication::applicationDirPath()).canonicalPath());
        EXPECT_FALSE(d->isVisible());
    }
    EXPECT_EQ(form->OpenDialog1->acceptMode(), QFileDialog::AcceptOpen);
    EXPECT_EQ(form->OpenDialog1->fileMode(), QFileDialog::ExistingFile);
    EXPECT_EQ(form->SaveDialog1->acceptMode(), QFileDialog::AcceptSave);

    // Cancelled dialogs do nothing.
    select(3, 2, 16);
    add();
    for (TSpeedButton1 *button : {form->btnSaveTVS, form->btnLoadTVS}) {
        QFileDialog *d = button == form->btnSaveTVS ? form->SaveDialog1 : form->OpenDialog1;
        click(button);
        QTRY_VERIFY(d->isVisible());
        EXPECT_TRUE(d->isModal());
        QTest::keyClick(d, Qt::Key_Escape);
        QTRY_VERIFY(!d->isVisible());
    }
    EXPECT_EQ(count(), 1);
    EXPECT_TRUE(reporter.texts.isEmpty());
    EXPECT_TRUE(QDir(dir.path()).isEmpty());
}

// Calls `onHide` when the watched dialog leaves the screen.
class HideWatch : public QObject
{
public:
    HideWatch(QWidget *dialog, std::function<void()> onHide) : m_onHide(std::move(onHide)) { dialog->installEventFilter(this); }
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Hide)
            m_onHide();
        return false;
    }

private:
    std::function<void()> m_onHide;
};

TEST_F(ScriptPanelTest, TheDialogHasGoneBeforeTheFileIsTouchedAndShowsTheTypeByItsName)
{
    open();
    for (QFileDialog *d : {form->OpenDialog1, form->SaveDialog1}) {
        auto *types = d->findChild<QComboBox *>(QStringLiteral("fileTypeCombo"));
        ASSERT_NE(types, nullptr);
        EXPECT_EQ(types->currentText(), QStringLiteral("Tervan Script"));
    }
    select(3, 2, 16);
    add();
    // Saving: the file does not exist yet when the dialog hides.
    bool existedAtHide = true;
    {
        HideWatch watch(form->SaveDialog1, [&] { existedAtHide = QFile::exists(file("one.tvs")); });
        save(file("one.tvs"));
    }
    EXPECT_FALSE(existedAtHide);
    EXPECT_TRUE(QFile::exists(file("one.tvs")));
    click(form->btnClearProg);
    // Loading: the program is unchanged and nothing reported when it hides.
    int countAtHide = -1;
    qsizetype reportsAtHide = -1;
    HideWatch watch(form->OpenDialog1, [&] {
        countAtHide = count();
        reportsAtHide = reporter.texts.size();
    });
    load(file("one.tvs"));
    EXPECT_EQ(countAtHide, 0);
    EXPECT_EQ(count(), 1);
    writeAll(file("foreign.tvs"), Bytes("MZ\x90", 3));
    load(file("foreign.tvs"));
    EXPECT_EQ(reportsAtHide, 0);
    ASSERT_EQ(reporter.texts.size(), 1);
    EXPECT_EQ(reporter.texts[0], QStringLiteral("Несовместимый формат !!!"));
}

TEST_F(ScriptPanelTest, QtsOwnTextsAreRussian)
{
    open();
    // The standard buttons of a message box ...
    QMessageBox box(QMessageBox::Critical, QStringLiteral(" "), QStringLiteral("x"),
                    QMessageBox::Ok | QMessageBox::Cancel | QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(box.button(QMessageBox::Cancel)->text(), QStringLiteral("Отмена"));
    EXPECT_EQ(box.button(QMessageBox::Yes)->text(), QStringLiteral("&Да"));
    EXPECT_EQ(box.button(QMessageBox::No)->text(), QStringLiteral("&Нет"));
    // ... and the file dialogs, their buttons and labels.
    for (TSpeedButton1 *button : {form->btnLoadTVS, form->btnSaveTVS}) {
        const bool opening = button == form->btnLoadTVS;
        QFileDialog *d = opening ? form->OpenDialog1 : form->SaveDialog1;
        click(button);
        QTRY_VERIFY(d->isVisible());
        auto *buttons = d->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
        ASSERT_NE(buttons, nullptr);
        EXPECT_EQ(buttons->button(opening ? QDialogButtonBox::Open : QDialogButtonBox::Save)->text(),
                  opening ? QStringLiteral("&Открыть") : QStringLiteral("&Сохранить"));
        EXPECT_EQ(buttons->button(QDialogButtonBox::Cancel)->text(), QStringLiteral("Отмена"));
        auto *name = d->findChild<QLabel *>(QStringLiteral("fileNameLabel"));
        ASSERT_NE(name, nullptr);
        EXPECT_EQ(name->text(), QStringLiteral("&Имя файла:"));
        QTest::keyClick(d, Qt::Key_Escape);
        QTRY_VERIFY(!d->isVisible());
    }
}

TEST_F(ScriptPanelTest, AnEmptyProgramIsSavedAs55Bytes)
{
    open();
    select(3, 2, 16);
    add();
    click(form->btnClearProg);
    save(file("empty")); // the suffix is added
    EXPECT_EQ(readAll(file("empty.tvs")), header(-1, 0));
    EXPECT_EQ(readAll(file("empty.tvs")).size(), 55);
    EXPECT_EQ(readAll(file("empty.tvs")).right(48), le32(0) + Bytes(44, '\0'));
    EXPECT_TRUE(reporter.texts.isEmpty());
}

TEST_F(ScriptPanelTest, OneAddressedCommandIsSavedWithItsFieldsInPlace)
{
    open();
    click(form->SpeedButton189); // crate 1
    click(form->hexshow);
    typeW(QStringLiteral("00FF"));
    select(3, 2, 16);
    add();
    save(file("one.tvs"));
    const Bytes image = readAll(file("one.tvs"));
    ASSERT_EQ(image.size(), 95);
    EXPECT_EQ(image.left(55), header(0, 1));
    const Bytes record = image.mid(55);
    EXPECT_EQ(record.mid(0, 4), Bytes(4, '\0'));   // kind 0 and padding
    EXPECT_EQ(record.mid(4, 4), le32(0));          // LAM operation
    EXPECT_EQ(record.mid(8, 4), Bytes("\x01\0\0\0", 4)); // addressed
    EXPECT_EQ(record.mid(12, 4), le32(16));
    EXPECT_EQ(record.mid(16, 4), le32(1));
    EXPECT_EQ(record.mid(20, 4), le32(3));
    EXPECT_EQ(record.mid(24, 4), le32(2));
    EXPECT_EQ(record.mid(28, 4), le32(16));
    EXPECT_EQ(record.mid(32, 4), le32(0xFF));
    EXPECT_EQ(record.mid(36, 4), le32(0));
    // Saving changes nothing of the program.
    EXPECT_EQ(count(), 1);
    EXPECT_EQ(runPosition(), 0);
    EXPECT_EQ(grid(), QStringList{QStringLiteral("B16 C01 N03 A02 F16 D00FF")});
}

TEST_F(ScriptPanelTest, AFileLoadedIntoAFreshPanelSavesToTheSameBytes)
{
    open();
    click(form->btn24bit);
    click(form->hexshow);
    typeW(QStringLiteral("123456"));
    select(5, 0, 16);
    add();
    click(form->SpeedButton188); // crate 2
    click(form->SpeedButton175); // Z
    add();
    click(form->SpeedButton187); // crate 3
    click(form->LRead);
    add();
    const QStringList shown = grid();
    ASSERT_EQ(shown.size(), 3);
    EXPECT_EQ(runPosition(), 2);
    save(file("three.tvs"));
    const Bytes first = readAll(file("three.tvs"));
    ASSERT_EQ(first.size(), 55 + 3 * 40);
    EXPECT_EQ(first.mid(3, 4), le32(2));

    form->close();
    form.reset();
    open();
    EXPECT_TRUE(grid().isEmpty());
    load(file("three.tvs"));
    EXPECT_EQ(grid(), shown);
    EXPECT_EQ(count(), 3);
    EXPECT_EQ(runPosition(), 0);
    save(file("again.tvs"));
    Bytes expected = first;
    expected.replace(3, 4, le32(0));
    EXPECT_EQ(readAll(file("again.tvs")), expected);
    EXPECT_TRUE(reporter.texts.isEmpty());

    // The loaded program runs: the addressed entry goes out as a 24-bit
    // write (bit 14 of the command word) to N 5, F 16.
    click(form->runProg);
    click(form->btnOneTime);
    QTRY_VERIFY(!form->btnOneTime->down());
    QTRY_VERIFY(idle());
    const auto words = commandWords();
    EXPECT_NE(std::find(words.begin(), words.end(), uint16_t(0x4000 | 5 << 9 | 16)), words.end());
}

TEST_F(ScriptPanelTest, ForeignAndDamagedFilesAreRefusedWithTheGridUnchanged)
{
    open();
    select(3, 2, 16);
    add();
    select(4, 1, 0);
    add();
    const QStringList before = grid();
    int refused = 0;
    for (const auto &entry : std::filesystem::directory_iterator(TERVAN_SCRIPT_CORPUS)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("bad-", 0) != 0)
            continue;
        load(QString::fromStdString(entry.path().string()));
        ASSERT_EQ(reporter.texts.size(), refused + 1) << name;
        EXPECT_EQ(reporter.captions.last(), QString()) << name;
        EXPECT_EQ(reporter.texts.last(), QStringLiteral("Несовместимый формат !!!")) << name;
        EXPECT_EQ(grid(), before) << name;
        EXPECT_EQ(count(), 2) << name;
        ++refused;
    }
    EXPECT_GE(refused, 10);
}

TEST_F(ScriptPanelTest, AReadOnlyFileLoads)
{
    open();
    const QString path = file("shipped.tvs");
    writeAll(path, header(5, 1) + le32(0) + Bytes("\0\0\0\0", 4) + le32(0) + le32(0) + le32(2) + le32(0) + le32(0)
                       + le32(0) + le32(0) + le32(4));
    QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
    load(path);
    EXPECT_TRUE(reporter.texts.isEmpty());
    EXPECT_EQ(grid(), QStringList{QStringLiteral("C02 I")});
    EXPECT_EQ(runPosition(), 0);
}

TEST_F(ScriptPanelTest, TargetsThatCannotBeWrittenAreReported)
{
    open();
    select(3, 2, 16);
    add();
    const QString missing = dir.filePath(QStringLiteral("no-such-folder/x.tvs"));
    save(missing);
    ASSERT_EQ(reporter.texts.size(), 1);
    EXPECT_FALSE(reporter.captions.last().isEmpty());
    EXPECT_TRUE(reporter.texts.last().contains(QDir::toNativeSeparators(missing))) << reporter.texts.last().toStdString();
    EXPECT_FALSE(QFile::exists(missing));

    const QString locked = file("locked.tvs");
    writeAll(locked, header(0, 0));
    QFile::setPermissions(locked, QFile::ReadOwner | QFile::ReadGroup);
    save(locked);
    ASSERT_EQ(reporter.texts.size(), 2);
    EXPECT_TRUE(reporter.texts.last().contains(QDir::toNativeSeparators(locked)));
    EXPECT_EQ(readAll(locked), header(0, 0));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("locked.tvs")});
    EXPECT_EQ(count(), 1);
}

#ifndef _WIN32
TEST_F(ScriptPanelTest, AFileThatCannotBeOpenedIsReportedAndChangesNothing)
{
    open();
    select(3, 2, 16);
    add();
    // A socket is a file in the folder that no one can open for reading.
    const QString path = file("socket.tvs");
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray native = QFile::encodeName(path);
    ASSERT_LT(std::size_t(native.size()), sizeof address.sun_path);
    std::memcpy(address.sun_path, native.constData(), std::size_t(native.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    load(path);
    ::close(fd);
    ASSERT_EQ(reporter.texts.size(), 1);
    EXPECT_FALSE(reporter.captions.last().isEmpty());
    EXPECT_TRUE(reporter.texts.last().contains(QDir::toNativeSeparators(path))) << reporter.texts.last().toStdString();
    EXPECT_EQ(count(), 1);
    EXPECT_EQ(grid(), QStringList{QStringLiteral("B16 C00 N03 A02 F16 D0000")});
}
#endif

TEST_F(ScriptPanelTest, LoadingDuringARunningCycleStopsItOnlyForAFileThatLoads)
{
    open();
    select(7, 0, 16);
    add();
    save(file("seven.tvs"));
    select(8, 0, 16);
    add();
    click(form->runProg);
    click(form->btnCycle);
    ASSERT_TRUE(form->btnCycle->down());

    // A refused file leaves the cycle running.
    writeAll(file("foreign.tvs"), Bytes("MZ\x90", 3) + Bytes(100, '\0'));
    load(file("foreign.tvs"));
    EXPECT_TRUE(form->btnCycle->down());
    EXPECT_FALSE(idle());

    load(file("seven.tvs"));
    EXPECT_FALSE(form->btnCycle->down());
    QTRY_VERIFY(idle());
    EXPECT_EQ(grid(), QStringList{QStringLiteral("B16 C00 N07 A00 F16 D0000")});
    EXPECT_EQ(count(), 1);
    EXPECT_EQ(runPosition(), 0);
}

TEST_F(ScriptPanelTest, SavingDuringACommandCycleLeavesTheRunAndItsTemporaryEntryOut)
{
    open();
    select(3, 2, 16);
    add();
    // The panel command cycles: it is the program's temporary second entry.
    select(9, 1, 0);
    click(form->btnCycle);
    ASSERT_TRUE(form->btnCycle->down());
    QTRY_VERIFY(!commandWords().empty());
    save(file("during.tvs"));
    const Bytes image = readAll(file("during.tvs"));
    ASSERT_EQ(image.size(), 95);
    EXPECT_EQ(image.mid(7, 4), le32(1));
    EXPECT_EQ(image.mid(55 + 20, 4), le32(3)); // N of the operator's entry
    EXPECT_TRUE(form->btnCycle->down());
    EXPECT_FALSE(idle());
    click(form->btnCycle);
    QTRY_VERIFY(idle());
    EXPECT_EQ(count(), 1);
}

} // namespace
} // namespace tervan::test
