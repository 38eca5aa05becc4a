// intern.cpp: method names turned into small numbers, once each.
#include "internal.hpp"

#include <deque>         // stable storage for names
#include <mutex>         // std::lock_guard over the table's lock
#include <unordered_map> // name -> id

namespace zelt {
namespace rt {
namespace {

// A lookup holds the lock for a hash probe; a new name, which allocates under
// it, is added with the asynchronous signals blocked (see OwnedLock).
struct Interns {
    OwnedLock lock{"the table of interned names"};
    std::unordered_map<std::string_view, Id> ids; // keys point into names
    std::deque<std::string> names{""};            // id 0 is no name
};

Interns &interns() {
    static Interns *table = new Interns; // outlives every static destructor
    return *table;
}

} // namespace

OwnedLock &intern_lock() { return interns().lock; }

} // namespace rt

using rt::interns;

Id intern(std::string_view name) {
    rt::Interns &t = interns();
    {
        std::lock_guard lock(t.lock);
        if (auto it = t.ids.find(name); it != t.ids.end()) return it->second;
    }
    rt::SignalsHeld quiet;
    std::lock_guard lock(t.lock);
    if (auto it = t.ids.find(name); it != t.ids.end()) return it->second;
    const std::string &kept = t.names.emplace_back(name);
    Id id = static_cast<Id>(t.names.size() - 1);
    t.ids.emplace(kept, id);
    return id;
}

std::string_view id_name(Id id) {
    rt::Interns &t = interns();
    std::lock_guard lock(t.lock);
    return id < t.names.size() ? std::string_view(t.names[id]) : std::string_view();
}

} // namespace zelt
