// SQL dialects and identifiers.
//
// Statements are written from declared identifiers only (table and column
// names of the models).  An identifier that is a keyword of the dialect
// (`order`, `group`, `key`) is quoted; every other identifier is written as
// it is, so the text of ordinary statements never changes.  SQLite and
// PostgreSQL quote with double quotes, MySQL/MariaDB with backticks.
// PostgreSQL folds bare names to lower case: there a name with capitals is
// quoted too.
#pragma once

#include "layouts.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillon {

namespace sql_detail {

// Keywords of SQLite (its own list, all of which it reserves in some position).
inline constexpr std::string_view kSqliteKeywords[] = {
    "ABORT", "ACTION", "ADD", "AFTER", "ALL", "ALTER", "ALWAYS", "ANALYZE", "AND", "AS", "ASC", "ATTACH",
    "AUTOINCREMENT", "BEFORE", "BEGIN", "BETWEEN", "BY", "CASCADE", "CASE", "CAST", "CHECK", "COLLATE", "COLUMN",
    "COMMIT", "CONFLICT", "CONSTRAINT", "CREATE", "CROSS", "CURRENT", "CURRENT_DATE", "CURRENT_TIME",
    "CURRENT_TIMESTAMP", "DATABASE", "DEFAULT", "DEFERRABLE", "DEFERRED", "DELETE", "DESC", "DETACH", "DISTINCT",
    "DO", "DROP", "EACH", "ELSE", "END", "ESCAPE", "EXCEPT", "EXCLUDE", "EXCLUSIVE", "EXISTS", "EXPLAIN", "FAIL",
    "FILTER", "FIRST", "FOLLOWING", "FOR", "FOREIGN", "FROM", "FULL", "GENERATED", "GLOB", "GROUP", "GROUPS",
    "HAVING", "IF", "IGNORE", "IMMEDIATE", "IN", "INDEX", "INDEXED", "INITIALLY", "INNER", "INSERT", "INSTEAD",
    "INTERSECT", "INTO", "IS", "ISNULL", "JOIN", "KEY", "LAST", "LEFT", "LIKE", "LIMIT", "MATCH", "MATERIALIZED",
    "NATURAL", "NO", "NOT", "NOTHING", "NOTNULL", "NULL", "NULLS", "OF", "OFFSET", "ON", "OR", "ORDER", "OTHERS",
    "OUTER", "OVER", "PARTITION", "PLAN", "PRAGMA", "PRECEDING", "PRIMARY", "QUERY", "RAISE", "RANGE", "RECURSIVE",
    "REFERENCES", "REGEXP", "REINDEX", "RELEASE", "RENAME", "REPLACE", "RESTRICT", "RETURNING", "RIGHT",
    "ROLLBACK", "ROW", "ROWS", "SAVEPOINT", "SELECT", "SET", "TABLE", "TEMP", "TEMPORARY", "THEN", "TIES", "TO",
    "TRANSACTION", "TRIGGER", "UNBOUNDED", "UNION", "UNIQUE", "UPDATE", "USING", "VACUUM", "VALUES", "VIEW",
    "VIRTUAL", "WHEN", "WHERE", "WINDOW", "WITH", "WITHOUT",
};

// Reserved words of MySQL 8 and MariaDB 10/11 (either server refuses them as
// bare identifiers).
inline constexpr std::string_view kMysqlKeywords[] = {
    "ACCESSIBLE", "ADD", "ALL", "ALTER", "ANALYZE", "AND", "AS", "ASC", "ASENSITIVE", "BEFORE", "BETWEEN", "BIGINT",
    "BINARY", "BLOB", "BOTH", "BY", "CALL", "CASCADE", "CASE", "CHANGE", "CHAR", "CHARACTER", "CHECK", "COLLATE",
    "COLUMN", "CONDITION", "CONSTRAINT", "CONTINUE", "CONVERT", "CREATE", "CROSS", "CUBE", "CUME_DIST",
    "CURRENT_DATE", "CURRENT_ROLE", "CURRENT_TIME", "CURRENT_TIMESTAMP", "CURRENT_USER", "CURSOR", "DATABASE",
    "DATABASES", "DAY_HOUR", "DAY_MICROSECOND", "DAY_MINUTE", "DAY_SECOND", "DEC", "DECIMAL", "DECLARE", "DEFAULT",
    "DELAYED", "DELETE", "DELETE_DOMAIN_ID", "DENSE_RANK", "DESC", "DESCRIBE", "DETERMINISTIC", "DISTINCT",
    "DISTINCTROW", "DIV", "DOUBLE", "DO_DOMAIN_IDS", "DROP", "DUAL", "EACH", "ELSE", "ELSEIF", "EMPTY", "ENCLOSED",
    "ESCAPED", "EXCEPT", "EXISTS", "EXIT", "EXPLAIN", "FALSE", "FETCH", "FIRST_VALUE", "FLOAT", "FLOAT4", "FLOAT8",
    "FOR", "FORCE", "FOREIGN", "FROM", "FULLTEXT", "FUNCTION", "GENERAL", "GENERATED", "GET", "GRANT", "GROUP",
    "GROUPING", "GROUPS", "HAVING", "HIGH_PRIORITY", "HOUR_MICROSECOND", "HOUR_MINUTE", "HOUR_SECOND", "IF",
    "IGNORE", "IGNORE_DOMAIN_IDS", "IGNORE_SERVER_IDS", "IN", "INDEX", "INFILE", "INNER", "INOUT", "INSENSITIVE",
    "INSERT", "INT", "INT1", "INT2", "INT3", "INT4", "INT8", "INTEGER", "INTERSECT", "INTERVAL", "INTO",
    "IO_AFTER_GTIDS", "IO_BEFORE_GTIDS", "IS", "ITERATE", "JOIN", "JSON_TABLE", "KEY", "KEYS", "KILL", "LAG",
    "LAST_VALUE", "LATERAL", "LEAD", "LEADING", "LEAVE", "LEFT", "LIKE", "LIMIT", "LINEAR", "LINES", "LOAD",
    "LOCALTIME", "LOCALTIMESTAMP", "LOCK", "LONG", "LONGBLOB", "LONGTEXT", "LOOP", "LOW_PRIORITY", "MASTER_BIND",
    "MASTER_HEARTBEAT_PERIOD", "MASTER_SSL_VERIFY_SERVER_CERT", "MATCH", "MAXVALUE", "MEDIUMBLOB", "MEDIUMINT",
    "MEDIUMTEXT", "MIDDLEINT", "MINUTE_MICROSECOND", "MINUTE_SECOND", "MOD", "MODIFIES", "NATURAL", "NOT",
    "NO_WRITE_TO_BINLOG", "NTH_VALUE", "NTILE", "NULL", "NUMERIC", "OF", "OFFSET", "ON", "OPTIMIZE",
    "OPTIMIZER_COSTS", "OPTION", "OPTIONALLY", "OR", "ORDER", "OUT", "OUTER", "OUTFILE", "OVER", "PAGE_CHECKSUM",
    "PARSE_VCOL_EXPR", "PARTITION", "PERCENT_RANK", "POSITION", "PRECISION", "PRIMARY", "PROCEDURE", "PURGE",
    "RANGE", "RANK", "READ", "READS", "READ_WRITE", "REAL", "RECURSIVE", "REFERENCES", "REF_SYSTEM_ID", "REGEXP",
    "RELEASE", "RENAME", "REPEAT", "REPLACE", "REQUIRE", "RESIGNAL", "RESTRICT", "RETURN", "RETURNING", "REVOKE",
    "RIGHT", "RLIKE", "ROW", "ROWNUM", "ROWS", "ROW_NUMBER", "SCHEMA", "SCHEMAS", "SECOND_MICROSECOND", "SELECT",
    "SENSITIVE", "SEPARATOR", "SET", "SHOW", "SIGNAL", "SLOW", "SMALLINT", "SPATIAL", "SPECIFIC", "SQL",
    "SQLEXCEPTION", "SQLSTATE", "SQLWARNING", "SQL_BIG_RESULT", "SQL_CALC_FOUND_ROWS", "SQL_SMALL_RESULT", "SSL",
    "STARTING", "STATS_AUTO_RECALC", "STATS_PERSISTENT", "STATS_SAMPLE_PAGES", "STORED", "STRAIGHT_JOIN", "SYSTEM",
    "TABLE", "TERMINATED", "THEN", "TINYBLOB", "TINYINT", "TINYTEXT", "TO", "TRAILING", "TRIGGER", "TRUE", "UNDO",
    "UNION", "UNIQUE", "UNLOCK", "UNSIGNED", "UPDATE", "USAGE", "USE", "USING", "UTC_DATE", "UTC_TIME",
    "UTC_TIMESTAMP", "VALUES", "VARBINARY", "VARCHAR", "VARCHARACTER", "VARYING", "VIRTUAL", "WHEN", "WHERE",
    "WHILE", "WINDOW", "WITH", "WRITE", "XOR", "YEAR_MONTH", "ZEROFILL",
};

// Reserved key words of PostgreSQL (and KEY, which the other two reserve).
inline constexpr std::string_view kPostgresKeywords[] = {
    "ALL", "ANALYSE", "ANALYZE", "AND", "ANY", "ARRAY", "AS", "ASC", "ASYMMETRIC", "AUTHORIZATION", "BINARY",
    "BOTH", "CASE", "CAST", "CHECK", "COLLATE", "COLLATION", "COLUMN", "CONCURRENTLY", "CONSTRAINT", "CREATE",
    "CROSS", "CURRENT_CATALOG", "CURRENT_DATE", "CURRENT_ROLE", "CURRENT_SCHEMA", "CURRENT_TIME",
    "CURRENT_TIMESTAMP", "CURRENT_USER", "DEFAULT", "DEFERRABLE", "DESC", "DISTINCT", "DO", "ELSE", "END", "EXCEPT",
    "FALSE", "FETCH", "FOR", "FOREIGN", "FREEZE", "FROM", "FULL", "GRANT", "GROUP", "HAVING", "ILIKE", "IN",
    "INITIALLY", "INNER", "INTERSECT", "INTO", "IS", "ISNULL", "JOIN", "KEY", "LATERAL", "LEADING", "LEFT", "LIKE",
    "LIMIT", "LOCALTIME", "LOCALTIMESTAMP", "NATURAL", "NOT", "NOTNULL", "NULL", "OFFSET", "ON", "ONLY", "OR",
    "ORDER", "OUTER", "OVERLAPS", "PLACING", "PRIMARY", "REFERENCES", "RETURNING", "RIGHT", "SELECT",
    "SESSION_USER", "SIMILAR", "SOME", "SYMMETRIC", "SYSTEM_USER", "TABLE", "TABLESAMPLE", "THEN", "TO", "TRAILING",
    "TRUE", "UNION", "UNIQUE", "USER", "USING", "VARIADIC", "VERBOSE", "WHEN", "WHERE", "WINDOW", "WITH",
};

template <size_t N>
constexpr bool sortedList(const std::string_view (&words)[N]) {
    for (size_t i = 1; i < N; ++i)
        if (!(words[i - 1] < words[i])) return false;
    return true;
}
static_assert(sortedList(kSqliteKeywords), "keep the SQLite keywords sorted");
static_assert(sortedList(kMysqlKeywords), "keep the MySQL keywords sorted");
static_assert(sortedList(kPostgresKeywords), "keep the PostgreSQL keywords sorted");

// Every identifier of every statement is looked up, so the lists are
// hashed at compile time (FNV-1a over the upper-case text, open addressing
// in a table at least three times the list's size).
constexpr uint32_t hashStep(uint32_t h, char c) { return (h ^ (unsigned char)c) * 16777619u; }
constexpr uint32_t kHashSeed = 2166136261u;

constexpr uint32_t hashWord(std::string_view word) {
    uint32_t h = kHashSeed;
    for (char c : word) h = hashStep(h, c);
    return h;
}

template <size_t Size, size_t N>
constexpr std::array<int16_t, Size> hashSlots(const std::string_view (&words)[N]) {
    static_assert((Size & (Size - 1)) == 0 && Size >= 3 * N);
    std::array<int16_t, Size> slots{};
    for (auto& slot : slots) slot = -1;
    for (size_t i = 0; i < N; ++i) {
        size_t at = hashWord(words[i]) & (Size - 1);
        while (slots[at] != -1) at = (at + 1) & (Size - 1);
        slots[at] = (int16_t)i;
    }
    return slots;
}

inline constexpr auto kSqliteSlots = hashSlots<512>(kSqliteKeywords);
inline constexpr auto kMysqlSlots = hashSlots<1024>(kMysqlKeywords);
inline constexpr auto kPostgresSlots = hashSlots<512>(kPostgresKeywords);

template <size_t Size, size_t N>
bool contains(const std::array<int16_t, Size>& slots, const std::string_view (&words)[N], std::string_view upper,
              uint32_t hash) {
    for (size_t at = hash & (Size - 1); slots[at] != -1; at = (at + 1) & (Size - 1))
        if (words[slots[at]] == upper) return true;
    return false;
}

}  // namespace sql_detail

