// kt40: CAMAC from the shell. Subcommands, --json, --help, exit codes.
#include <string>
#include <vector>

#include "Cli.h"

int main(int argc, char** argv) {
    kt40::catchInterrupt();
    return kt40::dispatch(std::vector<std::string>(argv + 1, argv + argc), false);
}
