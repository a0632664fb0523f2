#pragma once

#include <any>
#include <map>
#include <string>

namespace platform {

// The calling thread's own dictionary of objects, as the platform's thread object carries one.
// It lives as long as the thread; its entries are released when the thread ends.
class ThreadDictionary {
 public:
  static std::map<std::string, std::any>& current();
};

}  // namespace platform
