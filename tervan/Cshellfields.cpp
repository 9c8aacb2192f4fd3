// The main window's fields and tables: R and W in their radix, the
// indicators, the program monitor, the LAM table, and the command composed
// from the controls.
#include "Cshell.h"
#include "Cshellparts.h"

#include "Camgrid.h"
#include "Colors.h"
#include "Drawgrid.h"
#include "Speedbutton1.h"

#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QRadioButton>

#include <cstdio>

namespace {

// Edit masks of edW: [24-bit][radix].
const char *const editMasks[2][3] = {
    {"         aaaa aaaa aaaa aaaa;1;0", "                     aa aa;1;0", "                     99999;1;0"},
    {"aaaa aaaa aaaa aaaa aaaa aaaa;1;0", "                   aa aa aa;1;0", "                   99999999;1;0"},
};

QString binaryDigits(std::uint32_t value, int bits)
{
    // From the least significant bit up, a blank before every fourth digit.
    QString text;
    for (int bit = 0; bit < bits; ++bit) {
        text.prepend(QLatin1Char((value >> bit) & 1 ? '1' : '0'));
        if (bit % 4 == 3)
            text.prepend(QLatin1Char(' '));
    }
    return text;
}

QString format(const char *fmt, long long a)
{
    char text[64];
    std::snprintf(text, sizeof text, fmt, a);
    return QString::fromLatin1(text);
}

QColor colour(std::uint32_t value)
{
    return TColor::fromValue(value).toQColor();
}

void drawCentred(QPainter &painter, const QRect &cell, const QString &text)
{
    const QFontMetrics metrics = painter.fontMetrics();
    const int left = cell.left() + (cell.width() - metrics.horizontalAdvance(text)) / 2;
    const int top = cell.top() + (cell.height() - metrics.height()) / 2;
    painter.drawText(left, top + metrics.ascent(), text);
}

} // namespace

