#include "server/SqliteStore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "server/Passwords.h"
#include "server/Text.h"

namespace dialvo::server {

namespace {

constexpr int kSchemaVersion = 2;

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS users(
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL,
  name_key TEXT NOT NULL UNIQUE,
  password_hash TEXT NOT NULL,
  created_ms INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS buddies(
  user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
  position INTEGER NOT NULL,
  name TEXT NOT NULL,
  PRIMARY KEY(user_id, position)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS logins(
  user_id INTEGER PRIMARY KEY REFERENCES users(id) ON DELETE CASCADE,
  instance_guid TEXT NOT NULL,
  address TEXT NOT NULL,
  ip_type INTEGER NOT NULL,
  listening_port INTEGER NOT NULL,
  version INTEGER NOT NULL,
  source_ip TEXT NOT NULL,
  started_ms INTEGER NOT NULL,
  last_seen_ms INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS logins_by_last_seen ON logins(last_seen_ms);
CREATE TABLE IF NOT EXISTS call_sessions(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  conference_guid TEXT NOT NULL UNIQUE,
  started_ms INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS call_reports(
  session_id INTEGER NOT NULL REFERENCES call_sessions(id) ON DELETE CASCADE,
  reporter_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
  last_report_ms INTEGER NOT NULL,
  recorded INTEGER NOT NULL,
  PRIMARY KEY(session_id, reporter_id)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS call_reports_by_reporter
  ON call_reports(reporter_id, last_report_ms);
CREATE TABLE IF NOT EXISTS call_participants(
  session_id INTEGER NOT NULL,
  reporter_id INTEGER NOT NULL,
  position INTEGER NOT NULL,
  name TEXT NOT NULL,
  minutes INTEGER NOT NULL,
  avg_delay_ms INTEGER NOT NULL,
  PRIMARY KEY(session_id, reporter_id, position),
  FOREIGN KEY(session_id, reporter_id) REFERENCES call_reports(session_id, reporter_id)
    ON DELETE CASCADE) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS feedback(
  id INTEGER PRIMARY KEY,
  user_id INTEGER REFERENCES users(id) ON DELETE SET NULL,
  created_ms INTEGER NOT NULL,
  text TEXT NOT NULL);
)sql";

// Version 2: the service's secrets.
constexpr const char* kSchema2 = R"sql(
CREATE TABLE IF NOT EXISTS secrets(
  name TEXT PRIMARY KEY,
  value TEXT NOT NULL);
)sql";

// LIKE pattern matching the fragment anywhere; its own wildcards are escaped.
}  // namespace

// One SQLite connection with its prepared statements, used by one thread at
// a time (it is leased from the pool).
struct SqliteStore::Connection {
  sqlite3* db = nullptr;
  std::unordered_map<const char*, sqlite3_stmt*> statements;  // keyed by the SQL literal

  ~Connection() {
    for (auto& entry : statements) sqlite3_finalize(entry.second);
    sqlite3_close_v2(db);
  }

  sqlite3_stmt* Prepare(const char* sql) {
    auto it = statements.find(sql);
    if (it != statements.end()) return it->second;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
      return nullptr;
    }
    statements.emplace(sql, stmt);
    return stmt;
  }

  bool Exec(const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
  }
};

namespace {

using Connection = SqliteStore::Connection;

// One execution of a cached statement; resets it when it goes out of scope.
// Text is bound without a copy, so its storage must outlive the query:
// binding a temporary string is refused at compile time.
class Query {
 public:
  Query(Connection& connection, const char* sql) : stmt_(connection.Prepare(sql)) {}
  ~Query() {
    if (stmt_ != nullptr) {
      sqlite3_reset(stmt_);
      sqlite3_clear_bindings(stmt_);
    }
  }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  Query& Bind(int index, int64_t value) {
    ok_ = ok_ && stmt_ != nullptr && sqlite3_bind_int64(stmt_, index, value) == SQLITE_OK;
    return *this;
  }
  Query& Bind(int index, std::string_view text) {
    ok_ = ok_ && stmt_ != nullptr &&
          sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8) ==
              SQLITE_OK;
    return *this;
  }
  Query& Bind(int index, std::string&& text) = delete;

  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return ok_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
  // Runs a statement that returns no rows.
  bool Run() { return Step() == SQLITE_DONE; }

  int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
  std::string Text(int column) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return text == nullptr ? std::string() : std::string(text, sqlite3_column_bytes(stmt_, column));
  }

 private:
  sqlite3_stmt* stmt_;
  bool ok_ = true;
};

// BEGIN IMMEDIATE ... COMMIT; rolls back unless committed.
class Transaction {
 public:
  explicit Transaction(Connection& connection)
      : connection_(connection), open_(connection.Exec("BEGIN IMMEDIATE")) {}
  ~Transaction() {
    if (open_) connection_.Exec("ROLLBACK");
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  bool Open() const { return open_; }
  bool Commit() {
    if (!open_ || !connection_.Exec("COMMIT")) return false;
    open_ = false;
    return true;
  }

 private:
  Connection& connection_;
  bool open_;
};

std::unique_ptr<Connection> Connect(const std::string& path, std::string& error) {
  auto connection = std::make_unique<Connection>();
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(path.c_str(), &connection->db, flags, nullptr) != SQLITE_OK) {
    error = connection->db != nullptr ? sqlite3_errmsg(connection->db) : "out of memory";
    return nullptr;
  }
  sqlite3_extended_result_codes(connection->db, 1);
  sqlite3_busy_timeout(connection->db, 5000);
  if (!connection->Exec("PRAGMA foreign_keys=ON; PRAGMA synchronous=NORMAL")) {
    error = sqlite3_errmsg(connection->db);
    return nullptr;
  }
  return connection;
}

LoginRecord ReadLogin(const Query& q) {
  LoginRecord login;
  login.userId = q.Int(0);
  login.userName = q.Text(1);
  login.instanceGuid = q.Text(2);
  login.address = q.Text(3);
  login.ipType = static_cast<int>(q.Int(4));
  login.listeningPort = static_cast<int>(q.Int(5));
  login.version = static_cast<int>(q.Int(6));
  login.sourceIp = q.Text(7);
  login.startedMs = q.Int(8);
  login.lastSeenMs = q.Int(9);
  return login;
}

}  // namespace

// A connection borrowed from the pool for the length of one operation.
class SqliteStore::Lease {
 public:
  explicit Lease(SqliteStore& store) : store_(store), connection_(store.Acquire()) {}
  ~Lease() {
    if (connection_) store_.Release(std::move(connection_));
  }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  explicit operator bool() const { return connection_ != nullptr; }
  Connection& operator*() { return *connection_; }

