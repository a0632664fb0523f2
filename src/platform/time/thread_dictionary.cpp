#include "platform/time/thread_dictionary.h"

namespace platform {

std::map<std::string, std::any>& ThreadDictionary::current() {
  thread_local std::map<std::string, std::any> dictionary;
  return dictionary;
}

}  // namespace platform
