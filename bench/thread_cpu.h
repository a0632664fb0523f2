#pragma once

// CPU time of this process, thread by thread, and of the display servers it started (X servers,
// or a compositor with its media server), from /proc. Used by the frame benchmark to say what the
// road costs the machine over a measuring window.

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace bench {

struct TaskTime {
  std::string name;
  double seconds = 0;
};

// Name and user+system seconds from a /proc .../stat file; false when it cannot be read.
inline bool readStat(const std::string& path, TaskTime& out, long* parent = nullptr) {
  std::ifstream file(path);
  std::string line;
  if (!std::getline(file, line)) return false;
  const auto open = line.find('(');
  const auto close = line.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return false;
  out.name = line.substr(open + 1, close - open - 1);
  // After the name: state(3) ppid(4) ... utime(14) stime(15), counted from the pid as 1.
  std::istringstream rest(line.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int index = 3; index <= 15 && rest >> field; ++index) {
    if (index == 4 && parent) *parent = std::stol(field);
    if (index == 14) utime = std::stol(field);
    if (index == 15) stime = std::stol(field);
  }
  out.seconds = double(utime + stime) / double(sysconf(_SC_CLK_TCK));
  return true;
}

struct CpuSnapshot {
  double process = 0;                // the whole process, from getrusage
  std::map<long, TaskTime> threads;  // by thread id
  double children = 0;               // child display servers, by /proc
};

inline CpuSnapshot takeCpuSnapshot() {
  CpuSnapshot snapshot;
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  snapshot.process = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(tasks)) {
      if (entry->d_name[0] == '.') continue;
      TaskTime time;
      if (readStat(std::string("/proc/self/task/") + entry->d_name + "/stat", time)) {
        snapshot.threads[std::stol(entry->d_name)] = time;
      }
    }
    closedir(tasks);
  }
  const long self = long(getpid());
  if (DIR* processes = opendir("/proc")) {
    while (dirent* entry = readdir(processes)) {
      if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
      TaskTime time;
      long parent = 0;
      if (readStat(std::string("/proc/") + entry->d_name + "/stat", time, &parent) &&
          parent == self &&
          (time.name == "Xvfb" || time.name == "sway" || time.name == "mutter" ||
           time.name == "pipewire")) {
        snapshot.children += time.seconds;
      }
    }
    closedir(processes);
  }
  return snapshot;
}

// Seconds each thread spent between two snapshots, summed by `roleOf(name, isMain)`. A thread
// that ended inside the window is missing from the second snapshot; what it spent shows only in
// the process's total.
template <class RoleOf>
std::map<std::string, double> secondsByRole(const CpuSnapshot& before, const CpuSnapshot& after,
                                            RoleOf&& roleOf) {
  std::map<std::string, double> roles;
  const long self = long(getpid());
  for (const auto& [id, time] : after.threads) {
    const auto earlier = before.threads.find(id);
    const double spent =
        time.seconds - (earlier != before.threads.end() ? earlier->second.seconds : 0);
    roles[roleOf(time.name, id == self)] += spent;
  }
  return roles;
}

}  // namespace bench
