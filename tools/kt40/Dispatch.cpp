// The subcommand table: names, usage lines, help, and the dispatch of one
// command line with its usage errors.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "Cli.h"

namespace kt40 {

namespace {

struct Command {
    const char* name;
    int (*run)(Args&, const Out&);
    const char* usage;
    const char* about;
};

const Command kCommands[] = {
    {"cnaf", cmdCnaf,
     "kt40 cnaf C N A F [DATA] [--24] [--repeat K [--delay MS] [--until-no-q|--until-q] [--timing]] "
     "[--radix R] [--allow-no-x]",
     "One action (or K, MS apart): function F at crate C (0-3), station N (1-24),\n"
     "subaddress A (0-15); writes (F16-23) take DATA (decimal, 0x hex, 0o octal or\n"
     "0b binary; 16 bits, or 24 with --24). Prints the data (again in hex, or the\n"
     "--radix dec, oct or bin), Q, X and the status of each. An action without X\n"
     "(an empty station, or the crate off-line, which it names) says so and exits\n"
     "1, unless --allow-no-x. --until-no-q (or --while-q) ends the repeat after the\n"
     "first action without Q, --until-q after the first with Q; --timing adds the\n"
     "min, median and max time of an action.\n"},
    {"z", cmdUnaddressed, "kt40 z C", "Dataway initialise (Z) on crate C: modules initialised, inhibit set.\n"},
    {"c", cmdUnaddressed, "kt40 c C", "Dataway clear (C) on crate C.\n"},
    {"inhibit", cmdInhibit, "kt40 inhibit C on|off", "Sets or removes the dataway inhibit of crate C.\n"},
    {"status", cmdStatus, "kt40 status C", "Crate C's inhibit (I), LAM (L) and LAM pattern.\n"},
    {"scan", cmdScan, "kt40 scan [C] [--f F]",
     "Function F (default 0; no writes) at every station 1-24 and subaddress 0-15\n"
     "of crate C (default 0), as a grid: Q = X and Q, x = X without Q, . = no X.\n"},
    {"lam", cmdLam, "kt40 lam [C] [--count K] [--timeout S] [--mask PATTERN] [--ack] [--ack-function F]",
     "Watches crate C (default 0) for LAMs and prints each new LAM pattern with a\n"
     "time stamp, until Ctrl+C, K events or S seconds, then how many came.\n"
     "--mask watches only the stations of PATTERN (bit k: station k+1, e.g. 0x4\n"
     "for station 3); --ack clears each reported LAM with F10 at its station\n"
     "(--ack-function F: with F). Exit 0 when K came (or S passed with no K\n"
     "asked), 1 when the time-out came first, 130 on Ctrl+C.\n"},
    {"block", cmdBlock,
     "kt40 block C N A F [--count K] [--mode qstop|qrepeat|scan] [--24] [--data W,W,...|--data-file FILE]",
     "A block of actions at crate C, station N, subaddress A through the IEEE 758\n"
     "routines: qstop (the default) repeats F while Q, at most K words; qrepeat\n"
     "repeats F until each of K words came with Q; scan moves on through A and N\n"
     "(from N, A to N24 A15) while Q. Reads print the words; writes (F16-23) take\n"
     "them from --data or a file of numbers (--count takes the first K).\n"},
    {"run", cmdRun, "kt40 run FILE.tvs [--cycle] [--count K] [--command-delay MS] [--cycle-delay MS] [--as-panel]",
     "Executes a script file with the front panel's worker, once or (--cycle) over\n"
     "and over, K passes or until Ctrl+C (which ends it after the current entry).\n"
     "Prints each entry as the panel's program grid shows it, with R, X, Q, L, I.\n"
     "A file with entries out of range (N 37, say) is refused before the first\n"
     "action; --as-panel runs it as the panel does, fields masked to their bits.\n"},
    {"bench", cmdBench,
     "kt40 bench lam|drop|unplug|plug N [--crate C] | input N BITS [--crate C] | gate [C] | "
     "trigger RATE|off [--crate C] [--station N] | offline|online C",
     "Acts on the virtual crate from outside, as a lab bench would, while another\n"
     "program may hold it: lam raises the LAM of the module in station N (a signal\n"
     "on its input), drop takes it away; input sets an input register's inputs;\n"
     "gate gates every ADC and TDC of crate C; trigger starts the crate's trigger\n"
     "at RATE a second (or stops it); unplug takes a module out, plug puts it back\n"
     "at power-up; offline and online switch a crate. Refused on real hardware.\n"},
    {"show", cmdShow, "kt40 show FILE.tvs", "Lists the entries of a script file, marking those out of range.\n"},
    {"shell", cmdShell, "kt40 shell [--file FILE] [--stop-on-error]",
     "Interactive: the commands above, one a line, or a single action in the form\n"
     "c0 n5 a0 f16 d1234 (b24 for 24 bits); what a line leaves out of that form is\n"
     "taken from the line before, so f0 alone then reads station 5 back. The\n"
     "prompt shows the address and the last data, Q and X. Line editing, history\n"
     "and Tab completion on a terminal; reads plain lines from a pipe or --file,\n"
     "naming the line in errors; --stop-on-error ends at the first failure.\n"
     "At its prompt the shell holds no crate (another program may take it); lines\n"
     "from a pipe or a file keep it, and release lets it go until the next command.\n"
     "help, quit.\n"},
};

const Command* find(const std::string& name) {
    for (const auto& c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

}  // namespace

std::vector<std::string> commandNames() {
    std::vector<std::string> names;
    for (const auto& c : kCommands) names.emplace_back(c.name);
    return names;
}

std::string usageLine(const std::string& command) {
    const Command* c = find(command);
    return c ? std::string("usage: ") + c->usage : "usage: kt40 [--json] COMMAND ARGS... (kt40 --help lists them)";
}

std::string help(const std::string& command) {
    if (const Command* c = find(command)) return std::string("usage: ") + c->usage + "\n\n" + c->about;
    std::string text =
        "kt40: CAMAC crates through the KT40 adapter, from the shell\n\n"
        "usage: kt40 [--json] COMMAND ARGS...\n\n";
    for (const auto& c : kCommands) text += std::string("  ") + c.usage + "\n";
    text +=
        "\n--json prints one JSON object a line; --help after a command explains it;\n"
        "--version prints the version.\n"
        "Exit codes: 0 done, 1 the action failed, 2 bad usage, 130 a run or repeat\n"
        "ended by Ctrl+C.\n";
    return text;
}

int dispatch(const std::vector<std::string>& words, bool json) {
    std::vector<std::string> rest;
    bool wantHelp = false;
    if (words.size() == 1 && words[0] == "--version") {
        std::printf("kt40 %s\n", KT40_VERSION);
        return kDone;
    }
    for (const auto& w : words) {
        if (w == "--json") json = true;
        else if (w == "--help" || w == "-h") wantHelp = true;
        else rest.push_back(w);
    }
    if (rest.empty()) {
        if (wantHelp) {
            std::printf("%s", help("").c_str());
            return kDone;
        }
        g_jsonErrors = json;
        return report(kUsage, "no command", usageLine("") + "\ntry 'kt40 --help'\n");
    }
    const Command* command = find(rest[0]);
    if (!command) {
        g_jsonErrors = json;
        return report(kUsage, "unknown command '" + rest[0] + "'", usageLine("") + "\ntry 'kt40 --help'\n");
    }
    if (wantHelp) {
        std::printf("%s", help(rest[0]).c_str());
        return kDone;
    }
    Out out;
    out.json = json;
    g_jsonErrors = json;
    Args args(rest[0], std::vector<std::string>(rest.begin() + 1, rest.end()));
    try {
        return command->run(args, out);
    } catch (const UsageError& e) {
        return report(kUsage, e.what(), usageLine(e.command) + "\ntry 'kt40 " + e.command + " --help'\n");
    }
}

}  // namespace kt40
