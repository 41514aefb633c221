#include "server/PgStore.h"

#include <libpq-fe.h>

#include <cstdlib>
#include <initializer_list>
#include <utility>

#include "server/Passwords.h"
#include "server/Text.h"

namespace dialvo::server {

namespace {

// Each entry moves the schema one version up; a database written by a newer
// service (more versions than listed) is left alone.
constexpr const char* kMigrations[] = {
    R"sql(
CREATE TABLE users(
  id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  name text NOT NULL,
  name_key text COLLATE "C" NOT NULL UNIQUE,
  password_hash text NOT NULL,
  created_ms bigint NOT NULL);
CREATE TABLE buddies(
  user_id bigint NOT NULL REFERENCES users(id) ON DELETE CASCADE,
  position integer NOT NULL,
  name text NOT NULL,
  PRIMARY KEY(user_id, position));
-- Commits that touch only this table write no WAL and do not wait for a flush.
CREATE UNLOGGED TABLE logins(
  user_id bigint PRIMARY KEY REFERENCES users(id) ON DELETE CASCADE,
  instance_guid text NOT NULL,
  replaced_guid text NOT NULL DEFAULT '',
  address text NOT NULL,
  ip_type integer NOT NULL,
  listening_port integer NOT NULL,
  version integer NOT NULL,
  source_ip text NOT NULL,
  started_ms bigint NOT NULL,
  last_seen_ms bigint NOT NULL,
  started_at timestamptz NOT NULL,
  seen_at timestamptz NOT NULL);
CREATE INDEX logins_by_last_seen ON logins(last_seen_ms);
CREATE INDEX logins_by_seen_at ON logins(seen_at);
CREATE TABLE call_sessions(
  id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  conference_guid text NOT NULL UNIQUE,
  started_ms bigint NOT NULL);
CREATE TABLE call_reports(
  session_id bigint NOT NULL REFERENCES call_sessions(id) ON DELETE CASCADE,
  reporter_id bigint NOT NULL REFERENCES users(id) ON DELETE CASCADE,
  last_report_ms bigint NOT NULL,
  recorded boolean NOT NULL,
  PRIMARY KEY(session_id, reporter_id));
CREATE INDEX call_reports_by_reporter ON call_reports(reporter_id, last_report_ms);
CREATE TABLE call_participants(
  session_id bigint NOT NULL,
  reporter_id bigint NOT NULL,
  position integer NOT NULL,
  name text NOT NULL,
  minutes bigint NOT NULL,
  avg_delay_ms bigint NOT NULL,
  PRIMARY KEY(session_id, reporter_id, position),
  FOREIGN KEY(session_id, reporter_id) REFERENCES call_reports(session_id, reporter_id)
    ON DELETE CASCADE);
CREATE TABLE feedback(
  id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  user_id bigint REFERENCES users(id) ON DELETE SET NULL,
  created_ms bigint NOT NULL,
  text text NOT NULL);
)sql",
    R"sql(
CREATE TABLE secrets(
  name text PRIMARY KEY,
  value text NOT NULL);
)sql",
};
constexpr int kSchemaVersion = static_cast<int>(std::size(kMigrations));

// The database's time: its clock, or the one parameter $n gives (0: none).
std::string DbNow(int n) {
  const std::string p = "$" + std::to_string(n) + "::bigint";
  return "(CASE WHEN " + p + " = 0 THEN now() ELSE to_timestamp(" + p + " / 1000.0) END)";
}

// Escapes LIKE's own wildcards so that the fragment matches as written.
std::string LikePrefix(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '%' || c == '_' || c == '\\') out += '\\';
    out += c;
  }
  return out + '%';
}

// A text[] literal.
std::string TextArray(const std::vector<std::string>& items) {
  std::string out = "{";
  for (const auto& item : items) {
    if (out.size() > 1) out += ',';
    out += '"';
    for (char c : item) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    out += '"';
  }
  return out + "}";
}

}  // namespace

struct PgStore::Connection {
  PGconn* conn = nullptr;
  ~Connection() { PQfinish(conn); }
};

