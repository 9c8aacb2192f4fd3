// The panel's own script-file code, for the Python package's cross tests.
//
//   kt40py_tvs copy IN OUT   load IN as the panel loads it and save it to OUT
//   kt40py_tvs write OUT     save the program read from standard input:
//                              line 1: run position
//                              line 2: the 44 reserved bytes in hex
//                              then one line per entry: kind lamOperation
//                              addressed mode crate n a f data code
//   kt40py_tvs dump IN       load IN and print it in the same text form
//
// Exit status: 0 done, 3 the file was refused as no script, 4 another
// failure, 2 bad usage.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "Camscript.h"

namespace {

int load(const char* path, TCamProgram& program) {
    const TCamScript::Outcome outcome = TCamScript::Load(path, program);
    if (outcome.ok()) return 0;
    std::fprintf(stderr, "%s: %s\n", path,
                 outcome.status == TCamScript::Status::Incompatible ? "incompatible" : outcome.error.message().c_str());
    return outcome.status == TCamScript::Status::Incompatible ? 3 : 4;
}

int save(const char* path, const TCamProgram& program) {
    const TCamScript::Outcome outcome = TCamScript::Save(path, program);
    if (outcome.ok()) return 0;
    std::fprintf(stderr, "%s: %s\n", path, outcome.error.message().c_str());
    return 4;
}

bool readProgram(std::istream& in, TCamProgram& program) {
    std::string line, hex;
    if (!std::getline(in, line) || !(std::istringstream(line) >> program.runPosition)) return false;
    if (!std::getline(in, hex) || hex.size() < 2 * program.reserved.size()) return false;
    for (std::size_t i = 0; i < program.reserved.size(); ++i)
        program.reserved[i] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    program.count = 0;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        if (program.count >= TCamProgram::capacity) return false;
        std::istringstream fields(line);
        int kind = 0, addressed = 0;
        TCamCommand& c = program.entries[static_cast<std::size_t>(program.count)];
        if (!(fields >> kind >> c.lamOperation >> addressed >> c.mode >> c.crate >> c.n >> c.a >> c.f >> c.data >> c.code))
            return false;
        c.kind = static_cast<std::uint8_t>(kind);
        c.addressed = static_cast<std::uint8_t>(addressed);
        ++program.count;
    }
    return true;
}

void dump(const TCamProgram& program) {
    std::printf("%d\n", program.runPosition);
    for (std::uint8_t b : program.reserved) std::printf("%02x", b);
    std::printf("\n");
    for (int i = 0; i < program.count; ++i) {
        const TCamCommand& c = program.entries[static_cast<std::size_t>(i)];
        std::printf("%d %d %d %d %d %d %d %d %d %d\n", c.kind, c.lamOperation, c.addressed, c.mode, c.crate, c.n, c.a,
                    c.f, c.data, c.code);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string verb = argc > 1 ? argv[1] : "";
    TCamProgram program;
    if (verb == "copy" && argc == 4) {
        const int status = load(argv[2], program);
        return status ? status : save(argv[3], program);
    }
    if (verb == "write" && argc == 3) {
        if (!readProgram(std::cin, program)) {
            std::fprintf(stderr, "write: bad program on standard input\n");
            return 2;
        }
        return save(argv[2], program);
    }
    if (verb == "dump" && argc == 3) {
        const int status = load(argv[2], program);
        if (status == 0) dump(program);
        return status;
    }
    std::fprintf(stderr, "usage: kt40py_tvs copy IN OUT | write OUT | dump IN\n");
    return 2;
}
