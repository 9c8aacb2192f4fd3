#include "Cshell.h"
#include "Cshellparts.h"

#include "Camscript.h"
#include "Colors.h"
#include "Camgrid.h"
#include "Drawgrid.h"
#include "Fonts.h"
#include "Help.h"
#include "Imgbutton.h"
#include "Options.h"
#include "Panelimage.h"
#include "Reporter.h"
#include "Speedbutton1.h"
#include "camac.h"

#ifdef TERVAN_HAVE_ARTWORK
#include "Artwork.h"
#endif

#include <QButtonGroup>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QRadioButton>
#include <QScreen>
#include <QValidator>
#include <QWindow>

#include <cstdio>
#include <filesystem>
#include <vector>

namespace {

// ---- Layout -----------------------------------------------------------------

struct FontSpec
{
    const char *face;
    int pixels;
    bool bold;
};

constexpr FontSpec arial9{"Arial", 9, false};
constexpr FontSpec arial11{"Arial", 11, false};
constexpr FontSpec times11Bold{"Times New Roman", 11, true};
constexpr FontSpec verdana11Bold{"Verdana", 11, true};

constexpr std::uint32_t rgb(int r, int g, int b)
{
    return TColor::rgb(std::uint8_t(r), std::uint8_t(g), std::uint8_t(b)).value();
}
const std::uint32_t aqua = rgb(0, 255, 255);
const std::uint32_t silver = rgb(192, 192, 192);
const std::uint32_t infoBk = TColor::system(COLOR_INFOBK).value();

// The single buttons of the window.
struct ButtonSpec
{
    const char *name;
    const char *caption;
    QRect geometry;
    int group;
    bool allowAllUp;
    int tag;
    std::uint32_t faceDown;
    FontSpec font;
    TSpeedButton1 *TfrmCamac::*field;
    TfrmCamac::Handler handler;
};

enum Single {
    Help, Options, Crate0, Crate1, Crate2, Crate3, Interrupt, Bit24, Z, I, NI, C,
    OneTime, Cycle, Read, Clear, Add, Save, Load,
};

const ButtonSpec singles[] = {
    {"SpeedButton11", "Справка", {509, 28, 76, 20}, 0, true, 0, silver, arial11, &TfrmCamac::SpeedButton11, &TfrmCamac::SpeedButton11Click},
    {"btnOptions", "Настройки", {509, 48, 76, 20}, 11, true, 0, silver, arial11, &TfrmCamac::btnOptions, &TfrmCamac::btnOptionsClick},
    {"btnCreate0", "Крейт № 0", {509, 87, 76, 20}, 4, false, 40, aqua, arial11, &TfrmCamac::btnCreate0, &TfrmCamac::btnCreate0Click},
    {"SpeedButton189", "Крейт № 1", {509, 107, 76, 20}, 4, false, 41, aqua, arial11, &TfrmCamac::SpeedButton189, &TfrmCamac::btnCreate0Click},
    {"SpeedButton188", "Крейт № 2", {509, 127, 76, 20}, 4, false, 42, aqua, arial11, &TfrmCamac::SpeedButton188, &TfrmCamac::btnCreate0Click},
    {"SpeedButton187", "Крейт № 3", {509, 147, 76, 20}, 4, false, 43, aqua, arial11, &TfrmCamac::SpeedButton187, &TfrmCamac::btnCreate0Click},
    {"btnInterrupt", "Прерывания", {509, 184, 76, 20}, 5, true, 0, rgb(255, 0, 0), arial11, &TfrmCamac::btnInterrupt, &TfrmCamac::btnInterruptClick},
    {"btn24bit", "24 бит-режим", {509, 204, 76, 20}, 6, true, 0, TColor::system(COLOR_INACTIVECAPTION).value(), arial9, &TfrmCamac::btn24bit, &TfrmCamac::btn24bitClick},
    {"SpeedButton175", "Z", {509, 276, 76, 20}, 7, true, 72, infoBk, times11Bold, &TfrmCamac::SpeedButton175, &TfrmCamac::SpeedButton175Click},
    {"SpeedButton176", "I", {509, 300, 38, 20}, 7, true, 74, infoBk, times11Bold, &TfrmCamac::SpeedButton176, &TfrmCamac::SpeedButton175Click},
    {"SpeedButton190", "NI", {547, 300, 38, 20}, 7, true, 78, infoBk, times11Bold, &TfrmCamac::SpeedButton190, &TfrmCamac::SpeedButton175Click},
    {"SpeedButton177", "C", {509, 324, 76, 20}, 7, true, 71, infoBk, times11Bold, &TfrmCamac::SpeedButton177, &TfrmCamac::SpeedButton175Click},
    {"btnOneTime", "Однократно", {509, 441, 76, 30}, 8, true, 0, rgb(185, 255, 190), arial11, &TfrmCamac::btnOneTime, &TfrmCamac::btnOneTimeClick},
    {"btnCycle", "Циклически", {509, 477, 76, 30}, 8, true, 0, rgb(185, 255, 190), arial11, &TfrmCamac::btnCycle, &TfrmCamac::btnCycleClick},
    {"LRead", "Читать", {240, 157, 76, 20}, 10, true, 0, infoBk, arial11, &TfrmCamac::LRead, &TfrmCamac::LReadClick},
    {"btnClearProg", "Очистить", {12, 488, 76, 20}, 0, false, 0, silver, arial11, &TfrmCamac::btnClearProg, &TfrmCamac::btnClearProgClick},
    {"SpeedButton181", "Добавить", {88, 488, 76, 20}, 0, false, 0, silver, arial11, &TfrmCamac::SpeedButton181, &TfrmCamac::SpeedButton181Click},
    {"btnSaveTVS", "Сохранить", {164, 488, 76, 20}, 0, false, 0, silver, arial11, &TfrmCamac::btnSaveTVS, &TfrmCamac::btnSaveTVSClick},
    {"btnLoadTVS", "Загрузить", {240, 488, 76, 20}, 0, false, 0, silver, arial11, &TfrmCamac::btnLoadTVS, &TfrmCamac::btnLoadTVSClick},
};

// The three button columns of the addressed command.
struct ColumnSpec
{
    char letter;
    int left, top, step, width;
    int group;
    int tagBase;  // tag = value + tagBase
    int firstValue; // value of the top button
    TfrmCamac::Handler handler;
};

enum Column { ColN, ColA, ColF };

const ColumnSpec columns[] = {
    {'N', 349, 28, 20, 33, 1, 10, 1, &TfrmCamac::SpeedButton13Click},
    {'A', 397, 28, 30, 33, 2, 20, 0, &TfrmCamac::SpeedButton126Click},
    {'F', 442, 28, 15, 33, 3, 30, 0, &TfrmCamac::SpeedButton143Click},
};

// Labels of the window: R and the four signals.
struct LabelSpec
{
    const char *name;
    QRect geometry;
    QLabel *TfrmCamac::*field;
};

const LabelSpec indicators[] = {
    {"Xstate", {42, 229, 26, 13}, &TfrmCamac::Xstate},
    {"Qstate", {116, 229, 26, 13}, &TfrmCamac::Qstate},
    {"Lstate", {190, 229, 26, 13}, &TfrmCamac::Lstate},
    {"Istate", {264, 229, 26, 13}, &TfrmCamac::Istate},
};

struct RadioSpec
{
    const char *name;
    const char *caption;
    QRect geometry;
    QRadioButton *TfrmCamac::*field;
};

const RadioSpec radixButtons[] = {
    {"binshow", "BIN", {265, 28, 51, 12}, &TfrmCamac::binshow},
    {"hexshow", "HEX", {265, 52, 51, 12}, &TfrmCamac::hexshow},
    {"decshow", "DEC", {265, 76, 51, 12}, &TfrmCamac::decshow},
};

const RadioSpec runButtons[] = {
    {"runCmd", "Команду", {2, 3, 78, 17}, &TfrmCamac::runCmd},
    {"runProg", "Программу", {2, 24, 78, 17}, &TfrmCamac::runProg},
};

// The order of creation, which is also the stacking order.
enum class Make { Image, ColumnRun, Button, RMonitor, Indicators, LAMTable, Radix, ProgMon, Panel1, EdW };
struct Step
{
    Make what;
    int index = 0; // column or single button
    int from = 0, to = 0;
};

const Step creationOrder[] = {
    {Make::Image},
    {Make::ColumnRun, ColN, 1, 16}, {Make::ColumnRun, ColN, 23, 17}, {Make::ColumnRun, ColA, 0, 15},
    {Make::ColumnRun, ColN, 24, 24}, {Make::ColumnRun, ColF, 0, 3}, {Make::ColumnRun, ColF, 7, 4},
    {Make::ColumnRun, ColF, 15, 8}, {Make::ColumnRun, ColF, 31, 16},
    {Make::Button, Z}, {Make::Button, I}, {Make::Button, C},
    {Make::Button, OneTime}, {Make::Button, Cycle},
    {Make::Button, Clear}, {Make::Button, Add}, {Make::Button, Save}, {Make::Button, Load},
    {Make::Button, Read}, {Make::Button, Bit24}, {Make::Button, Interrupt},
    {Make::Button, Crate0}, {Make::Button, Crate3}, {Make::Button, Crate2}, {Make::Button, Crate1},
    {Make::RMonitor}, {Make::Button, NI}, {Make::Indicators},
    {Make::Button, Help}, {Make::Button, Options},
    {Make::LAMTable}, {Make::Radix}, {Make::ProgMon}, {Make::Panel1}, {Make::EdW},
};

// ---- Texts ------------------------------------------------------------------


void setTextColour(QWidget *widget, const QColor &text)
{
    QPalette p = widget->palette();
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::ButtonText, text);
    widget->setPalette(p);
}

} // namespace

