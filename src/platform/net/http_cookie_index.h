#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/net/http_cookie.h"

namespace platform {

// Which cookies the engine holds and when each was last set, so that the jar can be kept within
// a bound per domain and in all, the least recently set going first.
//
// What the engine holds is read from the engine itself, its whole list after every head that set
// cookies, never worked out from the head's fields: a second reading of those fields disagrees
// with the engine's somewhere (an attribute with a value it ignores, an empty path, a field that
// starts with a separator), and every disagreement was a cookie the bounds never counted. The
// head's fields serve only to tell which cookies it set again unchanged, for their order.
class HTTPCookieIndex {
 public:
  // A cookie's identity in the engine, which compares name, domain and path without regard to
  // case, a path without a trailing slash, and takes every path not starting with "/" for one.
  struct Key {
    std::string name;    // lower case
    std::string domain;  // lower case, no leading dot
    bool hostOnly = true;
    std::string path;  // lower case, without a trailing slash (except "/"); "" if not from "/"

    bool operator==(const Key&) const = default;
  };

  // What a head that set cookies says of itself: the host it came from and the names its
  // "Set-Cookie" fields begin with (lower case).
  struct Head {
    std::string host;  // lower case, without brackets
    std::unordered_set<std::string> names;
  };

  HTTPCookieIndex(std::size_t perDomain, std::size_t total)
      : perDomain_(perDomain), total_(total) {}

  // Whether any of a head's lines is a "Set-Cookie" field, as the engine tells them: only then
  // can the engine's list have changed.
  static bool setsCookies(const std::vector<std::string>& headLines);
  // The names a head's "Set-Cookie" fields begin with, lower case.
  static std::unordered_set<std::string> namesSetBy(const std::vector<std::string>& headLines);
  // The identity the engine knows `cookie` by.
  static Key keyOf(const HTTPCookie& cookie);

  // `jar` is every unexpired cookie the engine holds after `head` ended. Cookies it no longer
  // holds are forgotten; new and changed ones, and those `head` set again, count as set now.
  // Returns the cookies that now fall outside the bounds, which the caller expires in the engine.
  std::vector<Key> headEnded(const std::vector<HTTPCookie>& jar, const Head& head);
  // As headEnded, after a head that failed before its end: the new or changed cookies it named
  // are returned to expire as well, and forgotten.
  std::vector<Key> headFailed(const std::vector<HTTPCookie>& jar, const Head& head);

  std::size_t size() const { return entries_.size(); }
  std::size_t sizeOfDomain(const std::string& domain) const;

  // The Netscape line that expires `key` in the engine.
  static std::string expiryLine(const Key& key);

 private:
  struct Entry;
  using Entries = std::list<Entry>;
  struct Domain {
    std::list<Entries::iterator> entries;  // most recently set first
  };
  struct Entry {
    Key key;
    std::string state;         // value, expiry and flags: a change is a cookie set again
    std::uint64_t listed = 0;  // the reading of the engine's list that last held it
    std::list<Entries::iterator>::iterator inDomain;
  };

  static std::string identity(const Key& key);
  std::vector<Key> reconcile(const std::vector<HTTPCookie>& jar, const Head& head, bool failed);
  void touch(const Key& key, std::string state);
  void erase(Entries::iterator entry);

  std::size_t perDomain_;
  std::size_t total_;
  std::uint64_t readings_ = 0;
  Entries entries_;  // most recently set first
  std::unordered_map<std::string, Entries::iterator> byIdentity_;
  std::unordered_map<std::string, Domain> domains_;
};

}  // namespace platform