namespace tervan_shell {

bool rejected(QChar key, TfrmCamac::Radix radix)
{
    const char16_t c = key.unicode();
    if (c > 127)
        return true;
    switch (radix) {
    case TfrmCamac::Radix::Binary:
        return !(c == u'0' || c == u'1');
    case TfrmCamac::Radix::Hexadecimal:
        return !((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F'));
    case TfrmCamac::Radix::Decimal:
        return !(c >= u'0' && c <= u'9');
    }
    return true;
}

} // namespace tervan_shell

using tervan_shell::rejected;
using tervan_shell::setBackground;

// ---- Display and composition -----------------------------------------------------

int TfrmCamac::WordWidth() const
{
    return btn24bit->down() ? 24 : 16;
}

TfrmCamac::Radix TfrmCamac::CurrentRadix() const
{
    if (binshow->isChecked())
        return Radix::Binary;
    if (hexshow->isChecked())
        return Radix::Hexadecimal;
    return Radix::Decimal;
}

void TfrmCamac::ShowR(std::int32_t value)
{
    const bool wide = WordWidth() == 24;
    const auto v = static_cast<std::uint32_t>(value);
    QString text;
    switch (CurrentRadix()) {
    case Radix::Binary:
        text = binaryDigits(v, wide ? 24 : 16);
        break;
    case Radix::Hexadecimal:
        text = wide ? format("%02X ", (v >> 16) & 0xFF) + format("%02X ", (v >> 8) & 0xFF) + format("%02X", v & 0xFF)
                    : format("%02X ", (v >> 8) & 0xFF) + format("%02X", v & 0xFF);
        break;
    case Radix::Decimal:
        text = format("%lld", value);
        break;
    }
    RMonitor->setText(text);
}

QString TfrmCamac::EditMask() const
{
    return QLatin1String(editMasks[WordWidth() == 24][static_cast<int>(CurrentRadix())]);
}

QString TfrmCamac::QtInputMask(const QString &editMask, Radix radix)
{
    // Picture;keep literals;blank. "a" (letter or digit, optional) and "9"
    // (digit, optional) are entry positions; everything else is a literal,
    // escaped where Qt would read it as a mask character. Qt always keeps
    // the literals in the text. An entry position takes only the digits of
    // the radix, so that text pasted or dropped into the field loses the
    // characters a typed key could not bring in, as typing it would.
    const QStringList fields = editMask.split(QLatin1Char(';'));
    const QString picture = fields.value(0);
    const QChar blank = fields.size() >= 3 && !fields.last().isEmpty() ? fields.last().at(0) : QLatin1Char(' ');
    static const QString special = QStringLiteral("AaNnXx90Dd#HhBb<>!;[]{}\\|");
    QString mask;
    for (QChar c : picture) {
        if (c == QLatin1Char('a'))
            mask += radix == Radix::Binary ? QLatin1Char('b') : radix == Radix::Hexadecimal ? QLatin1Char('h') : QLatin1Char('0');
        else if (c == QLatin1Char('9'))
            mask += QLatin1Char('0');
        else if (special.contains(c))
            mask += QLatin1Char('\\') + c;
        else
            mask += c;
    }
    return mask + QLatin1Char(';') + blank;
}

void TfrmCamac::ShowW(std::int32_t value)
{
    const bool wide = WordWidth() == 24;
    const auto v = static_cast<std::uint32_t>(value);
    QString text;
    switch (CurrentRadix()) {
    case Radix::Binary:
        text = binaryDigits(v, wide ? 24 : 16).mid(1); // groups separated, no leading blank
        if (!wide)
            text.prepend(QString(9, QLatin1Char(' ')));
        break;
    case Radix::Hexadecimal:
        text = wide ? QString(19, QLatin1Char(' ')) + format("%02X ", (v >> 16) & 0xFF) + format("%02X ", (v >> 8) & 0xFF)
                          + format("%02X", v & 0xFF)
                    : QString(21, QLatin1Char(' ')) + format("%02X ", (v >> 8) & 0xFF) + format("%02X", v & 0xFF);
        break;
    case Radix::Decimal:
        text = wide ? QString(19, QLatin1Char(' ')) + format("%08d ", v & 0xFFFFFF)
                    : QString(21, QLatin1Char(' ')) + format("%05d ", v & 0xFFFF);
        break;
    }
    m_wValidator->setRadix(CurrentRadix());
    edW->setInputMask(QtInputMask(EditMask(), CurrentRadix()));
    edW->setText(text);
}

std::int32_t TfrmCamac::ReadW() const
{
    QString text = edW->displayText();
    text.remove(QLatin1Char(' '));
    const QByteArray digits = text.toLatin1();
    switch (CurrentRadix()) {
    case Radix::Binary: {
        std::uint32_t value = 0;
        for (char c : digits)
            value = value * 2 + static_cast<std::uint32_t>(c - '0');
        return static_cast<std::int32_t>(value);
    }
    case Radix::Hexadecimal: {
        unsigned value = 0;
        std::sscanf(digits.constData(), "%X", &value);
        return static_cast<std::int32_t>(value);
    }
    case Radix::Decimal: {
        int value = 0;
        std::sscanf(digits.constData(), "%d", &value);
        return value;
    }
    }
    return 0;
}

void TfrmCamac::SetIndicators(int x, int q, int l, int i)
{
    const auto paint = [](QLabel *label, int state, std::uint32_t on) {
        const std::uint32_t c = state == 0 ? 0x000000 : state == 1 ? on : 0xC0C0C0;
        setBackground(label, colour(c));
    };
    paint(Xstate, x, 0x00FF00);
    paint(Qstate, q, 0x00FFFF);
    paint(Lstate, l, 0x00FFFF);
    paint(Istate, i, 0x0000FF);
}

int TfrmCamac::ComposePanelCommand(TCamCommand &command) const
{
    command = TCamCommand{};
    if (m_selN && m_selA && m_selF && m_selCrate) {
        const int width = WordWidth();
        command.kind = TCamCommand::kindCamac;
        command.addressed = 1;
        command.mode = width;
        command.crate = m_crate;
        command.n = m_n;
        command.a = m_a;
        command.f = m_f;
        command.data = m_w & (width == 24 ? 0xFFFFFF : 0xFFFF);
        return 0;
    }
    if (m_selUnaddressed) {
        command.kind = TCamCommand::kindCamac;
        command.addressed = 0;
        command.crate = m_crate;
        command.code = m_selUnaddressed->tag() - 70;
        return 0;
    }
    if (LRead->down()) {
        command.kind = TCamCommand::kindLam;
        command.lamOperation = TCamCommand::lamRead;
        command.mode = WordWidth();
        command.crate = m_crate;
        command.data = 0;
        return 0;
    }
    return 1;
}

QString TfrmCamac::ProgMonCellText(int col, int row)
{
    const auto [present, entry] = m_worker->WithProgram([row](TCamProgram &p) {
        const bool inUse = row >= 0 && row < p.count && row < TCamProgram::slotCount;
        return std::pair(inUse, inUse ? p.entries[static_cast<std::size_t>(row)] : TCamCommand{});
    });
    if (!present)
        return {};
    return QString::fromStdString(TCamGrid::CellText(entry, col));
}

void TfrmCamac::ProgMonDrawCell(QPainter &painter, int col, int row, const QRect &cell)
{
    const QString text = ProgMonCellText(col, row);
    if (!text.isEmpty())
        drawCentred(painter, cell, text);
}

void TfrmCamac::LAMTableDrawCell(QPainter &painter, int col, int row, const QRect &cell)
{
    const int k = 8 * row + col + 1;
    const std::uint32_t mask = 1u << (k - 1);
    std::uint32_t background = 0x808080, text = 0xC0C0C0;
    if (m_lamPaintMask & mask) {
        if (m_lamPaintPattern & mask)
            background = 0x00FFFF, text = 0x000000;
        else
            background = 0x000000, text = 0x808080;
    }
    painter.fillRect(cell, colour(background));
    painter.setPen(colour(text));
    drawCentred(painter, cell, format("L%02d", k));
}

bool TfrmCamac::edWKeyPress(QChar key) const
{
    return rejected(key, CurrentRadix());
}

void TfrmCamac::edWKeyUp()
{
    m_w = ReadW();
    m_worker->SetLastWritten(m_w);
}