namespace tervan_shell {

// Buttons (the radio buttons) fill their background with the Button role,
// everything else with Window; fields use Base.
void setBackground(QWidget *widget, const QColor &background)
{
    QPalette p = widget->palette();
    p.setColor(QPalette::Window, background);
    p.setColor(QPalette::Base, background);
    p.setColor(QPalette::Button, background);
    widget->setPalette(p);
    widget->setAutoFillBackground(true);
}

} // namespace tervan_shell

using tervan_shell::setBackground;

// ---- Construction -------------------------------------------------------------

TfrmCamac::TfrmCamac(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("frmCamac"));
    setWindowTitle(QStringLiteral("Tervan KT40"));
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(599, 520);
    setFont(TPanelFonts::font("MS Sans Serif", 11));
    setBackground(this, TColor::system(COLOR_BTNFACE).toQColor());

    createControls();
    createFileDialogs();
    connectHandlers();

    // Start-up: empty program (run position -1), crate 0, nothing else selected.
    m_program.Reset();
    m_selCrate = btnCreate0;
    m_crate = 0;
    SetIndicators(2, 2, 2, 2);
    ShowR(0);
    ShowW(0);
    m_worker = std::make_unique<TCamProcessor>(m_program, *this);
}

TfrmCamac::~TfrmCamac()
{
    m_worker.reset();
}