 private:
  SqliteStore& store_;
  std::unique_ptr<Connection> connection_;
};

std::unique_ptr<SqliteStore> SqliteStore::Open(const std::string& path, std::string& error,
                                               SqliteStoreOptions options) {
  // SQLite's allocation statistics take one process-wide mutex per malloc;
  // nothing here reads them. Refused once SQLite is in use, which is harmless.
  static const bool statsOff = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0) == SQLITE_OK;
  (void)statsOff;
  // Create the file ourselves so that it never exists with a wider mode: it
  // holds password hashes. SQLite gives its -wal and -shm files the same mode.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  ::close(fd);

  std::unique_ptr<SqliteStore> store(new SqliteStore(path, std::move(options)));
  auto connection = Connect(path, error);
  if (!connection) return nullptr;
  if (!connection->Exec("PRAGMA journal_mode=WAL")) {
    error = sqlite3_errmsg(connection->db);
    return nullptr;
  }
  int version = 0;
  {
    Query q(*connection, "PRAGMA user_version");
    if (q.Step() == SQLITE_ROW) version = static_cast<int>(q.Int(0));
  }
  if (version > kSchemaVersion) {
    error = path + " was written by a newer dialvo-server (schema " + std::to_string(version) + ")";
    return nullptr;
  }
  if (version < kSchemaVersion) {
    Transaction tx(*connection);
    const std::string setVersion = "PRAGMA user_version=" + std::to_string(kSchemaVersion);
    if (!tx.Open() || (version < 1 && !connection->Exec(kSchema)) || !connection->Exec(kSchema2) ||
        !connection->Exec(setVersion.c_str()) || !tx.Commit()) {
      error = std::string("cannot create the tables: ") + sqlite3_errmsg(connection->db);
      return nullptr;
    }
  }
  store->Release(std::move(connection));
  return store;
}

