// The store on a file it cannot use as it would: held by another writer,
// not a database or damaged, read-only; and used from several threads.
// Each failure is a clear error value, never a crash or a hang.
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "store_support.h"

namespace store::test {
namespace {

std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const fs::path& path, const std::string& bytes, std::streamoff at = 0) {
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    if (!out) out.open(path, std::ios::binary | std::ios::out);
    out.seekp(at);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

using StoreLocked = StoreFolder;

TEST_F(StoreLocked, AnotherWritersLockGivesTheLockedErrorThenWritesGoOn) {
    constexpr uint32_t kBusyMs = 300;
    Store store;
    ASSERT_TRUE(store.Open(m_db.string(), kBusyMs).ok());
    ASSERT_TRUE(store.WriteRun(SampleRun(Minute(0))).ok());

    RawDb other(m_db);
    ASSERT_EQ(other.Exec("BEGIN EXCLUSIVE"), SQLITE_OK);
    ASSERT_EQ(other.Exec("DELETE FROM test_run"), SQLITE_OK);

    const auto start = std::chrono::steady_clock::now();
    const Status locked = store.WriteRun(SampleRun(Minute(1)));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(locked.code, ErrorCode::kLocked);
    EXPECT_EQ(locked.reason, "database is locked");
    EXPECT_GE(waited, std::chrono::milliseconds(kBusyMs)) << "gave up before the busy timeout";
    EXPECT_EQ(store.AddCalibration(SampleCalibration("a", Minute(1), 3)).code, ErrorCode::kLocked);

    // Readers are not held up by a writer, and see what was committed.
    std::vector<TestRun> runs;
    ASSERT_TRUE(store.Runs(&runs).ok());
    EXPECT_EQ(runs.size(), 1u);
    Store second;
    EXPECT_TRUE(second.Open(m_db.string(), kBusyMs).ok()) << "an existing file opens while locked";

    ASSERT_EQ(other.Exec("ROLLBACK"), SQLITE_OK);
    ASSERT_TRUE(store.WriteRun(SampleRun(Minute(2))).ok());
    ASSERT_TRUE(second.Runs(&runs).ok());
    EXPECT_EQ(runs.size(), 2u) << "the failed write left nothing behind";
}

// A lock held from another process the whole time: the open of a new
// file cannot make its tables and says so, within the timeout.
TEST_F(StoreLocked, ANewFileHeldByAnotherWriterFailsToOpenAsLocked) {
    RawDb other(m_db);
    ASSERT_EQ(other.Exec("PRAGMA journal_mode = WAL"), SQLITE_OK);
    ASSERT_EQ(other.Exec("BEGIN EXCLUSIVE"), SQLITE_OK);
    ASSERT_EQ(other.Exec("CREATE TABLE pending (x)"), SQLITE_OK);
    Store store;
    const Status status = store.Open(m_db.string(), 200);
    EXPECT_EQ(status.code, ErrorCode::kLocked) << status.reason;
    ASSERT_EQ(other.Exec("ROLLBACK"), SQLITE_OK);
    ASSERT_TRUE(store.Open(m_db.string(), 200).ok());
    EXPECT_TRUE(store.CreatedNow());
}

using StoreCorrupt = StoreFolder;

TEST_F(StoreCorrupt, GarbageIsNoDatabaseAndIsLeftAsItIs) {
    std::string garbage;
    for (int i = 0; i < 8192; ++i) garbage += static_cast<char>((i * 7919) % 251);
    WriteBytes(m_db, garbage);
    Store store;
    const Status status = store.Open(m_db.string());
    EXPECT_EQ(status.code, ErrorCode::kCorrupt);
    EXPECT_EQ(status.reason, "file is not a database");
    int imported = 0;
    EXPECT_EQ(store.ImportCalibrations({SampleCalibration("a", Minute(0), 3)}, &imported).code,
              ErrorCode::kCorrupt);
    EXPECT_EQ(ReadBytes(m_db), garbage);
    EXPECT_FALSE(fs::exists(m_dir / "tarvok.db-wal"));
}

TEST_F(StoreCorrupt, ADamagedPageIsReportedAsCorrupt) {
    {
        Store store;
        ASSERT_TRUE(store.Open(m_db.string()).ok());
        for (int n = 0; n < 40; ++n) ASSERT_TRUE(store.WriteRun(SampleRun(Minute(n))).ok());
        EXPECT_TRUE(store.Check().ok());
    }
    // The last checkpoint has moved everything into the file; scribble over
    // every page but the first, which names the tables.
    const auto size = static_cast<std::streamoff>(fs::file_size(m_db));
    ASSERT_GT(size, 4 * 4096);
    WriteBytes(m_db, std::string(static_cast<size_t>(size) - 4096, '\xA5'), 4096);

    Store store;
    const Status opened = store.Open(m_db.string());
    if (opened.ok()) {
        const Status checked = store.Check();
        EXPECT_EQ(checked.code, ErrorCode::kCorrupt) << checked.reason;
        std::vector<HistoryEntry> history;
        const Status read = store.DeviceHistory("PT-101", &history);
        EXPECT_EQ(read.code, ErrorCode::kCorrupt) << read.reason;
        EXPECT_TRUE(history.empty());
        EXPECT_EQ(store.WriteRun(SampleRun(Minute(99))).code, ErrorCode::kCorrupt);
    } else {
        EXPECT_EQ(opened.code, ErrorCode::kCorrupt) << opened.reason;
    }
}

// Root may write anything: the read-only cases run in a child that has
// given up root. Exit status 0 when all went as expected, else the number
// of the first check that did not.
int AsUnprivilegedChild(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
        if (::geteuid() == 0) {
            const passwd* nobody = ::getpwnam("nobody");
            if (nobody == nullptr || ::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0)
                ::_exit(99);
        }
        ::_exit(body());
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// Reads work; every write fails as read-only and changes nothing.
int ReadsButNoWrites(const fs::path& db) {
    Store store;
    const Status opened = store.Open(db.string());
    if (!opened.ok()) return 1;
    if (!store.ReadOnly()) return 2;
    std::vector<TestRun> runs;
    if (!store.Runs(&runs).ok() || runs.size() != 1) return 3;
    std::vector<HistoryEntry> history;
    if (!store.DeviceHistory("PT-101", &history).ok() || history.size() != 1) return 4;
    const Status write = store.WriteRun(SampleRun(Minute(5)));
    if (write.code != ErrorCode::kReadOnly || write.reason.find("read-only") == std::string::npos)
        return 5;
    if (store.AddCalibration(SampleCalibration("b", Minute(5), 3)).code != ErrorCode::kReadOnly)
        return 6;
    int imported = 0;
    if (store.ImportCalibrations({SampleCalibration("c", Minute(5), 3)}, &imported).code !=
        ErrorCode::kReadOnly)
        return 7;
    if (!store.Runs(&runs).ok() || runs.size() != 1) return 8;
    return 0;
}

class StoreReadOnly : public StoreFolder {
protected:
    void SetUp() override {
        // Everyone may enter the folder, so the child can.
        fs::permissions(m_dir, fs::perms::all, fs::perm_options::replace);
        Store store;
        ASSERT_TRUE(store.Open(m_db.string()).ok());
        ASSERT_TRUE(store.WriteRun(SampleRun(Minute(0))).ok());
    }
};

TEST_F(StoreReadOnly, AReadOnlyFileIsReadButNotWritten) {
    ASSERT_EQ(::chmod(m_db.c_str(), 0444), 0);
    EXPECT_EQ(AsUnprivilegedChild([&] { return ReadsButNoWrites(m_db); }), 0);
}

TEST_F(StoreReadOnly, AReadOnlyFolderIsReadButNotWritten) {
    ASSERT_EQ(::chmod(m_db.c_str(), 0444), 0);
    ASSERT_EQ(::chmod(m_dir.c_str(), 0555), 0);
    EXPECT_EQ(AsUnprivilegedChild([&] { return ReadsButNoWrites(m_db); }), 0);
    EXPECT_FALSE(fs::exists(m_dir / "tarvok.db-shm"));
}

TEST_F(StoreReadOnly, NoNewFileInAReadOnlyFolder) {
    ASSERT_EQ(::chmod(m_dir.c_str(), 0555), 0);
    const fs::path fresh = m_dir / "fresh.db";
    EXPECT_EQ(AsUnprivilegedChild([&] {
                  Store store;
                  const Status status = store.Open(fresh.string());
                  return status.code == ErrorCode::kReadOnly ? 0 : 1;
              }),
              0);
    EXPECT_FALSE(fs::exists(fresh));
}

// The window's worker writes runs while the GUI thread reads the history:
// each with a store of its own, and both through one shared store.
TEST_F(StoreFolder, AWriterAndAReaderAtOnce) {
    Store writer;
    Store reader;
    ASSERT_TRUE(writer.Open(m_db.string()).ok());
    ASSERT_TRUE(reader.Open(m_db.string()).ok());
    constexpr int kRuns = 20;
    std::atomic<int> failures{0};
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int n = 0; n < kRuns; ++n) {
            if (!writer.WriteRun(SampleRun(Minute(n))).ok()) ++failures;
            if (!writer.AddCalibration(SampleCalibration(std::to_string(n), Minute(n), 3)).ok())
                ++failures;
        }
        done = true;
    });
    size_t seen = 0;
    while (!done) {
        std::vector<HistoryEntry> history;
        if (!reader.DeviceHistory("PT-101", &history).ok()) ++failures;
        // Whole runs only, never fewer than before.
        if (history.size() < seen) ++failures;
        for (const HistoryEntry& e : history)
            if (e.result.points.size() != 3) ++failures;
        seen = history.size();
        std::vector<TestRun> runs;
        if (!writer.Runs(&runs).ok()) ++failures;
    }
    worker.join();
    EXPECT_EQ(failures, 0);
    std::vector<TestRun> runs;
    ASSERT_TRUE(reader.Runs(&runs).ok());
    EXPECT_EQ(runs.size(), static_cast<size_t>(kRuns));
}

}  // namespace
}  // namespace store::test
