// Debugger trace output with a fixed prefix: every message begins with the
// prefix, a colon and a space. Numbers are written as "0x%08lx".
#pragma once

#include <wdm.h>

class KtTrace {
public:
    // Builds the prefix at compile time, so a global trace needs no
    // constructor to run before DriverEntry.
    constexpr explicit KtTrace(const char* Name) : m_Prefix{} {
        ULONG i = 0;
        for (; Name[i] && i < sizeof(m_Prefix) - 3; ++i) m_Prefix[i] = Name[i];
        m_Prefix[i] = ':';
        m_Prefix[i + 1] = ' ';
        m_Prefix[i + 2] = 0;
    }

    // Writes one message (printf format, Windows sizes: %lx is 32 bits) at
    // the error level, which the default debug filter shows: lifecycle and
    // failures. IRQL: <= DISPATCH_LEVEL.
    void Write(const char* Format, ...) const;
    // The same at the informational level, filtered out unless the
    // machine's debug filter for IHV drivers asks for it: per-request lines,
    // which would otherwise cost every request (and a queue draining at
    // DISPATCH_LEVEL) their output. IRQL: <= DISPATCH_LEVEL.
    void Info(const char* Format, ...) const;

private:
    char m_Prefix[24];
};

// The driver's one trace object, defined by the driver.
extern KtTrace g_Trace;
