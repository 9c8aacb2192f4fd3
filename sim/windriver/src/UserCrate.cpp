#include "UserCrate.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "kt40sim/Adapter.h"
#include "kt40sim/WinDriver.h"

namespace wdsim {

namespace {

struct Held {
    int lockFd = -1;
    std::string statePath;
    std::string source;
};

std::mutex g_mu;
Held g_held;
bool g_atExit = false;

void say(const std::string& text) { std::fprintf(stderr, "kt40sim: %s\n", text.c_str()); }

bool userMode() {
    const char* v = std::getenv("KT40_SIM_STATE");
    if (!v || !*v) return true;
    if (std::strcmp(v, "private") != 0) {
        static bool told = false;
        if (!told) say(std::string("KT40_SIM_STATE='") + v + "' is not understood ('private' or unset); using a private crate");
        told = true;
    }
    return false;
}

// The description the power-up crate is made from.
std::string crateSource() {
    const char* file = std::getenv("KT40_CRATE_FILE");
    return file && *file ? file : "default";
}

bool makeFolders(const std::string& path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') continue;
        const std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

// The crate a program meets at power-up: the default, or KT40_CRATE_FILE's.
void freshCrate() {
    auto& adapter = kt40sim::Adapter::instance();
    std::string error;
    const std::string source = crateSource();
    if (source == "default" || !adapter.loadCrateFile(source, error)) adapter.loadCrates(kt40sim::Adapter::defaultCrateText(), error);
}

void load(const std::string& path, const std::string& source) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno != ENOENT) say(path + ": cannot open (" + std::strerror(errno) + "); starting from a fresh crate");
        freshCrate();
        return;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string error;
    if (in.bad() || !kt40sim::Adapter::instance().loadState(text.str(), source, error)) {
        if (error.empty()) error = "cannot read";
        // A state of another crate description (KT40_CRATE_FILE changed) is
        // sound, only not this crate's; either way nothing is thrown away.
        const bool other = error.find("the state is of the crate made from") != std::string::npos;
        const std::string aside = path + (other ? ".previous" : ".damaged");
        const bool kept = std::rename(path.c_str(), aside.c_str()) == 0;
        say(path + ":" + error + "; starting from a fresh crate" + (kept ? " (the file is kept as " + aside + ")" : ""));
        freshCrate();
    }
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// A new file beside the state, renamed over it once it is whole.
void save(const std::string& path, const std::string& source) {
    const std::string text = kt40sim::Adapter::instance().saveState(source);
    std::string temp = path + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        say(path + ": cannot write the crate's state (" + std::strerror(errno) + ")");
        return;
    }
    const bool ok = writeAll(fd, text) && fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
        say(path + ": cannot write the crate's state (" + std::strerror(ok ? errno : saved) + ")");
        ::unlink(temp.c_str());
    }
}

void releaseAtExit() { releaseUserCrate(); }

}  // namespace

std::string userCrateFolder() {
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && xdg[0] == '/') return std::string(xdg) + "/kt40";
    if (const char* home = std::getenv("HOME"); home && home[0] == '/') return std::string(home) + "/.local/state/kt40";
    return {};
}

uint32_t acquireUserCrate() {
    std::lock_guard lock(g_mu);
    if (g_held.lockFd >= 0 || !userMode()) return kStatusSuccess;
    const std::string folder = userCrateFolder();
    if (folder.empty()) {
        say("neither XDG_STATE_HOME nor HOME is set; using a private crate");
        return kStatusSuccess;
    }
    const std::string lockPath = folder + "/crate.lock";
    const int fd = makeFolders(folder) ? ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600) : -1;
    if (fd < 0) {
        say(lockPath + ": cannot open (" + std::strerror(errno) + "); using a private crate");
        return kStatusSuccess;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char pid[24] = {};
        const ssize_t n = pread(fd, pid, sizeof pid - 1, 0);
        ::close(fd);
        std::string holder = n > 0 ? std::string(pid, static_cast<size_t>(n)) : std::string();
        while (!holder.empty() && (holder.back() == '\n' || holder.back() == ' ')) holder.pop_back();
        say("the virtual crate in " + folder + " is held by another program" +
            (holder.empty() ? std::string() : " (process " + holder + ")") + ": Resource overlap");
        return kStatusResourceOverlap;
    }
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) < 0) {
        // The lock is what counts; the number only helps the message above.
    }
    g_held = {fd, folder + "/crate.state", crateSource()};
    load(g_held.statePath, g_held.source);
    if (!g_atExit) {
        std::atexit(releaseAtExit);
        g_atExit = true;
    }
    return kStatusSuccess;
}

void releaseUserCrate() {
    std::lock_guard lock(g_mu);
    if (g_held.lockFd < 0) return;
    save(g_held.statePath, g_held.source);
    ::close(g_held.lockFd);  // lets the lock go
    g_held = {};
}

}  // namespace wdsim
