#include "hooks/process_tree.h"

#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace skyloom {
namespace {

struct ProcessState {
  pid_t parent = 0;
  char state = '?';
};

// Every process this one may see, by pid, from /proc/PID/stat.
std::map<pid_t, ProcessState> Processes() {
  std::map<pid_t, ProcessState> processes;
  DIR* proc = ::opendir("/proc");
  if (!proc) return processes;
  while (const dirent* entry = ::readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    const std::string path = "/proc/" + std::string(entry->d_name) + "/stat";
    std::FILE* file = std::fopen(path.c_str(), "re");
    if (!file) continue;
    char text[512] = {};
    const std::size_t read = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    // "PID (NAME) STATE PPID …"; the name may hold blanks and parentheses.
    const std::string stat(text, read);
    const std::size_t close = stat.rfind(')');
    ProcessState state;
    if (close == std::string::npos ||
        std::sscanf(stat.c_str() + close + 1, " %c %d", &state.state, &state.parent) != 2) {
      continue;
    }
    processes[pid] = state;
  }
  ::closedir(proc);
  return processes;
}

}  // namespace

void AdoptOrphans() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }

void KillDescendants(pid_t shell) {
  const pid_t self = ::getpid();
  // Each round kills what the last one found; a process that forked meanwhile has its child
  // found in the next, since an orphan comes to us rather than to init.
  for (int round = 0; round < 500; ++round) {
    const std::map<pid_t, ProcessState> processes = Processes();
    std::multimap<pid_t, pid_t> children;
    for (const auto& [pid, state] : processes) children.emplace(state.parent, pid);
    bool alive = false;
    std::vector<pid_t> below{self};
    for (std::size_t i = 0; i < below.size(); ++i) {
      const auto [from, to] = children.equal_range(below[i]);
      for (auto child = from; child != to; ++child) below.push_back(child->second);
    }
    for (std::size_t i = 1; i < below.size(); ++i) {
      const pid_t pid = below[i];
      const ProcessState& state = processes.at(pid);
      if (state.state != 'Z') {
        ::kill(pid, SIGKILL);
        alive = true;
      } else if (state.parent == self && pid != shell) {
        ::waitpid(pid, nullptr, WNOHANG);
      }
    }
    if (!alive) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace skyloom
