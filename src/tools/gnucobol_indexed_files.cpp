// GnuCOBOL's indexed files: one Berkeley DB B-tree database per key
// (gnucobol_files.h has their layout), read and written through libdb.
#include <db.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/coding.h"
#include "tools/gnucobol_files.h"
#include "tools/tool_support.h"

namespace kvr::tools::gnucobol {

namespace {

std::string text_of(const unsigned char* bytes, size_t length) {
    return "\"" + escape_bytes(bytes, length) + "\"";
}

class Database {
public:
    Database() = default;
    ~Database() { close(); }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // 0 or a Berkeley DB result.
    int open_input(const std::string& path) { return open(path, DB_UNKNOWN, DB_RDONLY, false); }
    int create(const std::string& path, bool duplicates) {
        return open(path, DB_BTREE, DB_CREATE | DB_EXCL, duplicates);
    }
    int close() {
        if (db_ == nullptr)
            return 0;
        const int result = db_->close(db_, 0);
        db_ = nullptr;
        return result;
    }

    bool is_btree() const {
        DBTYPE type = DB_UNKNOWN;
        return db_->get_type(db_, &type) == 0 && type == DB_BTREE;
    }
    bool duplicates() const {
        u_int32_t flags = 0;
        return db_->get_flags(db_, &flags) == 0 && (flags & DB_DUP) != 0;
    }
    // The data stored under key: 0, DB_NOTFOUND or another result.
    int get(const unsigned char* key, size_t key_length, std::vector<unsigned char>* data) {
        DBT k = dbt(key, key_length);
        DBT d{};
        const int result = db_->get(db_, nullptr, &k, &d, 0);
        if (result == 0)
            data->assign(static_cast<unsigned char*>(d.data),
                         static_cast<unsigned char*>(d.data) + d.size);
        return result;
    }
    int put(const unsigned char* key, size_t key_length, const unsigned char* data,
            size_t data_length, u_int32_t flags) {
        DBT k = dbt(key, key_length);
        DBT d = dbt(data, data_length);
        return db_->put(db_, nullptr, &k, &d, flags);
    }
    DB* handle() const { return db_; }

    // A failed call in words: the library's message when it gave one.
    std::string describe(int result) const {
        if (result == DB_KEYEXIST)
            return "the key is there already";
        return message_.empty() ? db_strerror(result) : message_;
    }

    static DBT dbt(const unsigned char* bytes, size_t length) {
        DBT out{};
        out.data = const_cast<unsigned char*>(bytes);
        out.size = static_cast<u_int32_t>(length);
        return out;
    }

private:
    static void keep_message(const DB_ENV* env, const char*, const char* message) {
        if (env != nullptr && env->app_private != nullptr)
            static_cast<Database*>(env->app_private)->message_ = message;
    }

    int open(const std::string& path, DBTYPE type, u_int32_t flags, bool duplicates) {
        close();
        message_.clear();
        int result = db_create(&db_, nullptr, 0);
        if (result != 0) {
            db_ = nullptr;
            return result;
        }
        db_->get_env(db_)->app_private = this;
        db_->set_errcall(db_, keep_message);
        if (duplicates)
            result = db_->set_flags(db_, DB_DUP);
        if (result == 0)
            result = db_->open(db_, nullptr, path.c_str(), nullptr, type, flags, 0666);
        if (result != 0)
            close();  // a handle whose open failed is still closed
        return result;
    }

    DB* db_ = nullptr;
    std::string message_;
};

// A cursor over a whole database.
class Cursor {
public:
    explicit Cursor(Database& db) {
        if (db.handle()->cursor(db.handle(), nullptr, &cursor_, 0) != 0)
            cursor_ = nullptr;
    }
    ~Cursor() {
        if (cursor_ != nullptr)
            cursor_->close(cursor_);
    }
    Cursor(const Cursor&) = delete;
    Cursor& operator=(const Cursor&) = delete;

    // flags DB_NEXT, DB_SET, DB_NEXT_DUP: 0, DB_NOTFOUND or another result.
    // What key and data point to lasts until the next call.
    int get(u_int32_t flags, DBT* key, DBT* data) {
        if (cursor_ == nullptr)
            return EINVAL;
        if (flags != DB_SET)
            *key = DBT{};
        *data = DBT{};
        return cursor_->get(cursor_, key, data, flags);
    }

private:
    DBC* cursor_ = nullptr;
};

const unsigned char* bytes_of(const DBT& dbt) {
    return static_cast<const unsigned char*>(dbt.data);
}

bool holds_key(const std::vector<unsigned char>& record, const KeySpec& key) {
    return record.size() >= static_cast<size_t>(key.offset) + static_cast<size_t>(key.length);
}

std::string key_option(const KeySpec& key, bool duplicates) {
    return "--key " + std::to_string(key.offset + 1) + ":" + std::to_string(key.length) +
           (duplicates ? ":dups" : "");
}

}  // namespace

bool is_berkeley_db(const std::string& path) {
    Database db;
    return db.open_input(path) == 0;
}

struct IndexedReader::Impl {
    std::string path;
    FileAttributes attributes;
    std::vector<std::unique_ptr<Database>> dbs;
    std::vector<std::string> names;
    uint64_t records = 0;
    bool counted = false;

