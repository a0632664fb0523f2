#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace platform {

// Which cookies the engine holds and when each was last set, so that the jar can be kept within
// a bound per domain and in all, the least recently set going first. It learns of cookies only
// from the response heads the sessions see, so its work per head is the cookies of that head,
// never the jar: the engine itself is asked for nothing.
//
// It may know of a cookie the engine refused (a "phantom"), never the other way round: when in
// doubt whether the engine took a cookie, it counts it, so the jar can only be smaller than the
// bounds say. A phantom costs its place and, when it goes, a harmless expiry of nothing.
class HTTPCookieIndex {
 public:
  // The origin of a response, as the engine judges its cookies.
  struct Origin {
    std::string host;  // lower case, without brackets
    std::string path;  // the request's path, without the query
    bool secureContext = false;
  };

  // A cookie's identity in the engine: name, domain and path compare without regard to case.
  struct Key {
    std::string name;    // lower case
    std::string domain;  // lower case, no leading dot
    bool hostOnly = true;
    std::string path;  // lower case, without a trailing slash (except "/")

    bool operator==(const Key&) const = default;
  };

  // What one "Set-Cookie" field of a head asks for.
  struct SetCookie {
    Key key;
    bool secure = false;
    bool deletes = false;  // already expired: the engine removes rather than keeps
  };

  HTTPCookieIndex(std::size_t perDomain, std::size_t total)
      : perDomain_(perDomain), total_(total) {}

  // Whether any of a head's lines is a "Set-Cookie" field: most heads set none, and need no
  // origin worked out for them.
  static bool setsCookies(const std::vector<std::string>& headLines);

  // The cookies a head's lines set that the engine may have taken, in order: at most as many as
  // it takes from one response, counted as it counts them.
  std::vector<SetCookie> cookiesOf(const std::vector<std::string>& headLines,
                                   const Origin& origin) const;

  // Records what a finished head set as used now. Returns the cookies that now fall outside the
  // bounds, which the caller expires in the engine.
  std::vector<Key> recordSet(const std::vector<SetCookie>& cookies);

  // What a failed head set, to expire in the engine: of its cookies, those the engine surely
  // took and may drop without touching a secure cookie the origin could not have replaced.
  // Those are forgotten; the rest are recorded as set.
  std::vector<Key> takeBack(const std::vector<SetCookie>& cookies, bool secureContext);

  std::size_t size() const { return entries_.size(); }
  std::size_t sizeOfDomain(const std::string& domain) const;

  // The Netscape line that expires `key` in the engine.
  static std::string expiryLine(const Key& key);

  // As many cookies as the engine takes from one response.
  static constexpr std::size_t kCookiesPerResponse = 50;

 private:
  struct Entry;
  using Entries = std::list<Entry>;
  struct Domain {
    std::list<Entries::iterator> entries;  // most recently set first
  };
  struct Entry {
    Key key;
    bool secure = false;
    std::list<Entries::iterator>::iterator inDomain;
  };

  static std::string identity(const Key& key);
  void touch(const SetCookie& cookie);
  void erase(Entries::iterator entry);

  std::size_t perDomain_;
  std::size_t total_;
  Entries entries_;  // most recently set first
  std::unordered_map<std::string, Entries::iterator> byIdentity_;
  std::unordered_map<std::string, Domain> domains_;
  // How many secure cookies of each name are held: an origin that is not secure cannot replace
  // them, so its cookies of that name may not have been taken.
  std::unordered_map<std::string, std::size_t> secureNames_;
};

}  // namespace platform
