#pragma once

#include "Camdisplay.h"
#include "Camproc.h"
#include "Camprogram.h"

#include <QButtonGroup>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <memory>

class QFileDialog;
class QLabel;
class QLineEdit;
class QRadioButton;
class QPainter;
class TDrawGrid;
class TImgButton;
class TRadixValidator;
class TPanelImage;
class TSpeedButton1;

// The main window of the front panel: the operator composes a CAMAC command
// on rows of buttons, types W, executes the command or the command program
// once or cyclically, and reads R, the X, Q, L and I signals and the LAM
// pattern. The worker executes; the window only shows what it reports.
class TfrmCamac : public QWidget, public TCamDisplay
{
    Q_OBJECT

public:
    enum class Radix { Binary, Hexadecimal, Decimal };
    using Handler = void (TfrmCamac::*)(TSpeedButton1 *sender);

    explicit TfrmCamac(QWidget *parent = nullptr);
    ~TfrmCamac() override;

    bool InitOk() const;
    // Shows the window when the worker could reach the adapter; otherwise
    // reports the start-up failure and returns false (the program then ends).
    bool Start();
    TCamProcessor &Worker() { return *m_worker; }

    // ---- Display and composition ------------------------------------------
    void ShowR(std::int32_t value);
    void ShowW(std::int32_t value);
    std::int32_t ReadW() const;
    void SetIndicators(int x, int q, int l, int i);
    // Fills `command` from the selection: 0 when it denotes a command, 1 when not.
    int ComposePanelCommand(TCamCommand &command) const;
    int WordWidth() const;
    Radix CurrentRadix() const;
    std::int32_t W() const { return m_w; }
    // The text that the program grid shows in a cell ("" for an empty cell).
    QString ProgMonCellText(int col, int row);
    // The edit mask of edW for the current width and radix, as given, and
    // translated to a Qt input mask whose entry positions take the radix's digits.
    QString EditMask() const;
    static QString QtInputMask(const QString &editMask, Radix radix);

    // ---- Handlers ---------------------------------------------------------
    void btnCreate0Click(TSpeedButton1 *sender);
    void SpeedButton13Click(TSpeedButton1 *sender);
    void SpeedButton126Click(TSpeedButton1 *sender);
    void SpeedButton143Click(TSpeedButton1 *sender);
    void SpeedButton175Click(TSpeedButton1 *sender);
    void LReadClick(TSpeedButton1 *sender);
    void btn24bitClick(TSpeedButton1 *sender);
    void btnOneTimeClick(TSpeedButton1 *sender);
    void btnCycleClick(TSpeedButton1 *sender);
    void SpeedButton11Click(TSpeedButton1 *sender);
    void btnOptionsClick(TSpeedButton1 *sender);
    void btnInterruptClick(TSpeedButton1 *sender);
    void btnClearProgClick(TSpeedButton1 *sender);
    void SpeedButton181Click(TSpeedButton1 *sender);
    void btnSaveTVSClick(TSpeedButton1 *sender);
    void btnLoadTVSClick(TSpeedButton1 *sender);
    void binshowClick();
    void runProgClick();
    // Returns true when the key is to be dropped.
    bool edWKeyPress(QChar key) const;
    void edWKeyUp();
    // For an image button's mouseDown: flips its CurrentState between 0 and 1
    // (state 0 becomes 1, any other becomes 0). The panel places no image button.
    void ImgButton24MouseDown(TImgButton *sender, Qt::MouseButton button, Qt::KeyboardModifiers shift, QPoint pos);
    void ProgMonDrawCell(QPainter &painter, int col, int row, const QRect &cell);
    void LAMTableDrawCell(QPainter &painter, int col, int row, const QRect &cell);