namespace {

using Connection = PgStore::Connection;

// One statement's result; text format throughout.
class Result {
 public:
  explicit Result(PGresult* result) : result_(result) {}
  ~Result() { PQclear(result_); }
  Result(Result&& other) noexcept : result_(std::exchange(other.result_, nullptr)) {}
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  Result& operator=(Result&&) = delete;

  bool Ok() const {
    const auto status = PQresultStatus(result_);
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
  }
  int Rows() const { return PQntuples(result_); }
  std::string Text(int row, int column) const {
    return {PQgetvalue(result_, row, column),
            static_cast<size_t>(PQgetlength(result_, row, column))};
  }
  int64_t Int(int row, int column) const {
    return std::strtoll(PQgetvalue(result_, row, column), nullptr, 10);
  }
  bool Bool(int row, int column) const { return PQgetvalue(result_, row, column)[0] == 't'; }
  int64_t Changed() const { return std::strtoll(PQcmdTuples(result_), nullptr, 10); }
  std::string Error() const {
    return result_ == nullptr ? "out of memory" : PQresultErrorMessage(result_);
  }

 private:
  PGresult* result_;
};

Result Exec(Connection& c, const char* sql, std::initializer_list<std::string> params = {}) {
  std::vector<const char*> values;
  values.reserve(params.size());
  for (const auto& param : params) values.push_back(param.c_str());
  return Result(PQexecParams(c.conn, sql, static_cast<int>(values.size()), nullptr, values.data(),
                             nullptr, nullptr, 0));
}

Result Exec(Connection& c, const std::string& sql, std::initializer_list<std::string> params = {}) {
  return Exec(c, sql.c_str(), params);
}

// BEGIN ... COMMIT; rolls back unless committed.
class Transaction {
 public:
  explicit Transaction(Connection& connection)
      : connection_(connection), open_(Exec(connection, "BEGIN").Ok()) {}
  ~Transaction() {
    if (open_) Exec(connection_, "ROLLBACK");
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  bool Open() const { return open_; }
  bool Commit() {
    if (!open_ || !Exec(connection_, "COMMIT").Ok()) return false;
    open_ = false;
    return true;
  }

 private:
  Connection& connection_;
  bool open_;
};

// libpq's messages on one line.
std::string OneLine(std::string text) {
  for (char& c : text) c = (c == '\n' || c == '\t') ? ' ' : c;
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::unique_ptr<Connection> Connect(const std::string& conninfo, std::string& error) {
  auto connection = std::make_unique<Connection>();
  connection->conn = PQconnectdb(conninfo.c_str());
  if (connection->conn == nullptr || PQstatus(connection->conn) != CONNECTION_OK) {
    error =
        connection->conn == nullptr ? "out of memory" : OneLine(PQerrorMessage(connection->conn));
    return nullptr;
  }
  // Notices ("already exists, skipping") are no news to anybody.
  PQsetNoticeProcessor(
      connection->conn, [](void*, const char*) {}, nullptr);
  return connection;
}

// Columns: user_id, name, instance_guid, address, ip_type, listening_port,
// version, source_ip, then the two times.
LoginRecord ReadLogin(const Result& r, int row) {
  LoginRecord login;
  login.userId = r.Int(row, 0);
  login.userName = r.Text(row, 1);
  login.instanceGuid = r.Text(row, 2);
  login.address = r.Text(row, 3);
  login.ipType = static_cast<int>(r.Int(row, 4));
  login.listeningPort = static_cast<int>(r.Int(row, 5));
  login.version = static_cast<int>(r.Int(row, 6));
  login.sourceIp = r.Text(row, 7);
  login.startedMs = r.Int(row, 8);
  login.lastSeenMs = r.Int(row, 9);
  return login;
}

constexpr const char* kLoginColumns =
    "SELECT l.user_id, u.name, l.instance_guid, l.address, l.ip_type, l.listening_port,"
    " l.version, l.source_ip, ";

}  // namespace

bool IsPostgresUrl(std::string_view db) {
  return db.starts_with("postgresql://") || db.starts_with("postgres://");
}

// A connection borrowed from the pool for the length of one operation; one
// that broke (the database restarted) is dropped rather than returned.
class PgStore::Lease {
 public:
  explicit Lease(PgStore& store) : store_(store), connection_(store.Acquire()) {}
  ~Lease() {
    if (connection_ && PQstatus(connection_->conn) == CONNECTION_OK &&
        PQtransactionStatus(connection_->conn) == PQTRANS_IDLE) {
      store_.Release(std::move(connection_));
    }
  }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  explicit operator bool() const { return connection_ != nullptr; }
  Connection& operator*() { return *connection_; }

