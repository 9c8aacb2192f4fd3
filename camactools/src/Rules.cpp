// The rules of an action and the texts of the library's failures.
#include "camactools.h"

#include "Text.h"

#include "camac.h"
#include "camac_private.h"

#include "Camcommand.h"

#include <string>

#include <fmt/format.h>

using camactools::put;

namespace {

// "station N must be 1..24, not 0"
int outside(int fault, const char *name, long long value, long long lo, long long hi, char *why, std::size_t size)
{
    put(std::string(name) + " must be " + std::to_string(lo) + ".." + std::to_string(hi) + ", not " +
            std::to_string(value),
        why, size);
    return fault;
}

} // namespace

extern "C" {

int CT_CALL ct_function_kind(int f)
{
    if (f < 0 || f > 31)
        return 0;
    if (TCamCommand::Reads(f))
        return CT_READ;
    if (TCamCommand::Writes(f))
        return CT_WRITE;
    return CT_CONTROL;
}

int CT_CALL ct_check_action(int c, int n, int a, int f, int bits, int has_data, long long data, char *why,
                            std::size_t size)
{
    if (c < 0 || c > 3)
        return outside(CT_BAD_CRATE, "crate C", c, 0, 3, why, size);
    if (n < 1 || n > 24)
        return outside(CT_BAD_STATION, "station N", n, 1, 24, why, size);
    if (a < 0 || a > 15)
        return outside(CT_BAD_SUBADDRESS, "subaddress A", a, 0, 15, why, size);
    if (f < 0 || f > 31)
        return outside(CT_BAD_FUNCTION, "function F", f, 0, 31, why, size);
    if (bits != 16 && bits != 24) {
        put("bits must be 16 or 24, not " + std::to_string(bits), why, size);
        return CT_BAD_BITS;
    }
    const std::string fn = "F" + std::to_string(f);
    if (ct_function_kind(f) != CT_WRITE) {
        if (has_data) {
            put(fn + " does not write: it takes no data", why, size);
            return CT_DATA_NOT_WRITTEN;
        }
    } else if (!has_data) {
        put(fn + " writes: give the data word", why, size);
        return CT_NO_DATA;
    } else if (data < 0 || data > (bits == 24 ? 0xFFFFFF : 0xFFFF)) {
        const std::string name = "data for " + std::to_string(bits) + "-bit " + fn;
        return outside(CT_BAD_DATA, name.c_str(), data, 0, bits == 24 ? 0xFFFFFF : 0xFFFF, why, size);
    }
    put("", why, size);
    return CT_OK;
}

int CT_CALL ct_parse_number(const char *text, std::size_t length, long long *value)
{
    if (!text)
        return 0;
    std::size_t k = 0;
    const bool negative = length > 1 && text[0] == '-';
    if (negative)
        k = 1;
    if (k == length || length - k > 34)
        return 0;
    int base = 10;
    if (length - k > 2 && text[k] == '0') {
        const char p = static_cast<char>(text[k + 1] | 0x20);
        base = p == 'x' ? 16 : p == 'o' ? 8 : p == 'b' ? 2 : 10;
        if (base != 10)
            k += 2;
    }
    long long v = 0;
    for (; k < length; ++k) {
        const char ch = text[k];
        int digit;
        if (ch >= '0' && ch <= '9')
            digit = ch - '0';
        else if (ch >= 'a' && ch <= 'f')
            digit = ch - 'a' + 10;
        else if (ch >= 'A' && ch <= 'F')
            digit = ch - 'A' + 10;
        else
            return 0;
        if (digit >= base)
            return 0;
        v = v * base + digit;
        if (v > 0xFFFFFFFFLL)
            return 0;
    }
    *value = negative ? -v : v;
    return 1;
}

int CT_CALL ct_lam_stations(std::uint32_t pattern, int stations[24])
{
    int count = 0;
    for (int k = 0; k < 24; ++k)
        if (pattern >> k & 1u)
            stations[count++] = k + 1;
    return count;
}

const char *CT_CALL ct_error_text(unsigned error)
{
    // camac758.h's codes, beside camac.h's (the one header does not include the other).
    constexpr unsigned argument = 0x0800, noQ = 0x0900, noX = 0x0A00, lamTimeout = 0x0B00;
    switch (error) {
    case 0: return "no error";
    case CAMAC_ERR_DONE_TIMEOUT: return "the adapter did not report the action done in time";
    case CAMAC_ERR_ADAPTER: return "the adapter ended the action with its error bit";
    case CAMAC_ERR_WRONG_CRATE: return "another crate than the addressed one answered";
    case CAMAC_ERR_DRIVER: return "the driver refused the request, or the device is gone";
    case CAMAC_ERR_BUSY_TIMEOUT: return "the adapter stayed busy taking in the data";
    case argument: return "the library refused an argument";
    case noQ: return "the module never answered with Q";
    case noX: return "the module did not answer with X";
    case lamTimeout: return "no LAM came in time";
    default: {
        static thread_local char text[32];
        *fmt::format_to_n(text, sizeof text - 1, "failure 0x{:04X}", error).out = '\0';
        return text;
    }
    }
}

int CT_CALL ct_connect_failure(char *why, std::size_t size)
{
    const char *own = camac_private_error_text();
    std::string text = own ? own : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    if (text.empty()) {
        put("no connection to the adapter (another program may hold the crate)", why, size);
        return 0;
    }
    put(text, why, size);
    return 1;
}

} // extern "C"
