// A PostgreSQL server of a test's own: a fresh cluster in a temporary
// directory, reached only on a Unix socket in that directory, stopped and
// removed afterwards. The server refuses to run as root, so under root
// (as in CI) initdb and pg_ctl run as the package's "postgres" user, who then
// owns the directory. Tests that need the server fail when it cannot start;
// they never skip.
#pragma once

#include <string>
#include <vector>

namespace porten::testing {

class PgServer {
 public:
  PgServer() = default;
  ~PgServer();
  PgServer(const PgServer&) = delete;
  PgServer& operator=(const PgServer&) = delete;

  // initdb and pg_ctl start -w; false with Error() (and the server's log).
  bool Start();
  // pg_ctl stop -w: the server is down when it returns true.
  bool Stop();
  // A libpq URI of the cluster's "postgres" database, empty at the start.
  std::string Uri() const { return Uri("postgres"); }
  // Makes a new, empty database; its URI, or "" with Error().
  std::string NewDatabase(const std::string& name);
  const std::string& Error() const { return error_; }

 private:
  std::string Uri(const std::string& database) const;
  bool Run(const std::string& what, const std::vector<std::string>& args);

  std::string bin_;  // /usr/lib/postgresql/NN/bin
  std::string dir_;
  bool running_ = false;
  std::string error_;
};

}  // namespace porten::testing