 private:
  PgStore& store_;
  std::unique_ptr<Connection> connection_;
};

std::unique_ptr<PgStore> PgStore::Open(const std::string& conninfo, std::string& error,
                                       PgStoreOptions options) {
  std::unique_ptr<PgStore> store(new PgStore(conninfo, std::move(options)));
  auto connection = Connect(conninfo, error);
  if (!connection) {
    error = "cannot connect to the database: " + error;
    return nullptr;
  }
  // Several processes may start at once: one migrates, the others wait.
  Transaction tx(*connection);
  const auto fail = [&error](const std::string& what, const Result& r) {
    error = what + ": " + OneLine(r.Error());
  };
  Result setup(PQexec(connection->conn,
                      "SELECT pg_advisory_xact_lock(hashtext('dialvo schema')::bigint);"
                      "CREATE TABLE IF NOT EXISTS dialvo_schema(version integer NOT NULL)"));
  if (!tx.Open() || !setup.Ok()) {
    fail("cannot read the schema version", setup);
    return nullptr;
  }
  Result read = Exec(*connection, "SELECT coalesce(max(version), 0) FROM dialvo_schema");
  if (!read.Ok() || read.Rows() != 1) {
    fail("cannot read the schema version", read);
    return nullptr;
  }
  const int64_t version = read.Int(0, 0);
  if (version > kSchemaVersion) {
    error = "the database was written by a newer dialvo-server (schema " + std::to_string(version) +
            ")";
    return nullptr;
  }
  for (int64_t v = version; v < kSchemaVersion; ++v) {
    Result step(PQexec(connection->conn, kMigrations[v]));
    if (!step.Ok()) {
      fail("cannot create the tables", step);
      return nullptr;
    }
  }
  const std::string record = "DELETE FROM dialvo_schema; INSERT INTO dialvo_schema VALUES(" +
                             std::to_string(kSchemaVersion) + ")";
  Result mark(PQexec(connection->conn, record.c_str()));
  if (!mark.Ok() || !tx.Commit()) {
    fail("cannot record the schema version", mark);
    return nullptr;
  }
  store->Release(std::move(connection));
  return store;
}

PgStore::PgStore(std::string conninfo, PgStoreOptions options)
    : conninfo_(std::move(conninfo)),
      options_(std::move(options)),
      users_(options_.userCacheMs, options_.userCacheCapacity,
             options_.clockMs ? options_.clockMs : SystemWallClock()) {}

PgStore::~PgStore() = default;

std::unique_ptr<PgStore::Connection> PgStore::Acquire() {
  {
    std::lock_guard lock(poolMutex_);
    if (!idle_.empty()) {
      auto connection = std::move(idle_.back());
      idle_.pop_back();
      return connection;
    }
  }
  std::string error;
  return Connect(conninfo_, error);
}

void PgStore::Release(std::unique_ptr<Connection> connection) {
  std::lock_guard lock(poolMutex_);
  idle_.push_back(std::move(connection));
}

std::string PgStore::DatabaseNow() const {
  return std::to_string(options_.databaseClockMs ? options_.databaseClockMs() : 0);
}

StoreStatus PgStore::AddUser(std::string_view name, std::string_view passwordHash, int64_t nowMs) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  const Result r =
      Exec(*c,
           "INSERT INTO users(name, name_key, password_hash, created_ms)"
           " VALUES($1, $2, $3, $4) ON CONFLICT(name_key) DO NOTHING",
           {std::string(name), AsciiLower(name), std::string(passwordHash), Ms(nowMs)});
  if (!r.Ok()) return StoreStatus::kFailed;
  return r.Changed() == 1 ? StoreStatus::kOk : StoreStatus::kExists;
}

StoreStatus PgStore::DeleteUser(std::string_view name) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  const std::string key = AsciiLower(name);
  const Result r = Exec(*c, "DELETE FROM users WHERE name_key = $1", {key});
  users_.Forget(key);
  if (!r.Ok()) return StoreStatus::kFailed;
  return r.Changed() == 1 ? StoreStatus::kOk : StoreStatus::kNotFound;
}

