// kt40 shell: the same commands, one a line, on one connection; a terse
// form "c0 n5 a0 f16 d1234" for single actions. Line editing and history
// (libedit) on a terminal; plain lines from a pipe. On Windows the console
// edits the line and keeps the session's history itself.
#ifdef _WIN32
#include <io.h>
#else
#include <editline/readline.h>
#include <unistd.h>
#endif

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "Cli.h"
#include "camac.h"
#include "camactools.h"
#ifndef _WIN32
#include "kt40/StateFolder.h"
#endif

namespace kt40 {

namespace {

std::vector<std::string> split(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

// What the terse form remembers from line to line: crate, station,
// subaddress, function and width, so that "f16 d5" after "c0 n5 a0 f0"
// writes 5 to station 5.
struct Remembered {
    std::string c = "0", n, a, f;
    bool wide = false;
};

// The value of the line's d word.
std::string words_data(const std::vector<std::string>& words) {
    for (const auto& w : words)
        if (w[0] == 'd' || w[0] == 'D') return w.substr(1);
    return {};
}

// "c0 n5 a0 f16 d1234 [b24]", or any part of it, as the words of a cnaf
// command, the missing fields taken from `memory` (which keeps what the line
// gives); the words as they are when the line is not in that form, or
// nothing when fields are still missing (`missing` names them).
std::vector<std::string> terse(const std::vector<std::string>& words, Remembered& memory, std::string& missing) {
    Remembered next = memory;
    bool dataGiven = false;
    for (const auto& w : words) {
        if (w.size() < 2) return words;
        const char key = static_cast<char>(std::tolower(static_cast<unsigned char>(w[0])));
        const std::string value = w.substr(1);
        if (key == 'c') next.c = value;
        else if (key == 'n') next.n = value;
        else if (key == 'a') next.a = value;
        else if (key == 'f') next.f = value;
        else if (key == 'd') dataGiven = true;
        else if (key == 'b' && (value == "24" || value == "16")) next.wide = value == "24";
        else return words;
    }
    missing.clear();
    if (next.n.empty()) missing += " N";
    if (next.a.empty()) missing += " A";
    if (next.f.empty()) missing += " F";
    if (!missing.empty()) return {};
    const auto f = parseNumber(next.f, 0, 31);
    const bool write = f && ct_function_kind(static_cast<int>(*f)) == CT_WRITE;
    // The data is never remembered: each write says what it writes.
    if (write && !dataGiven) {
        missing = " D (F" + next.f + " writes, and the data is not taken from an earlier line)";
        return {};
    }
    memory = next;
    std::vector<std::string> out{"cnaf", next.c, next.n, next.a, next.f};
    if (dataGiven) out.push_back(words_data(words));
    if (next.wide) out.push_back("--24");
    return out;
}

// A word of the terse form: one of c, n, a, f, d, b and a number.
bool looksTerse(const std::string& w) {
    if (w.size() < 2 || std::string("cnafdbCNAFDB").find(w[0]) == std::string::npos) return false;
    return std::isdigit(static_cast<unsigned char>(w[1])) != 0;
}

#ifndef _WIN32
// ${XDG_STATE_HOME:-~/.local/state}/kt40/history, its folder made if need be;
// empty when neither variable says where.
std::string historyFile() {
    const std::string folder = userStateFolder();
    if (folder.empty()) return {};
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    return error ? std::string() : folder + "/history";
}
#endif

#ifndef _WIN32
// Completion of the first word: the command names, help and quit.
char* completeCommand(const char* text, int state) {
    static std::vector<std::string> names;
    static size_t next = 0;
    if (state == 0) {
        names = commandNames();
        names.insert(names.end(), {"help", "quit"});
        next = 0;
    }
    const size_t length = std::strlen(text);
    while (next < names.size()) {
        const std::string& name = names[next++];
        if (name.compare(0, length, text) == 0) return strdup(name.c_str());
    }
    return nullptr;
}

char** complete(const char* text, int start, int) {
    rl_attempted_completion_over = 1;  // no file names
    return start == 0 ? rl_completion_matches(text, completeCommand) : nullptr;
}
#endif

// The next line: from libedit on a terminal, as it is from a pipe, a file
// (or the Windows console). False at the end of the input.
bool nextLine(bool terminal, std::istream& in, const std::string& prompt, std::string& line) {
#ifdef _WIN32
    if (!terminal) return static_cast<bool>(std::getline(in, line));
    std::printf("%s", prompt.c_str());
    std::fflush(stdout);
    while (!std::getline(in, line)) {
        // Ctrl+C at the prompt ends the console's read: a fresh line.
        if (!g_interrupted) {
            std::printf("\n");  // Ctrl+Z: the next prompt of the shell's caller on a line of its own
            return false;
        }
        g_interrupted = false;
        in.clear();
        std::printf("\n%s", prompt.c_str());
        std::fflush(stdout);
    }
    return true;
#else
    if (!terminal) return static_cast<bool>(std::getline(in, line));
    while (true) {
        char* got = readline(prompt.c_str());
        if (!got && g_interrupted) {  // Ctrl+C at the prompt: a fresh line
            g_interrupted = false;
            std::printf("\n");
            continue;
        }
        if (!got) {
            std::printf("\n");  // Ctrl+D: the caller's prompt on a line of its own
            return false;
        }
        line = got;
        std::free(got);
        if (line.find_first_not_of(" \t") != std::string::npos) add_history(line.c_str());
        return true;
    }
#endif
}

// A cnaf command line that ran, as what the terse form remembers: its
// positional C N A F and its width.
void remember(const std::vector<std::string>& command, Remembered& memory) {
    std::vector<std::string> fields;
    bool wide = false;
    for (size_t k = 1; k < command.size(); ++k) {
        const std::string& w = command[k];
        if (w == "--24") wide = true;
        else if (w == "--repeat" || w == "--delay" || w == "--radix") ++k;  // and its value
        else if (w.rfind("--", 0) != 0) fields.push_back(w);
    }
    if (fields.size() < 4) return;
    memory.c = fields[0];
    memory.n = fields[1];
    memory.a = fields[2];
    memory.f = fields[3];
    memory.wide = wide;
}

// The prompt: what the terse form remembers and what the last action gave.
std::string promptOf(const Remembered& m, bool acted, int data, int q, int x) {
    std::string p = "kt40";
    if (!m.n.empty()) p += " c" + m.c + " n" + m.n + " a" + m.a + " f" + m.f + (m.wide ? " b24" : "");
    if (acted) p += " [d" + std::to_string(data) + " Q" + std::to_string(q) + " X" + std::to_string(x) + "]";
    return p + "> ";
}

}  // namespace

int cmdShell(Args& args, const Out& out) {
    const auto file = args.text("--file", "script of shell lines");
    const bool stopOnError = args.flag("--stop-on-error");
    args.done();
    std::ifstream script;
    if (file) {
        script.open(*file);
        if (!script) return report(kFailed, *file + ": cannot open it");
    }
    std::istream& in = file ? static_cast<std::istream&>(script) : std::cin;
#ifdef _WIN32
    const bool terminal = !file && _isatty(0) != 0;
#else
    const bool terminal = !file && isatty(0);
    const std::string history = terminal ? historyFile() : std::string();
    if (terminal) {
        using_history();
        if (!history.empty()) read_history(history.c_str());
        rl_attempted_completion_function = complete;
    }
#endif
#ifdef _WIN32
    if (terminal)
        std::printf("kt40 shell: the commands of kt40 (help lists them), or c0 n5 a0 f16 d1234 (then f0 alone\n"
                    "reads it back); quit or Ctrl+Z ends\n");
#else
    if (terminal)
        std::printf("kt40 shell: the commands of kt40 (help lists them, Tab completes them), or c0 n5 a0 f16 d1234\n"
                    "(then f0 alone reads it back); quit or Ctrl+D ends\n");
#endif
    int worst = kDone;
    Remembered memory;
    bool acted = false;
    int lastData = 0, lastQ = 0, lastX = 0;
    long number = 0;
    struct LineNumbers {
        ~LineNumbers() { g_line = 0; }
    } resetAtEnd;
    while (true) {
        std::string line;
        // Waiting for its user, the shell holds no crate: the panel and other
        // programs may use it meanwhile, and the next command takes it again.
        // Lines from a pipe or a file follow at once and keep it.
        if (terminal) release();
        if (!nextLine(terminal, in, promptOf(memory, acted, lastData, lastQ, lastX), line)) break;
        ++number;
        g_line = terminal ? 0 : number;  // errors from a file or a pipe name their line
        g_jsonErrors = out.json;         // (a line's own --json is its own)
        if (const auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
        auto words = split(line);
        if (words.empty()) continue;
        if (words[0] == "quit" || words[0] == "exit") break;
        if (words[0] == "release" && words.size() == 1) {
            release();  // a script's pause: the crate is free until the next command
            continue;
        }
        if (words[0] == "help") {
            std::printf("%s", help(words.size() > 1 ? words[1] : "").c_str());
            continue;
        }
        int rc;
        if (words[0] == "shell") {
            rc = report(kUsage, "already in the shell");
        } else {
            g_interrupted = false;
            std::string missing;
            const auto command = looksTerse(words[0]) ? terse(words, memory, missing) : words;
            if (command.empty()) {
                rc = report(kUsage, "not a whole action: '" + line + "' lacks" + missing +
                                        " (the form is c0 n5 a0 f16 d1234, b24 for 24 bits; what a line leaves out is "
                                        "taken from the one before)");
            } else if (command == words && looksTerse(words[0])) {
                rc = report(kUsage, "not a single action: '" + line +
                                        "' (the form is c0 n5 a0 f16 d1234, b24 for 24 bits)");
            } else {
                rc = dispatch(command, out.json);
                if (command[0] == "cnaf" && rc != kUsage) {
                    remember(command, memory);
                    const CamacStatus& s = *cdata();
                    acted = true;
                    lastQ = s.q;
                    lastX = s.x;
                    const auto f = parseNumber(command[4], 0, 31);
                    lastData = f && ct_function_kind(static_cast<int>(*f)) == CT_WRITE ? s.lastWritten : s.lastRead;
                }
            }
        }
        if (rc != kInterrupted) worst = std::max(worst, rc);
        if (stopOnError && rc != kDone) {
            g_line = 0;
            report(rc, "stopped at line " + std::to_string(number) + " (--stop-on-error)");
            break;
        }
    }
#ifndef _WIN32
    if (terminal && !history.empty()) write_history(history.c_str());
#endif
    return terminal ? kDone : worst;
}

}  // namespace kt40