// Whether `name` (any case) is a keyword of `dialect`.
inline bool isKeyword(int dialect, std::string_view name) {
    constexpr size_t kLongest = 32;  // no keyword is longer
    if (name.empty() || name.size() > kLongest) return false;
    std::array<char, kLongest> buffer;
    uint32_t hash = sql_detail::kHashSeed;
    for (size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
        buffer[i] = c;
        hash = sql_detail::hashStep(hash, c);
    }
    std::string_view upper(buffer.data(), name.size());
    if (dialect == DIALECT_MYSQL)
        return sql_detail::contains(sql_detail::kMysqlSlots, sql_detail::kMysqlKeywords, upper, hash);
    if (dialect == DIALECT_POSTGRES)
        return sql_detail::contains(sql_detail::kPostgresSlots, sql_detail::kPostgresKeywords, upper, hash);
    return sql_detail::contains(sql_detail::kSqliteSlots, sql_detail::kSqliteKeywords, upper, hash);
}

// The quote character of a dialect's identifiers.
inline char identifierQuote(int dialect) { return dialect == DIALECT_MYSQL ? '`' : '"'; }

// Whether PostgreSQL would fold `name` to lower case (it keeps the case of
// quoted names only).
inline bool hasUpperCase(std::string_view name) {
    for (char c : name)
        if (c >= 'A' && c <= 'Z') return true;
    return false;
}

