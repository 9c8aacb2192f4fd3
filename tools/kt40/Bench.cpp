// kt40 bench: what happens to the virtual crate from outside the adapter, as
// on a lab bench: a signal on a module's input raises its LAM, a pulser
// gates the ADCs, a module is pulled out, the crate is switched off-line.
// It acts on the user's virtual crate directly (its image), not through the
// adapter, so it works while another program holds the crate; it never
// reaches real hardware.
#include <cstdlib>
#include <cstring>
#include <string>

#include <fmt/format.h>

#include "Cli.h"

#ifndef _WIN32
#include "UserCrate.h"
#include "kt40sim/Adapter.h"
#endif

namespace kt40 {

namespace {

// Why the bench cannot act here, or "" when it can.
std::string realHardware() {
#ifdef _WIN32
    return "this kt40 reaches a real adapter; the bench acts on the virtual crate of the Linux build alone";
#else
    const char* adapter = std::getenv("KT40_ADAPTER");
    if (adapter && std::strncmp(adapter, "pci", 3) == 0)
        return std::string("KT40_ADAPTER=") + adapter + " is a real adapter; the bench acts on the virtual crate alone";
    if (const char* card = std::getenv("KT40_PCI_DEVICE"); card && *card)
        return std::string("KT40_PCI_DEVICE=") + card + " names a real card; the bench acts on the virtual crate alone";
    return {};
#endif
}

}  // namespace

// kt40 bench lam|drop|unplug|plug N [--crate C]; gate [C]; trigger RATE|off
// [--crate C] [--station N]; input N BITS [--crate C]; offline|online C
int cmdBench(Args& args, const Out& out) {
    // Options first, so that their values are not taken for positional words.
    const auto crateOption = args.option("--crate", 0, 3, "crate C");
    const auto stationOption = args.option("--station", 1, 24, "station N");
    const std::string what = args.word("what to do (lam, drop, gate, trigger, input, unplug, plug, offline, online)");
    const bool station = what == "lam" || what == "drop" || what == "unplug" || what == "plug" || what == "input";
    long c = 0, n = 0, bits = 0;
    double rate = 0;
    bool run = true;
    if (station) {
        n = args.number(1, 24, "station N");
        if (what == "input") bits = args.number(0, 0xFFFFFF, "input bits");
        c = crateOption.value_or(0);
    } else if (what == "gate" || what == "offline" || what == "online") {
        c = what == "gate" ? args.optionalNumber(0, 3, "crate C").value_or(0) : args.number(0, 3, "crate C");
    } else if (what == "trigger") {
        const std::string r = args.word("rate in triggers a second, or off");
        if (r == "off") {
            run = false;
        } else {
            const auto v = parseNumber(r, 1, 1000000);
            if (!v) args.fail("expected a rate 1-1000000 (triggers a second) or off, got '" + r + "'");
            rate = static_cast<double>(*v);
        }
        c = crateOption.value_or(0);
        n = stationOption.value_or(0);
    } else {
        args.fail("no bench action '" + what + "'");
    }
    if ((crateOption && !station && what != "trigger") || (stationOption && what != "trigger"))
        args.fail("--crate and --station do not go with 'bench " + what + "'");
    args.done();
    if (const std::string why = realHardware(); !why.empty()) return report(kFailed, "bench: " + why);
#ifdef _WIN32
    (void)out;
    (void)c;
    (void)n;
    (void)bits;
    (void)rate;
    (void)run;
    return kFailed;
#else
    std::string error;
    if (!wdsim::attachBench(error)) return report(kFailed, "bench: " + error);
    auto& crate = kt40sim::Adapter::instance();
    const std::string where = "crate " + std::to_string(c) + " station " + std::to_string(n);
    Out::Record rec("bench");
    rec.str("action", what).num("c", c);
    std::string said;
    bool ok = true;
    if (what == "lam" || what == "drop") {
        ok = !crate.moduleKind(static_cast<int>(c), static_cast<int>(n)).empty();
        if (ok && what == "lam") crate.raiseLam(static_cast<int>(c), static_cast<int>(n));
        if (ok && what == "drop") crate.clearLam(static_cast<int>(c), static_cast<int>(n));
        said = what == "lam" ? "LAM raised at " + where : "LAM dropped at " + where;
        if (!ok) said = where + " is empty";
        rec.num("n", n);
    } else if (what == "input") {
        ok = crate.setInputs(static_cast<int>(c), static_cast<int>(n), static_cast<uint32_t>(bits));
        said = ok ? "inputs of " + where + fmt::format(" set to 0x{:06X}", bits)
                  : where + " holds no input register";
        rec.num("n", n).num("bits", bits);
    } else if (what == "unplug" || what == "plug") {
        ok = what == "unplug" ? crate.unplug(static_cast<int>(c), static_cast<int>(n)) : crate.plug(static_cast<int>(c), static_cast<int>(n));
        said = ok ? "module " + std::string(what == "unplug" ? "taken out of " : "put back into ") + where
                  : where + (what == "unplug" ? " is empty" : " has no module out of it");
        rec.num("n", n);
    } else if (what == "gate") {
        const int took = crate.gate(static_cast<int>(c));
        said = "gate on crate " + std::to_string(c) + ": " + std::to_string(took) + " converter" + (took == 1 ? "" : "s") + " took it";
        rec.num("converters", took);
    } else if (what == "trigger") {
        for (int k = 1; k <= 24 && n == 0; ++k)
            if (crate.moduleKind(static_cast<int>(c), k) == "trigger") n = k;
        ok = n != 0 && crate.setTrigger(static_cast<int>(c), static_cast<int>(n), rate, run);
        const std::string at = "crate " + std::to_string(c) + " station " + std::to_string(n);
        said = !ok ? (n ? at + " holds no trigger" : "crate " + std::to_string(c) + " holds no trigger")
               : run ? "trigger at " + at + " running at " + std::to_string(static_cast<long>(rate)) + " a second"
                     : "trigger at " + at + " stopped";
        rec.num("n", n).num("rate", run ? static_cast<long long>(rate) : 0);
    } else {
        crate.setCrateOnline(static_cast<int>(c), what == "online");
        said = "crate " + std::to_string(c) + " " + (what == "online" ? "on-line" : "off-line");
    }
    wdsim::releaseUserCrate();
    if (!ok) return report(kFailed, "bench: " + said);
    rec.str("status", "ok");
    out.emit(rec, "bench: " + said);
    return kDone;
#endif
}

}  // namespace kt40