bool TfrmCamac::InitOk() const
{
    return m_worker->InitOk();
}

bool TfrmCamac::Start()
{
    if (InitOk()) {
        show();
        return true;
    }
    TReporter::current().ShowError(QStringLiteral("Ошибка инициализации."),
                                   QStringLiteral("Невозожно получить доступ к драйверу. Возможно драйвер не установлен."));
    return false;
}

TSpeedButton1 *TfrmCamac::createButton(const char *name, const QString &caption, QRect geometry, int group,
                                       bool allowAllUp, int tag, std::uint32_t faceDown, const QFont &font)
{
    auto *b = new TSpeedButton1(this);
    b->setObjectName(QLatin1String(name));
    b->setGeometry(geometry);
    b->setAltitude(2);
    b->setFaceColor(TColor::rgb(178, 178, 178));
    b->setLightEdgeColor(TColor::rgb(255, 255, 255));
    b->setLightEdgeColorDown(TColor::rgb(255, 255, 255));
    b->setShadowEdgeColor(TColor::rgb(0, 0, 0));
    b->setShadowEdgeColorDown(TColor::rgb(0, 0, 0));
    b->setFaceColorDown(TColor::fromValue(faceDown));
    b->setFontColor(TColor::system(COLOR_WINDOWTEXT));
    b->setFont(font);
    b->setGroupIndex(group);
    b->setAllowAllUp(allowAllUp);
    b->setTag(tag);
    b->setCaption(caption);
    return b;
}