StoreStatus PgStore::FindUser(std::string_view name, UserRecord& out) {
  const std::string key = AsciiLower(name);
  if (users_.Find(key, out)) return StoreStatus::kOk;
  const uint64_t ticket = users_.Ticket();
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  const Result r =
      Exec(*c, "SELECT id, name, password_hash, created_ms FROM users WHERE name_key = $1", {key});
  if (!r.Ok()) return StoreStatus::kFailed;
  if (r.Rows() == 0) return StoreStatus::kNotFound;
  out.id = r.Int(0, 0);
  out.name = r.Text(0, 1);
  out.passwordHash = r.Text(0, 2);
  out.createdMs = r.Int(0, 3);
  users_.Put(key, out, ticket);
  return StoreStatus::kOk;
}

StoreStatus PgStore::SetPasswordHash(int64_t userId, std::string_view passwordHash) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  const Result r = Exec(*c, "UPDATE users SET password_hash = $2 WHERE id = $1",
                        {Ms(userId), std::string(passwordHash)});
  users_.Clear();  // found by name, changed by id; changes are rare
  if (!r.Ok()) return StoreStatus::kFailed;
  return r.Changed() == 1 ? StoreStatus::kOk : StoreStatus::kNotFound;
}

StoreStatus PgStore::ListUsers(std::vector<std::string>& names) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  names.clear();
  const Result r = Exec(*c, "SELECT name FROM users ORDER BY name_key");
  if (!r.Ok()) return StoreStatus::kFailed;
  for (int i = 0; i < r.Rows(); ++i) names.push_back(r.Text(i, 0));
  return StoreStatus::kOk;
}

StoreStatus PgStore::SearchUsers(std::string_view fragment, size_t limit,
                                 std::vector<std::string>& names) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  names.clear();
  // A left-anchored pattern on a "C" column: a range on the unique index.
  const Result r = Exec(*c,
                        "SELECT name FROM users WHERE name_key LIKE $1 ESCAPE '\\'"
                        " ORDER BY name_key LIMIT $2",
                        {LikePrefix(AsciiLower(fragment)), std::to_string(limit)});
  if (!r.Ok()) return StoreStatus::kFailed;
  for (int i = 0; i < r.Rows(); ++i) names.push_back(r.Text(i, 0));
  return StoreStatus::kOk;
}

StoreStatus PgStore::GetBuddyList(int64_t userId, std::vector<std::string>& names) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  names.clear();
  const Result r =
      Exec(*c, "SELECT name FROM buddies WHERE user_id = $1 ORDER BY position", {Ms(userId)});
  if (!r.Ok()) return StoreStatus::kFailed;
  for (int i = 0; i < r.Rows(); ++i) names.push_back(r.Text(i, 0));
  return StoreStatus::kOk;
}

StoreStatus PgStore::SetBuddyList(int64_t userId, const std::vector<std::string>& names) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  Transaction tx(*c);
  // The user's row lock makes two processes replacing one list take turns.
  if (!tx.Open() ||
      !Exec(*c, "SELECT 1 FROM users WHERE id = $1 FOR NO KEY UPDATE", {Ms(userId)}).Ok() ||
      !Exec(*c, "DELETE FROM buddies WHERE user_id = $1", {Ms(userId)}).Ok() ||
      !Exec(*c,
            "INSERT INTO buddies(user_id, position, name) SELECT $1, ord - 1, n"
            " FROM unnest($2::text[]) WITH ORDINALITY AS t(n, ord)",
            {Ms(userId), TextArray(names)})
           .Ok()) {
    return StoreStatus::kFailed;
  }
  return tx.Commit() ? StoreStatus::kOk : StoreStatus::kFailed;
}