SqliteStore::SqliteStore(std::string path, SqliteStoreOptions options)
    : path_(std::move(path)),
      users_(options.userCacheMs, options.userCacheCapacity,
             options.clockMs ? std::move(options.clockMs) : SystemWallClock()) {}

SqliteStore::~SqliteStore() = default;

std::unique_ptr<SqliteStore::Connection> SqliteStore::Acquire() {
  {
    std::lock_guard lock(poolMutex_);
    if (!idle_.empty()) {
      auto connection = std::move(idle_.back());
      idle_.pop_back();
      return connection;
    }
  }
  std::string error;
  return Connect(path_, error);
}

void SqliteStore::Release(std::unique_ptr<Connection> connection) {
  std::lock_guard lock(poolMutex_);
  idle_.push_back(std::move(connection));
}

StoreStatus SqliteStore::AddUser(std::string_view name, std::string_view passwordHash,
                                 int64_t nowMs) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  const std::string key = AsciiLower(name);
  std::lock_guard write(writeMutex_);
  Query q(*c,
          "INSERT INTO users(name, name_key, password_hash, created_ms) VALUES(?1, ?2, ?3, ?4) "
          "ON CONFLICT(name_key) DO NOTHING");
  if (!q.Bind(1, name).Bind(2, key).Bind(3, passwordHash).Bind(4, nowMs).Run()) {
    return StoreStatus::kFailed;
  }
  return sqlite3_changes((*c).db) == 1 ? StoreStatus::kOk : StoreStatus::kExists;
}

StoreStatus SqliteStore::DeleteUser(std::string_view name) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  const std::string key = AsciiLower(name);
  std::lock_guard write(writeMutex_);
  Query q(*c, "DELETE FROM users WHERE name_key = ?1");
  const bool ran = q.Bind(1, key).Run();
  users_.Forget(key);
  if (!ran) return StoreStatus::kFailed;
  return sqlite3_changes((*c).db) == 1 ? StoreStatus::kOk : StoreStatus::kNotFound;
}

StoreStatus SqliteStore::FindUser(std::string_view name, UserRecord& out) {
  const std::string key = AsciiLower(name);
  if (users_.Find(key, out)) return StoreStatus::kOk;
  const uint64_t ticket = users_.Ticket();
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  Query q(*c, "SELECT id, name, password_hash, created_ms FROM users WHERE name_key = ?1");
  const int rc = q.Bind(1, key).Step();
  if (rc == SQLITE_DONE) return StoreStatus::kNotFound;
  if (rc != SQLITE_ROW) return StoreStatus::kFailed;
  out.id = q.Int(0);
  out.name = q.Text(1);
  out.passwordHash = q.Text(2);
  out.createdMs = q.Int(3);
  users_.Put(key, out, ticket);
  return StoreStatus::kOk;
}

StoreStatus SqliteStore::SetPasswordHash(int64_t userId, std::string_view passwordHash) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  std::lock_guard write(writeMutex_);
  Query q(*c, "UPDATE users SET password_hash = ?2 WHERE id = ?1");
  const bool ran = q.Bind(1, userId).Bind(2, passwordHash).Run();
  users_.Clear();  // found by name, changed by id; changes are rare
  if (!ran) return StoreStatus::kFailed;
  return sqlite3_changes((*c).db) == 1 ? StoreStatus::kOk : StoreStatus::kNotFound;
}