void TfrmCamac::createControls()
{
    const QFont verdana = TPanelFonts::font(verdana11Bold.face, verdana11Bold.pixels, verdana11Bold.bold);
    for (const Step &step : creationOrder) {
        switch (step.what) {
        case Make::Image:
            Image1 = new TPanelImage(this);
            Image1->setObjectName(QStringLiteral("Image1"));
            Image1->setGeometry(0, 0, 599, 520);
#ifdef TERVAN_HAVE_ARTWORK
            Image1->setPicture(tervan::panelArtwork());
#endif
            break;
        case Make::ColumnRun: {
            const ColumnSpec &col = columns[step.index];
            const int dir = step.from <= step.to ? 1 : -1;
            for (int v = step.from;; v += dir) {
                const int height = col.step;
                const QRect g(col.left, col.top + (v - col.firstValue) * col.step, col.width, height);
                const QString caption = QStringLiteral("%1 %2").arg(QLatin1Char(col.letter)).arg(v, 2, 10, QLatin1Char('0'));
                const QByteArray name = QStringLiteral("btn%1%2").arg(QLatin1Char(col.letter)).arg(v, 2, 10, QLatin1Char('0')).toLatin1();
                TSpeedButton1 *b = createButton(name.constData(), caption, g, col.group, true, v + col.tagBase,
                                                aqua, TPanelFonts::font(arial9.face, arial9.pixels));
                (step.index == ColN ? btnN : step.index == ColA ? btnA : btnF)[v] = b;
                m_handlers.emplace_back(b, col.handler);
                if (v == step.to)
                    break;
            }
            break;
        }
        case Make::Button: {
            const ButtonSpec &s = singles[step.index];
            TSpeedButton1 *b = createButton(s.name, QString::fromUtf8(s.caption), s.geometry, s.group, s.allowAllUp,
                                            s.tag, s.faceDown, TPanelFonts::font(s.font.face, s.font.pixels, s.font.bold));
            this->*s.field = b;
            m_handlers.emplace_back(b, s.handler);
            if (step.index == Crate0)
                b->setDown(true);
            break;
        }
        case Make::RMonitor:
            RMonitor = new QLabel(QStringLiteral("0111 1111 1111 1111 1111 1110"), this);
            RMonitor->setObjectName(QStringLiteral("RMonitor"));
            RMonitor->setGeometry(17, 91, 217, 14);
            RMonitor->setAlignment(Qt::AlignCenter);
            RMonitor->setFont(verdana);
            setBackground(RMonitor, Qt::black);
            setTextColour(RMonitor, QColor(0, 255, 0));
            break;
        case Make::Indicators:
            for (const LabelSpec &s : indicators) {
                auto *label = new QLabel(this);
                label->setObjectName(QLatin1String(s.name));
                label->setGeometry(s.geometry);
                setBackground(label, QColor(192, 192, 192));
                this->*s.field = label;
            }
            break;
        case Make::LAMTable:
            LAMTable = new TDrawGrid(this);
            LAMTable->setObjectName(QStringLiteral("LAMTable"));
            LAMTable->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            LAMTable->setLineWidth(2);
            LAMTable->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            LAMTable->setGeometry(11, 145, 220, 46);
            LAMTable->setGrid(8, 3, 26, 13);
            LAMTable->setFont(TPanelFonts::font("Lucida Console", 11));
            LAMTable->setEnabled(false);
            break;
        case Make::Radix:
            for (const RadioSpec &s : radixButtons) {
                auto *radio = new QRadioButton(QLatin1String(s.caption), this);
                radio->setObjectName(QLatin1String(s.name));
                radio->setGeometry(s.geometry);
                radio->setFont(TPanelFonts::font("Courier", 11));
                setBackground(radio, QColor(146, 176, 192));
                setTextColour(radio, Qt::white);
                this->*s.field = radio;
            }
            // One exclusive group: a click on the checked one leaves it checked.
            for (QRadioButton *radio : {binshow, hexshow, decshow})
                m_radixGroup.addButton(radio);
            binshow->setChecked(true);
            break;
        case Make::ProgMon:
            ProgMon = new TDrawGrid(this);
            ProgMon->setObjectName(QStringLiteral("ProgMon"));
            ProgMon->setGeometry(13, 280, 302, 199);
            ProgMon->setGrid(6, 50, 46, 15);
            ProgMon->setBackground(QColor(230, 230, 230));
            ProgMon->setRowSelect(true);
            ProgMon->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
            break;
        case Make::Panel1:
            Panel1 = new QWidget(this);
            Panel1->setObjectName(QStringLiteral("Panel1"));
            Panel1->setGeometry(507, 388, 79, 44);
            setBackground(Panel1, QColor(1, 104, 160));
            for (const RadioSpec &s : runButtons) {
                auto *radio = new QRadioButton(QString::fromUtf8(s.caption), Panel1);
                radio->setObjectName(QLatin1String(s.name));
                radio->setGeometry(s.geometry);
                radio->setFont(TPanelFonts::font(arial11.face, arial11.pixels));
                setTextColour(radio, Qt::white);
                this->*s.field = radio;
            }
            m_runGroup.addButton(runCmd);
            m_runGroup.addButton(runProg);
            runCmd->setChecked(true);
            break;
        case Make::EdW:
            edW = new QLineEdit(this);
            edW->setObjectName(QStringLiteral("edW"));
            edW->setGeometry(21, 32, 215, 15);
            edW->setFrame(false);
            edW->setFont(verdana);
            setBackground(edW, Qt::black);
            setTextColour(edW, QColor(0, 255, 255));
            edW->setInputMask(QtInputMask(QStringLiteral("aaaa aaaa aaaa aaaa;1;0"), Radix::Binary));
            edW->setText(QString(19, QLatin1Char(' ')));
            m_wValidator = new TRadixValidator(edW);
            edW->setValidator(m_wValidator);
            break;
        }
    }
    // Tab order of the windowed controls.
    setTabOrder(LAMTable, binshow);
    setTabOrder(binshow, hexshow);
    setTabOrder(hexshow, decshow);
    setTabOrder(decshow, ProgMon);
    setTabOrder(ProgMon, runCmd);
    setTabOrder(runCmd, runProg);
    setTabOrder(runProg, edW);
}

