// kt40, the command line for CAMAC crates: what the subcommands share.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace kt40 {

// Exit codes.
inline constexpr int kDone = 0;
inline constexpr int kFailed = 1;
inline constexpr int kUsage = 2;
inline constexpr int kInterrupted = 130;  // 128 + SIGINT, as shells report it

// A usage error: the message, and the subcommand whose usage line follows.
struct UsageError : std::runtime_error {
    UsageError(const std::string& message, std::string command)
        : std::runtime_error(message), command(std::move(command)) {}
    std::string command;
};

// The words of one command after the subcommand's name, with the options
// taken out as they are asked for. Every parse runs before the crate is
// touched; anything left over is refused by done().
class Args {
public:
    Args(std::string command, std::vector<std::string> words) : command_(std::move(command)), words_(std::move(words)) {}

    const std::string& command() const { return command_; }
    // Takes `--name` if present.
    bool flag(const std::string& name);
    // Takes `--name VALUE` (or `--name=VALUE`) if present, as a number lo..hi.
    std::optional<long> option(const std::string& name, long lo, long hi, const std::string& what);
    // Takes the next positional word as a number lo..hi; `what` names it.
    long number(long lo, long hi, const std::string& what);
    std::optional<long> optionalNumber(long lo, long hi, const std::string& what);
    // Takes `--name VALUE` (or `--name=VALUE`) if present, as it is.
    std::optional<std::string> text(const std::string& name, const std::string& what);
    // Takes the next positional word as it is.
    std::string word(const std::string& what);
    std::optional<std::string> optionalWord();
    // Refuses whatever is left.
    void done();

    [[noreturn]] void fail(const std::string& message) const { throw UsageError(message, command_); }

private:
    std::optional<size_t> find(const std::string& name) const;
    std::string command_;
    std::vector<std::string> words_;
};

// C N A F of an action, taken from `args` and checked by the shared rules
// (camactools): a bad one fails with their words ("station N must be
// 1..24, not 25").
struct Address {
    int c, n, a, f;
};
Address takeAddress(Args& args);
// The shared rules on a whole action; fails `args` with their words.
void checkAction(const Args& args, const Address& at, int bits, bool hasData, long long data);

// A number as every face reads it (ct_parse_number: decimal, 0x, 0o, 0b), lo..hi.
std::optional<long long> parseNumber(const std::string& text, long long lo, long long hi);

// Output: each record a line, for people or as a JSON object.
class Out {
public:
    bool json = false;
    // Each line is flushed as it is printed (runs and watches, which a pipe
    // must see live); a scan, over in a fraction of a millisecond, flushes
    // once at its end.
    bool live = true;
    // A record: ordered fields. Values are numbers, strings, null or lists.
    class Record {
    public:
        // Every record names its type first (README: "JSON records").
        explicit Record(const std::string& type) { str("type", type); }
        Record& num(const std::string& key, long long v);
        Record& str(const std::string& key, const std::string& v);
        Record& null(const std::string& key);
        Record& flag(const std::string& key, int v);  // 0/1, or null for 2 (not applicable)
        Record& list(const std::string& key, const std::vector<long long>& v);
        std::string json() const;

    private:
        std::vector<std::pair<std::string, std::string>> fields_;
    };
    // Prints `human` for people, or the record as one JSON line.
    void emit(const Record& record, const std::string& human) const;
    // A line for people only (headers, legends).
    void text(const char* line) const;
    void text(const std::string& line) const { text(line.c_str()); }
};

// The crate connection, opened once per process by the first command that
// needs it. False (with a message) when ccinit fails.
bool connect();
// Lets the crate go (another program may take it); the next connect() opens
// it again.
void release();

// Whether errors are also JSON records on the standard output (--json).
extern bool g_jsonErrors;
// The line of a shell's input being run (0: none), named in its errors.
extern long g_line;
// An error: "kt40: MESSAGE" on the standard error (and `more`, lines for
// people only, after it) and, with --json, an error record on the standard
// output naming the exit code. Returns exitCode.
int report(int exitCode, const std::string& message, const std::string& more = "");

// Words for a failed wait (CamacStatus.error), the shared ones.
std::string waitFailure(unsigned error);

// Set by SIGINT; runs and watches end when they see it.
extern std::atomic<bool> g_interrupted;
void catchInterrupt();

// The subcommands. `args` holds what follows the name.
int cmdCnaf(Args& args, const Out& out);
int cmdUnaddressed(Args& args, const Out& out);  // z, c
int cmdInhibit(Args& args, const Out& out);
int cmdStatus(Args& args, const Out& out);
int cmdScan(Args& args, const Out& out);
int cmdLam(Args& args, const Out& out);
int cmdBlock(Args& args, const Out& out);
int cmdRun(Args& args, const Out& out);
int cmdShow(Args& args, const Out& out);
int cmdShell(Args& args, const Out& out);
int cmdBench(Args& args, const Out& out);

// Runs one command line (subcommand and its words) as the shell and main do;
// prints usage errors and returns the exit code.
int dispatch(const std::vector<std::string>& words, bool json);

// Help for a subcommand, or for the tool ("" ).
std::string help(const std::string& command);
std::string usageLine(const std::string& command);
// The subcommands' names, in the order help lists them.
std::vector<std::string> commandNames();

}  // namespace kt40