StoreStatus SqliteStore::ListUsers(std::vector<std::string>& names) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  names.clear();
  Query q(*c, "SELECT name FROM users ORDER BY name_key");
  int rc = 0;
  while ((rc = q.Step()) == SQLITE_ROW) names.push_back(q.Text(0));
  return rc == SQLITE_DONE ? StoreStatus::kOk : StoreStatus::kFailed;
}

StoreStatus SqliteStore::SearchUsers(std::string_view fragment, size_t limit,
                                     std::vector<std::string>& names) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  names.clear();
  // A range on the name_key index: every key that starts with the prefix
  // sorts below prefix + 0xFF, a byte UTF-8 never uses.
  const std::string prefix = AsciiLower(fragment);
  const std::string end = prefix + '\xFF';
  Query q(*c,
          "SELECT name FROM users WHERE name_key >= ?1 AND name_key < ?2"
          " ORDER BY name_key LIMIT ?3");
  q.Bind(1, prefix).Bind(2, end).Bind(3, static_cast<int64_t>(limit));
  int rc = 0;
  while ((rc = q.Step()) == SQLITE_ROW) names.push_back(q.Text(0));
  return rc == SQLITE_DONE ? StoreStatus::kOk : StoreStatus::kFailed;
}

StoreStatus SqliteStore::GetBuddyList(int64_t userId, std::vector<std::string>& names) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  names.clear();
  Query q(*c, "SELECT name FROM buddies WHERE user_id = ?1 ORDER BY position");
  q.Bind(1, userId);
  int rc = 0;
  while ((rc = q.Step()) == SQLITE_ROW) names.push_back(q.Text(0));
  return rc == SQLITE_DONE ? StoreStatus::kOk : StoreStatus::kFailed;
}

StoreStatus SqliteStore::SetBuddyList(int64_t userId, const std::vector<std::string>& names) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  std::lock_guard write(writeMutex_);
  Transaction tx(*c);
  if (!tx.Open()) return StoreStatus::kFailed;
  {
    Query clear(*c, "DELETE FROM buddies WHERE user_id = ?1");
    if (!clear.Bind(1, userId).Run()) return StoreStatus::kFailed;
  }
  for (size_t i = 0; i < names.size(); ++i) {
    Query add(*c, "INSERT INTO buddies(user_id, position, name) VALUES(?1, ?2, ?3)");
    if (!add.Bind(1, userId).Bind(2, static_cast<int64_t>(i)).Bind(3, names[i]).Run()) {
      return StoreStatus::kFailed;
    }
  }
  return tx.Commit() ? StoreStatus::kOk : StoreStatus::kFailed;
}

StoreStatus SqliteStore::SaveLogin(const LoginRecord& login) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  std::lock_guard write(writeMutex_);
  Query q(
      *c,
      "INSERT OR REPLACE INTO logins(user_id, instance_guid, address, ip_type, listening_port,"
      " version, source_ip, started_ms, last_seen_ms) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
  q.Bind(1, login.userId).Bind(2, login.instanceGuid).Bind(3, login.address);
  q.Bind(4, int64_t{login.ipType}).Bind(5, int64_t{login.listeningPort});
  q.Bind(6, int64_t{login.version}).Bind(7, login.sourceIp).Bind(8, login.startedMs);
  q.Bind(9, login.lastSeenMs);
  return q.Run() ? StoreStatus::kOk : StoreStatus::kFailed;
}

StoreStatus SqliteStore::TouchLogin(int64_t userId, std::string_view instanceGuid,
                                    int64_t lastSeenMs) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  std::lock_guard write(writeMutex_);
  Query q(*c, "UPDATE logins SET last_seen_ms = ?3 WHERE user_id = ?1 AND instance_guid = ?2");
  if (!q.Bind(1, userId).Bind(2, instanceGuid).Bind(3, lastSeenMs).Run()) {
    return StoreStatus::kFailed;
  }
  if (sqlite3_changes((*c).db) == 1) return StoreStatus::kOk;
  Query other(*c, "SELECT 1 FROM logins WHERE user_id = ?1");
  const int rc = other.Bind(1, userId).Step();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return StoreStatus::kFailed;
  return rc == SQLITE_ROW ? StoreStatus::kExists : StoreStatus::kNotFound;
}

