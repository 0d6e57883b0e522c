#include "link/board_links.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace porten {

namespace {

// Why dir may not be used, or "" when it is ours and private.
std::string Unsafe(const std::string& dir, const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return dir + " is a symbolic link; remove it and try again";
  if (!S_ISDIR(st.st_mode)) return dir + " exists and is not a directory";
  if (st.st_uid != ::geteuid()) return dir + " belongs to another user; remove it and try again";
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    return dir + " is writable by other users; run chmod 700 on it";
  }
  return "";
}

}  // namespace

std::string BoardLinkDir() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && runtime[0] == '/') return std::string(runtime) + "/porten";
  return "/tmp/porten-" + std::to_string(::geteuid());
}

std::string DefaultBoardLink() { return BoardLinkDir() + "/ttySIM0"; }

bool EnsureBoardLinkDir(const std::string& dir, std::string* error) {
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) {
    if (errno != ENOENT || ::mkdir(dir.c_str(), 0700) != 0) {
      *error = "cannot create " + dir + ": " + std::strerror(errno);
      return false;
    }
    // Whoever won a race for the name, look at what is there now.
    if (::lstat(dir.c_str(), &st) != 0) {
      *error = "cannot create " + dir + ": " + std::strerror(errno);
      return false;
    }
  }
  *error = Unsafe(dir, st);
  return error->empty();
}

std::vector<std::string> ListBoardLinks(const std::string& dir) {
  std::vector<std::string> links;
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0 || !Unsafe(dir, st).empty()) return links;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return links;
  while (dirent* e = ::readdir(d)) {
    const std::string path = dir + "/" + e->d_name;
    struct stat link {};
    struct stat target {};
    if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) continue;
    if (::stat(path.c_str(), &target) != 0 || !S_ISCHR(target.st_mode)) continue;  // stale
    links.push_back(path);
  }
  ::closedir(d);
  std::sort(links.begin(), links.end());
  return links;
}

}  // namespace porten
