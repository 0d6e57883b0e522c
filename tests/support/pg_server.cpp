#include "support/pg_server.h"

#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

extern char** environ;

namespace porten::testing {

namespace {

// The newest installed server version's binaries, e.g. /usr/lib/postgresql/15/bin.
std::string FindBinaries() {
  std::string best;
  int bestVersion = -1;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
    const int v = std::atoi(entry.path().filename().c_str());
    if (v > bestVersion && std::filesystem::exists(entry.path() / "bin" / "pg_ctl")) {
      bestVersion = v;
      best = (entry.path() / "bin").string();
    }
  }
  return best;
}

std::string Tail(const std::string& path) {
  std::ifstream in(path);
  const std::string all(std::istreambuf_iterator<char>(in), {});
  return all.size() > 2000 ? all.substr(all.size() - 2000) : all;
}

}  // namespace

PgServer::~PgServer() {
  Stop();
  if (!dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

bool PgServer::Run(const std::string& what, const std::vector<std::string>& args) {
  std::vector<std::string> full;
  if (::geteuid() == 0) full = {"/usr/sbin/runuser", "-u", "postgres", "--"};
  full.push_back(bin_ + "/" + args[0]);
  full.insert(full.end(), args.begin() + 1, args.end());
  std::vector<char*> argv;
  for (auto& a : full) argv.push_back(a.data());
  argv.push_back(nullptr);
  // Its output goes to a file, never to a pipe that we would wait to close:
  // the server that pg_ctl starts keeps what it inherits.
  const std::string log = dir_ + "/" + what + ".out";
  posix_spawn_file_actions_t io;
  posix_spawn_file_actions_init(&io);
  posix_spawn_file_actions_addopen(&io, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&io, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&io, 1, 2);
  posix_spawn_file_actions_addchdir_np(&io, dir_.c_str());
  pid_t child = 0;
  const int rc = posix_spawn(&child, argv[0], &io, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&io);
  int status = 0;
  if (rc != 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    error_ = what + " failed:\n" + Tail(log) + Tail(dir_ + "/server.log");
    return false;
  }
  return true;
}

bool PgServer::Start() {
  bin_ = FindBinaries();
  if (bin_.empty()) {
    error_ = "no PostgreSQL server in /usr/lib/postgresql/*/bin (install the package postgresql)";
    return false;
  }
  char pattern[] = "/tmp/porten-pg.XXXXXX";
  if (!::mkdtemp(pattern)) {
    error_ = "cannot make a temporary directory";
    return false;
  }
  dir_ = pattern;
  if (::geteuid() == 0) {
    const passwd* pg = ::getpwnam("postgres");
    if (!pg || ::chown(dir_.c_str(), pg->pw_uid, pg->pw_gid) != 0) {
      error_ = "no user postgres to run the server as (install the package postgresql)";
      return false;
    }
  }
  // Only the socket in our directory: no TCP port to collide with anything.
  running_ = Run("initdb", {"initdb", "-D", dir_ + "/data", "-A", "trust", "-U", "porten", "-E", "UTF8",
                            "--locale=C", "--no-sync"}) &&
             Run("pg_ctl", {"pg_ctl", "start", "-w", "-t", "60", "-D", dir_ + "/data", "-l",
                            dir_ + "/server.log", "-o", "-c listen_addresses= -k " + dir_});
  return running_;
}

bool PgServer::Stop() {
  if (!running_) return true;
  running_ = !Run("pg_ctl", {"pg_ctl", "stop", "-w", "-t", "60", "-m", "fast", "-D", dir_ + "/data"});
  return !running_;
}

std::string PgServer::Uri(const std::string& database) const {
  return "postgresql:///" + database + "?host=" + dir_ + "&user=porten";
}

std::string PgServer::NewDatabase(const std::string& name) {
  return Run("createdb", {"createdb", "-h", dir_, "-U", "porten", name}) ? Uri(name) : "";
}

}  // namespace porten::testing