// The two script-file dialogs, which have no place on the screen. Both start
// in the program's own folder.
void TfrmCamac::createFileDialogs()
{
    const QString ownFolder = QCoreApplication::applicationDirPath();
    const auto make = [&](const char *name, QFileDialog::AcceptMode mode) {
        auto *d = new QFileDialog(this);
        d->setObjectName(QLatin1String(name));
        d->setAcceptMode(mode);
        d->setFileMode(mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
        // The list of types shows the description alone.
        d->setNameFilter(QStringLiteral("Tervan Script (*.tvs)"));
        d->setOption(QFileDialog::HideNameFilterDetails);
        d->setDefaultSuffix(QStringLiteral("tvs"));
        d->setDirectory(ownFolder);
        d->setWindowModality(Qt::ApplicationModal);
        return d;
    };
    OpenDialog1 = make("OpenDialog1", QFileDialog::AcceptOpen);
    SaveDialog1 = make("SaveDialog1", QFileDialog::AcceptSave);
    // An existing file is replaced without asking, as before.
    SaveDialog1->setOption(QFileDialog::DontConfirmOverwrite);
}

// Every connection of the window, in one place.
void TfrmCamac::connectHandlers()
{
    for (const auto &[button, handler] : m_handlers)
        connect(button, &TSpeedButton1::clicked, this, [this, handler = handler](TSpeedButton1 *sender) {
            (this->*handler)(sender);
        });
    for (QRadioButton *radio : {binshow, hexshow, decshow})
        connect(radio, &QRadioButton::clicked, this, &TfrmCamac::binshowClick);
    connect(runProg, &QRadioButton::clicked, this, &TfrmCamac::runProgClick);
    // The worker follows the execution target at every round, also during a run.
    connect(runCmd, &QRadioButton::toggled, this, [this](bool on) { m_worker->SetCommandMode(on); });
    edW->installEventFilter(this);
    // A paste or a drop changes the field without a key release: W follows
    // every change the operator makes, so that it is always what the field shows.
    connect(edW, &QLineEdit::textEdited, this, &TfrmCamac::edWKeyUp);
    LAMTable->viewport()->installEventFilter(this);
    ProgMon->setDrawCell([this](QPainter &p, int col, int row, const QRect &cell) { ProgMonDrawCell(p, col, row, cell); });
    LAMTable->setDrawCell([this](QPainter &p, int col, int row, const QRect &cell) { LAMTableDrawCell(p, col, row, cell); });
    // The chosen file is read or written once its dialog has gone from the
    // screen, so that a message about it does not stand beside the dialog.
    connect(OpenDialog1, &QDialog::accepted, this, [this] { LoadScript(OpenDialog1->selectedFiles().value(0)); });
    connect(SaveDialog1, &QDialog::accepted, this, [this] { SaveScript(SaveDialog1->selectedFiles().value(0)); });
    m_refreshTimer.setSingleShot(true);
    connect(&m_refreshTimer, &QTimer::timeout, this, &TfrmCamac::refreshView);
}

// ---- Selection -------------------------------------------------------------------

void TfrmCamac::releaseCycle()
{
    if (btnCycle->down())
        btnCycle->setDown(false);
    m_worker->SetButton(TCamProcessor::Button::Cycle, false);
}

void TfrmCamac::releaseSelection(TSpeedButton1 *&selected)
{
    if (selected)
        selected->setDown(false);
    selected = nullptr;
}

void TfrmCamac::addressedClick(TSpeedButton1 *sender, TSpeedButton1 *&selected, std::int32_t &value, int base)
{
    releaseCycle();
    releaseSelection(m_selUnaddressed);
    if (LRead->down())
        LRead->setDown(false);
    selected = sender;
    value = sender->tag() - base;
}

void TfrmCamac::SpeedButton13Click(TSpeedButton1 *sender)
{
    addressedClick(sender, m_selN, m_n, 10);
}

void TfrmCamac::SpeedButton126Click(TSpeedButton1 *sender)
{
    addressedClick(sender, m_selA, m_a, 20);
}

void TfrmCamac::SpeedButton143Click(TSpeedButton1 *sender)
{
    addressedClick(sender, m_selF, m_f, 30);
}

void TfrmCamac::btnCreate0Click(TSpeedButton1 *sender)
{
    releaseCycle();
    m_selCrate = sender;
    m_crate = sender->tag() - 40;
}

void TfrmCamac::SpeedButton175Click(TSpeedButton1 *sender)
{
    releaseCycle();
    releaseSelection(m_selN);
    releaseSelection(m_selA);
    releaseSelection(m_selF);
    if (LRead->down())
        LRead->setDown(false);
    m_selUnaddressed = sender;
}

void TfrmCamac::LReadClick(TSpeedButton1 *)
{
    releaseCycle();
    releaseSelection(m_selN);
    releaseSelection(m_selA);
    releaseSelection(m_selF);
    releaseSelection(m_selUnaddressed);
}

void TfrmCamac::ImgButton24MouseDown(TImgButton *sender, Qt::MouseButton, Qt::KeyboardModifiers, QPoint)
{
    sender->setCurrentState(sender->currentState() == 0 ? 1 : 0);
}

void TfrmCamac::btnInterruptClick(TSpeedButton1 *)
{
    // The button only toggles; the panel links no LAM handler.
}

void TfrmCamac::btn24bitClick(TSpeedButton1 *)
{
    releaseCycle();
    ShowR(m_worker->LastRead());
    ShowW(m_worker->LastWritten());
}

void TfrmCamac::binshowClick()
{
    ShowR(m_worker->LastRead());
    ShowW(m_w);
}

bool TfrmCamac::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Expose && watched == windowHandle()) {
        // Uncovered or restored: Qt would put back the window's last picture,
        // which may show LAM cells that are no longer valid. The table is
        // painted anew instead, from the worker as it is now.
        LAMTable->viewport()->update();
        return false;
    }
    if (event->type() == QEvent::Paint && m_worker && watched == LAMTable->viewport()) {
        // The paint that applies a refresh shows the entry's mask; any other
        // (uncovered, restored) shows the worker as it is now, which once it
        // is idle means no cell valid.
        if (m_lamRefreshPaint) {
            m_lamPaintMask = m_lamMask;
            m_lamPaintPattern = m_lamPattern;
        } else {
            m_lamPaintMask = m_worker->LamMask();
            m_lamPaintPattern = m_lamPaintMask ? m_worker->LamPattern() : 0;
        }
        m_lamRefreshPaint = false;
        return false;
    }
    if (watched == edW) {
        if (event->type() == QEvent::KeyPress) {
            const auto *key = static_cast<QKeyEvent *>(event);
            const QString text = key->text();
            // Typed characters only; editing keys (backspace, arrows) and the
            // editing shortcuts pass (a paste is filtered by the input mask).
            const bool shortcut = key->matches(QKeySequence::Paste) || key->matches(QKeySequence::Copy)
                                  || key->matches(QKeySequence::Cut) || key->matches(QKeySequence::Undo)
                                  || key->matches(QKeySequence::Redo) || key->matches(QKeySequence::SelectAll);
            if (!shortcut && !text.isEmpty() && text.at(0) >= QLatin1Char(' ') && text.at(0) != QChar(0x7F)
                && edWKeyPress(text.at(0)))
                return true;
        } else if (event->type() == QEvent::KeyRelease) {
            edWKeyUp();
        }
    }
    return QWidget::eventFilter(watched, event);
}

