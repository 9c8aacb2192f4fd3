// Argument parsing, output, the connection and Ctrl+C.
#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#endif

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Cli.h"
#include "camac758.h"
#include "camac_private.h"
#include "camactools.h"

#include <nlohmann/json.hpp>

namespace kt40 {

std::atomic<bool> g_interrupted{false};

namespace {

#ifdef _WIN32
// Ctrl+C and Ctrl+Break from the console; closing the window still ends the program.
BOOL WINAPI onInterrupt(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    g_interrupted.store(true);
    return TRUE;
}

// A UTF-8 text on the standard error: as UTF-16 to a console, which would
// show the bytes in its own code page, and as it is to a file or a pipe.
void printError(const char* text) {
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (err != INVALID_HANDLE_VALUE && GetConsoleMode(err, &mode)) {
        wchar_t wide[512];
        const int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, 512);
        DWORD written = 0;
        if (n > 1 && WriteConsoleW(err, wide, static_cast<DWORD>(n - 1), &written, nullptr)) return;
    }
    std::fputs(text, stderr);
}
#else
void onInterrupt(int) { g_interrupted.store(true); }
#endif

// A JSON string, by nlohmann::json: escapes, and bytes that are no UTF-8
// (a file name, say) as U+FFFD, so that every record is valid JSON.
std::string quote(const std::string& s) {
    return nlohmann::json(s).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// The library's texts end in a line feed; a message does not.
std::string withoutLineEnd(const char* text) {
    std::string s = text;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

}  // namespace

void catchInterrupt() {
#ifdef _WIN32
    SetConsoleCtrlHandler(onInterrupt, TRUE);
#else
    struct sigaction sa {};
    sa.sa_handler = onInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
#endif
}

std::optional<long long> parseNumber(const std::string& text, long long lo, long long hi) {
    long long v = 0;
    if (!ct_parse_number(text.data(), text.size(), &v) || v < lo || v > hi) return std::nullopt;
    return v;
}

// ---- Args ----------------------------------------------------------------------

std::optional<size_t> Args::find(const std::string& name) const {
    for (size_t k = 0; k < words_.size(); ++k)
        if (words_[k] == name || words_[k].rfind(name + "=", 0) == 0) return k;
    return std::nullopt;
}

bool Args::flag(const std::string& name) {
    const auto at = find(name);
    if (!at) return false;
    if (words_[*at] != name) fail(name + " takes no value");
    words_.erase(words_.begin() + static_cast<std::ptrdiff_t>(*at));
    return true;
}

std::optional<long> Args::option(const std::string& name, long lo, long hi, const std::string& what) {
    const auto at = find(name);
    if (!at) return std::nullopt;
    std::string value;
    size_t take = 1;
    if (words_[*at] == name) {
        if (*at + 1 >= words_.size()) fail(name + " needs a value (" + what + ")");
        value = words_[*at + 1];
        take = 2;
    } else {
        value = words_[*at].substr(name.size() + 1);
    }
    const auto v = parseNumber(value, lo, hi);
    if (!v) fail("bad " + what + " '" + value + "' (" + std::to_string(lo) + "-" + std::to_string(hi) + ")");
    words_.erase(words_.begin() + static_cast<std::ptrdiff_t>(*at),
                 words_.begin() + static_cast<std::ptrdiff_t>(*at + take));
    return static_cast<long>(*v);
}

std::optional<std::string> Args::text(const std::string& name, const std::string& what) {
    const auto at = find(name);
    if (!at) return std::nullopt;
    std::string value;
    size_t take = 1;
    if (words_[*at] == name) {
        if (*at + 1 >= words_.size()) fail(name + " needs a value (" + what + ")");
        value = words_[*at + 1];
        take = 2;
    } else {
        value = words_[*at].substr(name.size() + 1);
    }
    words_.erase(words_.begin() + static_cast<std::ptrdiff_t>(*at),
                 words_.begin() + static_cast<std::ptrdiff_t>(*at + take));
    return value;
}

std::optional<std::string> Args::optionalWord() {
    for (size_t k = 0; k < words_.size(); ++k) {
        if (words_[k].size() > 1 && words_[k][0] == '-' && words_[k][1] == '-') continue;
        std::string w = words_[k];
        words_.erase(words_.begin() + static_cast<std::ptrdiff_t>(k));
        return w;
    }
    return std::nullopt;
}

std::string Args::word(const std::string& what) {
    auto w = optionalWord();
    if (!w) fail("missing " + what);
    return *w;
}

std::optional<long> Args::optionalNumber(long lo, long hi, const std::string& what) {
    const auto w = optionalWord();
    if (!w) return std::nullopt;
    // (long long: long is 32 bits on Windows)
    const auto v = parseNumber(*w, INT64_MIN, INT64_MAX);
    if (!v || *v < 0) fail("bad " + what + " '" + *w + "' (" + std::to_string(lo) + "-" + std::to_string(hi) + ")");
    // Out of range in the words of the shared rules.
    if (*v < lo || *v > hi)
        fail(what + " must be " + std::to_string(lo) + ".." + std::to_string(hi) + ", not " + std::to_string(*v));
    return static_cast<long>(*v);
}

Address takeAddress(Args& args) {
    // Any number is taken here; the shared rules judge its range.
    auto field = [&](const char* what, const char* range) {
        const std::string w = args.word(what);
        long long v = 0;
        if (!ct_parse_number(w.data(), w.size(), &v) || v < INT32_MIN || v > INT32_MAX)
            args.fail(std::string("bad ") + what + " '" + w + "' (" + range + ")");
        return static_cast<int>(v);
    };
    Address at{};
    at.c = field("crate C", "0-3");
    at.n = field("station N", "1-24");
    at.a = field("subaddress A", "0-15");
    at.f = field("function F", "0-31");
    // Address and function first, before the data is asked for (its width
    // depends on them).
    checkAction(args, at, 16, ct_function_kind(at.f) == CT_WRITE, 0);
    return at;
}

void checkAction(const Args& args, const Address& at, int bits, bool hasData, long long data) {
    char why[160];
    if (ct_check_action(at.c, at.n, at.a, at.f, bits, hasData, data, why, sizeof why) != CT_OK) args.fail(why);
}

long Args::number(long lo, long hi, const std::string& what) {
    const auto v = optionalNumber(lo, hi, what);
    if (!v) fail("missing " + what);
    return *v;
}

void Args::done() {
    if (words_.empty()) return;
    const std::string& w = words_.front();
    fail(w.rfind("--", 0) == 0 ? "unknown option '" + w + "'" : "unexpected '" + w + "'");
}

// ---- Output --------------------------------------------------------------------

Out::Record& Out::Record::num(const std::string& key, long long v) {
    fields_.emplace_back(key, std::to_string(v));
    return *this;
}
Out::Record& Out::Record::str(const std::string& key, const std::string& v) {
    fields_.emplace_back(key, quote(v));
    return *this;
}
Out::Record& Out::Record::null(const std::string& key) {
    fields_.emplace_back(key, "null");
    return *this;
}
Out::Record& Out::Record::flag(const std::string& key, int v) { return v == 0 || v == 1 ? num(key, v) : null(key); }
Out::Record& Out::Record::list(const std::string& key, const std::vector<long long>& v) {
    fields_.emplace_back(key, nlohmann::json(v).dump());
    return *this;
}
std::string Out::Record::json() const {
    std::string s = "{";
    for (size_t k = 0; k < fields_.size(); ++k) s += (k ? "," : "") + quote(fields_[k].first) + ":" + fields_[k].second;
    return s + "}";
}

void Out::emit(const Record& record, const std::string& human) const {
    std::printf("%s\n", json ? record.json().c_str() : human.c_str());
    if (live) std::fflush(stdout);
}

void Out::text(const char* line) const {
    if (json) return;
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    if (live) std::fflush(stdout);
}

// ---- The crate -------------------------------------------------------------------

bool g_jsonErrors = false;
long g_line = 0;

int report(int exitCode, const std::string& given, const std::string& more) {
    const std::string message = g_line ? "line " + std::to_string(g_line) + ": " + given : given;
    const std::string line = "kt40: " + message + "\n" + more;
#ifdef _WIN32
    printError(line.c_str());
#else
    std::fputs(line.c_str(), stderr);
#endif
    if (g_jsonErrors) {
        Out::Record r("error");
        r.str("message", message).num("exit", exitCode);
        std::printf("%s\n", r.json().c_str());
        std::fflush(stdout);
    }
    return exitCode;
}

namespace {
int g_connection = -1;  // -1 not tried (or let go), 0 open, 1 failed
}  // namespace

void release() {
    if (g_connection == 0) camac_private_release();
    g_connection = -1;
}

bool connect() {
    int& state = g_connection;
    if (state < 0) state = ccinit() == 0 ? 0 : 1;
    if (state == 0) return true;
    // The library's own reason, when it gives one (it ends in a line feed).
    const char* why = camac_private_error_text();
    if (!why) why = "";
#ifdef _WIN32
    // A KT40_ADAPTER value the library refused is the user's to mend: say so.
    // Otherwise the driver (or the service) is what ccinit could not reach:
    // the words of the front panel's start-up box, caption and text.
    if (std::strncmp(why, "KT40_ADAPTER", 12) == 0) {
        report(kFailed, "no connection to the adapter: " + withoutLineEnd(why));
    } else {
        report(kFailed, "Ошибка инициализации.",
               "Невозожно получить доступ к драйверу. Возможно драйвер не установлен.\n");
    }
#else
    if (*why)
        report(kFailed, "no connection to the adapter: " + withoutLineEnd(why));
    else
        report(kFailed, "no connection to the adapter (ccinit failed; another program may hold the crate)");
#endif
    return false;
}

std::string waitFailure(unsigned error) { return ct_error_text(error); }

}  // namespace kt40