StoreStatus SqliteStore::DeleteLogin(int64_t userId, std::string_view instanceGuid) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  std::lock_guard write(writeMutex_);
  Query q(*c, "DELETE FROM logins WHERE user_id = ?1 AND instance_guid = ?2");
  if (!q.Bind(1, userId).Bind(2, instanceGuid).Run()) return StoreStatus::kFailed;
  return sqlite3_changes((*c).db) == 1 ? StoreStatus::kOk : StoreStatus::kNotFound;
}

StoreStatus SqliteStore::LoadLogins(int64_t seenSinceMs, std::vector<LoginRecord>& logins) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  logins.clear();
  Query q(*c,
          "SELECT l.user_id, u.name, l.instance_guid, l.address, l.ip_type, l.listening_port,"
          " l.version, l.source_ip, l.started_ms, l.last_seen_ms"
          " FROM logins l JOIN users u ON u.id = l.user_id WHERE l.last_seen_ms >= ?1");
  q.Bind(1, seenSinceMs);
  int rc = 0;
  while ((rc = q.Step()) == SQLITE_ROW) logins.push_back(ReadLogin(q));
  return rc == SQLITE_DONE ? StoreStatus::kOk : StoreStatus::kFailed;
}

StoreStatus SqliteStore::DeleteLoginsSeenBefore(int64_t ms) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  std::lock_guard write(writeMutex_);
  Query q(*c, "DELETE FROM logins WHERE last_seen_ms < ?1");
  return q.Bind(1, ms).Run() ? StoreStatus::kOk : StoreStatus::kFailed;
}

StoreStatus SqliteStore::ReportCall(std::string_view conferenceGuid, int64_t reporterId,
                                    const std::vector<CallParticipant>& participants, bool recorded,
                                    int64_t nowMs, int64_t& sessionId) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  std::lock_guard write(writeMutex_);
  Transaction tx(*c);
  if (!tx.Open()) return StoreStatus::kFailed;
  {
    // DO UPDATE (a no-op) rather than DO NOTHING, so that RETURNING gives the id.
    Query session(*c,
                  "INSERT INTO call_sessions(conference_guid, started_ms) VALUES(?1, ?2)"
                  " ON CONFLICT(conference_guid) DO UPDATE SET started_ms = started_ms"
                  " RETURNING id");
    session.Bind(1, conferenceGuid).Bind(2, nowMs);
    if (session.Step() != SQLITE_ROW) return StoreStatus::kFailed;
    sessionId = session.Int(0);
    if (session.Step() != SQLITE_DONE) return StoreStatus::kFailed;
  }
  {
    Query report(*c,
                 "INSERT INTO call_reports(session_id, reporter_id, last_report_ms, recorded)"
                 " VALUES(?1, ?2, ?3, ?4) ON CONFLICT(session_id, reporter_id) DO UPDATE SET"
                 " last_report_ms = excluded.last_report_ms, recorded = excluded.recorded");
    report.Bind(1, sessionId).Bind(2, reporterId).Bind(3, nowMs);
    if (!report.Bind(4, int64_t{recorded ? 1 : 0}).Run()) return StoreStatus::kFailed;
  }
  {
    Query clear(*c, "DELETE FROM call_participants WHERE session_id = ?1 AND reporter_id = ?2");
    if (!clear.Bind(1, sessionId).Bind(2, reporterId).Run()) return StoreStatus::kFailed;
  }
  for (size_t i = 0; i < participants.size(); ++i) {
    const auto& p = participants[i];
    Query add(*c,
              "INSERT INTO call_participants(session_id, reporter_id, position, name, minutes,"
              " avg_delay_ms) VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
    add.Bind(1, sessionId).Bind(2, reporterId).Bind(3, static_cast<int64_t>(i));
    add.Bind(4, p.name).Bind(5, p.minutes).Bind(6, p.avgDelayMs);
    if (!add.Run()) return StoreStatus::kFailed;
  }
  {
    // Each user keeps the newest reports only; the rest go with their rows.
    Query prune(*c,
                "DELETE FROM call_reports WHERE reporter_id = ?1 AND session_id NOT IN"
                " (SELECT session_id FROM call_reports WHERE reporter_id = ?1"
                " ORDER BY last_report_ms DESC, session_id DESC LIMIT ?2) RETURNING session_id");
    prune.Bind(1, reporterId).Bind(2, static_cast<int64_t>(kMaxReportsPerUser));
    std::vector<int64_t> pruned;
    int step = SQLITE_ROW;
    while ((step = prune.Step()) == SQLITE_ROW) pruned.push_back(prune.Int(0));
    if (step != SQLITE_DONE) return StoreStatus::kFailed;
    for (const int64_t id : pruned) {
      Query orphan(*c,
                   "DELETE FROM call_sessions WHERE id = ?1 AND NOT EXISTS"
                   " (SELECT 1 FROM call_reports WHERE session_id = ?1)");
      if (!orphan.Bind(1, id).Run()) return StoreStatus::kFailed;
    }
  }
  return tx.Commit() ? StoreStatus::kOk : StoreStatus::kFailed;
}

