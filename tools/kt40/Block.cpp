// kt40 block: block transfers at one address (Q-stop, Q-repeat) and the
// address scan, through the IEEE 758 routines of camac758.
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "Cli.h"
#include "camac758.h"
#include "camactools.h"

namespace kt40 {

namespace {

// Words from "1,2,0x3" or from a file of numbers separated by blanks,
// commas or line ends; every word lo..most. A bad word is a usage error.
std::vector<int> wordsOf(Args& args, const std::string& text, const std::string& from, long most) {
    std::vector<int> words;
    std::string cleaned = text;
    for (char& ch : cleaned)
        if (ch == ',') ch = ' ';
    std::istringstream in(cleaned);
    for (std::string w; in >> w;) {
        const auto v = parseNumber(w, 0, most);
        if (!v) args.fail("bad word '" + w + "' in " + from + " (0-" + std::to_string(most) + ")");
        words.push_back(static_cast<int>(*v));
    }
    return words;
}

}  // namespace

// kt40 block C N A F [--count K] [--mode qstop|qrepeat|scan] [--24] [--data W,W,...|--data-file FILE]
int cmdBlock(Args& args, const Out& out) {
    const bool wide = args.flag("--24");
    const auto count = args.option("--count", 1, 65536, "word count");
    const std::string mode = args.text("--mode", "qstop, qrepeat or scan").value_or("qstop");
    const auto list = args.text("--data", "words to write");
    const auto file = args.text("--data-file", "file of words to write");
    const Address at = takeAddress(args);
    const int c = at.c, n = at.n, a = at.a, f = at.f;
    args.done();
    if (mode != "qstop" && mode != "qrepeat" && mode != "scan")
        args.fail("--mode is qstop, qrepeat or scan, not '" + mode + "'");
    const bool write = ct_function_kind(f) == CT_WRITE;
    const bool read = ct_function_kind(f) == CT_READ;
    const long most = wide ? 0xFFFFFF : 0xFFFF;
    std::vector<int> words;
    if (list && file) args.fail("--data and --data-file exclude each other");
    if ((list || file) && !write) args.fail("F" + std::to_string(f) + " is not a write: it takes no words");
    if (list) words = wordsOf(args, *list, "--data", most);
    if (file) {
        std::ifstream in(*file);
        if (!in) return report(kFailed, *file + ": cannot open it");
        std::stringstream all;
        all << in.rdbuf();
        words = wordsOf(args, all.str(), *file, most);
    }
    if (write && words.empty()) args.fail("F" + std::to_string(f) + " writes: give the words (--data or --data-file)");
    if (write && count && *count > static_cast<long>(words.size()))
        args.fail("--count " + std::to_string(*count) + " asks for more words than the " + std::to_string(words.size()) +
                  " given");
    if (!write && !count) args.fail("give the number of words (--count K)");
    const int asked = static_cast<int>(count.value_or(static_cast<long>(words.size())));
    if (!connect()) return kFailed;

    std::vector<int> data(static_cast<size_t>(asked), 0);
    for (int k = 0; write && k < asked; ++k) data[static_cast<size_t>(k)] = words[static_cast<size_t>(k)];
    std::vector<unsigned short> narrow(data.begin(), data.end());
    int ext = 0;
    cdreg(&ext, wide ? 24 : 16, c, n, a);
    int last = 0;
    cdreg(&last, wide ? 24 : 16, c, 24, 15);
    const int extb[2] = {ext, last};
    int cb[4] = {asked, 0, 0, 0};
    int rc;
    if (mode == "qstop") rc = wide ? cfubc(f, ext, data.data(), cb) : csubc(f, ext, narrow.data(), cb);
    else if (mode == "qrepeat") rc = wide ? cfubr(f, ext, data.data(), cb) : csubr(f, ext, narrow.data(), cb);
    else rc = wide ? cfmad(f, extb, data.data(), cb) : csmad(f, extb, narrow.data(), cb);
    const unsigned error = cdata()->error;
    if (!wide) data.assign(narrow.begin(), narrow.end());
    const int moved = cb[1];

    const std::string where = "C" + std::to_string(c) + " N" + std::to_string(n) + " A" + std::to_string(a) + " F" +
                              std::to_string(f) + " " + mode;
    Out::Record r("block");
    r.num("c", c).num("n", n).num("a", a).num("f", f).num("bits", wide ? 24 : 16).str("mode", mode);
    r.num("asked", asked).num("transferred", moved);
    std::vector<long long> shown;
    if (read) shown.assign(data.begin(), data.begin() + moved);
    r.list("words", shown).str("status", rc == 0 ? "ok" : "failed");
    std::string human = where + ": " + std::to_string(moved) + " of " + std::to_string(asked) +
                        (asked == 1 ? " word" : " words") + (write ? " written" : read ? " read" : " done");
    for (size_t k = 0; k < shown.size(); ++k) {
        if (k % 8 == 0) human += fmt::format("\n{:6}:", k);
        human += " " + std::to_string(shown[k]);
    }
    out.emit(r, human);
    if (rc != 0) return report(kFailed, where + " after " + std::to_string(moved) + " words: " + waitFailure(error));
    return kDone;
}

}  // namespace kt40
