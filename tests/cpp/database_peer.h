// What a test can see of a database's private state. One definition for
// every test file that looks inside (the friend declaration names one
// class).

#ifndef MOXAL_TESTS_CPP_DATABASE_PEER_H_
#define MOXAL_TESTS_CPP_DATABASE_PEER_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "../fuzz/json_text.h"
#include "db/database.h"

namespace moxal {

struct DatabaseTestPeer {
  // Each collection in memory: "name" -> its documents as a JSON array.
  static std::map<std::string, std::string> Collections(const Database& db,
                                                        std::map<std::string, uint64_t>* stamps) {
    std::map<std::string, std::string> out;
    for (const auto& [name, c] : db.collections_) {
      std::string text = "[";
      for (const Value& d : c->docs) text += (text.size() > 1 ? "," : "") + ToJson(d.ref());
      out[name] = text + "]";
      (*stamps)[name] = c->stamp;
    }
    return out;
  }
  // The cache's entries, the most recently used first, with whether each
  // was built from its collection as it is now.
  static std::vector<std::string> Cache(const Database& db) {
    std::vector<std::string> out;
    for (const ResultCache::Entry& e : db.cache_.entries_) {
      auto c = db.collections_.find(e.collection);
      bool current = c != db.collections_.end() && c->second->stamp == e.stamp;
      std::string line = e.collection + " " + std::to_string(e.key) + " " + ToJson(e.query.ref()) +
                         (current ? " current" : " stale") + ":";
      for (const Value& d : e.result->docs) line += " " + ToJson(d.ref());
      out.push_back(line + " @" + std::to_string(e.stamp));
    }
    return out;
  }
  // The collection in memory under `name`, or null.
  static CollectionPtr Collection(const Database& db, std::string_view name) {
    return db.FindInMemory(name);
  }
};

}  // namespace moxal

#endif  // MOXAL_TESTS_CPP_DATABASE_PEER_H_
