#pragma once

// What the two files of the main window share: Cshell.cpp (construction,
// selection, execution, the program, closing) and Cshellfields.cpp (the R
// and W fields in their radix, the indicators, the program monitor and the
// LAM table, the command composed from the controls).
#include "Cshell.h"

#include <QColor>
#include <QValidator>
#include <QWidget>

namespace tervan_shell {
void setBackground(QWidget *widget, const QColor &background);
// Characters that a key may not bring into edW in a radix.
bool rejected(QChar key, TfrmCamac::Radix radix);
} // namespace tervan_shell

// Whatever way text reaches edW (typed, pasted with the keyboard or the
// context menu, dropped, from an input method), the field refuses a change
// that would still bring in a character the radix forbids (the input mask
// lets other scripts' digits through); the text stays as it was. It keeps
// its own radix (set with the mask), as the field may outlive the window's
// other controls while the window is destroyed.
class TRadixValidator : public QValidator
{
public:
    using QValidator::QValidator;
    void setRadix(TfrmCamac::Radix radix) { m_radix = radix; }
    State validate(QString &text, int &) const override
    {
        for (const QChar c : text)
            if (c != QLatin1Char(' ') && tervan_shell::rejected(c, m_radix))
                return Invalid;
        return Acceptable;
    }

private:
    TfrmCamac::Radix m_radix = TfrmCamac::Radix::Binary;
};
