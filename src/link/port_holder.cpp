#include "link/port_holder.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace porten {

namespace {

std::string ReadFirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string DescribePid(long pid, const std::string& procRoot) {
  std::string name = ReadFirstLine(procRoot + "/" + std::to_string(pid) + "/comm");
  return std::to_string(pid) + " (" + (name.empty() ? "?" : name) + ")";
}

bool IsNumber(const char* s) {
  if (*s == '\0') return false;
  for (; *s; ++s) {
    if (*s < '0' || *s > '9') return false;
  }
  return true;
}

}  // namespace

OpenFailure ClassifyOpenErrno(int err) {
  switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return OpenFailure::kNotFound;
    case EACCES:
    case EPERM:
      return OpenFailure::kPermission;
    case EBUSY:
      return OpenFailure::kBusy;
    default:
      return OpenFailure::kOther;
  }
}

std::string FindPortHolder(const std::string& path, const std::string& procRoot) {
  struct stat dev {};
  if (::stat(path.c_str(), &dev) != 0) return {};

  // flock holders: "1: FLOCK  ADVISORY  WRITE 4242 00:19:6 0 EOF".
  {
    std::ifstream locks(procRoot + "/locks");
    std::string line;
    while (std::getline(locks, line)) {
      std::istringstream in(line);
      std::string id, kind, mode, access, where;
      long pid = 0;
      if (!(in >> id >> kind)) continue;
      if (kind == "->") continue;  // a waiter, not a holder
      if (kind != "FLOCK" || !(in >> mode >> access >> pid >> where)) continue;
      unsigned maj = 0, min = 0;
      unsigned long ino = 0;
      if (std::sscanf(where.c_str(), "%x:%x:%lu", &maj, &min, &ino) != 3) continue;
      if (maj == major(dev.st_dev) && min == minor(dev.st_dev) && ino == dev.st_ino && pid > 0) {
        return DescribePid(pid, procRoot);
      }
    }
  }

  // Anyone with the device open.
  std::vector<long> others, self;
  const long ownPid = static_cast<long>(::getpid());
  if (DIR* procs = ::opendir(procRoot.c_str())) {
    while (dirent* p = ::readdir(procs)) {
      if (!IsNumber(p->d_name)) continue;
      std::string fdDir = procRoot + "/" + p->d_name + "/fd";
      DIR* fds = ::opendir(fdDir.c_str());
      if (!fds) continue;
      bool found = false;
      while (dirent* f = ::readdir(fds)) {
        if (!IsNumber(f->d_name)) continue;
        struct stat st {};
        if (::stat((fdDir + "/" + f->d_name).c_str(), &st) != 0) continue;
        bool sameDevice = S_ISCHR(dev.st_mode) ? (S_ISCHR(st.st_mode) && st.st_rdev == dev.st_rdev)
                                               : (st.st_dev == dev.st_dev && st.st_ino == dev.st_ino);
        if (sameDevice) {
          found = true;
          break;
        }
      }
      ::closedir(fds);
      if (found) {
        long pid = std::strtol(p->d_name, nullptr, 10);
        (pid == ownPid ? self : others).push_back(pid);
      }
    }
    ::closedir(procs);
  }
  std::sort(others.begin(), others.end());
  others.insert(others.end(), self.begin(), self.end());
  std::string out;
  for (size_t i = 0; i < others.size() && i < 3; ++i) {
    if (!out.empty()) out += ", ";
    out += DescribePid(others[i], procRoot);
  }
  return out;
}

}  // namespace porten
