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
#include <filesystem>
#include <iostream>
#include <sstream>

#include "Cli.h"

namespace kt40 {

namespace {

std::vector<std::string> split(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

// "c0 n5 a0 f16 d1234 [b24]" as the words of a cnaf command; the words as
// they are when the line is not in that form.
std::vector<std::string> terse(const std::vector<std::string>& words) {
    std::string c = "0", n, a, f, d;
    bool wide = false;
    for (const auto& w : words) {
        if (w.size() < 2) return words;
        const char key = static_cast<char>(std::tolower(static_cast<unsigned char>(w[0])));
        const std::string value = w.substr(1);
        if (key == 'c') c = value;
        else if (key == 'n') n = value;
        else if (key == 'a') a = value;
        else if (key == 'f') f = value;
        else if (key == 'd') d = value;
        else if (key == 'b' && (value == "24" || value == "16")) wide = value == "24";
        else return words;
    }
    if (n.empty() || a.empty() || f.empty()) return words;
    std::vector<std::string> out{"cnaf", c, n, a, f};
    if (!d.empty()) out.push_back(d);
    if (wide) out.push_back("--24");
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
    std::string folder;
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && xdg[0] == '/') folder = std::string(xdg) + "/kt40";
    else if (const char* home = std::getenv("HOME"); home && home[0] == '/') folder = std::string(home) + "/.local/state/kt40";
    else return {};
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    return error ? std::string() : folder + "/history";
}
#endif

// The next line: from libedit on a terminal, as it is from a pipe (or from
// the Windows console). False at the end of the input.
bool nextLine(bool terminal, std::string& line) {
#ifdef _WIN32
    if (terminal) {
        std::printf("kt40> ");
        std::fflush(stdout);
    }
    while (!std::getline(std::cin, line)) {
        // Ctrl+C at the prompt ends the console's read: a fresh line.
        if (!terminal || !g_interrupted) return false;
        g_interrupted = false;
        std::cin.clear();
        std::printf("\nkt40> ");
        std::fflush(stdout);
    }
    return true;
#else
    if (!terminal) return static_cast<bool>(std::getline(std::cin, line));
    while (true) {
        char* got = readline("kt40> ");
        if (!got && g_interrupted) {  // Ctrl+C at the prompt: a fresh line
            g_interrupted = false;
            std::printf("\n");
            continue;
        }
        if (!got) return false;
        line = got;
        std::free(got);
        if (line.find_first_not_of(" \t") != std::string::npos) add_history(line.c_str());
        return true;
    }
#endif
}

}  // namespace

int cmdShell(Args& args, const Out& out) {
    args.done();
#ifdef _WIN32
    const bool terminal = _isatty(0) != 0;
#else
    const bool terminal = isatty(0);
    const std::string history = terminal ? historyFile() : std::string();
    if (terminal) {
        using_history();
        if (!history.empty()) read_history(history.c_str());
    }
#endif
#ifdef _WIN32
    if (terminal)
        std::printf("kt40 shell: the commands of kt40 (help lists them), or c0 n5 a0 f16 d1234; quit or Ctrl+Z ends\n");
#else
    if (terminal)
        std::printf("kt40 shell: the commands of kt40 (help lists them), or c0 n5 a0 f16 d1234; quit or Ctrl+D ends\n");
#endif
    int worst = kDone;
    while (true) {
        std::string line;
        if (!nextLine(terminal, line)) break;
        if (const auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
        auto words = split(line);
        if (words.empty()) continue;
        if (words[0] == "quit" || words[0] == "exit") break;
        if (words[0] == "help") {
            std::printf("%s", help(words.size() > 1 ? words[1] : "").c_str());
            continue;
        }
        if (words[0] == "shell") {
            worst = std::max(worst, report(kUsage, "already in the shell"));
            continue;
        }
        g_interrupted = false;
        const auto command = terse(words);
        if (command == words && looksTerse(words[0])) {
            worst = std::max(worst, report(kUsage, "not a single action: '" + line +
                                                       "' (the form is c0 n5 a0 f16 d1234, b24 for 24 bits)"));
            continue;
        }
        const int rc = dispatch(command, out.json);
        if (rc != kInterrupted) worst = std::max(worst, rc);
    }
#ifndef _WIN32
    if (terminal && !history.empty()) write_history(history.c_str());
#endif
    return terminal ? kDone : worst;
}

}  // namespace kt40