    // ---- Published components ---------------------------------------------
    TPanelImage *Image1 = nullptr;
    TSpeedButton1 *SpeedButton11 = nullptr; // "Справка"
    TSpeedButton1 *btnOptions = nullptr;
    TSpeedButton1 *btnCreate0 = nullptr;
    TSpeedButton1 *SpeedButton189 = nullptr; // crate 1
    TSpeedButton1 *SpeedButton188 = nullptr; // crate 2
    TSpeedButton1 *SpeedButton187 = nullptr; // crate 3
    TSpeedButton1 *btnInterrupt = nullptr;
    TSpeedButton1 *btn24bit = nullptr;
    TSpeedButton1 *SpeedButton175 = nullptr; // Z
    TSpeedButton1 *SpeedButton176 = nullptr; // I
    TSpeedButton1 *SpeedButton190 = nullptr; // NI
    TSpeedButton1 *SpeedButton177 = nullptr; // C
    TSpeedButton1 *btnOneTime = nullptr;
    TSpeedButton1 *btnCycle = nullptr;
    TSpeedButton1 *LRead = nullptr;
    TSpeedButton1 *btnClearProg = nullptr;
    TSpeedButton1 *SpeedButton181 = nullptr; // "Добавить"
    TSpeedButton1 *btnSaveTVS = nullptr;
    TSpeedButton1 *btnLoadTVS = nullptr;
    TSpeedButton1 *btnN[25] = {};            // "N 01" .. "N 24" at [1] .. [24]
    TSpeedButton1 *btnA[16] = {};
    TSpeedButton1 *btnF[32] = {};
    QLineEdit *edW = nullptr;
    QRadioButton *binshow = nullptr;
    QRadioButton *hexshow = nullptr;
    QRadioButton *decshow = nullptr;
    QLabel *RMonitor = nullptr;
    TDrawGrid *LAMTable = nullptr;
    QLabel *Xstate = nullptr;
    QLabel *Qstate = nullptr;
    QLabel *Lstate = nullptr;
    QLabel *Istate = nullptr;
    TDrawGrid *ProgMon = nullptr;
    QWidget *Panel1 = nullptr;
    QRadioButton *runCmd = nullptr;
    QRadioButton *runProg = nullptr;
    // The script-file dialogs ("Tervan Script", *.tvs), shown by "Загрузить"
    // and "Сохранить"; the chosen file is read or written when one closes.
    QFileDialog *OpenDialog1 = nullptr;
    QFileDialog *SaveDialog1 = nullptr;

    // The LAM mask of the last refresh from the worker: what the repaint that
    // applies it shows. Any other repaint of the table (the window uncovered
    // or restored) shows the worker's mask and pattern of that moment.
    std::uint32_t LamMaskShown() const { return m_lamMask; }
    // Entries whose results the window has taken from the worker.
    std::uint64_t EntriesShown() const { return m_entriesShown; }

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void createControls();
    void createFileDialogs();
    void SaveScript(const QString &path);
    void LoadScript(const QString &path);
    void connectHandlers();
    TSpeedButton1 *createButton(const char *name, const QString &caption, QRect geometry, int group,
                                bool allowAllUp, int tag, std::uint32_t faceDown, const QFont &font);
    void releaseCycle();
    void releaseSelection(TSpeedButton1 *&selected);
    void addressedClick(TSpeedButton1 *sender, TSpeedButton1 *&selected, std::int32_t &value, int base);
    void execute(TSpeedButton1 *button, TCamProcessor::Button which);
    void refreshView();
    void applyView();
    void ViewPending() override;

    // Handlers of the buttons, in the order of creation.
    std::vector<std::pair<TSpeedButton1 *, Handler>> m_handlers;

    // Panel state
    TCamProgram m_program;
    TSpeedButton1 *m_selCrate = nullptr;
    TSpeedButton1 *m_selN = nullptr;
    TSpeedButton1 *m_selA = nullptr;
    TSpeedButton1 *m_selF = nullptr;
    TSpeedButton1 *m_selUnaddressed = nullptr;
    std::int32_t m_crate = 0;
    std::int32_t m_n = 0;
    std::int32_t m_a = 0;
    std::int32_t m_f = 0;
    std::int32_t m_w = 0;
    // The LAM mask and pattern of the last refresh, and whether the table's
    // next paint is the one that shows them.
    std::uint32_t m_lamMask = 0;
    std::uint32_t m_lamPattern = 0;
    bool m_lamRefreshPaint = false;
    std::uint64_t m_entriesShown = 0;
    // What the paint in progress draws the LAM cells from.
    std::uint32_t m_lamPaintMask = 0;
    std::uint32_t m_lamPaintPattern = 0;
    bool m_centred = false;
    bool m_windowWatched = false; // for the exposures of the window
    TRadixValidator *m_wValidator = nullptr; // edW's, owned by it
    QButtonGroup m_radixGroup;
    QButtonGroup m_runGroup;

    // Refreshes from the worker: at most one a frame.
    QElapsedTimer m_lastRefresh;
    QTimer m_refreshTimer;

    // Last member: the worker ends before anything it reports to goes away.
    std::unique_ptr<TCamProcessor> m_worker;
};
