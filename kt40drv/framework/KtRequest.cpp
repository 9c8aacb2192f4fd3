#include "KtRequest.h"

namespace {

// Appends to a fixed buffer, cutting off what does not fit.
class TextBuilder {
public:
    explicit TextBuilder(KtRequestSummary& Out) : m_Out(Out) { m_Out.Text[0] = 0; }
    TextBuilder& Add(const char* Text) {
        while (*Text && m_Length + 1 < sizeof(m_Out.Text)) m_Out.Text[m_Length++] = *Text++;
        m_Out.Text[m_Length] = 0;
        return *this;
    }
    // A number as "0x%08lx" writes it.
    TextBuilder& Hex(ULONG Value) {
        char digits[11] = {'0', 'x'};
        for (int i = 0; i < 8; ++i) digits[2 + i] = "0123456789abcdef"[(Value >> (28 - 4 * i)) & 0xF];
        digits[10] = 0;
        return Add(digits);
    }

private:
    KtRequestSummary& m_Out;
    ULONG m_Length = 0;
};

const char* MajorName(UCHAR Major) {
    switch (Major) {
    case IRP_MJ_CREATE: return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE: return "IRP_MJ_CLOSE";
    case IRP_MJ_READ: return "IRP_MJ_READ";
    case IRP_MJ_WRITE: return "IRP_MJ_WRITE";
    case IRP_MJ_DEVICE_CONTROL: return "IRP_MJ_DEVICE_CONTROL";
    case IRP_MJ_CLEANUP: return "IRP_MJ_CLEANUP";
    case IRP_MJ_POWER: return "IRP_MJ_POWER";
    case IRP_MJ_SYSTEM_CONTROL: return "IRP_MJ_SYSTEM_CONTROL";
    case IRP_MJ_PNP: return "IRP_MJ_PNP";
    default: return nullptr;
    }
}

const char* PnpMinorName(UCHAR Minor) {
    switch (Minor) {
    case IRP_MN_START_DEVICE: return "IRP_MN_START_DEVICE";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "IRP_MN_QUERY_REMOVE_DEVICE";
    case IRP_MN_REMOVE_DEVICE: return "IRP_MN_REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "IRP_MN_CANCEL_REMOVE_DEVICE";
    case IRP_MN_STOP_DEVICE: return "IRP_MN_STOP_DEVICE";
    case IRP_MN_QUERY_STOP_DEVICE: return "IRP_MN_QUERY_STOP_DEVICE";
    case IRP_MN_CANCEL_STOP_DEVICE: return "IRP_MN_CANCEL_STOP_DEVICE";
    case IRP_MN_QUERY_CAPABILITIES: return "IRP_MN_QUERY_CAPABILITIES";
    case IRP_MN_QUERY_PNP_DEVICE_STATE: return "IRP_MN_QUERY_PNP_DEVICE_STATE";
    case IRP_MN_SURPRISE_REMOVAL: return "IRP_MN_SURPRISE_REMOVAL";
    default: return nullptr;
    }
}

const char* PowerMinorName(UCHAR Minor) {
    switch (Minor) {
    case IRP_MN_WAIT_WAKE: return "IRP_MN_WAIT_WAKE";
    case IRP_MN_POWER_SEQUENCE: return "IRP_MN_POWER_SEQUENCE";
    case IRP_MN_SET_POWER: return "IRP_MN_SET_POWER";
    case IRP_MN_QUERY_POWER: return "IRP_MN_QUERY_POWER";
    default: return nullptr;
    }
}

}  // namespace

KtRequestSummary KtRequest::Summary() const {
    KtRequestSummary s;
    TextBuilder b(s);
    const char* major = MajorName(Major());
    if (major)
        b.Add(major);
    else
        b.Add("IRP_MJ ").Hex(Major());
    switch (Major()) {
    case IRP_MJ_DEVICE_CONTROL:
        b.Add(" code ").Hex(IoctlCode()).Add(" in ").Hex(InputLength()).Add(" out ").Hex(OutputLength());
        break;
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
        b.Add(" length ").Hex(Stack()->Parameters.Read.Length);
        break;
    case IRP_MJ_PNP:
    case IRP_MJ_POWER: {
        const char* minor = Major() == IRP_MJ_PNP ? PnpMinorName(Minor()) : PowerMinorName(Minor());
        if (minor)
            b.Add(" ").Add(minor);
        else
            b.Add(" minor ").Hex(Minor());
        break;
    }
    default:
        break;
    }
    return s;
}
