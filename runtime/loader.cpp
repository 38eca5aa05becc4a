// loader.cpp: extensions found on the extension path, opened and initialised once.
//
// The loader's lock covers only its two tables: a load's dlopen and Init_
// run outside it, so that an Init_ may make values, define methods, require
// another extension or fork, and a fork waits for no load. A require of a
// name that another thread is loading sleeps until a load ends, then looks
// again. The tables allocate, so their sections run with the asynchronous
// signals blocked. A fork child takes over a load that a thread it does not
// have had under way (an older fork generation): it loads it again.
#include "internal.hpp"

#include <climits>  // INT_MAX: every sleeper wakes
#include <cstdlib>  // secure_getenv
#include <dlfcn.h>  // dlopen, dlsym, dladdr
#include <map>      // loads under way
#include <mutex>    // std::lock_guard over the loader's lock
#include <set>      // names already loaded
#include <unistd.h> // access

namespace zelt {
namespace rt {

uint32_t fork_generation = 0;

namespace {

struct Loading {
    uint32_t token;      // the loading thread's
    uint32_t generation; // fork_generation when it began
};

struct Loads {
    OwnedLock lock{"the extension loader"};
    std::set<std::string, std::less<>> done;             // loaded
    std::map<std::string, Loading, std::less<>> running; // under way
    std::atomic<uint32_t> ended{0};                      // bumped as each load ends
};

Loads &loads() {
    static auto *l = new Loads; // never destroyed: a thread may load while main returns
    return *l;
}

} // namespace

OwnedLock &loader_lock() { return loads().lock; }

} // namespace rt

namespace {

using rt::loads;

// Claims NAME's load for this thread: false when it is loaded already, or
// under way in this thread (an Init_ requiring its own extension).
bool claim(std::string_view name) {
    rt::Loads &l = loads();
    for (;;) {
        const uint32_t ended = l.ended.load(std::memory_order_acquire);
        {
            rt::SignalsHeld quiet;
            std::lock_guard lock(l.lock);
            if (l.done.count(name)) return false;
            auto it = l.running.find(name);
            const rt::Loading mine{rt::thread_token(), rt::fork_generation};
            if (it == l.running.end()) {
                l.running.emplace(name, mine);
                return true;
            }
            if (it->second.token == mine.token) return false;
            if (it->second.generation != mine.generation) { // its thread is not in this process
                it->second = mine;
                return true;
            }
        }
        rt::futex_wait(l.ended, ended); // another thread loads it
    }
}

void finish(std::string_view name, bool loaded) {
    rt::Loads &l = loads();
    {
        rt::SignalsHeld quiet;
        std::lock_guard lock(l.lock);
        if (auto it = l.running.find(name); it != l.running.end()) l.running.erase(it);
        if (loaded) l.done.emplace(name);
    }
    l.ended.fetch_add(1, std::memory_order_release);
    rt::futex_wake(l.ended, INT_MAX);
}

// The built-in directory: zelt/ext beside libzelt itself, in a build tree as
// when installed.
std::string builtin_dir() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void *>(&zl_define_method), &info) || !info.dli_fname) return {};
    std::string lib = info.dli_fname;
    auto slash = lib.rfind('/');
    return (slash == std::string::npos ? std::string(".") : lib.substr(0, slash)) + "/zelt/ext";
}

bool valid_name(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name)
        if (!(c == '_' || c == '-' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
              (c >= 'A' && c <= 'Z')))
            return false;
    return true;
}

[[noreturn]] void load_error(std::string message) { rt::raise(rt::eLoadError, std::move(message)); }

// Finds NAME.so on the extension path, opens it and runs its Init_.
void load(std::string_view name) {
    std::string path, searched;
    for (const std::string &dir : extension_path()) {
        std::string candidate = dir + "/" + std::string(name) + ".so";
        if (::access(candidate.c_str(), F_OK) == 0) {
            path = candidate;
            break;
        }
        searched += (searched.empty() ? "" : ":") + dir;
    }
    if (path.empty())
        load_error("cannot find extension " + std::string(name) +
                   ".so (searched: " + (searched.empty() ? "nothing" : searched) + ")");

    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) load_error("cannot load " + path + ": " + dlerror());
    std::string entry = "Init_" + std::string(name);
    auto init = reinterpret_cast<void (*)()>(dlsym(handle, entry.c_str()));
    if (!init) {
        std::string why = dlerror();
        dlclose(handle);
        load_error(path + " has no entry point " + entry + ": " + why +
                   " (declare it with ZL_INIT(" + std::string(name) +
                   "), which gives it C linkage in C++ too)");
    }
    init(); // may raise: then it counts as not loaded; the handle stays open either way
}

} // namespace

std::vector<std::string> extension_path() {
    std::vector<std::string> dirs;
    if (const char *env = secure_getenv("ZELT_EXT_PATH")) { // none in a set-user-ID process
        std::string_view rest = env;
        while (!rest.empty()) {
            auto colon = rest.find(':');
            std::string_view dir = rest.substr(0, colon);
            if (!dir.empty()) dirs.emplace_back(dir); // an empty entry means nothing
            rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        }
    }
    if (std::string dir = builtin_dir(); !dir.empty()) dirs.push_back(dir);
    return dirs;
}

bool require(std::string_view name) {
    if (!valid_name(name))
        load_error("invalid extension name \"" + std::string(name) +
                   "\": letters, digits, _ and - only");
    if (!claim(name)) return false;
    try {
        load(name);
    } catch (...) {
        finish(name, false); // not loaded: a later require tries again
        throw;
    }
    finish(name, true);
    return true;
}

} // namespace zelt