// Appends `name`, quoted when it is a keyword of `dialect` (a quote inside a
// quoted name is doubled); on PostgreSQL also when it has capitals, so that
// `authorId` stays `authorId` and not `authorid`.
inline void appendIdentifier(std::string& out, std::string_view name, int dialect) {
    if (!isKeyword(dialect, name) && !(dialect == DIALECT_POSTGRES && hasUpperCase(name))) {
        out.append(name);
        return;
    }
    char q = identifierQuote(dialect);
    out.push_back(q);
    for (char c : name) {
        if (c == q) out.push_back(q);
        out.push_back(c);
    }
    out.push_back(q);
}

// Appends `table.column`, each part quoted when it is a keyword.
inline void appendQualified(std::string& out, std::string_view table, std::string_view column, int dialect) {
    appendIdentifier(out, table, dialect);
    out.push_back('.');
    appendIdentifier(out, column, dialect);
}

// The LIMIT clause of a count and an offset: " limit <offset>, <count>"
// (SQLite, MySQL) or " LIMIT <count> OFFSET <offset>" (PostgreSQL).  Pages
// and repeated queries ask for the same few clauses, so the recent ones are
// kept (each module keeps its own small table; the texts live for the
// process and a replaced one is released, which runs no Python code).
inline Ref limitClause(long count, long offset, int dialect) {
    struct Slot {
        long count = 0, offset = 0;
        int dialect = -1;
        Leaked text;
    };
    static Slot* slots = new Slot[32];  // never destroyed
    Slot& slot = slots[(static_cast<unsigned long>(count) * 31u + static_cast<unsigned long>(offset) * 7u) % 32u];
    if (slot.text && slot.count == count && slot.offset == offset && slot.dialect == dialect)
        return Ref::borrow(slot.text.get());
    std::string text = dialect == DIALECT_POSTGRES ? " LIMIT " + std::to_string(count) + " OFFSET " + std::to_string(offset)
                                                   : " limit " + std::to_string(offset) + ", " + std::to_string(count);
    Ref made = Ref::steal(PyUnicode_DecodeASCII(text.data(), (Py_ssize_t)text.size(), nullptr));
    slot.count = count, slot.offset = offset, slot.dialect = dialect;
    slot.text = Ref::borrow(made.get());
    return made;
}

}  // namespace quillon