StoreStatus PgStore::SaveLogin(const LoginRecord& login) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  const int64_t now = options_.clockMs ? options_.clockMs() : SystemWallClock()();
  const std::string db = DbNow(10);
  const Result r = Exec(
      *c,
      "INSERT INTO logins(user_id, instance_guid, address, ip_type, listening_port, version,"
      " source_ip, started_ms, last_seen_ms, started_at, seen_at) VALUES($1, $2, $3, $4, $5, $6,"
      " $7, $8, $9, " +
          db + " - ($11::bigint - $8::bigint) * interval '1 ms', " + db +
          " - ($11::bigint - $9::bigint) * interval '1 ms') ON CONFLICT(user_id) DO UPDATE SET"
          " replaced_guid = CASE WHEN logins.instance_guid = excluded.instance_guid"
          " THEN logins.replaced_guid ELSE logins.instance_guid END,"
          " instance_guid = excluded.instance_guid, address = excluded.address,"
          " ip_type = excluded.ip_type, listening_port = excluded.listening_port,"
          " version = excluded.version, source_ip = excluded.source_ip,"
          " started_ms = excluded.started_ms, last_seen_ms = excluded.last_seen_ms,"
          " started_at = excluded.started_at, seen_at = excluded.seen_at",
      {Ms(login.userId), login.instanceGuid, login.address, Ms(login.ipType),
       Ms(login.listeningPort), Ms(login.version), login.sourceIp, Ms(login.startedMs),
       Ms(login.lastSeenMs), DatabaseNow(), Ms(now)});
  return r.Ok() ? StoreStatus::kOk : StoreStatus::kFailed;
}

StoreStatus PgStore::TouchLogin(int64_t userId, std::string_view instanceGuid, int64_t lastSeenMs) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  const int64_t now = options_.clockMs ? options_.clockMs() : SystemWallClock()();
  // Another process may have written a later time meanwhile: never go back.
  const Result r =
      Exec(*c,
           "WITH touched AS (UPDATE logins SET last_seen_ms = $3, seen_at = greatest(seen_at, " +
               DbNow(4) +
               " - ($5::bigint - $3::bigint) * interval '1 ms') WHERE user_id = $1 AND "
               "instance_guid = $2"
               " RETURNING 1) SELECT (SELECT count(*) FROM touched),"
               " (SELECT count(*) FROM logins WHERE user_id = $1)",
           {Ms(userId), std::string(instanceGuid), Ms(lastSeenMs), DatabaseNow(), Ms(now)});
  if (!r.Ok() || r.Rows() != 1) return StoreStatus::kFailed;
  if (r.Int(0, 0) > 0) return StoreStatus::kOk;
  return r.Int(0, 1) > 0 ? StoreStatus::kExists : StoreStatus::kNotFound;
}

StoreStatus PgStore::DeleteLogin(int64_t userId, std::string_view instanceGuid) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  const Result r = Exec(*c, "DELETE FROM logins WHERE user_id = $1 AND instance_guid = $2",
                        {Ms(userId), std::string(instanceGuid)});
  if (!r.Ok()) return StoreStatus::kFailed;
  return r.Changed() == 1 ? StoreStatus::kOk : StoreStatus::kNotFound;
}

StoreStatus PgStore::LoadLogins(int64_t seenSinceMs, std::vector<LoginRecord>& logins) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  logins.clear();
  const Result r = Exec(*c,
                        std::string(kLoginColumns) +
                            "l.started_ms, l.last_seen_ms FROM logins l JOIN users u"
                            " ON u.id = l.user_id WHERE l.last_seen_ms >= $1",
                        {Ms(seenSinceMs)});
  if (!r.Ok()) return StoreStatus::kFailed;
  for (int i = 0; i < r.Rows(); ++i) logins.push_back(ReadLogin(r, i));
  return StoreStatus::kOk;
}

StoreStatus PgStore::DeleteLoginsSeenBefore(int64_t ms) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  return Exec(*c, "DELETE FROM logins WHERE last_seen_ms < $1", {Ms(ms)}).Ok()
             ? StoreStatus::kOk
             : StoreStatus::kFailed;
}