    const KeySpec& prime() const { return attributes.keys[0]; }
    std::string prime_text(const unsigned char* data) const {
        return text_of(data, static_cast<size_t>(prime().length));
    }
    // The record whose prime key an alternate entry holds.
    int record_of(const DBT& entry, std::vector<unsigned char>* record) {
        return dbs[0]->get(bytes_of(entry), static_cast<size_t>(prime().length), record);
    }
    bool check_prime(std::string* why);
    bool check_alternate(size_t k, std::vector<std::string>* notes, std::string* why);
    // Whether database k holds an entry for this record.
    bool indexed_under(size_t k, const std::vector<unsigned char>& record);
};

IndexedReader::IndexedReader() : impl_(std::make_unique<Impl>()) {}
IndexedReader::~IndexedReader() = default;

uint64_t IndexedReader::records() const {
    return impl_->records;
}

bool IndexedReader::open(const std::string& path, const FileAttributes& attributes,
                         std::string* why) {
    Impl& m = *impl_;
    m.path = path;
    m.attributes = attributes;
    const size_t keys = attributes.keys.size();
    for (size_t k = 0; k < keys; ++k) {
        const std::string name = k == 0 ? path : path + "." + std::to_string(k);
        const KeySpec& key = attributes.keys[k];
        if (k > 0 && ::access(name.c_str(), F_OK) != 0) {
            *why = name + " is missing: GnuCOBOL keeps alternate key " + std::to_string(k) +
                   " there; does its program have " + std::to_string(keys) + " keys?";
            return false;
        }
        auto db = std::make_unique<Database>();
        if (const int result = db->open_input(name); result != 0) {
            *why = (k == 0 ? std::string() : name + ": ") + "not a Berkeley DB database (" +
                   db->describe(result) + "), as GnuCOBOL keeps an indexed file's keys";
            return false;
        }
        if (!db->is_btree()) {
            *why = (k == 0 ? std::string() : name + ": ") +
                   "a Berkeley DB database, but not the B-tree GnuCOBOL writes";
            return false;
        }
        if (k == 0 && db->duplicates()) {
            *why = "it allows duplicate prime keys: not a GnuCOBOL indexed file";
            return false;
        }
        if (k > 0 && db->duplicates() != key.duplicates) {
            *why = name + (db->duplicates() ? " allows" : " does not allow") +
                   " duplicates, and key " + std::to_string(k) +
                   (key.duplicates ? " does" : " does not") + ": give " +
                   key_option(key, db->duplicates());
            return false;
        }
        m.dbs.push_back(std::move(db));
        m.names.push_back(name);
    }
    const std::string beyond = path + "." + std::to_string(keys);
    if (::access(beyond.c_str(), F_OK) == 0) {
        *why = beyond + " exists: the GnuCOBOL file seems to have more than the " +
               std::to_string(keys) + " keys given (or " + beyond +
               " is left from an older file; move it away)";
        return false;
    }
    return true;
}

bool IndexedReader::Impl::check_prime(std::string* why) {
    const KeySpec& key = prime();
    Cursor cursor(*dbs[0]);
    DBT k{};
    DBT d{};
    int result = 0;
    records = 0;
    while ((result = cursor.get(DB_NEXT, &k, &d)) == 0) {
        ++records;
        if (k.size != static_cast<u_int32_t>(key.length)) {
            *why = "a prime key of " + std::to_string(k.size) + " bytes (" +
                   text_of(bytes_of(k), k.size) + "), but key 0 has " + std::to_string(key.length) +
                   ": the program's RECORD KEY has another length";
            return false;
        }
        if (d.size < static_cast<u_int32_t>(key.offset + key.length))
            continue;  // too short for its keys: refused as it is loaded
        if (std::memcmp(bytes_of(d) + key.offset, bytes_of(k), k.size) != 0) {
            *why = "the record with prime key " + prime_text(bytes_of(k)) + " holds " +
                   text_of(bytes_of(d) + key.offset, k.size) + " at position " +
                   std::to_string(key.offset + 1) +
                   ": the program's RECORD KEY is not at that position (or is made of several "
                   "fields)";
            return false;
        }
    }
    if (result != DB_NOTFOUND) {
        *why = dbs[0]->describe(result);
        return false;
    }
    counted = true;
    return true;
}

bool IndexedReader::Impl::check_alternate(size_t index, std::vector<std::string>* notes,
                                          std::string* why) {
    const KeySpec& key = attributes.keys[index];
    const std::string& name = names[index];
    const u_int32_t data_size = static_cast<u_int32_t>(prime().length + (key.duplicates ? 4 : 0));
    Cursor cursor(*dbs[index]);
    DBT k{};
    DBT d{};
    int result = 0;
    uint64_t entries = 0;
    std::vector<unsigned char> record;
    while ((result = cursor.get(DB_NEXT, &k, &d)) == 0) {
        ++entries;
        if (k.size != static_cast<u_int32_t>(key.length)) {
            *why = name + ": a key of " + std::to_string(k.size) + " bytes (" +
                   text_of(bytes_of(k), k.size) + "), but key " + std::to_string(index) + " has " +
                   std::to_string(key.length);
            return false;
        }
        if (d.size != data_size) {
            *why = name + ": an entry for " + text_of(bytes_of(k), k.size) + " holds " +
                   std::to_string(d.size) + " bytes, not the " + std::to_string(data_size) +
                   " of a prime key" + (key.duplicates ? " and a duplicate number" : "") +
                   ": the prime key's length differs from the file's";
            return false;
        }
        const int found = record_of(d, &record);
        if (found != 0) {
            *why = name + ": the entry for " + text_of(bytes_of(k), k.size) + " names prime key " +
                   prime_text(bytes_of(d)) + ", which " + names[0] +
                   (found == DB_NOTFOUND ? " does not hold: the file is damaged, or its parts "
                                           "come from different files"
                                         : " cannot give: " + dbs[0]->describe(found));
            return false;
        }
        if (holds_key(record, key) &&
            std::memcmp(record.data() + key.offset, bytes_of(k), k.size) != 0) {
            *why = name + ": the record with prime key " + prime_text(bytes_of(d)) + " holds " +
                   text_of(record.data() + key.offset, k.size) + " at position " +
                   std::to_string(key.offset + 1) + ", not its key " + std::to_string(index) +
                   " value " + text_of(bytes_of(k), k.size) +
                   ": the program's key is not at that position (or is made of several fields)";
            return false;
        }
    }
    if (result != DB_NOTFOUND) {
        *why = name + ": " + dbs[index]->describe(result);
        return false;
    }
    if (entries > records) {
        *why = name + " holds " + std::to_string(entries) + " entries for " +
               std::to_string(records) + " records: the file is damaged";
        return false;
    }
    if (entries < records)
        notes->push_back(name + " has no entry for " + std::to_string(records - entries) +
                         " of the " + std::to_string(records) +
                         " records (a key with SUPPRESS WHEN?); the new file indexes every "
                         "record under key " +
                         std::to_string(index));
    return true;
}

bool IndexedReader::check_keys(std::vector<std::string>* notes, std::string* why) {
    if (!impl_->check_prime(why))
        return false;
    for (size_t k = 1; k < impl_->dbs.size(); ++k)
        if (!impl_->check_alternate(k, notes, why))
            return false;
    return true;
}

bool IndexedReader::Impl::indexed_under(size_t index, const std::vector<unsigned char>& record) {
    const KeySpec& key = attributes.keys[index];
    if (!holds_key(record, key) || !holds_key(record, prime()))
        return false;
    Cursor cursor(*dbs[index]);
    DBT k = Database::dbt(record.data() + key.offset, static_cast<size_t>(key.length));
    DBT d{};
    for (int result = cursor.get(DB_SET, &k, &d); result == 0;
         result = cursor.get(DB_NEXT_DUP, &k, &d))
        if (d.size >= static_cast<u_int32_t>(prime().length) &&
            std::memcmp(bytes_of(d), record.data() + prime().offset,
                        static_cast<size_t>(prime().length)) == 0)
            return true;
    return false;
}

bool IndexedReader::read_all(const std::function<bool(const std::vector<unsigned char>&)>& visit,
                             std::string* why) {
    Impl& m = *impl_;
    if (!m.counted && !m.check_prime(why))
        return false;
    size_t order = 0;
    for (size_t k = 1; k < m.dbs.size() && order == 0; ++k)
        if (m.attributes.keys[k].duplicates)
            order = k;
    Cursor cursor(*m.dbs[order]);
    DBT k{};
    DBT d{};
    int result = 0;
    uint64_t visited = 0;
    std::vector<unsigned char> record;
    while ((result = cursor.get(DB_NEXT, &k, &d)) == 0) {
        if (order == 0) {
            record.assign(bytes_of(d), bytes_of(d) + d.size);
        } else if (const int found = m.record_of(d, &record); found != 0) {
            *why = m.names[order] + ": the entry for " + text_of(bytes_of(k), k.size) +
                   " names prime key " + m.prime_text(bytes_of(d)) + ", which " + m.names[0] +
                   " does not give: " + m.dbs[0]->describe(found);
            return false;
        }
        ++visited;
        if (!visit(record)) {
            why->clear();
            return false;
        }
    }
    if (result != DB_NOTFOUND) {
        *why = m.names[order] + ": " + m.dbs[order]->describe(result);
        return false;
    }
    if (visited >= m.records)
        return true;
    // Records the ordering key leaves out come after the others.
    Cursor all(*m.dbs[0]);
    while ((result = all.get(DB_NEXT, &k, &d)) == 0) {
        record.assign(bytes_of(d), bytes_of(d) + d.size);
        if (!m.indexed_under(order, record) && !visit(record)) {
            why->clear();
            return false;
        }
    }
    if (result != DB_NOTFOUND) {
        *why = m.dbs[0]->describe(result);
        return false;
    }
    return true;
}

struct IndexedWriter::Impl {
    FileAttributes attributes;
    std::vector<std::unique_ptr<Database>> dbs;
    std::vector<std::string> paths;
    std::vector<std::vector<unsigned char>> last_value;  // per alternate key
    std::vector<uint32_t> duplicate_number;
    std::vector<unsigned char> data;
};

IndexedWriter::IndexedWriter() : impl_(std::make_unique<Impl>()) {}
IndexedWriter::~IndexedWriter() = default;

bool IndexedWriter::create(const std::vector<std::string>& paths, const FileAttributes& attributes,
                           std::string* why) {
    Impl& m = *impl_;
    m.attributes = attributes;
    m.paths = paths;
    m.last_value.assign(paths.size(), {});
    m.duplicate_number.assign(paths.size(), 0);
    for (size_t k = 0; k < paths.size(); ++k) {
        auto db = std::make_unique<Database>();
        if (const int result = db->create(paths[k], k > 0 && attributes.keys[k].duplicates);
            result != 0) {
            *why = "cannot create a Berkeley DB database: " + db->describe(result);
            return false;
        }
        m.dbs.push_back(std::move(db));
    }
    return true;
}

bool IndexedWriter::write(const std::vector<unsigned char>& record, std::string* why) {
    Impl& m = *impl_;
    const KeySpec& prime = m.attributes.keys[0];
    if (!holds_key(record, prime)) {
        *why = "a record of " + std::to_string(record.size()) + " bytes is shorter than its keys";
        return false;
    }
    const int result =
        m.dbs[0]->put(record.data() + prime.offset, static_cast<size_t>(prime.length),
                      record.data(), record.size(), DB_NOOVERWRITE);
    if (result != 0) {
        *why = "prime key " +
               text_of(record.data() + prime.offset, static_cast<size_t>(prime.length)) + ": " +
               m.dbs[0]->describe(result);
        return false;
    }
    return true;
}

bool IndexedWriter::add_alternate(int k, const std::vector<unsigned char>& record,
                                  std::string* why) {
    Impl& m = *impl_;
    const size_t index = static_cast<size_t>(k);
    const KeySpec& prime = m.attributes.keys[0];
    const KeySpec& key = m.attributes.keys[index];
    if (!holds_key(record, prime) || !holds_key(record, key)) {
        *why = "a record of " + std::to_string(record.size()) + " bytes is shorter than its keys";
        return false;
    }
    const unsigned char* value = record.data() + key.offset;
    const size_t length = static_cast<size_t>(key.length);
    m.data.assign(record.begin() + prime.offset, record.begin() + prime.offset + prime.length);
    if (key.duplicates) {
        std::vector<unsigned char>& last = m.last_value[index];
        if (last.size() == length && std::memcmp(last.data(), value, length) == 0) {
            ++m.duplicate_number[index];
        } else {
            last.assign(value, value + length);
            m.duplicate_number[index] = 1;
        }
        unsigned char number[4];
        platform::store_u32(number, m.duplicate_number[index]);
        m.data.insert(m.data.end(), number, number + 4);
    }
    const int result = m.dbs[index]->put(value, length, m.data.data(), m.data.size(),
                                         key.duplicates ? 0 : DB_NOOVERWRITE);
    if (result != 0) {
        *why = "key " + std::to_string(k) + " value " + text_of(value, length) + ": " +
               m.dbs[index]->describe(result);
        return false;
    }
    return true;
}

bool IndexedWriter::close(std::string* why) {
    bool closed = true;
    for (auto& db : impl_->dbs) {
        if (const int result = db->close(); result != 0 && closed) {
            *why = "cannot close a Berkeley DB database: " + db->describe(result);
            closed = false;
        }
    }
    impl_->dbs.clear();
    return closed;
}

}  // namespace kvr::tools::gnucobol