// ---- Execution ---------------------------------------------------------------------

void TfrmCamac::execute(TSpeedButton1 *button, TCamProcessor::Button which)
{
    if (!button->down()) {
        // Released by the operator: the worker sees it and ends the run.
        m_worker->SetButton(which, false);
        return;
    }
    bool started = false;
    if (runProg->isChecked()) {
        started = m_worker->Start(which, nullptr);
    } else {
        TCamCommand command;
        if (ComposePanelCommand(command) == 0) {
            started = m_worker->Start(which, &command);
        } else {
            m_worker->StopRun();
            m_worker->Resume();
        }
    }
    if (!started)
        button->setDown(false);
}

void TfrmCamac::btnOneTimeClick(TSpeedButton1 *)
{
    execute(btnOneTime, TCamProcessor::Button::OneTime);
}

void TfrmCamac::btnCycleClick(TSpeedButton1 *)
{
    execute(btnCycle, TCamProcessor::Button::Cycle);
}

// ---- Program ---------------------------------------------------------------------

void TfrmCamac::SpeedButton181Click(TSpeedButton1 *)
{
    TCamCommand command;
    if (ComposePanelCommand(command) != 0)
        return;
    // A run in progress ends first, so that its temporary entry is gone.
    releaseCycle();
    m_worker->StopRun();
    btnOneTime->setDown(false);
    if (!m_worker->WithProgram([&](TCamProgram &p) { return p.Append(command); }))
        TReporter::current().ShowError(QStringLiteral("Ошибка"),
                                       QStringLiteral("Программа заполнена: в ней уже 255 команд. Команда не добавлена."));
    ProgMon->viewport()->update();
}

