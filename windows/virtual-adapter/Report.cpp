// What the program did to the virtual crate, for a check from outside the
// process: when the variable KT40_VIRTUAL_REPORT names a file, the DLL writes
// into it, as the process ends, every CAMAC command the adapter was given
// (runs of the same command with the same data as one line with a count)
// and the words of the crates' register and memory modules:
//   command crate 0 N 5 A 0 F 16 data 0x00A5C3
//   command crate 0 N 5 A 0 F 0 data 0x000000 x 3
//   word crate 0 N 5 A 0 0x00A5C3
// The data of a command is what the write-data registers held when it was
// given (meaningful for F 16-23).
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "kt40sim/Adapter.h"
#include "kt40sim/Module.h"

namespace {

using kt40sim::Adapter;

void writeReport(std::FILE *f)
{
    Adapter &adapter = Adapter::instance();
    int crate = 0;
    uint32_t data = 0;
    std::string last;
    unsigned repeats = 0;
    const auto flush = [&] {
        if (repeats > 1)
            std::fprintf(f, "%s x %u\n", last.c_str(), repeats);
        else if (repeats == 1)
            std::fprintf(f, "%s\n", last.c_str());
    };
    for (const kt40sim::Access &a : adapter.log()) {
        if (a.face != kt40sim::Face::Isa || a.dir != kt40sim::Direction::Write)
            continue;
        switch (a.offset) {
        case kt40sim::kCsr: crate = a.value & 3; break;
        case kt40sim::kWdlo: data = (data & 0xFF0000) | (a.value & 0xFFFF); break;
        case kt40sim::kWdhi: data = (data & 0xFFFF) | (a.value & 0xFF) << 16; break;
        case kt40sim::kCmd: {
            char line[96];
            std::snprintf(line, sizeof line, "command crate %d N %u A %u F %u data 0x%06X", crate,
                          (a.value >> 9) & 31, (a.value >> 5) & 15, a.value & 31, static_cast<unsigned>(data));
            if (last == line) {
                ++repeats;
            } else {
                flush();
                last = line;
                repeats = 1;
            }
            break;
        }
        default: break;
        }
    }
    flush();
    for (int c = 0; c < kt40sim::kCrates; ++c)
        for (int n = 1; n <= kt40sim::kStations; ++n)
            adapter.withModule(c, n, [&](kt40sim::Module &m) {
                if (auto *r = dynamic_cast<kt40sim::RegisterModule *>(&m))
                    for (int a = 0; a < 16; ++a)
                        try {
                            std::fprintf(f, "word crate %d N %d A %d 0x%06X\n", c, n, a,
                                         static_cast<unsigned>(r->word(a)));
                        } catch (const std::out_of_range &) {
                            break;
                        }
            });
}

// Made when the DLL is loaded, after the adapter (which it makes first), so
// that it is destroyed before the adapter as the process ends.
struct Reporter
{
    Reporter() { Adapter::instance(); }
    ~Reporter()
    {
        const char *path = std::getenv("KT40_VIRTUAL_REPORT");
        if (!path || !*path)
            return;
        if (std::FILE *f = std::fopen(path, "w")) {
            writeReport(f);
            std::fclose(f);
        }
    }
};

Reporter reporter;

} // namespace
