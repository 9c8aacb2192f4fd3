#include "UserCrate.h"

#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "kt40/StateFolder.h"
#include "kt40sim/Adapter.h"
#include "kt40sim/WinDriver.h"

namespace wdsim {

namespace {

struct Held {
    int lockFd = -1;                 // crate.lock, flock'ed while the program holds the crate
    bool holds = false;              // false: a bench beside the program that holds it
    kt40sim::AdapterImage* image = nullptr;  // crate.image, mapped
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
// False (and the default crate) when KT40_CRATE_FILE cannot be read.
bool freshCrate(std::string& error) {
    auto& adapter = kt40sim::Adapter::instance();
    const std::string source = crateSource();
    std::string ignored;
    if (source == "default") return adapter.loadCrates(kt40sim::Adapter::defaultCrateText(), ignored);
    if (adapter.loadCrateFile(source, error)) return true;
    adapter.loadCrates(kt40sim::Adapter::defaultCrateText(), ignored);
    return false;
}

std::string stamp() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

}  // namespace

namespace {

// Renames `path` to PATH + suffix + stamp (+ "-K"), a name no file has yet.
std::string renameUnique(const std::string& path, const char* suffix) {
    const std::string base = path + suffix + stamp();
    for (int k = 1; k < 10000; ++k) {
        const std::string name = k == 1 ? base : base + "-" + std::to_string(k);
        // Never over an earlier one: the rename fails when the name is taken.
        if (renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE) == 0) return name;
        if (errno != EEXIST) return {};
    }
    return {};
}

}  // namespace

std::string setAside(const std::string& path, kt40sim::ImageProblem why) {
    return renameUnique(path, why == kt40sim::ImageProblem::OtherSource ? ".previous-" : ".damaged-");
}

namespace {

// A crate kept as text by an earlier version (crate.state) goes into the
// first image made, and the text is kept beside it as crate.state.taken-STAMP.
void takeOldState(const std::string& folder, const std::string& source) {
    const std::string image = folder + "/crate.image", old = folder + "/crate.state";
    if (access(image.c_str(), F_OK) == 0 || access(old.c_str(), F_OK) != 0) return;
    std::ifstream in(old, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    std::string error = "cannot read";
    if (!in || !kt40sim::Adapter::instance().loadState(text.str(), source, error)) {
        say(old + ": " + error + "; not taken into the crate (the file stays as it is)");
        return;
    }
    const std::string kept = renameUnique(old, ".taken-");
    say(old + ": taken into " + image + (kept.empty() ? std::string() : " (the file is kept as " + kept + ")"));
}

kt40sim::AdapterImage* mapImage(int fd) {
    void* at = mmap(nullptr, sizeof(kt40sim::AdapterImage), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return at == MAP_FAILED ? nullptr : static_cast<kt40sim::AdapterImage*>(at);
}

void unmapImage(kt40sim::AdapterImage* image) {
    if (image) munmap(image, sizeof *image);
}

// A lock left taken by a program of before a restart (nothing frees it then,
// unlike a lock of a program that died) is made anew by the next holder.
// The lock is tried every millisecond for 2 s rather than waited for with
// pthread_mutex_timedlock: ThreadSanitizer does not count a timed lock that
// finds its owner dead as taken, and then reports the unlock after it as a
// fault.
void repairLock(kt40sim::AdapterImage& image) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    int r = pthread_mutex_trylock(&image.mutex);
    while (r == EBUSY && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        r = pthread_mutex_trylock(&image.mutex);
    }
    if (r == 0 || r == EOWNERDEAD) {
        if (r == EOWNERDEAD) pthread_mutex_consistent(&image.mutex);
        pthread_mutex_unlock(&image.mutex);
    } else if (r == EBUSY) {
        kt40sim::Adapter::resetImageLock(image);
    }
}

// Opens the user's crate image in `folder`: the one kept, or a new one made
// from the power-up crate when there is none or it cannot be taken (then put
// aside under a name of its own). With `source` empty, takes any sound image
// and makes none (a bench beside the program that holds the crate).
kt40sim::AdapterImage* openImage(const std::string& folder, const std::string& source, bool& fresh) {
    const std::string path = folder + "/crate.image";
    fresh = false;
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        struct stat st {};
        kt40sim::AdapterImage* image = nullptr;
        std::string why = "cannot map it";
        kt40sim::ImageProblem problem = kt40sim::ImageProblem::Damaged;
        if (fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) == sizeof(kt40sim::AdapterImage)) image = mapImage(fd);
        else why = "not a crate image of this version (size " + std::to_string(st.st_size) + ")";
        if (image) problem = kt40sim::Adapter::checkImage(*image, sizeof *image, source.empty() ? image->source : source, why);
        ::close(fd);
        if (problem == kt40sim::ImageProblem::None) return image;
        unmapImage(image);
        if (source.empty()) {
            say(path + ": " + why);
            return nullptr;
        }
        const std::string aside = setAside(path, problem);
        say(path + ": " + why + "; starting from a fresh crate" +
            (aside.empty() ? " (the file could not be put aside: " + std::string(std::strerror(errno)) + ")" : " (the file is kept as " + aside + ")"));
        if (aside.empty()) return nullptr;
    } else if (errno != ENOENT || source.empty()) {
        say(path + ": cannot open (" + std::strerror(errno) + ")");
        return nullptr;
    }
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    kt40sim::AdapterImage* image = nullptr;
    if (fd >= 0 && ftruncate(fd, sizeof(kt40sim::AdapterImage)) == 0) image = mapImage(fd);
    if (!image) say(path + ": cannot make the crate's image (" + std::strerror(errno) + ")");
    if (fd >= 0) ::close(fd);
    if (image) {
        kt40sim::Adapter::initImage(*image, source);
        fresh = true;
    }
    return image;
}

// The lock file, taken; -1 when another program holds it (`holder` names it)
// or it cannot be opened (`holder` empty, and a message said).
int takeLock(const std::string& folder, bool& busy, std::string& holder) {
    busy = false;
    const std::string lockPath = folder + "/crate.lock";
    const int fd = makeFolders(folder) ? ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600) : -1;
    if (fd < 0) {
        say(lockPath + ": cannot open (" + std::strerror(errno) + "); using a private crate");
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char pid[24] = {};
        const ssize_t n = pread(fd, pid, sizeof pid - 1, 0);
        ::close(fd);
        holder = n > 0 ? std::string(pid, static_cast<size_t>(n)) : std::string();
        while (!holder.empty() && (holder.back() == '\n' || holder.back() == ' ')) holder.pop_back();
        busy = true;
        return -1;
    }
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) < 0) {
        // The lock is what counts; the number only helps the message of another program.
    }
    return fd;
}