void TfrmCamac::btnClearProgClick(TSpeedButton1 *)
{
    releaseCycle();
    m_worker->StopRun();
    btnOneTime->setDown(false);
    m_worker->WithProgram([](TCamProgram &p) { p.Reset(); });
    ProgMon->viewport()->update();
}

void TfrmCamac::runProgClick()
{
    m_worker->WithProgram([](TCamProgram &p) { p.Rewind(); });
    ProgMon->setRow(0);
}

namespace {

std::filesystem::path nativePath(const QString &path)
{
#ifdef _WIN32
    return std::filesystem::path(path.toStdWString());
#else
    return std::filesystem::path(QFile::encodeName(path).toStdString());
#endif
}

QString fileProblem(const QString &what, const QString &path, const TCamScript::Outcome &outcome)
{
    QString text = what + QLatin1Char('\n') + QDir::toNativeSeparators(path);
    if (outcome.status == TCamScript::Status::ReadOnly)
        text += QStringLiteral("\nФайл доступен только для чтения.");
    else if (outcome.error)
        text += QStringLiteral("\n") + QString::fromLocal8Bit(outcome.error.message().c_str());
    return text;
}

} // namespace

void TfrmCamac::btnSaveTVSClick(TSpeedButton1 *)
{
    // The file is written when the operator has chosen it (SaveScript).
    SaveDialog1->show();
}

void TfrmCamac::SaveScript(const QString &path)
{
    // The program as it is, without the temporary entry of a command run;
    // a run in progress goes on.
    const TCamProgram program = m_worker->OperatorProgram();
    const TCamScript::Outcome outcome = TCamScript::Save(nativePath(path), program);
    if (!outcome.ok())
        TReporter::current().ShowError(QStringLiteral("Ошибка"),
                                       fileProblem(QStringLiteral("Не удалось сохранить файл"), path, outcome));
    ProgMon->viewport()->update();
}

