// The main window on the virtual crate, driven with the mouse and the keyboard.
#pragma once

#include <gtest/gtest.h>

#include <QColor>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QMap>
#include <QTest>
#include <QUrl>

#include <cstring>
#include <ostream>
#include <memory>

#include "PowerUp.h"
#include "Cshell.h"
#include "Reporter.h"
#include "Speedbutton1.h"
#include "State.h"
#include "camac.h"
#include "kt40sim/Adapter.h"
#include "kt40sim/WinDriver.h"

// QTest's QTRY_VERIFY and QTRY_COMPARE report a failure to a QTest run,
// which GoogleTest never sees: a condition that never came true would only
// cost the time-out. These wait the same way (processing events until the
// condition holds, 5 s at most) and then fail the GoogleTest test.
#undef QTRY_VERIFY
#define QTRY_VERIFY(expr)                                                                                   \
    do {                                                                                                    \
        (void)QTest::qWaitFor([&] { return bool(expr); }, 5000);                                                 \
        ASSERT_TRUE(expr) << #expr;                                                                         \
    } while (false)
#undef QTRY_COMPARE
#define QTRY_COMPARE(expr, expected)                                                                        \
    do {                                                                                                    \
        (void)QTest::qWaitFor([&] { return (expr) == (expected); }, 5000);                                       \
        ASSERT_EQ(expr, expected);                                                                          \
    } while (false)

// Readable failures for the Qt values the tests compare.
inline void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }
inline void PrintTo(const QColor &c, std::ostream *os) { *os << c.name().toStdString(); }

namespace tervan::test {

// Keeps what the panel would have shown or started.
class RecordingReporter : public TReporter
{
public:
    void ShowError(const QString &caption, const QString &text) override
    {
        captions << caption;
        texts << text;
    }
    void ShowInformation(const QString &caption, const QString &text) override
    {
        infoCaptions << caption;
        infoTexts << text;
    }
    // Only the programs in `programs` are installed; those in `broken` fail to start.
    QString FindProgram(const QString &name) override { return programs.value(name); }
    bool StartProgram(const QString &program, const QStringList &arguments) override
    {
        started << (QStringList{program} + arguments).join(QLatin1Char(' '));
        return !broken.contains(program);
    }
    bool OpenUrl(const QUrl &url) override
    {
        urls << url.toString();
        return desktopOpens;
    }
    QStringList captions, texts, infoCaptions, infoTexts, started, urls;
    QMap<QString, QString> programs;
    QStringList broken;
    bool desktopOpens = false;
};

// The last command word the adapter received.
inline std::vector<uint16_t> commandWords()
{
    std::vector<uint16_t> words;
    for (const auto &a : kt40sim::Adapter::instance().log())
        if (a.dir == kt40sim::Direction::Write && a.offset == kt40sim::kCmd)
            words.push_back(static_cast<uint16_t>(a.value));
    return words;
}

class PanelTest : public ::testing::Test
{
protected:
    kt40sim::Adapter &hw = kt40sim::Adapter::instance();

    void SetUp() override
    {
        camac::test::powerUp();
        TReporter::install(&reporter);
    }
    void TearDown() override
    {
        form.reset();
        TReporter::install(nullptr);
        camac::disconnect();
    }
    void open()
    {
        form = std::make_unique<TfrmCamac>();
        ASSERT_TRUE(form->Start());
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        hw.clearLog();
    }
    void click(TSpeedButton1 *button) { QTest::mouseClick(button, Qt::LeftButton); }
    void click(QRadioButton *radio) { QTest::mouseClick(radio, Qt::LeftButton, {}, QPoint(6, radio->height() / 2)); }
    // Selects N, A and F on the columns.
    void select(int n, int a, int f)
    {
        click(form->btnN[n]);
        click(form->btnA[a]);
        click(form->btnF[f]);
    }
    // Replaces the digits of edW by typing, as the operator does: from the
    // start of the field, every position overwritten.
    void typeW(const QString &digits)
    {
        form->edW->setFocus();
        QTest::keyClick(form->edW, Qt::Key_Home);
        QTest::keyClicks(form->edW, digits);
    }
    bool idle() const { return form->Worker().Idle(); }
    int count() { return form->Worker().WithProgram([](TCamProgram &p) { return p.count; }); }
    QColor background(QWidget *w) const { return w->palette().color(QPalette::Window); }

    RecordingReporter reporter;
    std::unique_ptr<TfrmCamac> form;
};

} // namespace tervan::test
