#include "KtTrace.h"

#include <stdarg.h>

// Formats the message and hands it to the debugger output with the prefix.
void KtTrace::Write(const char* Format, ...) const {
    va_list args;
    va_start(args, Format);
    vDbgPrintExWithPrefix(m_Prefix, DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, Format, args);
    va_end(args);
}

void KtTrace::Info(const char* Format, ...) const {
    va_list args;
    va_start(args, Format);
    vDbgPrintExWithPrefix(m_Prefix, DPFLTR_IHVDRIVER_ID, DPFLTR_INFO_LEVEL, Format, args);
    va_end(args);
}