StoreStatus PgStore::LiveLogins(int64_t lifetimeMs, int64_t nowMs,
                                std::vector<LoginRecord>& logins) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  logins.clear();
  const std::string db = DbNow(1);
  const Result r =
      Exec(*c,
           std::string(kLoginColumns) + "$3::bigint - (extract(epoch FROM " + db +
               " - l.started_at) * 1000)::bigint, $3::bigint - (extract(epoch FROM " + db +
               " - l.seen_at) * 1000)::bigint FROM logins l JOIN users u"
               " ON u.id = l.user_id WHERE l.seen_at >= " +
               db + " - $2::bigint * interval '1 ms'",
           {DatabaseNow(), Ms(lifetimeMs), Ms(nowMs)});
  if (!r.Ok()) return StoreStatus::kFailed;
  for (int i = 0; i < r.Rows(); ++i) logins.push_back(ReadLogin(r, i));
  return StoreStatus::kOk;
}

StoreStatus PgStore::LiveLogin(int64_t userId, int64_t lifetimeMs, int64_t nowMs,
                               LoginRecord& login, std::string& replacedInstance) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  const std::string db = DbNow(1);
  const Result r =
      Exec(*c,
           std::string(kLoginColumns) + "$3::bigint - (extract(epoch FROM " + db +
               " - l.started_at) * 1000)::bigint, $3::bigint - (extract(epoch FROM " + db +
               " - l.seen_at) * 1000)::bigint, l.replaced_guid FROM logins l"
               " JOIN users u ON u.id = l.user_id WHERE l.user_id = $4 AND l.seen_at >= " +
               db + " - $2::bigint * interval '1 ms'",
           {DatabaseNow(), Ms(lifetimeMs), Ms(nowMs), Ms(userId)});
  if (!r.Ok()) return StoreStatus::kFailed;
  if (r.Rows() == 0) return StoreStatus::kNotFound;
  login = ReadLogin(r, 0);
  replacedInstance = r.Text(0, 10);
  return StoreStatus::kOk;
}

StoreStatus PgStore::DeleteExpiredLogins(int64_t lifetimeMs) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  return Exec(*c,
              "DELETE FROM logins WHERE seen_at < " + DbNow(1) + " - $2::bigint * interval '1 ms'",
              {DatabaseNow(), Ms(lifetimeMs)})
                 .Ok()
             ? StoreStatus::kOk
             : StoreStatus::kFailed;
}

StoreStatus PgStore::ReportCall(std::string_view conferenceGuid, int64_t reporterId,
                                const std::vector<CallParticipant>& participants, bool recorded,
                                int64_t nowMs, int64_t& sessionId) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  Transaction tx(*c);
  if (!tx.Open()) return StoreStatus::kFailed;
  {
    // DO UPDATE (a no-op) rather than DO NOTHING, so that RETURNING gives the id.
    const Result session = Exec(*c,
                                "INSERT INTO call_sessions(conference_guid, started_ms)"
                                " VALUES($1, $2) ON CONFLICT(conference_guid) DO UPDATE SET"
                                " started_ms = call_sessions.started_ms RETURNING id",
                                {std::string(conferenceGuid), Ms(nowMs)});
    if (!session.Ok() || session.Rows() != 1) return StoreStatus::kFailed;
    sessionId = session.Int(0, 0);
  }
  const std::string session = Ms(sessionId);
  const std::string reporter = Ms(reporterId);
  std::vector<std::string> names;
  std::string minutes = "{";
  std::string delays = "{";
  for (const auto& p : participants) {
    names.push_back(p.name);
    minutes += (minutes.size() > 1 ? "," : "") + Ms(p.minutes);
    delays += (delays.size() > 1 ? "," : "") + Ms(p.avgDelayMs);
  }
  minutes += '}';
  delays += '}';
  if (!Exec(*c,
            "INSERT INTO call_reports(session_id, reporter_id, last_report_ms, recorded)"
            " VALUES($1, $2, $3, $4) ON CONFLICT(session_id, reporter_id) DO UPDATE SET"
            " last_report_ms = excluded.last_report_ms, recorded = excluded.recorded",
            {session, reporter, Ms(nowMs), recorded ? "true" : "false"})
           .Ok() ||
      !Exec(*c, "DELETE FROM call_participants WHERE session_id = $1 AND reporter_id = $2",
            {session, reporter})
           .Ok() ||
      !Exec(*c,
            "INSERT INTO call_participants(session_id, reporter_id, position, name, minutes,"
            " avg_delay_ms) SELECT $1, $2, ord - 1, n, m, d FROM unnest($3::text[],"
            " $4::bigint[], $5::bigint[]) WITH ORDINALITY AS t(n, m, d, ord)",
            {session, reporter, TextArray(names), minutes, delays})
           .Ok()) {
    return StoreStatus::kFailed;
  }
  // Each user keeps the newest reports only; sessions nobody reports on go too.
  const Result pruned = Exec(*c,
                             "DELETE FROM call_reports WHERE reporter_id = $1 AND session_id NOT"
                             " IN (SELECT session_id FROM call_reports WHERE reporter_id = $1"
                             " ORDER BY last_report_ms DESC, session_id DESC LIMIT $2)"
                             " RETURNING session_id",
                             {reporter, std::to_string(kMaxReportsPerUser)});
  if (!pruned.Ok()) return StoreStatus::kFailed;
  if (pruned.Rows() > 0) {
    std::string ids = "{";
    for (int i = 0; i < pruned.Rows(); ++i) ids += (i > 0 ? "," : "") + pruned.Text(i, 0);
    ids += '}';
    if (!Exec(*c,
              "DELETE FROM call_sessions s WHERE s.id = ANY($1::bigint[]) AND NOT EXISTS"
              " (SELECT 1 FROM call_reports r WHERE r.session_id = s.id)",
              {ids})
             .Ok()) {
      return StoreStatus::kFailed;
    }
  }
  return tx.Commit() ? StoreStatus::kOk : StoreStatus::kFailed;
}