void releaseAtExit() { releaseUserCrate(); }

}  // namespace

std::string userCrateFolder() { return kt40::userStateFolder(); }

uint32_t acquireUserCrate() {
    std::lock_guard lock(g_mu);
    if (g_held.lockFd >= 0 || g_held.image || !userMode()) return kStatusSuccess;
    const std::string folder = userCrateFolder();
    if (folder.empty()) {
        say("neither XDG_STATE_HOME nor HOME is set; using a private crate");
        return kStatusSuccess;
    }
    bool busy = false;
    std::string holder;
    const int fd = takeLock(folder, busy, holder);
    if (busy) {
        say("the virtual crate in " + folder + " is held by another program" +
            (holder.empty() ? std::string() : " (process " + holder + ")") + ": Resource overlap");
        return kStatusResourceOverlap;
    }
    if (fd < 0) return kStatusSuccess;
    // A crate description that cannot be read leaves the user's crate alone.
    std::string error;
    if (!freshCrate(error)) {
        say("KT40_CRATE_FILE=" + error + "; the crate in " + folder +
            " is left as it is and this program has a private default crate");
        ::close(fd);
        return kStatusSuccess;
    }
    takeOldState(folder, crateSource());
    bool fresh = false;
    kt40sim::AdapterImage* image = openImage(folder, crateSource(), fresh);
    if (!image) {
        say("using a private crate");
        ::close(fd);
        return kStatusSuccess;
    }
    if (!fresh) repairLock(*image);
    kt40sim::Adapter::instance().attachImage(*image, fresh);
    g_held = {fd, true, image};
    if (!g_atExit) {
        std::atexit(releaseAtExit);
        g_atExit = true;
    }
    return kStatusSuccess;
}

bool attachBench(std::string& error) {
    std::lock_guard lock(g_mu);
    if (g_held.image) return true;
    if (!userMode()) {
        error = "the bench acts on the user's virtual crate, and KT40_SIM_STATE makes this program's crate private";
        return false;
    }
    const std::string folder = userCrateFolder();
    if (folder.empty()) {
        error = "neither XDG_STATE_HOME nor HOME says where the user's virtual crate is";
        return false;
    }
    bool busy = false;
    std::string holder;
    const int fd = takeLock(folder, busy, holder);
    std::string why;
    if (fd >= 0 && !freshCrate(why)) {
        ::close(fd);
        error = "KT40_CRATE_FILE=" + why;
        return false;
    }
    if (fd < 0 && !busy) {
        error = folder + "/crate.lock cannot be opened";
        return false;
    }
    // Nobody holds the crate: the bench takes it as a program would. Someone
    // does: the bench works beside it on the image as it is.
    bool fresh = false;
    kt40sim::AdapterImage* image = openImage(folder, fd >= 0 ? crateSource() : std::string(), fresh);
    if (!image) {
        if (fd >= 0) ::close(fd);
        error = "no crate image in " + folder + " to act on";
        return false;
    }
    kt40sim::Adapter::instance().attachImage(*image, fresh);
    g_held = {fd, fd >= 0, image};
    return true;
}

void releaseUserCrate() {
    std::lock_guard lock(g_mu);
    if (!g_held.image) return;
    // Every action is in the image already: only let it go. A thread of the
    // program may still be about to take the image's lock, which it finds
    // given up and leaves for the adapter's own; so the mapping stays until
    // the next release, long after any such thread has moved on.
    static kt40sim::AdapterImage* retired = nullptr;
    kt40sim::Adapter::instance().detachImage(*g_held.image);
    unmapImage(retired);
    retired = g_held.image;
    if (g_held.lockFd >= 0) ::close(g_held.lockFd);  // lets the lock go
    g_held = {};
}

}  // namespace wdsim