StoreStatus SqliteStore::RecentCalls(int64_t reporterId, size_t limit,
                                     std::vector<CallSummary>& calls) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  calls.clear();
  {
    Query q(*c,
            "SELECT r.session_id, s.started_ms, r.last_report_ms, r.recorded"
            " FROM call_reports r JOIN call_sessions s ON s.id = r.session_id"
            " WHERE r.reporter_id = ?1 ORDER BY r.last_report_ms DESC, r.session_id DESC"
            " LIMIT ?2");
    q.Bind(1, reporterId).Bind(2, static_cast<int64_t>(limit));
    int rc = 0;
    while ((rc = q.Step()) == SQLITE_ROW) {
      CallSummary call;
      call.sessionId = q.Int(0);
      call.startedMs = q.Int(1);
      call.lastReportMs = q.Int(2);
      call.recorded = q.Int(3) != 0;
      calls.push_back(std::move(call));
    }
    if (rc != SQLITE_DONE) return StoreStatus::kFailed;
  }
  for (auto& call : calls) {
    Query q(*c,
            "SELECT name, minutes, avg_delay_ms FROM call_participants"
            " WHERE session_id = ?1 AND reporter_id = ?2 ORDER BY position");
    q.Bind(1, call.sessionId).Bind(2, reporterId);
    int rc = 0;
    while ((rc = q.Step()) == SQLITE_ROW)
      call.participants.push_back({q.Text(0), q.Int(1), q.Int(2)});
    if (rc != SQLITE_DONE) return StoreStatus::kFailed;
  }
  return StoreStatus::kOk;
}

StoreStatus SqliteStore::AddFeedback(int64_t userId, std::string_view text, int64_t nowMs) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  std::lock_guard write(writeMutex_);
  Query q(*c, "INSERT INTO feedback(user_id, created_ms, text) VALUES(NULLIF(?1, 0), ?2, ?3)");
  return q.Bind(1, userId).Bind(2, nowMs).Bind(3, text).Run() ? StoreStatus::kOk
                                                              : StoreStatus::kFailed;
}

StoreStatus SqliteStore::Secret(std::string_view name, std::string& value) {
  Lease c(*this);
  if (!c) return StoreStatus::kFailed;
  {
    std::lock_guard write(writeMutex_);
    const std::string fresh = RandomToken(32);
    Query insert(*c, "INSERT OR IGNORE INTO secrets(name, value) VALUES(?1, ?2)");
    if (!insert.Bind(1, name).Bind(2, fresh).Run()) return StoreStatus::kFailed;
  }
  Query q(*c, "SELECT value FROM secrets WHERE name = ?1");
  q.Bind(1, name);
  if (q.Step() != SQLITE_ROW) return StoreStatus::kFailed;
  value = q.Text(0);
  return StoreStatus::kOk;
}

}  // namespace dialvo::server
