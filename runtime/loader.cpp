// loader.cpp: extensions found on the extension path, opened and initialised once.
#include "internal.hpp"

#include <cstdlib>  // getenv
#include <dlfcn.h>  // dlopen, dlsym, dladdr
#include <mutex>    // one load at a time
#include <set>      // names already loaded
#include <unistd.h> // access

namespace zelt {
namespace {

std::recursive_mutex &load_mu() { // recursive: an Init_ may require another extension
    static std::recursive_mutex mu;
    return mu;
}

std::set<std::string, std::less<>> &loaded() { // guarded by load_mu
    static auto *names = new std::set<std::string, std::less<>>;
    return *names;
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

} // namespace

std::vector<std::string> extension_path() {
    std::vector<std::string> dirs;
    if (const char *env = std::getenv("ZELT_EXT_PATH")) {
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
    std::lock_guard lock(load_mu());
    if (loaded().count(name)) return false;

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
    init();                 // may raise: then it counts as not loaded
    loaded().emplace(name); // the handle stays open: its methods are in use
    return true;
}

} // namespace zelt
