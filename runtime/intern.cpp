// intern.cpp: method names turned into small numbers, once each.
#include "internal.hpp"

#include <deque>         // stable storage for names
#include <mutex>         // the table is shared by all threads
#include <shared_mutex>  // many readers, rare writers
#include <unordered_map> // name -> id

namespace zelt {
namespace {

struct Interns {
    std::shared_mutex mu;
    std::unordered_map<std::string_view, Id> ids; // keys point into names
    std::deque<std::string> names{""};            // id 0 is no name
};

Interns &interns() {
    static Interns *table = new Interns; // outlives every static destructor
    return *table;
}

} // namespace

Id intern(std::string_view name) {
    Interns &t = interns();
    {
        std::shared_lock lock(t.mu);
        if (auto it = t.ids.find(name); it != t.ids.end()) return it->second;
    }
    std::unique_lock lock(t.mu);
    if (auto it = t.ids.find(name); it != t.ids.end()) return it->second;
    const std::string &kept = t.names.emplace_back(name);
    Id id = static_cast<Id>(t.names.size() - 1);
    t.ids.emplace(kept, id);
    return id;
}

std::string_view id_name(Id id) {
    Interns &t = interns();
    std::shared_lock lock(t.mu);
    return id < t.names.size() ? std::string_view(t.names[id]) : std::string_view();
}

} // namespace zelt