void TfrmCamac::btnLoadTVSClick(TSpeedButton1 *)
{
    // The file is read when the operator has chosen it (LoadScript).
    OpenDialog1->show();
}

void TfrmCamac::LoadScript(const QString &path)
{
    // The whole file is read and checked first: a file that cannot be read
    // or is no complete script changes nothing, not even a run in progress.
    std::vector<std::uint8_t> image;
    const TCamScript::Outcome outcome = TCamScript::Read(nativePath(path), image);
    if (outcome.status == TCamScript::Status::Incompatible) {
        TReporter::current().ShowError(QString(), QStringLiteral("Несовместимый формат !!!"));
    } else if (!outcome.ok()) {
        TReporter::current().ShowError(QStringLiteral("Ошибка"),
                                       fileProblem(QStringLiteral("Не удалось открыть файл"), path, outcome));
    } else {
        // The program is replaced: a run in progress ends first, so that its
        // temporary entry is gone.
        releaseCycle();
        m_worker->StopRun();
        btnOneTime->setDown(false);
        m_worker->WithProgram([&](TCamProgram &p) { TCamScript::Decode(image, p); });
    }
    ProgMon->viewport()->update();
}

// ---- Help, options, closing ---------------------------------------------------------

void TfrmCamac::SpeedButton11Click(TSpeedButton1 *)
{
    THelp::Open(QCoreApplication::applicationDirPath(), TReporter::current());
}

void TfrmCamac::btnOptionsClick(TSpeedButton1 *)
{
    if (!btnOptions->down())
        return;
    // Modal over the whole program; the switch springs back and the dialog
    // goes when it closes, whichever way.
    auto *dialog = new TfrmOptions(*m_worker, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::ApplicationModal);
    connect(dialog, &QDialog::finished, this, [this] { btnOptions->setDown(false); });
    dialog->show();
}

void TfrmCamac::closeEvent(QCloseEvent *event)
{
    // The worker finishes its current step and ends before the window goes.
    m_worker->Terminate();
    m_worker->Resume();
    m_worker->Wait();
    m_refreshTimer.stop();
    event->accept();
}

void TfrmCamac::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (QWindow *window = windowHandle(); window && !m_windowWatched) {
        m_windowWatched = true;
        window->installEventFilter(this);
    }
    if (!m_centred && screen()) {
        m_centred = true;
        move(screen()->availableGeometry().center() - QPoint(width() / 2, height() / 2));
    }
}

// ---- Worker reports ---------------------------------------------------------------

void TfrmCamac::ViewPending()
{
    // Worker thread: hand over to the user-interface thread.
    QMetaObject::invokeMethod(this, &TfrmCamac::refreshView, Qt::QueuedConnection);
}

void TfrmCamac::refreshView()
{
    constexpr qint64 frame = 16; // ms: at most about 60 refreshes a second
    if (m_lastRefresh.isValid() && m_lastRefresh.elapsed() < frame) {
        if (!m_refreshTimer.isActive())
            m_refreshTimer.start(static_cast<int>(frame - m_lastRefresh.elapsed()));
        return;
    }
    m_lastRefresh.start();
    applyView();
}

void TfrmCamac::applyView()
{
    const TPanelView view = m_worker->TakeView();
    m_entriesShown += view.entries;
    if (view.rChanged) {
        if (view.rError)
            RMonitor->setText(QStringLiteral("ERROR"));
        else
            ShowR(view.r);
    }
    if (view.indicatorsChanged)
        SetIndicators(view.x, view.q, view.l, view.i);
    if (view.lamChanged) {
        m_lamMask = view.lamMask;
        m_lamPattern = view.lamPattern;
        // A hidden or minimised window paints nothing now; its next paint is
        // not this refresh's.
        m_lamRefreshPaint = isVisible() && !isMinimized();
        LAMTable->viewport()->update();
    }
    if (view.oneTimeReleased)
        btnOneTime->setDown(m_worker->ButtonDown(TCamProcessor::Button::OneTime));
    if (view.cycleReleased)
        btnCycle->setDown(m_worker->ButtonDown(TCamProcessor::Button::Cycle));
}