StoreStatus PgStore::RecentCalls(int64_t reporterId, size_t limit,
                                 std::vector<CallSummary>& calls) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  calls.clear();
  const Result r = Exec(*c,
                        "SELECT r.session_id, s.started_ms, r.last_report_ms, r.recorded"
                        " FROM call_reports r JOIN call_sessions s ON s.id = r.session_id"
                        " WHERE r.reporter_id = $1"
                        " ORDER BY r.last_report_ms DESC, r.session_id DESC LIMIT $2",
                        {Ms(reporterId), std::to_string(limit)});
  if (!r.Ok()) return StoreStatus::kFailed;
  for (int i = 0; i < r.Rows(); ++i) {
    CallSummary call;
    call.sessionId = r.Int(i, 0);
    call.startedMs = r.Int(i, 1);
    call.lastReportMs = r.Int(i, 2);
    call.recorded = r.Bool(i, 3);
    calls.push_back(std::move(call));
  }
  for (auto& call : calls) {
    const Result p = Exec(*c,
                          "SELECT name, minutes, avg_delay_ms FROM call_participants"
                          " WHERE session_id = $1 AND reporter_id = $2 ORDER BY position",
                          {Ms(call.sessionId), Ms(reporterId)});
    if (!p.Ok()) return StoreStatus::kFailed;
    for (int i = 0; i < p.Rows(); ++i)
      call.participants.push_back({p.Text(i, 0), p.Int(i, 1), p.Int(i, 2)});
  }
  return StoreStatus::kOk;
}

StoreStatus PgStore::AddFeedback(int64_t userId, std::string_view text, int64_t nowMs) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  return Exec(*c,
              "INSERT INTO feedback(user_id, created_ms, text) VALUES(NULLIF($1::bigint, 0), $2, "
              "$3)",
              {Ms(userId), Ms(nowMs), std::string(text)})
                 .Ok()
             ? StoreStatus::kOk
             : StoreStatus::kFailed;
}

StoreStatus PgStore::Secret(std::string_view name, std::string& value) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  // The first process to ask makes it; the others read what it made. A
  // process that lost the race to another one starting at the same moment
  // may see neither row in its snapshot: it asks again.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const Result r = Exec(*c,
                          "WITH made AS (INSERT INTO secrets(name, value) VALUES($1, $2)"
                          " ON CONFLICT(name) DO NOTHING RETURNING value)"
                          " SELECT value FROM made UNION ALL"
                          " SELECT value FROM secrets WHERE name = $1 LIMIT 1",
                          {std::string(name), RandomToken(32)});
    if (!r.Ok()) return StoreStatus::kFailed;
    if (r.Rows() == 1) {
      value = r.Text(0, 0);
      return StoreStatus::kOk;
    }
  }
  return StoreStatus::kFailed;
}

}  // namespace dialvo::server
